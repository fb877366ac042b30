#include "record/recordwriter.h"

#include <cerrno>
#include <cstring>

namespace {
constexpr auto kSyncInterval = std::chrono::seconds(1);
}  // namespace

TRecordWriter::~TRecordWriter() {
    Close();
}

bool TRecordWriter::Create(const std::string& newPath) {
    Close();
    path = newPath;
    errno = 0;
    // "x": created here or not at all; an existing name, a link included, fails.
    file = std::fopen(path.c_str(), "wbx");
    if (!file) {
        return Fail(errno != 0 ? errno : EEXIST);
    }
    return true;
}

void TRecordWriter::Attach(std::ostream& out) {
    Close();
    stream = &out;
}

bool TRecordWriter::Start(const TRecordClock& recordClock) {
    clock = recordClock;
    rows = 0;
    lastMs = 0;
    lastSync = std::chrono::steady_clock::now();
    return Emit(RecordHeader()) && Flush();
}

bool TRecordWriter::Write(const std::vector<TECU::TTimedRecord>& records) {
    for (const TECU::TTimedRecord& r : records) {
        if (r.time < clock.Start()) {
            continue;  // from before the recording began
        }
        if (!Emit(RecordRow(clock, r.time, r.record))) {
            return false;
        }
        ++rows;
        lastMs = clock.Elapsed(r.time).count();
    }
    return Flush();
}

bool TRecordWriter::Emit(const std::string& line) {
    if (failed) {
        return false;
    }
    errno = 0;
    if (file) {
        if (std::fwrite(line.data(), 1, line.size(), file) != line.size() ||
            std::fputc('\n', file) == EOF) {
            return Fail(errno);
        }
    } else if (stream) {
        *stream << line << '\n';
        if (!*stream) {
            return Fail(errno);
        }
    }
    return true;
}

bool TRecordWriter::Flush() {
    if (failed) {
        return false;
    }
    errno = 0;
    if (file) {
        if (std::fflush(file) != 0) {
            return Fail(errno);
        }
        const auto now = std::chrono::steady_clock::now();
        if (syncFile && now - lastSync >= kSyncInterval) {
            lastSync = now;
            if (!syncFile(file)) {
                return Fail(errno);
            }
        }
    } else if (stream) {
        stream->flush();
        if (!*stream) {
            return Fail(errno);
        }
    }
    return true;
}

bool TRecordWriter::Fail(int err) {
    failed = true;
    errorNumber = err;
    error = err != 0 ? std::strerror(err) : "the output could not be written";
    return false;
}

bool TRecordWriter::Close() {
    bool ok = !failed;
    if (file) {
        errno = 0;
        if (std::fclose(file) != 0 && ok) {
            ok = Fail(errno);
        }
        file = nullptr;
    }
    stream = nullptr;
    return ok;
}
