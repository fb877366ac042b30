// Writes a recording (the format is in recordformat.h): into a new file it creates, or into
// a stream the caller owns (brindle-cli's standard output, tests).
//
// Each batch of rows is flushed when it is written; a created file is also synced to its
// disk at most once a second (when given a sync function), so a crash or a power cut costs
// at most the last second. The first failed write (a full disk, a folder that went away)
// ends the recording: nothing more is written, what was written stays, and Error() says why.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "ecu/ecu.h"
#include "record/recordformat.h"

class TRecordWriter {
public:
    TRecordWriter() = default;
    ~TRecordWriter();
    TRecordWriter(const TRecordWriter&) = delete;
    TRecordWriter& operator=(const TRecordWriter&) = delete;

    // Creates `path` as a new file: an existing file (or a link) is never written over or
    // followed. False with the reason in Error().
    bool Create(const std::string& path);
    // Writes into `out`, which must outlive the writer.
    void Attach(std::ostream& out);
    // How a created file reaches its disk (fsync); without it, rows reach the system only.
    void SetSync(std::function<bool(std::FILE*)> sync) { syncFile = std::move(sync); }

    // Writes the header; every row's times follow from `clock`.
    bool Start(const TRecordClock& clock);
    // Writes the rows of these records (times on the session's clock, ms), then flushes.
    // Records from before the start are left out.
    bool Write(const std::vector<TECU::TTimedRecord>& records);
    // Closes a created file; false when its last bytes could not be written.
    bool Close();

    bool Failed() const { return failed; }
    // Why writing failed ("No space left on device").
    const std::string& Error() const { return error; }
    // The system's error number of the failure (EPIPE, ENOSPC...); 0 when it gave none.
    int ErrorNumber() const { return errorNumber; }
    uint64_t Rows() const { return rows; }
    // time_ms of the last row; 0 before the first.
    int64_t LastMs() const { return lastMs; }
    const std::string& Path() const { return path; }

private:
    bool Emit(const std::string& line);
    bool Flush();
    bool Fail(int err);

    std::FILE* file = nullptr;
    std::ostream* stream = nullptr;
    std::function<bool(std::FILE*)> syncFile;
    std::chrono::steady_clock::time_point lastSync{};
    TRecordClock clock;
    std::string path;
    std::string error;
    int errorNumber = 0;
    bool failed = false;
    uint64_t rows = 0;
    int64_t lastMs = 0;
};
