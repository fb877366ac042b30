#include "platform/packetlogfile.h"

std::unique_ptr<TPacketLogFile> TPacketLogFile::Open(const std::string& path, int64_t limitBytes,
                                                     TLogOpenResult& result) {
    const int fd = OpenLocked(path, result);
    if (fd < 0) {
        return nullptr;
    }
    return std::unique_ptr<TPacketLogFile>(new TPacketLogFile(path, limitBytes, fd));
}

TPacketLogFile::TPacketLogFile(std::string p, int64_t limit, int f)
    : path(std::move(p)), limitBytes(limit), fd(f) {}

TPacketLogFile::~TPacketLogFile() {
    if (fd >= 0) {
        CloseFile(fd);
    }
}

void TPacketLogFile::Rotate() {
    // Move our own file aside (never whatever else may have taken its name since), then
    // start a fresh one before letting the old one go, so the hold is never given up.
    MoveAside(fd, path);
    TLogOpenResult result;
    const int fresh = OpenLocked(path, result);
    CloseFile(fd);
    fd = fresh;
    size = 0;
}

void TPacketLogFile::WriteLine(const std::string& line) {
    const std::string bytes = line + "\n";
    if (fd >= 0 && size > 0 && size + static_cast<int64_t>(bytes.size()) > limitBytes) {
        Rotate();
    }
    if (fd >= 0) {
        size += WriteAll(fd, bytes);  // a full disk loses lines, never the program
    }
}
