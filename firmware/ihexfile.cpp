#include "firmware/ihexfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "ecu/userinterface.h"

namespace {

// A hex digit as the loader reads it: decimal digits by value, anything else lower-cased
// and counted from 'a' as 10. No character is refused here; a wrong one spoils the checksum.
int DigitValue(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9') {
        return u - '0';
    }
    return std::tolower(u) - 'a' + 10;
}

uint8_t ReadByte(THexRec& rec, const char*& pos, const char* end) {
    if (end - pos < 2) {
        pos = end;
        return 0;
    }
    const int hi = DigitValue(pos[0]);
    const int lo = DigitValue(pos[1]);
    pos += 2;
    const uint8_t b = static_cast<uint8_t>((((hi & 0x0F) << 4) | lo) & 0xFF);
    rec.checksum = static_cast<uint8_t>(rec.checksum + b);
    return b;
}

}  // namespace

TIHexFile::TIHexFile(int cap, TStatusPanels* statusPanels, TMessageBox* messageBox)
    : capacity(cap),
      data(static_cast<size_t>(std::max(cap, 0)), 0xFF),
      panels(statusPanels),
      messages(messageBox) {}

void TIHexFile::Fail(const std::string& text, bool show) {
    lastError = text;
    if (show && messages) {
        messages->ShowMessage({text, "Debug", TMessageIcon::None, ""});
    }
}

bool TIHexFile::Open(const std::string& path) {
    file.reset();
    lastError.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        Fail(path + ": " + std::strerror(errno), false);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        Fail(path + ": not a regular file", false);
        return false;
    }
    auto stream = std::make_unique<std::ifstream>(path, std::ios::in | std::ios::binary);
    if (!stream->is_open()) {
        Fail(path + ": " + std::strerror(errno), false);
        return false;
    }
    file = std::move(stream);
    return true;
}

bool TIHexFile::Load() {
    // Each load starts afresh: nothing of an earlier file may shape this one, and a failed
    // load leaves no length that would pass for an image.
    segmentBase = 0;
    usedLength = 0;
    if (!file) {
        return false;
    }
    file->clear();
    file->seekg(0, std::ios::end);
    const std::streamoff length = file->tellg();
    file->seekg(0, std::ios::beg);
    if (length < 0) {
        Fail("The firmware image could not be read.", true);
        return false;
    }
    if (length > kMaxFileBytes) {
        Fail("The file is too large to be a firmware image (" + std::to_string(length) +
                 " bytes; a HEX file for this ECU is well under 16 MiB).",
             true);
        return false;
    }
    std::fill(data.begin(), data.end(), 0xFF);

    std::string text(static_cast<size_t>(length), '\0');
    file->read(text.data(), length);
    if (file->bad()) {
        // A read error must not pass for a short file that happens to parse.
        Fail("The firmware image could not be read.", true);
        return false;
    }
    text.resize(static_cast<size_t>(file->gcount()));

    if (panels) {
        panels->SetPanelText(1, "Loading firmware image...");
    }

    THexRec rec;
    const char* pos = text.data();
    const char* end = pos + text.size();
    while (pos != end) {
        if (!ParseRecord(rec, pos, end, data.data(), capacity, segmentBase)) {
            Fail(rec.errorText, true);
            return false;
        }
    }

    for (int32_t i = capacity - 1; i >= 0; --i) {
        if (data[i] != 0xFF) {
            usedLength = i + 1;
            break;
        }
    }
    return true;
}

bool TIHexFile::ParseRecord(THexRec& rec, const char*& pos, const char* end, uint8_t* data,
                            int32_t capacity, int32_t& segmentBase) {
    if (pos == end || *pos++ != ':') {
        rec.errorText = "Incorrect record header";
        return false;
    }
    rec.checksum = 0;
    rec.length = ReadByte(rec, pos, end);
    const int hi = ReadByte(rec, pos, end);
    const int lo = ReadByte(rec, pos, end);
    rec.type = ReadByte(rec, pos, end);
    rec.address = hi * 256 + lo + segmentBase;

    switch (rec.type) {
        case 0:
            if (rec.address + rec.length > capacity) {
                rec.errorText = "data record outside allocated space";
                return false;
            }
            for (int i = 0; i < rec.length; ++i) {
                data[rec.address + i] = ReadByte(rec, pos, end);
            }
            break;
        case 1:
            ReadByte(rec, pos, end);
            if (rec.checksum != 0) {
                rec.errorText = "Checksum error!";
                return false;
            }
            pos = end;  // whatever follows the end-of-file record is ignored
            return true;
        case 2: {
            const int segHi = ReadByte(rec, pos, end);
            const int segLo = ReadByte(rec, pos, end);
            segmentBase = (segHi * 256 + segLo) * 16;
            break;
        }
        case 3:
            for (int i = 0; i < 4; ++i) {
                ReadByte(rec, pos, end);
            }
            break;
        default:
            rec.errorText =
                std::string("unrecognised record type: ") + static_cast<char>(rec.type + '0');
            return false;
    }
    ReadByte(rec, pos, end);
    if (rec.checksum != 0) {
        rec.errorText = "Checksum error!";
        return false;
    }
    while (pos != end && (*pos == '\r' || *pos == '\n')) {
        ++pos;
    }
    return true;
}
