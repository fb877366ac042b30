#include <cstdlib>

#include "platform/hostplatform.h"
#include "platform/inisettingsstore.h"
#include "platform/registrysettingsstore.h"
#include "platform/win32.h"
#include "platform/win32serial.h"

namespace {

bool IniFileNamed() {
    const char* env = std::getenv("BRINDLE_SETTINGS");
    return env && *env;
}

// The standard library's sleep rounds down to whole milliseconds here (a 500 us sleep does
// not sleep at all) and, under Wine, waits through the Wine server, which a second thread's
// sleeps then delay. The system's own delay takes 100 ns units and is kept locally.
class TWin32Clock : public TSteadyClock {
public:
    TWin32Clock() {
        delay = reinterpret_cast<TDelay>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDelayExecution")));
    }
    void Sleep(std::chrono::microseconds d) override {
        const int64_t us = d.count();
        if (us <= 0) {
            return;
        }
        if (delay) {
            LARGE_INTEGER relative;
            relative.QuadPart = -10 * us;  // negative: relative to now
            delay(FALSE, &relative);
        } else {
            ::Sleep(static_cast<DWORD>((us + 999) / 1000));
        }
    }

private:
    using TDelay = LONG(WINAPI*)(BOOLEAN alertable, LARGE_INTEGER* interval);
    TDelay delay = nullptr;
};

}  // namespace

TClock& SystemClock() {
    static TWin32Clock clock;
    return clock;
}

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
