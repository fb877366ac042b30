// The Preferences dialog: the serial port and the communication rate, stored for the next
// start. The "Units" page is kept for its choices but nothing reads them.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>

#include "platform/portmap.h"

class TSerialDeviceList;
class TSettingsStore;

class TfilePrefsDlg : public QDialog {
    Q_OBJECT
public:
    // The store and the port map must outlive the dialog. It never opens a port. `devices`
    // lists the serial devices present and `portStore` keeps the one picked for a port; with
    // either null no device can be picked.
    TfilePrefsDlg(TSettingsStore& store, const TPortMap& ports, QWidget* parent = nullptr,
                  const TSerialDeviceList* devices = nullptr, TPortMapStore* portStore = nullptr);

    QTabWidget* pages;
    QComboBox* comportCbx;
    QComboBox* baudCbx;
    QLabel* deviceLbl;  // the device the chosen port is on this machine
    // The serial devices present; picking one makes the chosen port that device (stored by
    // its stable name in the settings file's [ports] section).
    QListWidget* devicesLst;
    QLabel* noDevicesLbl;
    QComboBox* ComboBox1;
    QComboBox* ComboBox2;
    QComboBox* ComboBox3;
    QComboBox* ComboBox4;
    QPushButton* okBtn;
    QPushButton* cancelBtn;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    void okBtnClick();
    void ShowDevice();
    void ListDevices();
    // The device a port stands for now, with the stored [ports] entries read afresh.
    std::string StoredPath(int port) const;

    TSettingsStore& store;
    const TPortMap& ports;
    const TSerialDeviceList* devices;
    TPortMapStore* portStore;
};
