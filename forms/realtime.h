// The Engine Data window: thirteen live engine values as text, refreshed from the link
// session's sensor record. It is an MDI child of the main window and lives as long as its
// refresh thread (TrealtimeThr).
#pragma once

#include <QLabel>
#include <QWidget>
#include <vector>

#include "ecu/sensorrecord.h"

class TECU;

class TrealtimeDlg : public QWidget {
    Q_OBJECT
public:
    explicit TrealtimeDlg(QWidget* mainWindow);

    // Copies the session's record into the labels (UI thread). A null session changes nothing.
    void UpdateDisplay(const TECU* session);
    void ShowRecord(const SensorRecord& record);

    QLabel* Value(const char* name) const;

protected:
    // The window refuses to close and asks the main window to stop its refresh thread.
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* mainWindow;
    QWidget* textPanel;
    std::vector<QLabel*> values;  // lblRPM .. lblEGT2, top to bottom
};
