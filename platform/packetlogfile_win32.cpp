// The packet log file on Windows: no following of links (the link itself is opened and
// refused), and instead of an advisory lock the file is shared for reading only, so a second
// instance cannot open it for writing. It is shared for renaming too, for the rotation.
#include <io.h>

#include <cstdio>

#include "platform/packetlogfile.h"
#include "platform/win32.h"
#include "platform/win32text.h"

namespace {

HANDLE HandleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// Whether the open file `h` is the one `path` names now.
bool SameFile(HANDLE h, const std::string& path) {
    const HANDLE named = CreateFileW(
        Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    const bool same = GetFileInformationByHandle(h, &a) && GetFileInformationByHandle(named, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}

}  // namespace

int TPacketLogFile::OpenLocked(const std::string& path, TLogOpenResult& result) {
    const HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        result.status = err == ERROR_SHARING_VIOLATION ? TLogOpen::Held : TLogOpen::Failed;
        result.reason = SystemErrorText(err);
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(h);
        result.status = TLogOpen::Link;
        result.reason = "a symbolic link";
        return -1;
    }
    if (GetFileType(h) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        result.status = TLogOpen::Failed;
        result.reason = "not a regular file";
        return -1;
    }
    if (!SetEndOfFile(h)) {  // the position is 0: the file is emptied
        result.status = TLogOpen::Failed;
        result.reason = SystemErrorText(GetLastError());
        CloseHandle(h);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
    if (fd < 0) {
        CloseHandle(h);
        result.status = TLogOpen::Failed;
        result.reason = "no file descriptor";
        return -1;
    }
    result.status = TLogOpen::Opened;
    result.reason.clear();
    return fd;
}

void TPacketLogFile::MoveAside(int fd, const std::string& path) {
    if (SameFile(HandleOf(fd), path)) {
        MoveFileExW(Widen(path).c_str(), Widen(path + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
}

int64_t TPacketLogFile::WriteAll(int fd, const std::string& bytes) {
    DWORD written = 0;
    WriteFile(HandleOf(fd), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return written;
}

void TPacketLogFile::CloseFile(int fd) {
    _close(fd);  // and with it the file's handle
}
