// The firmware image: an Intel HEX file read into a flat copy of the ECU's program memory.
// Accepts the record types data (00), end of file (01), extended segment address (02), start
// segment address (03) and extended linear address (04). Offset n of `data` holds the byte
// for absolute address n. A file is good only when it ends with its end-of-file record: a
// file cut short, a record cut short or a character that is no hex digit fails the load, so
// a damaged file can never be flashed as if it were whole.
//
// The loader reports, it does not show: Load fails with LastError(), which the caller shows.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "firmware/upload.h"

// The parser's state for one record.
struct THexRec {
    int64_t address = 0;  // the record's 16-bit offset plus the segment base
    uint8_t length = 0;
    uint8_t type = 0;
    uint8_t checksum = 0;  // running sum of the bytes read since the colon
    std::string errorText;
};

class TIHexFile {
public:
    // A file larger than this cannot be a firmware image and is not read into memory.
    static constexpr int64_t kMaxFileBytes = 16 * 1024 * 1024;

    explicit TIHexFile(int capacity = kFirmwareImageBytes);

    // Opens the file for reading (closing any file opened before). False when it cannot be
    // opened or is not a regular file.
    bool Open(const std::string& path);
    // Reads the whole file and parses it into `data`. False when no file is open, the file
    // cannot be read, or the text is not a whole HEX file; LastError() then says why.
    bool Load();

    // Consumes one record and the line ends after it. False with rec.errorText on a bad record.
    static bool ParseRecord(THexRec& rec, const char*& pos, const char* end, uint8_t* data,
                            int32_t capacity, int32_t& segmentBase);
    // Parses a whole text, record by record, up to and including its end-of-file record; what
    // follows that record is ignored. False with rec.errorText on the first bad record, or
    // when the text ends without an end-of-file record; `line` is then the line (from 1) of
    // the record that failed, or the last line of a text that ended early.
    static bool ParseText(THexRec& rec, const char* begin, const char* end, uint8_t* data,
                          int32_t capacity, int32_t& segmentBase, int& line);

    // Why the last Open or Load failed. For a bad record: the parser's text, then on a second
    // line where in the file it is ("Checksum error!\nLine 12 of the file.").
    const std::string& LastError() const { return lastError; }

    std::unique_ptr<std::ifstream> file;
    int32_t capacity;
    std::vector<uint8_t> data;
    int32_t segmentBase = 0;
    int32_t usedLength = 0;

private:
    std::string lastError;
};

// The parser's texts that the tests and the fuzzer recognise.
constexpr char kHexMissingEnd[] = "missing end-of-file record";
constexpr char kHexRecordCutShort[] = "record cut short by the end of the file";
constexpr char kHexInvalidCharacter[] = "invalid character in record";
