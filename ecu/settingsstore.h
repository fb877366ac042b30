// Storage of the communication settings: one key holding a few integer values.
#pragma once

#include <cstdint>

class TSettingsStore {
public:
    enum class TRead { Ok, Missing, NotInteger };

    virtual ~TSettingsStore() = default;

    // Opens the key, creating it when it does not exist. False when neither is possible.
    virtual bool Open() = 0;
    // Reads one integer value of the open key.
    virtual TRead ReadInt(const char* name, int32_t& value) = 0;
    // Writes one integer value; false when it could not be stored.
    virtual bool WriteInt(const char* name, int32_t value) = 0;
    // Closes the key (and releases the access).
    virtual void Close() = 0;
};
