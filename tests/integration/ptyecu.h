// brindle-ecusim on a pseudo-terminal, and the program's own serial layer pointed at it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ecu/clock.h"
#include "platform/posixserial.h"
#include "tests/support/childprocess.h"
#include "tests/support/memorysettings.h"

struct TPtyEcu {
    // Starts brindle-ecusim with `options`; the port is its terminal, or its --link.
    explicit TPtyEcu(std::vector<std::string> options = {},
                     std::map<std::string, TMemorySettingsStore::TValue> settings = {}) {
        std::vector<std::string> args = {ProjectBinary("brindle-ecusim")};
        args.insert(args.end(), options.begin(), options.end());
        EXPECT_TRUE(sim.Start(args));
        EXPECT_TRUE(sim.ReadLine(terminal, 5000));
        const auto link = std::find(options.begin(), options.end(), "--link");
        map.SetRunOverride(link != options.end() && link + 1 != options.end() ? *(link + 1)
                                                                              : terminal);
        store.values = std::move(settings);
        lib = std::make_unique<TPosixSerialLibrary>(map);
    }

    TChildProcess sim;  // ended last, after the port
    std::string terminal;
    TPortMap map;
    TMemorySettingsStore store;
    std::unique_ptr<TPosixSerialLibrary> lib;
};
