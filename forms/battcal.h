// The battery voltage display: the battery voltage the ECU reports, refreshed four times a
// second while the dialog is shown, beside a calibration constant that is kept but not sent.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include "forms/liveness.h"

class TECU;

class TdlgBattCal : public QDialog {
    Q_OBJECT
public:
    explicit TdlgBattCal(QWidget* parent = nullptr);

    QLabel* voltslbl;
    QLabel* voltage;
    QLabel* Label1;
    QSpinBox* calibConst;
    QLabel* Label2;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
    QTimer TVoltageTimer;

    QLabel* staleLbl;  // "No data since HH:MM:SS" while the voltage is not live

    const TECU* session = nullptr;  // set by the main window before every showing

    void TVoltageTimerTimer();
    // The link as the main window shows it: while not connected the voltage is greyed.
    void SetConnected(bool connected);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void ShowLiveness();
    TLiveness liveness;
};
