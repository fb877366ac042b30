// The registry settings store: where values are read from and written to when the
// machine-wide key may or may not be written (a double plays the registry, since Wine lets
// every write through), and a round trip through the real registry.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "ecu/serialcomm.h"
#include "platform/registrysettingsstore.h"
#include "platform/win32.h"
#include "platform/win32text.h"
#include "tests/support/fakeserial.h"
#include "tests/support/manualclock.h"

namespace {

using TRoot = TRegistryKeys::TRoot;
using TOpen = TRegistryKeys::TOpen;

// One key under each root, each with what it allows.
struct TFakeKey {
    bool exists = false;
    bool creatable = true;  // may be made when missing
    bool writable = true;   // opening for writing is allowed (a user's view of HKLM: false)
    std::map<std::string, int32_t> values;
};

class TFakeKeys : public TRegistryKeys {
public:
    TFakeKeys(TFakeKey& machine, TFakeKey& user) : machine(machine), user(user) {}

    TOpen Open(TRoot root, bool create, bool write) override {
        TFakeKey& k = Key(root);
        if (!k.exists && !create) {
            return TOpen::Missing;
        }
        if ((!k.exists && !k.creatable) || (write && !k.writable)) {
            return TOpen::Denied;
        }
        k.exists = true;
        open[root] = write;
        return TOpen::Ok;
    }
    TSettingsStore::TRead Read(TRoot root, const char* name, int32_t& value) override {
        auto it = Key(root).values.find(name);
        if (!open.count(root) || it == Key(root).values.end()) {
            return TSettingsStore::TRead::Missing;
        }
        value = it->second;
        return TSettingsStore::TRead::Ok;
    }
    bool Write(TRoot root, const char* name, int32_t value) override {
        if (!open.count(root) || !open[root]) {
            return false;
        }
        Key(root).values[name] = value;
        return true;
    }
    void Close(TRoot root) override { open.erase(root); }

private:
    TFakeKey& Key(TRoot root) { return root == TRoot::Machine ? machine : user; }
    TFakeKey& machine;
    TFakeKey& user;
    std::map<TRoot, bool> open;  // open keys: whether for writing
};

using TValues = std::map<std::string, int32_t>;
const TValues kDefaults = {{"comPort", 0}, {"initBaud", 5}, {"commBaud", 5}, {"loaderBaud", 6}};

TEST(RegistrySettings, ValuesGoWhereTheyAreReadBackFrom) {
    struct Case {
        const char* what;
        TFakeKey machine, user;
        // After construction (which completes the key) and a save of commBaud 9:
        int32_t commBaudLoaded;
        bool saved;
        TValues machineAfter, userAfter;  // a user key is left only when it holds values
    };
    const TFakeKey none;                                              // missing, may be made
    const TFakeKey locked{false, false, false, {}};                   // missing, may not be made
    const TFakeKey installed{true, false, false, {{"commBaud", 8}}};  // a user may only read it
    const TFakeKey someUser{true, true, true, {{"comPort", 3}}};
    TValues saved = kDefaults;
    saved["commBaud"] = 9;
    TValues userSaved = saved;
    userSaved["comPort"] = 3;
    const Case cases[] = {
        // An administrator's first start: the machine-wide key is made and used.
        {"administrator", none, none, 5, true, saved, {}},
        // A user under a key an installer made: read from it; the first refused write and all
        // after it go to the user's key, whole.
        {"user under an installed key", installed, none, 8, true, {{"commBaud", 8}}, saved},
        // A user where no key exists and none may be made: the user's key takes its place.
        {"user without any key", locked, none, 5, true, {}, saved},
        // A per-user key is read first and written even where the machine key is writable.
        {"administrator with a user key", none, someUser, 5, true, {}, userSaved},
        // No key anywhere, none may be made: the defaults, and nothing saved.
        {"no key anywhere", locked, locked, 5, false, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TFakeKey machine = c.machine;
        TFakeKey user = c.user;
        TRegistrySettingsStore store(std::make_unique<TFakeKeys>(machine, user));
        TManualClock clock;
        TFakeSerialLibrary library(clock);
        {
            TSerialComm port(library, store, clock);
            EXPECT_EQ(port.commBaud, c.commBaudLoaded);
            port.commBaud = 9;
            EXPECT_EQ(port.SaveSettings(), c.saved);
        }
        EXPECT_EQ(machine.values, c.machineAfter);
        EXPECT_EQ(user.exists, !c.userAfter.empty());
        EXPECT_EQ(user.values, c.userAfter);
        // What was saved is what the next start reads.
        TSerialComm again(library, store, clock);
        EXPECT_EQ(again.commBaud, c.saved ? 9 : 5);
        EXPECT_EQ(again.comPort, c.userAfter.count("comPort") ? c.userAfter.at("comPort") : 0);
    }
}

// The real registry, under a key of its own: a text value counts as missing. (make
// test-windows checks through brindle-cli.exe that a first start writes DWORDs under HKLM
// and makes no user key, and that DWORDs under both keys are read.)
TEST(RealRegistry, ATextValueCountsAsMissing) {
    const std::string path = std::string(TRegistrySettingsStore::kKeyPath) + " test " +
                             std::to_string(GetCurrentProcessId());
    const wchar_t text[] = L"2";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, Widen(path).c_str(), L"comPort", REG_SZ, text,
                              sizeof text),
              ERROR_SUCCESS);
    {
        TRegistrySettingsStore store(MakeRegistryKeys(path));
        TManualClock clock;
        TFakeSerialLibrary library(clock);
        EXPECT_EQ(TSerialComm(library, store, clock).comPort, 0);
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, Widen(path).c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, Widen(path).c_str());
}

}  // namespace
