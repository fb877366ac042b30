// A host port wired to the virtual ECU through the fake serial library, on a manual clock:
// the whole line runs on virtual time, so a test of seconds of traffic takes milliseconds.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "ecu/ecucontrol.h"
#include "ecu/serialcomm.h"
#include "firmware/ihexfile.h"
#include "sim/virtualecu.h"
#include "tests/support/fakeserial.h"
#include "tests/support/manualclock.h"
#include "tests/support/memorysettings.h"
#include "tests/support/recordingui.h"

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

// The virtual ECU on the fake library's line, on a manual clock.
struct TSimLine {
    explicit TSimLine(TEcuSimConfig config = {},
                      std::map<std::string, TMemorySettingsStore::TValue> settings = {})
        : ecu(std::move(config), clock.Now()) {
        lib.AttachPeer(&peer);
        store.values = std::move(settings);
    }
    TNs Now() { return clock.Now(); }

    TManualClock clock;
    TVirtualEcu ecu;
    TVirtualEcuPeer peer{ecu};
    TFakeSerialLibrary lib{clock};
    TMemorySettingsStore store;
};

// An open host port on that line.
struct TSimRig : TSimLine {
    using TSimLine::TSimLine;
    std::unique_ptr<TSerialComm> port = [this] {
        auto p = std::make_unique<TSerialComm>(lib, store, clock);
        p->Open();
        return p;
    }();
};

// A host port on the fake library with nothing on the line: the test scripts what arrives.
struct TFakePortRig {
    explicit TFakePortRig(bool open = true) {
        if (open) {
            port.Open();
        }
    }
    TManualClock clock;
    TFakeSerialLibrary lib{clock};
    TMemorySettingsStore store;
    TSerialComm port{lib, store, clock};
};

// The virtual ECU for a control thread on virtual time, with recording doubles for what the
// thread reports.
struct TSimControlRig : TSimLine {
    using TSimLine::TSimLine;
    TECUControlLinks Links() {
        TECUControlLinks links{lib, store, clock, &panels, &observer, &messages};
        links.commands = &commands;
        return links;
    }

    TRecordingPanels panels;
    TRecordingObserver observer;
    TRecordingMessages messages;
    TRecordingCommands commands;
    TRecordingProgress progress;
};

// An image of `used` bytes of a pattern, the last one 0x00 so that it counts.
inline std::shared_ptr<TIHexFile> TestImage(int used) {
    auto image = std::make_shared<TIHexFile>();
    for (int i = 0; i < used; ++i) {
        image->data[i] = static_cast<uint8_t>(i * 31 + 1 + (i >> 8));
    }
    if (used > 0) {
        image->data[used - 1] = 0x00;
    }
    image->usedLength = used;
    return image;
}
