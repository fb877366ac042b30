#include "ecu/commsettings.h"

#include "ecu/seriallibrary.h"
#include "ecu/settingsstore.h"

namespace {
struct TSetting {
    const char* name;
    int32_t TCommSettings::*field;
    int32_t min, max;  // the values the program knows
    const char* meaning;
};
constexpr const char kBaudMeaning[] = "a rate code (5 to 9 for 9600 to 115200 bit/s)";
constexpr TSetting kSettings[] = {
    {TCommSettings::kComPortName, &TCommSettings::comPort, 0, kComPorts - 1,
     "a port (0 to 7 for Com1 to Com8)"},
    {TCommSettings::kInitBaudName, &TCommSettings::initBaud, kBaudCodeMin, kBaudCodeMax,
     kBaudMeaning},
    {TCommSettings::kCommBaudName, &TCommSettings::commBaud, kBaudCodeMin, kBaudCodeMax,
     kBaudMeaning},
    {TCommSettings::kLoaderBaudName, &TCommSettings::loaderBaud, kBaudCodeMin, kBaudCodeMax,
     kBaudMeaning},
};
}  // namespace

bool TCommSettings::Load(TSettingsStore& store) {
    if (!store.Open()) {
        return true;  // keep the current values and write nothing
    }
    bool complete = true;
    for (const TSetting& s : kSettings) {
        int32_t value = 0;
        // A value that is not an integer counts as missing, so the default is written back.
        if (store.ReadInt(s.name, value) == TSettingsStore::TRead::Ok) {
            this->*s.field = value;
        } else {
            complete = false;
        }
    }
    store.Close();
    return complete;
}

bool TCommSettings::Save(TSettingsStore& store) const {
    if (!store.Open()) {
        return false;
    }
    bool ok = true;
    for (const TSetting& s : kSettings) {
        if (!store.WriteInt(s.name, this->*s.field)) {
            ok = false;
            break;
        }
    }
    store.Close();
    return ok;
}

TCommSettings TCommSettings::Stored(TSettingsStore& store) {
    TCommSettings settings;
    if (!settings.Load(store)) {
        settings.Save(store);
    }
    return settings;
}

std::vector<std::string> TCommSettings::RangeWarnings() const {
    std::vector<std::string> warnings;
    for (const TSetting& s : kSettings) {
        const int32_t value = this->*s.field;
        if (value < s.min || value > s.max) {
            warnings.push_back(std::string("the setting ") + s.name + "=" + std::to_string(value) +
                               " is not " + s.meaning + "; it is used as it is");
        }
    }
    return warnings;
}
