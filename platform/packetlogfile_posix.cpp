#include "platform/packetlogfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

// Opens `path` for appending without following a link, takes the lock and empties the file.
int TPacketLogFile::OpenLocked(const std::string& path, TLogOpenResult& result) {
    const int fd = ::open(
        path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        result.status = errno == ELOOP ? TLogOpen::Link : TLogOpen::Failed;
        result.reason = std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        result.status = TLogOpen::Failed;
        result.reason = "not a regular file";
        return -1;
    }
    // Only the holder of the lock may truncate or write: another instance's log stays whole.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        result.status = errno == EWOULDBLOCK ? TLogOpen::Held : TLogOpen::Failed;
        result.reason = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (::ftruncate(fd, 0) != 0) {
        result.status = TLogOpen::Failed;
        result.reason = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);  // blocking writes from here on
    result.status = TLogOpen::Opened;
    result.reason.clear();
    return fd;
}

namespace {

bool SameFile(int fd, const std::string& path) {
    struct stat open {
    }, named{};
    return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace

void TPacketLogFile::MoveAside(int fd, const std::string& path) {
    if (SameFile(fd, path)) {
        ::rename(path.c_str(), (path + ".1").c_str());
    }
}

int64_t TPacketLogFile::WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

void TPacketLogFile::CloseFile(int fd) {
    ::close(fd);  // releases the lock
}
