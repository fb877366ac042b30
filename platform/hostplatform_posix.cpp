#include "platform/hostplatform.h"
#include "platform/inisettingsstore.h"
#include "platform/posixserial.h"

std::unique_ptr<TSerialLibrary> MakeSerialLibrary(const TPortMap& map) {
    return std::make_unique<TPosixSerialLibrary>(map);
}

std::unique_ptr<TSettingsStore> MakeSettingsStore(TPortMap& map) {
    auto store = std::make_unique<TIniSettingsStore>();
    store->LoadPortOverrides(map);
    return store;
}

TClock& SystemClock() {
    return TSteadyClock::Instance();
}

std::string SettingsLocation() {
    return TIniSettingsStore::DefaultPath();
}
