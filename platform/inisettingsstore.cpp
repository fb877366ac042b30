#include "platform/inisettingsstore.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>
#include <vector>

#include "platform/filesync.h"
#include "platform/portmap.h"

namespace fs = std::filesystem;

namespace {

const char kOrganization[] = "Quellmark, Inc.";
const char kApplication[] = "Brindle";
const char kPortsSection[] = "ports";
// Larger than any settings file a person writes; a bigger one is someone else's file.
constexpr size_t kMaxIniBytes = 1 << 20;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsBlank(s[b])) {
        ++b;
    }
    while (e > b && IsBlank(s[e - 1])) {
        --e;
    }
    return s.substr(b, e - b);
}

bool IsGeneral(const std::string& section) {
    if (section.empty()) {
        return true;  // keys before any section header
    }
    static const char kGeneral[] = "general";
    if (section.size() != sizeof kGeneral - 1) {
        return false;
    }
    for (size_t i = 0; i < section.size(); ++i) {
        const char c = section[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kGeneral[i]) {
            return false;
        }
    }
    return true;
}

// One meaningful line of the file: a section header or a key with its value. Offsets are
// into the file's text.
struct TIniLine {
    bool header = false;
    bool topLevel = false;  // a key before any section header
    std::string section;    // a header's name, or the section a key belongs to
    std::string key;
    size_t valueBegin = 0;  // the value text, without surrounding blanks and comment
    size_t valueEnd = 0;
    size_t lineEnd = 0;  // just past the line and its line end
};

std::vector<TIniLine> ParseIni(const std::string& text) {
    std::vector<TIniLine> lines;
    std::string section;
    bool seenHeader = false;
    for (size_t start = 0; start < text.size();) {
        const size_t newline = text.find('\n', start);
        const size_t end = newline == std::string::npos ? text.size() : newline;
        const size_t next = newline == std::string::npos ? text.size() : newline + 1;
        size_t b = start;
        while (b < end && IsBlank(text[b])) {
            ++b;
        }
        TIniLine line;
        line.lineEnd = next;
        if (b == end || text[b] == ';' || text[b] == '#') {
            // blank or comment line
        } else if (text[b] == '[') {
            const size_t close = text.find(']', b);
            if (close != std::string::npos && close < end) {
                section = Trim(text.substr(b + 1, close - b - 1));
                seenHeader = true;
                line.header = true;
                line.section = section;
                lines.push_back(line);
            }
        } else if (const size_t eq = text.find('=', b); eq != std::string::npos && eq < end) {
            line.section = section;
            line.topLevel = !seenHeader;
            line.key = Trim(text.substr(b, eq - b));
            size_t vb = eq + 1;
            while (vb < end && IsBlank(text[vb])) {
                ++vb;
            }
            // A ';' outside double quotes starts a comment.
            size_t ve = vb;
            bool quoted = false;
            while (ve < end && (quoted || text[ve] != ';')) {
                quoted = text[ve] == '"' ? !quoted : quoted;
                ++ve;
            }
            while (ve > vb && IsBlank(text[ve - 1])) {
                --ve;
            }
            line.valueBegin = vb;
            line.valueEnd = ve;
            lines.push_back(line);
        }
        start = next;
    }
    return lines;
}

// The value as the program sees it: blanks trimmed, one pair of double quotes removed.
std::string ValueOf(const std::string& text, const TIniLine& line) {
    std::string v = text.substr(line.valueBegin, line.valueEnd - line.valueBegin);
    if (!v.empty() && v.front() == '"') {
        const size_t close = v.find('"', 1);
        v = v.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    return Trim(v);
}

// The last line of `key` in the section, or nullptr.
const TIniLine* FindKey(const std::vector<TIniLine>& lines, bool general,
                        const std::string& section, const std::string& key) {
    const TIniLine* found = nullptr;
    for (const TIniLine& line : lines) {
        if (!line.header && line.key == key &&
            (general ? IsGeneral(line.section) : line.section == section)) {
            found = &line;
        }
    }
    return found;
}

bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        // No overlong forms, no surrogates, nothing beyond U+10FFFF.
        static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

// True for text made only of INI lines in UTF-8: sections, key=value pairs, comments and
// blank lines. Anything else is some other file, or a damaged one.
bool LooksLikeIni(const std::string& text) {
    if (text.size() > kMaxIniBytes || !ValidUtf8(text)) {
        return false;
    }
    for (size_t start = 0; start <= text.size();) {
        const size_t newline = text.find('\n', start);
        const size_t end = newline == std::string::npos ? text.size() : newline;
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        for (char c : line) {
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
                return false;
            }
        }
        const bool section = line.front() == '[' && line.back() == ']' && line.size() > 2;
        if (!section && (line.find('=') == std::string::npos || line.find('=') == 0)) {
            return false;
        }
    }
    return true;
}

