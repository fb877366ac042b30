// The Preferences dialog: the serial port and the communication rate, stored for the next
// start. The "Units" page is kept for its choices but nothing reads them.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>

class TPortMap;
class TSettingsStore;

class TfilePrefsDlg : public QDialog {
    Q_OBJECT
public:
    // The store and the port map must outlive the dialog. It never opens a port.
    TfilePrefsDlg(TSettingsStore& store, const TPortMap& ports, QWidget* parent = nullptr);

    QTabWidget* pages;
    QComboBox* comportCbx;
    QComboBox* baudCbx;
    QLabel* deviceLbl;  // the device the chosen port is on this machine
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

    TSettingsStore& store;
    const TPortMap& ports;
};
