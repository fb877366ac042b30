// The Engine Data window: thirteen live engine values as text, refreshed from the link
// session's sensor record by a timer on the UI thread: the first update 250 ms after the
// window opens, then 250 ms after the end of each update. An MDI child of the main window.
// While the link is not "Connected" the values are greyed under "No data since HH:MM:SS"
// until the next record arrives.
#pragma once

#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <vector>

#include "ecu/sensorrecord.h"
#include "forms/liveness.h"

class TECU;

class TrealtimeDlg : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 250;

    // `session` may be null: the labels then stay as they are.
    explicit TrealtimeDlg(const TECU* session, QWidget* parent = nullptr);

    // Copies the session's record into the labels (UI thread).
    void UpdateDisplay();
    void ShowRecord(const SensorRecord& record);
    // The link as the main window shows it.
    void SetConnected(bool connected);

    QLabel* Value(const char* name) const;
    QLabel* staleLbl;

signals:
    // The user closed the window; it stays until its owner destroys it.
    void closeRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void ShowLiveness();

    const TECU* session;
    QWidget* textPanel;
    std::vector<QLabel*> values;  // lblRPM .. lblEGT2, top to bottom
    QTimer refresh;
    TLiveness liveness;
};
