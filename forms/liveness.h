// Whether live values on screen are still live. They turn stale when the link leaves
// "Connected" and come back with the next record the session receives.
#pragma once

#include <QString>
#include <QTime>
#include <cstdint>

class TLiveness {
public:
    // The link as the main window shows it.
    void SetConnected(bool connected) {
        if (!connected) {
            stale = true;
        }
    }
    // The session's count of records at an update of the display.
    void Seen(uint64_t updates) {
        if (first) {
            first = false;
        } else if (updates != lastUpdates) {
            lastRecord = QTime::currentTime();
            stale = false;
        }
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
    QTime lastRecord;
};
