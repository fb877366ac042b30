// The settings store over QSettings: on Windows the registry key
// HKEY_LOCAL_MACHINE\Software\Quellmark, Inc.\Brindle; elsewhere an INI file in the user's
// configuration folder, or the file named by the environment variable BRINDLE_SETTINGS.
#pragma once

#include <memory>
#include <string>

#include "ecu/settingsstore.h"

class QSettings;
class TPortMap;

class TQtSettingsStore : public TSettingsStore {
public:
    TQtSettingsStore();                              // the program's own location
    explicit TQtSettingsStore(std::string iniPath);  // a given INI file
    ~TQtSettingsStore() override;

    bool Open() override;
    TRead ReadInt(const char* name, int32_t& value) override;
    bool WriteInt(const char* name, int32_t value) override;
    void Close() override;

    // Where the settings live, for messages ("/home/u/.config/Quellmark, Inc./Brindle.ini").
    std::string Location() const;

    // Reads per-port device overrides (section "ports", keys COM1..COM8) into `map`.
    void LoadPortOverrides(TPortMap& map);

private:
    std::string iniPath;  // empty: the platform's native location
    std::unique_ptr<QSettings> settings;
    bool damaged = false;  // the file did not parse: it is never written
};