bool WriteAll(std::FILE* file, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
}

std::string TempName(const std::string& path) {
    std::random_device random;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
    return path + suffix + ".tmp";
}

}  // namespace

TIniSettingsStore::TIniSettingsStore() : path(DefaultPath()) {}

TIniSettingsStore::TIniSettingsStore(std::string iniPath) : path(std::move(iniPath)) {}

std::string TIniSettingsStore::DefaultPath() {
    if (const char* env = std::getenv("BRINDLE_SETTINGS"); env && *env) {
        return env;
    }
    std::string folder;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        folder = xdg;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::string(home && *home ? home : "") + "/.config";
    }
    return folder + "/" + kOrganization + "/" + kApplication + ".ini";
}

bool TIniSettingsStore::Open() {
    Close();
    const fs::path file(path);
    std::error_code ec;
    // Creating the key means being able to create the file's folder.
    if (file.has_parent_path()) {
        fs::create_directories(file.parent_path(), ec);
        if (ec) {
            return false;
        }
    }
    const fs::file_status own = fs::symlink_status(file, ec);
    if (own.type() == fs::file_type::not_found) {
        target = TTarget::New;
    } else if (own.type() == fs::file_type::regular) {
        target = TTarget::Regular;
    } else if (own.type() == fs::file_type::symlink &&
               fs::status(file, ec).type() == fs::file_type::regular) {
        target = TTarget::ThroughLink;
    } else {
        return false;  // a folder, a device, a dangling link...: not a settings file
    }
    if (target != TTarget::New) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return false;
        }
        text.assign(std::istreambuf_iterator<char>(in), {});
        if (in.bad()) {
            return false;
        }
    }
    // A file that is not clean INI text is read for what it holds but never written over:
    // whatever the user had in it is not ours to destroy.
    damaged = !LooksLikeIni(text);
    isOpen = true;
    return true;
}

TSettingsStore::TRead TIniSettingsStore::ReadInt(const char* name, int32_t& value) {
    if (!isOpen) {
        return TRead::Missing;
    }
    const std::vector<TIniLine> lines = ParseIni(text);
    const TIniLine* line = FindKey(lines, true, {}, name);
    if (!line) {
        return TRead::Missing;
    }
    const std::string v = ValueOf(text, *line);
    // A decimal integer with an optional sign, nothing else, within 32 bits.
    size_t digits = v.size() > 0 && (v[0] == '+' || v[0] == '-') ? 1 : 0;
    if (digits == v.size()) {
        return TRead::NotInteger;
    }
    for (size_t i = digits; i < v.size(); ++i) {
        if (v[i] < '0' || v[i] > '9') {
            return TRead::NotInteger;
        }
    }
    errno = 0;
    char* end = nullptr;
    const long long n = std::strtoll(v.c_str(), &end, 10);
    if (errno == ERANGE || n < INT32_MIN || n > INT32_MAX) {
        return TRead::NotInteger;
    }
    value = static_cast<int32_t>(n);
    return TRead::Ok;
}

bool TIniSettingsStore::WriteInt(const char* name, int32_t value) {
    int32_t stored = 0;
    if (isOpen && ReadInt(name, stored) == TRead::Ok && stored == value) {
        return true;  // already there: the file stays untouched
    }
    return WriteValue({}, name, std::to_string(value));
}

