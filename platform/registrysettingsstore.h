// The settings store over the Windows registry: the key "Software\Quellmark, Inc.\Brindle"
// under HKEY_LOCAL_MACHINE with four DWORD values.
//
// A user who is not an administrator may read that key but not write it. So that their
// preferences still save, the same key under HKEY_CURRENT_USER is read first when it exists,
// and a write goes there when the machine-wide key refuses it (or when the per-user key
// already exists, so that a value is always written where it is read back from).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ecu/settingsstore.h"

// The key under its two roots, as the store uses them. The program's implementation is the
// registry; tests use a double, since Wine lets every write to HKEY_LOCAL_MACHINE through.
class TRegistryKeys {
public:
    enum class TRoot { Machine, User };
    enum class TOpen { Ok, Missing, Denied, Failed };

    virtual ~TRegistryKeys() = default;
    // Opens the key under `root`, read-only or for writing; `create` makes it when missing.
    virtual TOpen Open(TRoot root, bool create, bool write) = 0;
    virtual TSettingsStore::TRead Read(TRoot root, const char* name, int32_t& value) = 0;
    virtual bool Write(TRoot root, const char* name, int32_t value) = 0;
    virtual void Close(TRoot root) = 0;
};

// The registry itself, for the key `path` (relative to each root).
std::unique_ptr<TRegistryKeys> MakeRegistryKeys(const std::string& path);

class TRegistrySettingsStore : public TSettingsStore {
public:
    static constexpr const char* kKeyPath = "Software\\Quellmark, Inc.\\Brindle";

    TRegistrySettingsStore();  // the program's key in the registry
    explicit TRegistrySettingsStore(std::unique_ptr<TRegistryKeys> keys);
    ~TRegistrySettingsStore() override;

    // Opens what exists of the two keys: the machine-wide one is created when missing, and
    // the per-user one when neither exists and the machine-wide one cannot be made.
    bool Open() override;
    // The per-user value when it exists, else the machine-wide one.
    TRead ReadInt(const char* name, int32_t& value) override;
    bool WriteInt(const char* name, int32_t value) override;
    void Close() override;

    // Where the settings live, for messages.
    static std::string Location();

private:
    using TRoot = TRegistryKeys::TRoot;
    using TOpen = TRegistryKeys::TOpen;

    std::unique_ptr<TRegistryKeys> keys;
    bool userOpen = false;
    bool machineOpen = false;
    bool machineWritable = false;
};
