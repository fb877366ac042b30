// The packet log as a file ("brindle.log" in the current folder), made safe for a folder
// the user shares with other programs and other instances of Brindle:
// - it is never created through a symbolic link (O_NOFOLLOW);
// - an instance truncates and writes it only while it holds an advisory lock (flock) on it,
//   so a second instance started in the same folder leaves the first one's log alone;
// - at a size limit it is renamed to "<path>.1" (replacing an older one) and a fresh file is
//   started, so a long run never fills the disk.
// Each line is written whole with one write() and reaches the file before the call returns.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ecu/packet.h"

constexpr int64_t kPacketLogLimitBytes = int64_t{64} << 20;  // 64 MiB

enum class TLogOpen {
    Opened,
    Link,    // the path is a symbolic link: never followed
    Held,    // another instance holds the log
    Failed,  // cannot be created, or is not a regular file
};

struct TLogOpenResult {
    TLogOpen status = TLogOpen::Failed;
    std::string reason;  // the system's reason for Failed
};

class TPacketLogFile : public TPacketLogSink {
public:
    // Opens, locks and truncates the file; nullptr (with the reason in `result`) when it
    // cannot be done safely. limitBytes: the size at which the file is rotated.
    static std::unique_ptr<TPacketLogFile> Open(const std::string& path, int64_t limitBytes,
                                                TLogOpenResult& result);
    ~TPacketLogFile() override;
    TPacketLogFile(const TPacketLogFile&) = delete;
    TPacketLogFile& operator=(const TPacketLogFile&) = delete;

    void WriteLine(const std::string& line) override;

private:
    TPacketLogFile(std::string path, int64_t limitBytes, int fd);
    void Rotate();

    // The system's part (packetlogfile_posix.cpp, packetlogfile_win32.cpp).
    // Opens `path` without following a link, takes it for this instance alone and empties
    // it: a file descriptor, or -1 with the reason in `result`.
    static int OpenLocked(const std::string& path, TLogOpenResult& result);
    // Renames the file open as `fd` to "<path>.1", if `path` still names it.
    static void MoveAside(int fd, const std::string& path);
    // Writes all of `bytes`; how many were written (fewer on a full disk).
    static int64_t WriteAll(int fd, const std::string& bytes);
    static void CloseFile(int fd);  // and with it the hold on the file

    std::string path;
    int64_t limitBytes;
    int fd;  // -1 once a rotation could not start a fresh file: no more lines
    int64_t size = 0;
};