bool TIniSettingsStore::WriteValue(const std::string& section, const std::string& key,
                                   const std::string& value) {
    if (!isOpen || damaged) {
        return false;
    }
    const bool general = section.empty();
    const std::vector<TIniLine> lines = ParseIni(text);
    std::string updated = text;
    if (const TIniLine* line = FindKey(lines, general, section, key)) {
        updated.replace(line->valueBegin, line->valueEnd - line->valueBegin, value);
    } else {
        // The end of the section is after its last key (or its header); for [General]
        // without a header, after the last key before any section; without either, the
        // section is added at the end.
        const size_t crlf = text.find("\r\n");
        const std::string eol =
            crlf != std::string::npos && crlf == text.find('\n') - 1 ? "\r\n" : "\n";
        int after = -1;
        int header = -1;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].header &&
                (general ? IsGeneral(lines[i].section) : lines[i].section == section)) {
                header = static_cast<int>(i);
            }
        }
        if (general || header >= 0) {
            for (size_t i = header + 1; i < lines.size() && !lines[i].header; ++i) {
                after = static_cast<int>(i);
            }
        }
        if (header >= 0 && after < 0) {
            after = header;
        }
        const std::string entry = key + "=" + value;
        if (after >= 0) {
            const size_t at = lines[after].lineEnd;
            const bool ended = at > 0 && updated[at - 1] == '\n';
            updated.insert(at, ended ? entry + eol : eol + entry);
        } else {
            if (!updated.empty() && updated.back() != '\n') {
                updated += eol;
            }
            updated += "[" + (general ? std::string("General") : section) + "]" + eol + entry + eol;
        }
    }
    if (!Store(updated)) {
        return false;
    }
    text = std::move(updated);
    return true;
}

bool TIniSettingsStore::Store(const std::string& newText) {
    std::error_code ec;
    if (target == TTarget::ThroughLink) {
        // The user's link stays a link: the file it names is rewritten where it is.
        std::FILE* file = std::fopen(path.c_str(), "r+b");
        if (!file) {
            return false;
        }
        bool ok = WriteAll(file, newText);
        if (ok) {
            fs::resize_file(path, newText.size(), ec);
            ok = !ec && SyncFile(file);
        }
        return std::fclose(file) == 0 && ok;
    }
    // Anything but a regular file (or no file) in its place now is not ours to replace.
    const fs::file_type now = fs::symlink_status(path, ec).type();
    if (now != fs::file_type::regular && now != fs::file_type::not_found) {
        return false;
    }
    const std::string temp = TempName(path);
    std::FILE* file = std::fopen(temp.c_str(), "wbx");
    if (!file) {
        return false;
    }
    bool ok = WriteAll(file, newText) && SyncFile(file);
    ok = std::fclose(file) == 0 && ok;
    if (ok && now == fs::file_type::regular) {
        fs::permissions(temp, fs::status(path, ec).permissions(), ec);
    }
    if (ok) {
        fs::rename(temp, path, ec);
        ok = !ec;
    }
    if (!ok) {
        fs::remove(temp, ec);
        return false;
    }
    target = TTarget::Regular;
    return true;
}

void TIniSettingsStore::Close() {
    isOpen = false;
    damaged = false;
    text.clear();
}

void TIniSettingsStore::LoadPortOverrides(TPortMap& map) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return;
    }
    const std::string file(std::istreambuf_iterator<char>(in), {});
    const std::vector<TIniLine> lines = ParseIni(file);
    for (int i = 0; i < TPortMap::kPorts; ++i) {
        const TIniLine* line = FindKey(lines, false, kPortsSection, "COM" + std::to_string(i + 1));
        if (line) {
            const std::string device = ValueOf(file, *line);
            if (!device.empty()) {
                map.SetPath(i, device);
            }
        }
    }
}

bool TIniSettingsStore::SavePortPath(int port, const std::string& device) {
    if (port < 0 || port >= TPortMap::kPorts || device.empty() ||
        device.find_first_of("\r\n") != std::string::npos) {
        return false;
    }
    // Quoted when a ';' would start a comment or blanks at its ends would be trimmed.
    const bool quote = device.find_first_of(";\"") != std::string::npos ||
                       IsBlank(device.front()) || IsBlank(device.back());
    if (quote && device.find('"') != std::string::npos) {
        return false;  // no way to write it that reads back the same
    }
    if (!Open()) {
        return false;
    }
    const std::string key = "COM" + std::to_string(port + 1);
    const std::vector<TIniLine> lines = ParseIni(text);
    const TIniLine* line = FindKey(lines, false, kPortsSection, key);
    bool ok = true;
    if (!line || ValueOf(text, *line) != device) {
        ok = WriteValue(kPortsSection, key, quote ? "\"" + device + "\"" : device);
    }
    Close();
    return ok;
}
