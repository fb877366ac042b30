// The settings store over an INI file, in the standard library only: the user's
// configuration folder ($XDG_CONFIG_HOME, else ~/.config, then "Quellmark, Inc./Brindle.ini"),
// or the file named by the environment variable BRINDLE_SETTINGS.
//
// Reading: the keys of [General] (and keys before any section header), surrounding blanks
// trimmed, a value in double quotes unquoted, a trailing "; comment" ignored; the last of
// two equal keys counts. Writing changes the file as little as it can: a changed value
// replaces only the value text on its line, a missing key is added at the end of its
// section, and every other byte (comments, order, blank lines, other sections, line ends)
// stays as it was. A file that is not clean INI text is read but never written.
#pragma once

#include <string>

#include "ecu/settingsstore.h"
#include "platform/portmap.h"

class TIniSettingsStore : public TSettingsStore, public TPortMapStore {
public:
    TIniSettingsStore();                              // the program's own location
    explicit TIniSettingsStore(std::string iniPath);  // a given INI file

    // BRINDLE_SETTINGS when set, else the file in the user's configuration folder.
    static std::string DefaultPath();

    // Reads the file. Creates its folder when missing; false when that fails, or when the
    // path names something other than a regular file (or a link to one), or it is unreadable.
    bool Open() override;
    TRead ReadInt(const char* name, int32_t& value) override;
    // Stores the value at once (nothing is written when it is already stored). A regular
    // file is replaced by a complete new copy (written, synced, renamed over it); a file
    // reached through a symbolic link is rewritten in place, so the link stays a link.
    bool WriteInt(const char* name, int32_t value) override;
    void Close() override;

    // Where the settings live, for messages ("/home/u/.config/Quellmark, Inc./Brindle.ini").
    std::string Location() const { return path; }

    // Reads per-port device overrides (section "ports", keys COM1..COM8) into `map`.
    void LoadPortOverrides(TPortMap& map) override;
    // Stores a port's device as COMn in [ports], changing the file as WriteInt does.
    bool SavePortPath(int port, const std::string& device) override;

private:
    enum class TTarget { New, Regular, ThroughLink };
    // Sets `key` of `section` (empty: [General]) to `value`, line by line as WriteInt says.
    bool WriteValue(const std::string& section, const std::string& key, const std::string& value);
    bool Store(const std::string& newText);

    std::string path;
    std::string text;  // the file as read, then as last written
    TTarget target = TTarget::New;
    bool isOpen = false;
    bool damaged = false;  // not clean INI text: never written
};
