#include "platform/posixserial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

speed_t SpeedForCode(int code) {
    switch (code) {
        case 5:
            return B9600;
        case 6:
            return B19200;
        case 7:
            return B38400;
        case 8:
            return B57600;
        case 9:
            return B115200;
        default:
            return B0;
    }
}

std::string ErrnoText(const std::string& path, int err) {
    return path + ": " + std::strerror(err);
}

// Errors that mean the device itself is gone, not that one call failed.
bool IsHangUp(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

}  // namespace

TPosixSerialLibrary::TPosixSerialLibrary(TPortMap m) : TSystemSerialLibrary(std::move(m)) {}

TPosixSerialLibrary::~TPosixSerialLibrary() {
    while (!ports.empty()) {
        Close(ports.begin()->first);
    }
}

int TPosixSerialLibrary::ApplyTermios(TPort& p) {
    termios tio{};
    if (tcgetattr(p.fd, &tio) != 0) {
        return -1;
    }
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    switch (dataBits) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        default:
            tio.c_cflag |= CS8;
            break;
    }
    if (parity == 1) {
        tio.c_cflag |= PARENB | PARODD;
    } else if (parity == 2) {
        tio.c_cflag |= PARENB;
    }
    if (stopBits != 0) {
        tio.c_cflag |= CSTOPB;
    }
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = SpeedForCode(p.baudCode);
    if (speed != B0) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    return tcsetattr(p.fd, TCSANOW, &tio);
}

int TPosixSerialLibrary::OpenDevice(int port, const std::string& path, int& result) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetError(port, ErrnoText(path, errno));
        result = kErrOpen;
        return -1;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        SetError(port, path + ": not a serial device");
        result = kErrNotSerial;
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        const int err = errno;
        ::close(fd);
        SetError(port, path + ": in use by another program (" + std::strerror(err) + ")");
        result = kErrBusy;
        return -1;
    }
    result = 0;
    return fd;
}

int TPosixSerialLibrary::Reset(int port, int, int) {
    const std::string path = DeviceForReset(port);
    if (path.empty()) {
        return kErrNoDevice;
    }
    int result = 0;
    const int fd = OpenDevice(port, path, result);
    if (fd < 0) {
        return result;
    }
    TPort p;
    p.fd = fd;
    p.path = path;
    if (ApplyTermios(p) != 0) {
        const int err = errno;
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        SetError(port, ErrnoText(path, err));
        return kErrSetup;
    }
    ::tcflush(fd, TCIOFLUSH);
    ports[port] = std::move(p);
    return 0;
}

void TPosixSerialLibrary::LoseDevice(TPort& p) {
    if (p.fd >= 0) {
        ::ioctl(p.fd, TIOCNXCL);
        ::close(p.fd);
    }
    p.fd = -1;
    p.rx.clear();
    p.rxPos = 0;
    ScheduleReopen(p);
}

bool TPosixSerialLibrary::TryReopen(int port, TPort& p) {
    if (p.fd >= 0) {
        return true;
    }
    if (!ReopenDue(p)) {
        return false;
    }
    int result = 0;
    const int fd = OpenDevice(port, p.path, result);
    if (fd < 0) {
        return false;
    }
    p.fd = fd;
    if (ApplyTermios(p) != 0) {
        LoseDevice(p);
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    Reopened(port);
    return true;
}

int TPosixSerialLibrary::LineRefused(int port, TPort& p) {
    const int err = errno;
    if (IsHangUp(err)) {
        LoseDevice(p);
        return 0;
    }
    SetError(port, ErrnoText(p.path, err));
    return -1;
}

int TPosixSerialLibrary::Close(int port) {
    TPort* p = OpenPort(port);
    if (!p) {
        return -1;
    }
    // The exclusive flag outlives our descriptor when another one is open (a pseudo-terminal's
    // owner keeps one); clear it so the port can be opened again.
    if (p->fd >= 0) {
        ::ioctl(p->fd, TIOCNXCL);
        ::close(p->fd);
    }
    ports.erase(port);
    return 0;
}

int TPosixSerialLibrary::TxQueueLength(int port) {
    TPort* p = OpenPort(port);
    int queued = 0;
    if (!p || p->fd < 0) {
        return 0;
    }
    if (::ioctl(p->fd, TIOCOUTQ, &queued) != 0) {
        if (IsHangUp(errno)) {
            LoseDevice(*p);
        }
        return 0;
    }
    return queued;
}

int TPosixSerialLibrary::GetByte(int port) {
    TPort* p = OpenPort(port);
    if (!p) {
        return kNoByte;
    }
    if (p->rxPos < p->rx.size()) {
        return p->rx[p->rxPos++];
    }
    if (p->fd < 0 && !TryReopen(port, *p)) {
        return kNoByte;
    }
    uint8_t buffer[1024];
    const ssize_t n = ::read(p->fd, buffer, sizeof buffer);
    if (n < 0 && IsHangUp(errno)) {
        LoseDevice(*p);
        return kNoByte;
    }
    if (n <= 0) {
        return kNoByte;
    }
    p->rx.assign(buffer, buffer + n);
    p->rxPos = 1;
    return p->rx[0];
}

bool TPosixSerialLibrary::WriteAll(TPort& p, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(p.fd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return false;
        }
        // The driver's buffer is full: wait for room, but not for ever.
        pollfd pfd{p.fd, POLLOUT, 0};
        const int r = ::poll(&pfd, 1, 1000);
        if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            errno = EIO;  // the device went away
            return false;
        }
        if (r <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
    }
    return true;
}

int TPosixSerialLibrary::PutByte(int port, int byte) {
    const uint8_t b = static_cast<uint8_t>(byte);
    return PutBlock(port, &b, 1) == 1 ? 0 : -1;
}

int TPosixSerialLibrary::PutBlock(int port, const uint8_t* bytes, int count) {
    TPort* p = OpenPort(port);
    if (!p || count < 0) {
        return -1;
    }
    if (p->fd < 0 && !TryReopen(port, *p)) {
        return -1;  // the device is away: the bytes are lost, as on a pulled cable
    }
    if (!WriteAll(*p, bytes, static_cast<size_t>(count))) {
        const int err = errno;
        SetError(port, ErrnoText(p->path, err));
        if (IsHangUp(err)) {
            LoseDevice(*p);
        }
        return -1;
    }
    return count;
}

bool TPosixSerialLibrary::WaitReadable(int port, std::chrono::milliseconds timeout) {
    const int ms = static_cast<int>(timeout.count());
    TPort* p = OpenPort(port);
    if (!p) {
        ::poll(nullptr, 0, ms);
        return false;
    }
    if (p->rxPos < p->rx.size()) {
        return true;
    }
    if (p->fd < 0 && !TryReopen(port, *p)) {
        ::poll(nullptr, 0, ms);  // nothing to wait on: sleep the pause out, never spin
        return false;
    }
    pollfd pfd{p->fd, POLLIN, 0};
    const int r = ::poll(&pfd, 1, ms);
    if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        // The device went away (a USB adapter pulled out, the far end of a terminal closed).
        LoseDevice(*p);
        ::poll(nullptr, 0, ms);
        return false;
    }
    return r > 0 && (pfd.revents & POLLIN);
}
