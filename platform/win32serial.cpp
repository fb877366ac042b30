#include "platform/win32serial.h"

#include <algorithm>

#include "platform/win32text.h"

namespace {

constexpr DWORD kReadChunk = 1024;

std::string ReasonText(const std::string& path, DWORD err) {
    return path + ": " + SystemErrorText(err);
}

// Ends an overlapped read or write on `h` that returned `started`: at once when it completed
// as it started (no wait, which under Wine is a trip to its server), else after waiting at
// most `limitMs`, when it is cancelled. True with the byte count in `n`.
bool FinishIo(HANDLE h, OVERLAPPED& o, BOOL started, DWORD limitMs, DWORD& n, bool& timedOut) {
    timedOut = false;
    if (!started) {
        if (GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        if (WaitForSingleObject(o.hEvent, limitMs) != WAIT_OBJECT_0) {
            CancelIoEx(h, &o);
            timedOut = true;
        }
    }
    return GetOverlappedResult(h, &o, &n, TRUE) != 0;
}

}  // namespace

TWin32SerialLibrary::TWin32SerialLibrary(TPortMap m) : TSystemSerialLibrary(std::move(m)) {}

std::wstring TWin32SerialLibrary::DeviceName(const std::string& path) {
    // Only COM1 to COM9 open by their bare names; the device namespace reaches every port.
    if (path.find_first_of("\\/:") == std::string::npos) {
        return L"\\\\.\\" + Widen(path);
    }
    return Widen(path);
}

bool TWin32SerialLibrary::ApplyLine(TPort& p) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(p.handle, &dcb)) {
        return false;
    }
    // Every field that changes what goes over the line is set here: what a port reports
    // before (Wine reads it from the terminal, a driver from its last user) is not 8N1 raw.
    dcb.BaudRate = static_cast<DWORD>(BaudCodeToBps(p.baudCode));
    dcb.fBinary = TRUE;
    dcb.fParity = parity != 0;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;  // lines up, as a POSIX open leaves them
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // A framing error (bytes at the wrong rate, which connecting meets on purpose) must not
    // stop all traffic until it is acknowledged.
    dcb.fAbortOnError = FALSE;
    dcb.ByteSize = static_cast<BYTE>(dataBits >= 5 && dataBits <= 8 ? dataBits : 8);
    dcb.Parity = parity == 1 ? ODDPARITY : parity == 2 ? EVENPARITY : NOPARITY;
    dcb.StopBits = stopBits != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    if (dcb.BaudRate == 0 || !SetCommState(p.handle, &dcb)) {
        return false;
    }
    // No read time-outs: a read ends when its count has arrived, and the program only asks
    // for bytes that are there or for the one byte a wait watches for.
    COMMTIMEOUTS t{};
    t.WriteTotalTimeoutMultiplier = 2;  // 10 bit times at 9600 are 1.04 ms
    t.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    return SetCommTimeouts(p.handle, &t) != 0;
}

HANDLE TWin32SerialLibrary::OpenDevice(int port, const std::string& path, int rxQueue, int txQueue,
                                       int& result) {
    // No sharing: while Brindle holds the port, no other program can open it.
    const HANDLE h = CreateFileW(DeviceName(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if (err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION) {
            SetError(port, path + ": in use by another program (" + SystemErrorText(err) + ")");
            result = kErrBusy;
        } else {
            SetError(port, ReasonText(path, err));
            result = kErrOpen;
        }
        return INVALID_HANDLE_VALUE;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &dcb)) {
        CloseHandle(h);
        SetError(port, path + ": not a serial device");
        result = kErrNotSerial;
        return INVALID_HANDLE_VALUE;
    }
    // The driver's queues as the program asks for them; a driver that keeps its own sizes
    // refuses, which changes nothing the program relies on.
    SetupComm(h, static_cast<DWORD>(std::max(rxQueue, 16)),
              static_cast<DWORD>(std::max(txQueue, 16)));
    result = 0;
    return h;
}

