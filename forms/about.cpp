#include "forms/about.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "forms/placement.h"
#include "forms/version.h"

TdlgHelpAbout::TdlgHelpAbout(QWidget* parent)
    : QDialog(parent), fileVersion(kBrindleFileVersion), legalCopyright(kBrindleCopyright) {
    setObjectName("dlgHelpAbout");
    setWindowTitle("About Brindle");
    resize(435, 219);

    icon = new QLabel;
    icon->setObjectName("icon");
    icon->setFixedSize(41, 41);
    icon->setPixmap(QApplication::windowIcon().pixmap(41, 41));
    Label1 = new QLabel("Brindle");
    Label1->setObjectName("Label1");
    QFont big = Label1->font();
    big.setBold(true);
    big.setPointSize(big.pointSize() * 2);
    Label1->setFont(big);
    lblVersion = new QLabel("version");
    lblVersion->setObjectName("lblVersion");
    lblCopyright = new QLabel("copyright");
    lblCopyright->setObjectName("lblCopyright");
    OKBtn = new QPushButton("OK");
    OKBtn->setObjectName("OKBtn");
    OKBtn->setDefault(true);

    auto* grid = new QGridLayout;
    grid->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(Label1, 0, 1);
    grid->addWidget(lblVersion, 1, 1);
    grid->addWidget(lblCopyright, 2, 1);
    grid->setColumnStretch(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addStretch();
    layout->addLayout(ButtonRow({OKBtn}));
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
}

void TdlgHelpAbout::showEvent(QShowEvent* event) {
    if (icon->pixmap().isNull()) {
        icon->setPixmap(QApplication::windowIcon().pixmap(41, 41));
    }
    if (!legalCopyright.isEmpty()) {
        lblCopyright->setText(legalCopyright);
    }
    if (!fileVersion.isEmpty()) {
        lblVersion->setText(fileVersion);
    }
    QDialog::showEvent(event);
}
