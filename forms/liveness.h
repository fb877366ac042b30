// Whether live values on screen are still live. They turn stale when the link leaves
// "Connected" (or an upload stops the polling) and come back with the first record the
// session receives after that.
#pragma once

#include <QString>
#include <QTime>
#include <cstdint>

class TLiveness {
public:
    // The link left "Connected"; `updates` is the session's count of records then, so a
    // record counted later but received before cannot pass for a new one.
    void Lost(uint64_t updates) {
        stale = true;
        baseline = updates;
    }
    // The session's count of records at an update of the display.
    void Seen(uint64_t updates) {
        if (!first && updates != lastUpdates && (!stale || updates > baseline)) {
            lastRecord = QTime::currentTime();
            stale = false;
        }
        first = false;
        lastUpdates = updates;
    }
    // The display was away (a dialog hidden): the next count seen is taken as it stands,
    // since records counted meanwhile may be old.
    void Restart() { first = true; }
    bool Stale() const { return stale; }
    // "No data since 14:02:11", the time this display last saw a new record.
    QString StaleText() const {
        return lastRecord.isValid() ? "No data since " + lastRecord.toString("HH:mm:ss")
                                    : QString("No data");
    }

private:
    bool first = true;
    bool stale = false;
    uint64_t lastUpdates = 0;
    uint64_t baseline = 0;
    QTime lastRecord;
};
