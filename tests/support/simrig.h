// A host port wired to the virtual ECU through the fake serial library, on a manual clock:
// the whole line runs on virtual time, so a test of seconds of traffic takes milliseconds.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "ecu/serialcomm.h"
#include "sim/virtualecu.h"
#include "tests/support/fakeserial.h"
#include "tests/support/manualclock.h"
#include "tests/support/memorysettings.h"

class TVirtualEcuPeer : public TSerialPeer {
public:
    explicit TVirtualEcuPeer(TVirtualEcu& ecu) : ecu(ecu) {}
    void HostSent(uint8_t b, TNs start, int bps) override { ecu.HostSent(b, start, bps); }
    void Poll(TNs when, int hostBps, std::vector<uint8_t>& out) override {
        ecu.Poll(when, hostBps, out);
    }
    TNs NextEvent(TNs when, int hostBps) override { return ecu.NextEvent(when, hostBps); }

private:
    TVirtualEcu& ecu;
};

struct TSimRig {
    explicit TSimRig(TEcuSimConfig config = {},
                     std::map<std::string, TMemorySettingsStore::TValue> settings = {})
        : ecu(std::move(config), clock.Now()) {
        lib.AttachPeer(&peer);
        store.values = std::move(settings);
        port = std::make_unique<TSerialComm>(lib, store, clock);
        port->Open();
    }
    TNs Now() { return clock.Now(); }

    TManualClock clock;
    TVirtualEcu ecu;
    TVirtualEcuPeer peer{ecu};
    TFakeSerialLibrary lib{clock};
    TMemorySettingsStore store;
    std::unique_ptr<TSerialComm> port;
};
