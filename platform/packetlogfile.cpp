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

TLogOpenResult OpenPacketLog(const std::string& path, int64_t limitBytes) {
    // The previous log goes first: its lock would keep this process off its own file.
    ClosePacketLog();
    TLogOpenResult result;
    if (std::unique_ptr<TPacketLogFile> file = TPacketLogFile::Open(path, limitBytes, result)) {
        AttachPacketLog(std::move(file));
    }
    return result;
}
