#include "forms/battcal.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>

#include "ecu/ecu.h"
#include "ecu/sensorrecord.h"
#include "forms/placement.h"

TdlgBattCal::TdlgBattCal(QWidget* parent) : QDialog(parent) {
    setObjectName("dlgBattCal");
    setWindowTitle("Battery Voltage Calibration");
    resize(385, 238);

    voltslbl = new QLabel("Current Battery Voltage: ");
    voltslbl->setObjectName("voltslbl");
    voltage = new QLabel("12.0V");
    voltage->setObjectName("voltage");
    QFont bold = voltage->font();
    bold.setBold(true);
    voltage->setFont(bold);
    voltage->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label1 = new QLabel("Voltage Calibration Constant");
    Label1->setObjectName("Label1");
    calibConst = new QSpinBox;
    calibConst->setObjectName("calibConst");
    calibConst->setRange(0, 255);
    calibConst->setValue(0);
    calibConst->findChild<QLineEdit*>()->setReadOnly(true);  // only the arrows change it
    Label2 = new QLabel(
        "Measure the battery voltage at the ECU and adjust the voltage calibration constant so "
        "the current battery voltage matches the measured voltage.");
    Label2->setObjectName("Label2");
    Label2->setWordWrap(true);
    OKBtn = new QPushButton("OK");
    OKBtn->setObjectName("OKBtn");
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton("Cancel");
    CancelBtn->setObjectName("CancelBtn");

    staleLbl = new QLabel;
    staleLbl->setObjectName("staleLbl");
    staleLbl->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    auto* grid = new QGridLayout;
    grid->addWidget(voltslbl, 0, 0);
    grid->addWidget(voltage, 0, 1);
    grid->addWidget(staleLbl, 1, 0, 1, 2);
    grid->addWidget(Label1, 2, 0);
    grid->addWidget(calibConst, 2, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(Label2);
    layout->addStretch();
    layout->addLayout(ButtonRow({OKBtn, CancelBtn}));

    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    TVoltageTimer.setInterval(250);
    connect(&TVoltageTimer, &QTimer::timeout, this, &TdlgBattCal::TVoltageTimerTimer);
}

void TdlgBattCal::showEvent(QShowEvent* event) {
    liveness.Restart();
    CentreOnScreen(this);
    TVoltageTimer.start();
    QDialog::showEvent(event);
}

void TdlgBattCal::hideEvent(QHideEvent* event) {
    TVoltageTimer.stop();
    QDialog::hideEvent(event);
}

void TdlgBattCal::TVoltageTimerTimer() {
    if (!session) {
        return;
    }
    uint64_t updates = 0;
    const TSensorValues v = DecodeSensors(session->SensorsSnapshot(&updates));
    liveness.Seen(updates);
    voltage->setText(QString::fromStdString(BatteryVoltsText(v.battRaw)) + "V");
    ShowLiveness();
}

void TdlgBattCal::SetConnected(bool connected) {
    if (!connected && session) {
        uint64_t updates = 0;
        session->SensorsSnapshot(&updates);
        liveness.Lost(updates);
    }
    ShowLiveness();
}

void TdlgBattCal::ShowLiveness() {
    voltage->setEnabled(!liveness.Stale());
    staleLbl->setText(liveness.Stale() ? liveness.StaleText() : QString());
}
