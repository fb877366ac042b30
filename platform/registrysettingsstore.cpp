#include "platform/registrysettingsstore.h"

#include "platform/win32.h"

#include "platform/win32text.h"

namespace {

class TWin32RegistryKeys : public TRegistryKeys {
public:
    explicit TWin32RegistryKeys(const std::string& path) : path(Widen(path)) {}
    ~TWin32RegistryKeys() override {
        Close(TRoot::Machine);
        Close(TRoot::User);
    }

    TOpen Open(TRoot root, bool create, bool write) override {
        Close(root);
        const HKEY base = root == TRoot::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        const REGSAM access = KEY_QUERY_VALUE | (write ? KEY_SET_VALUE : 0);
        HKEY key = nullptr;
        const LSTATUS r =
            create ? RegCreateKeyExW(base, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     access, nullptr, &key, nullptr)
                   : RegOpenKeyExW(base, path.c_str(), 0, access, &key);
        if (r != ERROR_SUCCESS) {
            return r == ERROR_FILE_NOT_FOUND  ? TOpen::Missing
                   : r == ERROR_ACCESS_DENIED ? TOpen::Denied
                                              : TOpen::Failed;
        }
        Handle(root) = key;
        return TOpen::Ok;
    }

    TSettingsStore::TRead Read(TRoot root, const char* name, int32_t& value) override {
        DWORD type = 0;
        DWORD data = 0;
        DWORD size = sizeof data;
        const LSTATUS r = Handle(root)
                              ? RegQueryValueExW(Handle(root), Widen(name).c_str(), nullptr, &type,
                                                 reinterpret_cast<BYTE*>(&data), &size)
                              : ERROR_FILE_NOT_FOUND;
        if (r == ERROR_FILE_NOT_FOUND) {
            return TSettingsStore::TRead::Missing;
        }
        if (r != ERROR_SUCCESS || type != REG_DWORD || size != sizeof data) {
            return TSettingsStore::TRead::NotInteger;
        }
        value = static_cast<int32_t>(data);
        return TSettingsStore::TRead::Ok;
    }

    bool Write(TRoot root, const char* name, int32_t value) override {
        const DWORD data = static_cast<DWORD>(value);
        return Handle(root) &&
               RegSetValueExW(Handle(root), Widen(name).c_str(), 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&data), sizeof data) == ERROR_SUCCESS;
    }

    void Close(TRoot root) override {
        if (Handle(root)) {
            RegCloseKey(Handle(root));
            Handle(root) = nullptr;
        }
    }

private:
    HKEY& Handle(TRoot root) { return root == TRoot::Machine ? machine : user; }

    std::wstring path;
    HKEY machine = nullptr;
    HKEY user = nullptr;
};

}  // namespace

std::unique_ptr<TRegistryKeys> MakeRegistryKeys(const std::string& path) {
    return std::make_unique<TWin32RegistryKeys>(path);
}

TRegistrySettingsStore::TRegistrySettingsStore() : keys(MakeRegistryKeys(kKeyPath)) {}

TRegistrySettingsStore::TRegistrySettingsStore(std::unique_ptr<TRegistryKeys> k)
    : keys(std::move(k)) {}

TRegistrySettingsStore::~TRegistrySettingsStore() {
    Close();
}

std::string TRegistrySettingsStore::Location() {
    return std::string("HKEY_LOCAL_MACHINE\\") + kKeyPath + " (HKEY_CURRENT_USER\\" + kKeyPath +
           " when it exists or the machine-wide key may not be written)";
}

bool TRegistrySettingsStore::Open() {
    Close();
    userOpen = keys->Open(TRoot::User, false, true) == TOpen::Ok;
    const TOpen machine = keys->Open(TRoot::Machine, true, true);
    machineWritable = machine == TOpen::Ok;
    machineOpen = machineWritable || (machine == TOpen::Denied &&
                                      keys->Open(TRoot::Machine, false, false) == TOpen::Ok);
    if (!userOpen && !machineOpen) {
        userOpen = keys->Open(TRoot::User, true, true) == TOpen::Ok;
    }
    return userOpen || machineOpen;
}

TSettingsStore::TRead TRegistrySettingsStore::ReadInt(const char* name, int32_t& value) {
    if (userOpen) {
        const TRead r = keys->Read(TRoot::User, name, value);
        if (r != TRead::Missing) {
            return r;
        }
    }
    return machineOpen ? keys->Read(TRoot::Machine, name, value) : TRead::Missing;
}

bool TRegistrySettingsStore::WriteInt(const char* name, int32_t value) {
    if (!userOpen && machineWritable && keys->Write(TRoot::Machine, name, value)) {
        return true;
    }
    // The machine-wide key refused the value: it goes to the user's own key.
    if (!userOpen) {
        userOpen = keys->Open(TRoot::User, true, true) == TOpen::Ok;
    }
    return userOpen && keys->Write(TRoot::User, name, value);
}

void TRegistrySettingsStore::Close() {
    if (userOpen) {
        keys->Close(TRoot::User);
    }
    if (machineOpen) {
        keys->Close(TRoot::Machine);
    }
    userOpen = machineOpen = machineWritable = false;
}
