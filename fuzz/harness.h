// What the fuzzers share: invariant checks (a broken invariant aborts, so libFuzzer keeps
// the input), the trace switch, and the line that the port-level fuzzers run on.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "ecu/serialcomm.h"
#include "tests/support/fakeserial.h"
#include "tests/support/manualclock.h"
#include "tests/support/memorysettings.h"

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// BRINDLE_FUZZ_TRACE=1 makes a fuzzer tell what happened, to look into an input by hand.
inline bool Trace() {
    return std::getenv("BRINDLE_FUZZ_TRACE") != nullptr;
}

// A manual clock, the fake serial library playing a script of chunks
// (TFakeSerialLibrary::DecodeScript) as the far end, and a port open on it with the default
// settings.
struct TFuzzLine {
    explicit TFuzzLine(std::vector<TFakeSerialLibrary::TChunk> script) {
        for (const auto& c : script) {
            bytes.insert(bytes.end(), c.bytes.begin(), c.bytes.end());
        }
        lib.PlayScript(std::move(script));
        Check(port.Open(), "the fake port did not open");
    }

    TManualClock clock;
    TFakeSerialLibrary lib{clock};
    TMemorySettingsStore store;
    TSerialComm port{lib, store, clock};
    std::vector<uint8_t> bytes;  // every byte of the script, in line order
};
