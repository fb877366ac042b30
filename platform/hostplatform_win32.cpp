#include <cstdlib>

#include "platform/hostplatform.h"
#include "platform/inisettingsstore.h"
#include "platform/registrysettingsstore.h"
#include "platform/win32serial.h"

namespace {
bool IniFileNamed() {
    const char* env = std::getenv("BRINDLE_SETTINGS");
    return env && *env;
}
}  // namespace

std::unique_ptr<TSerialLibrary> MakeSerialLibrary(const TPortMap& map) {
    return std::make_unique<TWin32SerialLibrary>(map);
}

std::unique_ptr<TSettingsStore> MakeSettingsStore(TPortMap& map) {
    if (IniFileNamed()) {
        auto store = std::make_unique<TIniSettingsStore>();
        store->LoadPortOverrides(map);
        return store;
    }
    // COM1 to COM8 are the system's own names: the registry holds no devices for them.
    return std::make_unique<TRegistrySettingsStore>();
}

std::string SettingsLocation() {
    return IniFileNamed() ? TIniSettingsStore::DefaultPath() : TRegistrySettingsStore::Location();
}
