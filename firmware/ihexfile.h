// The firmware image: an Intel HEX file read into a flat copy of the ECU's program memory.
// Accepts the record types data (00), end of file (01), extended segment address (02) and
// start segment address (03). Offset n of `data` holds the byte for absolute address n.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "firmware/upload.h"

class TMessageBox;
class TStatusPanels;

// The parser's state for one record.
struct THexRec {
    int32_t address = 0;  // the record's 16-bit offset plus the segment base
    uint8_t length = 0;
    uint8_t type = 0;
    uint8_t checksum = 0;  // running sum of the bytes read since the colon
    std::string errorText;
};

class TIHexFile {
public:
    // A file larger than this cannot be a firmware image and is not read into memory.
    static constexpr int64_t kMaxFileBytes = 16 * 1024 * 1024;

    // `panels` gets "Loading firmware image..." and `messages` the parse errors (caption
    // "Debug"); either may be null. Neither is owned.
    explicit TIHexFile(int capacity = kFirmwareImageBytes, TStatusPanels* panels = nullptr,
                       TMessageBox* messages = nullptr);

    // Opens the file for reading (closing any file opened before). False when it cannot be
    // opened or is not a regular file.
    bool Open(const std::string& path);
    // Reads the whole file and parses it into `data`. False when no file is open, the file
    // cannot be read, or a record is bad (the message box then shows why).
    bool Load();

    // Consumes one record and the line ends after it. False with rec.errorText on a bad record.
    static bool ParseRecord(THexRec& rec, const char*& pos, const char* end, uint8_t* data,
                            int32_t capacity, int32_t& segmentBase);

    // Why the last Open or Load failed (also the message box's text), for the terminal.
    const std::string& LastError() const { return lastError; }

    std::unique_ptr<std::ifstream> file;
    int32_t capacity;
    std::vector<uint8_t> data;
    int32_t segmentBase = 0;
    int32_t usedLength = 0;

private:
    void Fail(const std::string& text, bool show);

    TStatusPanels* panels;
    TMessageBox* messages;
    std::string lastError;
};
