// An in-memory settings store with switches for the failures a real one can have.
#pragma once

#include <map>
#include <string>
#include <variant>

#include "ecu/settingsstore.h"

class TMemorySettingsStore : public TSettingsStore {
public:
    using TValue = std::variant<int32_t, std::string>;

    bool Open() override {
        isOpen = !failOpen;
        return isOpen;
    }
    TRead ReadInt(const char* name, int32_t& value) override {
        auto it = values.find(name);
        if (!isOpen || it == values.end()) {
            return TRead::Missing;
        }
        if (const int32_t* v = std::get_if<int32_t>(&it->second)) {
            value = *v;
            return TRead::Ok;
        }
        return TRead::NotInteger;
    }
    bool WriteInt(const char* name, int32_t value) override {
        ++writes;
        if (!isOpen || (failWritesAfter >= 0 && writes > failWritesAfter)) {
            return false;
        }
        values[name] = value;
        return true;
    }
    void Close() override { isOpen = false; }

    std::map<std::string, TValue> values;
    bool failOpen = false;
    int failWritesAfter = -1;  // writes after this many fail; -1: never
    int writes = 0;
    bool isOpen = false;
};