int TWin32SerialLibrary::Reset(int port, int rxQueue, int txQueue) {
    const std::string path = DeviceForReset(port);
    if (path.empty()) {
        return kErrNoDevice;
    }
    int result = 0;
    const HANDLE h = OpenDevice(port, path, rxQueue, txQueue, result);
    if (h == INVALID_HANDLE_VALUE) {
        return result;
    }
    TPort& p = ports.try_emplace(port).first->second;
    p.handle = h;
    p.path = path;
    p.rxQueue = rxQueue;
    p.txQueue = txQueue;
    if (!ApplyLine(p)) {
        const DWORD err = GetLastError();
        ports.erase(port);
        SetError(port, ReasonText(path, err));
        return kErrSetup;
    }
    PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    return 0;
}

TWin32Port::TWin32Port() {
    watch.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

TWin32Port::~TWin32Port() {
    if (Present()) {
        EndWatch();
        CloseHandle(handle);
    }
    CloseHandle(watch.hEvent);
    CloseHandle(io.hEvent);
}

void TWin32Port::EndWatch() {
    if (watching) {
        CancelIoEx(handle, &watch);
        DWORD n = 0;
        GetOverlappedResult(handle, &watch, &n, TRUE);  // the read must be over first
        watching = false;
    }
}

void TWin32SerialLibrary::LoseDevice(TPort& p) {
    if (p.Present()) {
        p.EndWatch();
        CloseHandle(p.handle);
    }
    p.handle = INVALID_HANDLE_VALUE;
    p.rx.clear();
    p.rxPos = 0;
    ScheduleReopen(p);
}

bool TWin32SerialLibrary::TryReopen(int port, TPort& p) {
    if (p.handle != INVALID_HANDLE_VALUE) {
        return true;
    }
    if (!ReopenDue(p)) {
        return false;
    }
    int result = 0;
    const HANDLE h = OpenDevice(port, p.path, p.rxQueue, p.txQueue, result);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    p.handle = h;
    if (!ApplyLine(p)) {
        LoseDevice(p);
        return false;
    }
    PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    Reopened(port);
    return true;
}

bool TWin32SerialLibrary::CommState(int port, DCB& dcb) const {
    auto it = ports.find(port);
    if (it == ports.end() || it->second.handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    dcb = DCB{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(it->second.handle, &dcb) != 0;
}

bool TWin32SerialLibrary::TakeArrived(TPort& p) {
    if (p.rxPos == p.rx.size()) {
        p.rx.clear();
        p.rxPos = 0;
    }
    DWORD n = 0;
    if (p.watching) {
        if (!GetOverlappedResult(p.handle, &p.watch, &n, FALSE)) {
            // Still waiting: anything after its byte must wait too, to stay in order.
            return GetLastError() == ERROR_IO_INCOMPLETE;
        }
        p.watching = false;
        if (n == 1) {
            p.rx.push_back(p.watchByte);
        }
    }
    DWORD lineErrors = 0;
    COMSTAT stat{};
    // Also clears line errors (framing errors at a wrong rate), so the port keeps working.
    if (!ClearCommError(p.handle, &lineErrors, &stat)) {
        return false;
    }
    if (stat.cbInQue == 0) {
        return true;
    }
    uint8_t buffer[kReadChunk];
    p.io = OVERLAPPED{0, 0, {}, p.io.hEvent};
    const BOOL started =
        ReadFile(p.handle, buffer, std::min<DWORD>(stat.cbInQue, kReadChunk), nullptr, &p.io);
    // The bytes are there: the read ends at once (the bound is only against a driver's bug).
    bool timedOut = false;
    if (!FinishIo(p.handle, p.io, started, kWriteTimeoutMs, n, timedOut)) {
        return false;
    }
    p.rx.insert(p.rx.end(), buffer, buffer + n);
    return true;
}

int TWin32SerialLibrary::LineRefused(int port, TPort& p) {
    const DWORD err = GetLastError();
    DWORD lineErrors = 0;
    COMSTAT stat{};
    if (!ClearCommError(p.handle, &lineErrors, &stat)) {
        LoseDevice(p);  // not a refused rate: the device is gone
        return 0;
    }
    SetError(port, ReasonText(p.path, err));
    return -1;
}

int TWin32SerialLibrary::Close(int port) {
    TPort* p = OpenPort(port);
    if (!p) {
        return -1;
    }
    ports.erase(port);  // the port's destructor ends its pending read and closes it
    return 0;
}

int TWin32SerialLibrary::TxQueueLength(int port) {
    TPort* p = OpenPort(port);
    if (!p || p->handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD lineErrors = 0;
    COMSTAT stat{};
    if (!ClearCommError(p->handle, &lineErrors, &stat)) {
        LoseDevice(*p);
        return 0;
    }
    return static_cast<int>(stat.cbOutQue);
}

int TWin32SerialLibrary::GetByte(int port) {
    TPort* p = OpenPort(port);
    if (!p) {
        return kNoByte;
    }
    if (p->rxPos < p->rx.size()) {
        return p->rx[p->rxPos++];
    }
    if (p->handle == INVALID_HANDLE_VALUE && !TryReopen(port, *p)) {
        return kNoByte;
    }
    if (!TakeArrived(*p)) {
        LoseDevice(*p);  // the device went away (a USB adapter pulled out)
        return kNoByte;
    }
    return p->rxPos < p->rx.size() ? p->rx[p->rxPos++] : kNoByte;
}

int TWin32SerialLibrary::PutByte(int port, int byte) {
    const uint8_t b = static_cast<uint8_t>(byte);
    return PutBlock(port, &b, 1) == 1 ? 0 : -1;
}

int TWin32SerialLibrary::PutBlock(int port, const uint8_t* bytes, int count) {
    TPort* p = OpenPort(port);
    if (!p || count < 0) {
        return -1;
    }
    if (p->handle == INVALID_HANDLE_VALUE && !TryReopen(port, *p)) {
        return -1;  // the device is away: the bytes are lost, as on a pulled cable
    }
    if (count == 0) {
        return 0;
    }
    p->io = OVERLAPPED{0, 0, {}, p->io.hEvent};
    const BOOL started = WriteFile(p->handle, bytes, static_cast<DWORD>(count), nullptr, &p->io);
    // The write returns once the bytes are with the driver; one that makes no progress for
    // the write time-out is given up.
    const DWORD limit = kWriteTimeoutMs + 2 * static_cast<DWORD>(count);
    DWORD n = 0;
    bool timedOut = false;
    const bool finished = FinishIo(p->handle, p->io, started, limit, n, timedOut);
    if (!finished || n != static_cast<DWORD>(count)) {
        // A write that ended short ran into the driver's write time-out.
        const bool stalled = timedOut || finished;
        SetError(port, ReasonText(p->path, stalled ? ERROR_TIMEOUT : GetLastError()));
        if (!stalled) {
            LoseDevice(*p);  // the device no longer takes bytes: it is gone
        }
        return -1;
    }
    return count;
}

bool TWin32SerialLibrary::WaitReadable(int port, std::chrono::milliseconds timeout) {
    TPort* p = OpenPort(port);
    const DWORD wait = static_cast<DWORD>(std::max<int64_t>(timeout.count(), 0));
    if (!p) {
        Sleep(wait);
        return false;
    }
    if (p->rxPos < p->rx.size()) {
        return true;
    }
    if (p->handle == INVALID_HANDLE_VALUE && !TryReopen(port, *p)) {
        Sleep(wait);  // nothing to wait on: sleep the pause out, never spin
        return false;
    }
    if (!TakeArrived(*p)) {
        LoseDevice(*p);
        Sleep(wait);
        return false;
    }
    if (p->rxPos < p->rx.size()) {
        return true;
    }
    if (wait == 0) {
        return false;
    }
    if (!p->watching) {
        p->watch = OVERLAPPED{0, 0, {}, p->watch.hEvent};
        if (!ReadFile(p->handle, &p->watchByte, 1, nullptr, &p->watch) &&
            GetLastError() != ERROR_IO_PENDING) {
            LoseDevice(*p);
            Sleep(wait);
            return false;
        }
        p->watching = true;  // collected by TakeArrived, at once or later
    }
    if (WaitForSingleObject(p->watch.hEvent, wait) != WAIT_OBJECT_0) {
        return false;
    }
    if (!TakeArrived(*p)) {
        LoseDevice(*p);
        return false;
    }
    return p->rxPos < p->rx.size();
}
