// The About box: the program's name, icon, version and copyright line.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>

class TdlgHelpAbout : public QDialog {
    Q_OBJECT
public:
    explicit TdlgHelpAbout(QWidget* parent = nullptr);

    QLabel* icon;
    QLabel* Label1;
    QLabel* lblVersion;
    QLabel* lblCopyright;
    QPushButton* OKBtn;

    // Version and copyright texts of the running program (fixed at build time); an empty
    // text leaves its label as it is.
    QString fileVersion;
    QString legalCopyright;

protected:
    void showEvent(QShowEvent* event) override;
};
