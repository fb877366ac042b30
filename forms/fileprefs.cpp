#include "forms/fileprefs.h"

#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QVBoxLayout>

#include "ecu/commsettings.h"
#include "forms/placement.h"
#include "platform/serialdevices.h"

TfilePrefsDlg::TfilePrefsDlg(TSettingsStore& s, const TPortMap& p, QWidget* parent,
                             const TSerialDeviceList* d, TPortMapStore* ps)
    : QDialog(parent), store(s), ports(p), devices(d), portStore(ps) {
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
    devicesLst = new QListWidget;
    devicesLst->setObjectName("devicesLst");
    devicesLst->setToolTip("Pick the device the chosen port stands for");
    noDevicesLbl = new QLabel("No serial devices were found on this machine.");
    noDevicesLbl->setObjectName("noDevicesLbl");
    noDevicesLbl->setWordWrap(true);
    auto* note = new QLabel("New settings take effect the next time Brindle starts.");
    note->setObjectName("restartNote");
    note->setWordWrap(true);
    auto* form = new QFormLayout;
    form->addRow("Com Port", comportCbx);
    form->addRow("", deviceLbl);
    form->addRow("Baud Rate", baudCbx);
    auto* commsLayout = new QVBoxLayout(comms);
    commsLayout->addLayout(form);
    commsLayout->addWidget(new QLabel("Serial devices on this machine"));
    commsLayout->addWidget(devicesLst, 1);
    commsLayout->addWidget(noDevicesLbl);
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
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages);
    layout->addLayout(ButtonRow({cancelBtn, okBtn}));

    connect(okBtn, &QPushButton::clicked, this, &TfilePrefsDlg::okBtnClick);
    connect(cancelBtn, &QPushButton::clicked, this, &QDialog::hide);
    connect(comportCbx, &QComboBox::currentIndexChanged, this, [this] {
        // The device the newly chosen port stands for, if it is among those present.
        const std::string path = StoredPath(comportCbx->currentIndex());
        devicesLst->setCurrentRow(-1);
        for (int i = 0; i < devicesLst->count(); ++i) {
            const QStringList names = devicesLst->item(i)->data(Qt::UserRole).toStringList();
            if (names.contains(QString::fromStdString(path))) {
                devicesLst->setCurrentRow(i);
            }
        }
        ShowDevice();
    });
    connect(devicesLst, &QListWidget::currentRowChanged, this, &TfilePrefsDlg::ShowDevice);
}

std::string TfilePrefsDlg::StoredPath(int port) const {
    TPortMap stored = ports;
    if (portStore) {
        portStore->LoadPortOverrides(stored);
    }
    return stored.MappedPath(port);
}

void TfilePrefsDlg::ListDevices() {
    devicesLst->clear();
    const std::vector<TSerialDevice> found =
        devices && portStore ? devices->Devices() : std::vector<TSerialDevice>{};
    for (const TSerialDevice& device : found) {
        QString text = QString::fromStdString(device.path + "   " + device.Description());
        auto* item = new QListWidgetItem(text, devicesLst);
        // The stable name first: it is what gets stored.
        item->setData(Qt::UserRole, QStringList{QString::fromStdString(device.StableName()),
                                                QString::fromStdString(device.path)});
        item->setToolTip(QString::fromStdString(device.StableName()));
    }
    devicesLst->setVisible(!found.empty());
    noDevicesLbl->setVisible(found.empty());
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
    ListDevices();
    emit comportCbx->currentIndexChanged(comportCbx->currentIndex());
}

void TfilePrefsDlg::ShowDevice() {
    const int port = comportCbx->currentIndex();
    if (port < 0) {
        deviceLbl->setText("No port chosen");
        return;
    }
    QListWidgetItem* picked = devicesLst->currentItem();
    const QString path = picked ? picked->data(Qt::UserRole).toStringList().first()
                                : QString::fromStdString(StoredPath(port));
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
    bool saved = settings.Save(store);
    // The picked device becomes the chosen port's, by its stable name.
    if (QListWidgetItem* picked = devicesLst->currentItem();
        picked && portStore && comportCbx->currentIndex() >= 0) {
        const std::string device = picked->data(Qt::UserRole).toStringList().first().toStdString();
        if (StoredPath(comportCbx->currentIndex()) != device) {
            saved = portStore->SavePortPath(comportCbx->currentIndex(), device) && saved;
        }
    }
    if (!saved) {
        QMessageBox::warning(parentWidget(), "Error!",
                             "The communication settings could not be saved.");
    }
}
