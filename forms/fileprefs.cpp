#include "forms/fileprefs.h"

#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QVBoxLayout>

#include "ecu/commsettings.h"
#include "platform/portmap.h"

TfilePrefsDlg::TfilePrefsDlg(TSettingsStore& s, const TPortMap& p, QWidget* parent)
    : QDialog(parent), store(s), ports(p) {
    setObjectName("filePrefsDlg");
    setWindowTitle("Perferences");
    resize(363, 329);

    pages = new QTabWidget(this);
    pages->setObjectName("PageControl1");

    auto* comms = new QWidget;
    comportCbx = new QComboBox;
    comportCbx->setObjectName("comportCbx");
    for (int i = 0; i < TPortMap::kPorts; ++i) {
        comportCbx->addItem(QString::fromStdString(TPortMap::PortName(i)));
    }
    baudCbx = new QComboBox;
    baudCbx->setObjectName("baudCbx");
    baudCbx->addItems({"9600", "19200", "38400", "57600", "115200"});
    deviceLbl = new QLabel;
    deviceLbl->setObjectName("deviceLbl");
    deviceLbl->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* note = new QLabel("New settings take effect the next time Brindle starts.");
    note->setObjectName("restartNote");
    note->setWordWrap(true);
    auto* form = new QFormLayout;
    form->addRow("Com Port", comportCbx);
    form->addRow("", deviceLbl);
    form->addRow("Baud Rate", baudCbx);
    auto* commsLayout = new QVBoxLayout(comms);
    commsLayout->addLayout(form);
    commsLayout->addStretch();
    commsLayout->addWidget(note);
    pages->addTab(comms, "Communications");

    auto* units = new QWidget;
    auto* unitsForm = new QFormLayout(units);
    auto unitBox = [&](const char* name, const QStringList& items) {
        auto* box = new QComboBox;
        box->setObjectName(name);
        box->addItems(items);
        box->setCurrentIndex(-1);  // no initial selection
        return box;
    };
    ComboBox1 = unitBox("ComboBox1", {"Lambda", "AFR"});
    ComboBox2 = unitBox("ComboBox2", {"KPa", "inHg/PSI"});
    ComboBox3 = unitBox("ComboBox3", {"Celcius", "Fahrenheit"});
    ComboBox4 = unitBox("ComboBox4", {"Kilometers", "Miles"});
    unitsForm->addRow("O2 Units", ComboBox1);
    unitsForm->addRow("MAP Units", ComboBox2);
    unitsForm->addRow("Temperature Units", ComboBox3);
    unitsForm->addRow("Speed Units", ComboBox4);
    pages->addTab(units, "Units");
    pages->setCurrentIndex(1);  // the program starts on "Units"

    okBtn = new QPushButton("OK");
    okBtn->setObjectName("okBtn");
    okBtn->setDefault(true);
    cancelBtn = new QPushButton("Cancel");
    cancelBtn->setObjectName("cancelBtn");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancelBtn);
    buttons->addWidget(okBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages);
    layout->addLayout(buttons);

    connect(okBtn, &QPushButton::clicked, this, &TfilePrefsDlg::okBtnClick);
    connect(cancelBtn, &QPushButton::clicked, this, &QDialog::hide);
    connect(comportCbx, &QComboBox::currentIndexChanged, this, &TfilePrefsDlg::ShowDevice);
}

void TfilePrefsDlg::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TfilePrefsDlg::FormShow() {
    const TCommSettings settings = TCommSettings::Stored(store);
    comportCbx->setCurrentIndex(
        settings.comPort >= 0 && settings.comPort < TPortMap::kPorts ? settings.comPort : -1);
    const int baud = settings.commBaud;
    baudCbx->setCurrentIndex(baud >= 5 && baud <= 9 ? baud - 5 : 0);
    ShowDevice();
}

void TfilePrefsDlg::ShowDevice() {
    const int port = comportCbx->currentIndex();
    if (port < 0) {
        deviceLbl->setText("No port chosen");
        return;
    }
    const QString path = QString::fromStdString(ports.MappedPath(port));
    const bool present = QFileInfo::exists(path);
    QString text = path + (present ? "  (present)" : "  (not found)");
    if (!ports.RunOverride().empty()) {
        text += "\nThis run uses " + QString::fromStdString(ports.RunOverride()) + " (--port)";
    }
    deviceLbl->setText(text);
}

void TfilePrefsDlg::okBtnClick() {
    TCommSettings settings = TCommSettings::Stored(store);
    // With no port chosen (a stored number outside Com1..Com8) the stored port stays as it is.
    if (comportCbx->currentIndex() >= 0) {
        settings.comPort = comportCbx->currentIndex();
    }
    const int baud = baudCbx->currentIndex();
    settings.commBaud = baud >= 0 && baud <= 4 ? 5 + baud : 5;
    hide();
    if (!settings.Save(store)) {
        QMessageBox::warning(parentWidget(), "Error!",
                             "The communication settings could not be saved.");
    }
}
