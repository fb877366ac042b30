#include "app/mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QThread>

#include "app/events.h"
#include "app/forms.h"
#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "ecu/packet.h"
#include "firmware/ihexfile.h"
#include "forms/realtimethr.h"

namespace {

const char kConfirmUpload[] =
    "You are about to upload new firmware to your ECU. You must ensure that power and "
    "connectivity is maintained during the upgrade.\n Do you wish to continue?";
const char kNoFirmware[] =
    "WARNING! Your ECU does not appear to have any firmware loaded. This may have been caused "
    "by a failed firmware update or the firmware reset procedure.\nDo you wish to upload a "
    "firmware image?";

bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace

TMainWindow::TMainWindow(const TAppContext& ctx) : context(ctx) {
    setObjectName("MainWindow");
    setWindowTitle("Brindle");
    setGeometry(228, 168, 870, 640);

    mdiArea = new QMdiArea(this);
    mdiArea->setBackground(palette().brush(QPalette::Dark));
    setCentralWidget(mdiArea);

    StatusBar = statusBar();
    StatusBar->setObjectName("StatusBar");
    StatusBar->setSizeGripEnabled(true);
    const int widths[] = {125, 300, 50};
    for (int i = 0; i < 3; ++i) {
        panels[i] = new QLabel(this);
        panels[i]->setObjectName(QString("panel%1").arg(i));
        panels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panels[i]->setMinimumWidth(widths[i]);
        if (i < 2) {
            panels[i]->setFixedWidth(widths[i]);
        }
        // The last panel takes the rest of the bar, so the board text is never cut short.
        StatusBar->addWidget(panels[i], i == 2 ? 1 : 0);
    }
    panels[0]->setAlignment(Qt::AlignCenter);
    panels[0]->setText("Offline");

    mnuFile = menuBar()->addMenu("&File");
    itmPrefs = mnuFile->addAction("P&references", this, &TMainWindow::itmPrefsClick);
    mnuFile->addSeparator();
    itmExit = mnuFile->addAction("E&xit", this, &QWidget::close);
    View1 = menuBar()->addMenu("&View");
    EngineData1 = View1->addAction("&Engine Data", this, &TMainWindow::EngineData1Click);
    Map1 = menuBar()->addMenu("&Map");
    Calibration1 = Map1->addMenu("&Calibration");
    TPSCalibration1 = Calibration1->addAction("TPS Calibration");
    EGTCalibration1 = Calibration1->addAction("EGT Calibration");
    WBO2Calibration1 = Calibration1->addAction("WBO2 Calibration");
    BatteryVoltage1 =
        Calibration1->addAction("Battery Voltage", this, &TMainWindow::BatteryVoltage1Click);
    Settings1 = menuBar()->addMenu("&Settings");
    mnuUpdateFirmware =
        Settings1->addAction("Update Firmware", this, &TMainWindow::mnuUpdateFirmwareClick);
    mnuTools = menuBar()->addMenu("&Tools");
    itmFuelCalcs = mnuTools->addAction("&Fuel Calculator", this, &TMainWindow::itmFuelCalcsClick);
    mnuHelp = menuBar()->addMenu("&Help");
    itmAbout = mnuHelp->addAction("&About", this, &TMainWindow::itmAboutClick);
    for (QAction* a :
         {itmPrefs, itmExit, EngineData1, TPSCalibration1, EGTCalibration1, WBO2Calibration1,
          BatteryVoltage1, mnuUpdateFirmware, itmFuelCalcs, itmAbout}) {
        a->setObjectName(a->text().remove('&').remove(' '));
    }

    firmwareLoadDlg = new QFileDialog(this, "Open Firmware Image");
    firmwareLoadDlg->setObjectName("firmwareLoadDlg");
    firmwareLoadDlg->setNameFilter("Firmware Image (*.hex)");
    firmwareLoadDlg->setFileMode(QFileDialog::ExistingFile);
    firmwareLoadDlg->setAcceptMode(QFileDialog::AcceptOpen);
    firmwareLoadDlg->setOption(QFileDialog::DontUseNativeDialog);
    firmwareLoadDlg->setOption(QFileDialog::ReadOnly);

    statusPanels = std::make_unique<TQtStatusPanels>(panels);
    notifier = std::make_unique<TQtLinkStateNotifier>(this);
    messageBox = std::make_unique<TQtMessageBox>(this);

    // A log that cannot be created is no reason not to start.
    OpenPacketLog(context.logPath);
    ecuControl = new TECUControl({*context.library, *context.settings, *context.clock,
                                  statusPanels.get(), notifier.get(), messageBox.get()});
    realtimeThr = nullptr;
}

TMainWindow::~TMainWindow() {
    // Normally the close has released these; a window destroyed without closing must too.
    StopRealtime();
    delete ecuControl;
    ecuControl = nullptr;
}

bool TMainWindow::event(QEvent* e) {
    if (e->type() == kEcuStateEvent) {
        WMEcuState();
        return true;
    }
    if (e->type() == kRealtimeClosedEvent) {
        WMRealtimeClosed();
        return true;
    }
    return QMainWindow::event(e);
}

void TMainWindow::WMEcuState() {
    if (!ecuControl) {
        return;  // late notice after the shutdown released the control thread
    }
    const uint8_t state = ecuControl->session->linkState.load();
    const std::string text = LinkStateText(state);
    if (text.empty()) {
        return;
    }
    const int previous = shownLinkState;
    panels[0]->setText(QString::fromStdString(text));
    shownLinkState = state;
    // One prompt per change to the boot loader, however many notices report it.
    if (state == kLinkLoader && previous != kLinkLoader) {
        if (flowRunning) {
            loaderPromptPending = true;  // never over an open update
        } else {
            MissingFirmwareFlow();
        }
    }
}

void TMainWindow::StopRealtime() {
    if (!realtimeThr) {
        return;
    }
    realtimeThr->RequestStop();
    realtimeThr->WaitFor();
    delete realtimeThr;
    realtimeThr = nullptr;
}

void TMainWindow::WMRealtimeClosed() {
    StopRealtime();
}

void TMainWindow::EngineData1Click() {
    if (realtimeThr || !ecuControl) {
        return;
    }
    realtimeThr = new TrealtimeThr(this, mdiArea);
    realtimeThr->session = ecuControl->session;
    realtimeThr->Resume();
}

void TMainWindow::itmPrefsClick() {
    filePrefsDlg->show();
    filePrefsDlg->raise();
    filePrefsDlg->activateWindow();
}

void TMainWindow::BatteryVoltage1Click() {
    dlgBattCal->session = ecuControl ? ecuControl->session : nullptr;
    dlgBattCal->exec();
}

void TMainWindow::itmFuelCalcsClick() {
    fuelCalcsDlg->exec();
}

void TMainWindow::itmAboutClick() {
    dlgHelpAbout->exec();
}

bool TMainWindow::ChooseFile(QString& path) {
    if (firmwareLoadDlg->exec() != QDialog::Accepted) {
        return false;
    }
    const QStringList files = firmwareLoadDlg->selectedFiles();
    path = files.isEmpty() ? QString() : files.first();
    return true;
}

std::shared_ptr<TIHexFile> TMainWindow::LoadImage(const QString& path) {
    auto image = std::make_shared<TIHexFile>();
    if (!image->Open(path.toStdString())) {
        return nullptr;
    }
    panels[1]->setText("Loading firmware image...");
    if (!image->Load()) {
        QMessageBox box(QMessageBox::NoIcon, "Debug", QString::fromStdString(image->LastError()),
                        QMessageBox::Ok, this);
        box.exec();
        return nullptr;
    }
    return image;
}

void TMainWindow::ShowNoImageError() {
    QMessageBox box(QMessageBox::NoIcon, QString(), "ERROR! Unable to open firmware image.",
                    QMessageBox::Ok, this);
    box.exec();
}

void TMainWindow::mnuUpdateFirmwareClick() {
    if (flowRunning || !ecuControl) {
        return;
    }
    flowRunning = true;
    QString path;
    if (ChooseFile(path)) {
        panels[1]->setText("Loading firmware image...");
        QCoreApplication::processEvents();
        if (std::shared_ptr<TIHexFile> image = LoadImage(path)) {
            if (AskYesNo(this, "Firmware Upgrade", kConfirmUpload)) {
                RunUpload(image, "Updating Firmware");
            }
        } else {
            ShowNoImageError();
        }
    }
    FlowEnded();
}

void TMainWindow::MissingFirmwareFlow() {
    flowRunning = true;
    panels[0]->setText("Loader");
    QString path;
    if (AskYesNo(this, "No Firmware", kNoFirmware) && ChooseFile(path)) {
        if (std::shared_ptr<TIHexFile> image = LoadImage(path)) {
            RunUpload(image, "Uploading Firmware");
        } else {
            ShowNoImageError();
        }
    }
    FlowEnded();
}

void TMainWindow::FlowEnded() {
    flowRunning = false;
    if (loaderPromptPending) {
        loaderPromptPending = false;
        if (ecuControl && ecuControl->session->linkState == kLinkLoader && !closing) {
            MissingFirmwareFlow();
        }
    }
}

void TMainWindow::RunUpload(const std::shared_ptr<TIHexFile>& image, const QString& caption) {
    progressDlg->BeginUpdate();
    std::shared_ptr<TECUFlashCmd> command = ecuControl->PostFlashCommand(image, progressDlg);
    progressDlg->setWindowTitle(caption);
    progressDlg->progressBar->setValue(0);
    progressDlg->statusText->setText("Initialising...");
    progressDlg->ShowModal(command);
    repaint();
    if (command->Succeeded()) {
        return;
    }
    // The window closed without a completed upload: the user abandoned it, or the boot loader
    // did not answer. Either way the command must not go on retrying unseen.
    const bool byUser = command->Abandoned();
    command->Abandon();
    QMessageBox box(QMessageBox::Warning, caption,
                    byUser ? "The firmware update was abandoned. The ECU stays in its boot "
                             "loader until new firmware is uploaded."
                           : "The firmware update did not start: the ECU's boot loader did not "
                             "answer. The firmware was not changed.",
                    QMessageBox::Ok, this);
    box.exec();
}

void TMainWindow::closeEvent(QCloseEvent* e) {
    if (closing) {
        e->accept();
        return;
    }
    closing = true;
    panels[0]->setText("Shutting down...");
    messageBox->Cancel();

    if (realtimeThr) {
        StopRealtime();
        shutdownSteps.push_back("refresh thread");
    }

    if (TECUControl* control = ecuControl) {
        ecuControl = nullptr;  // from here on late link-state notices are ignored
        control->RequestStop();
        // Keep serving the UI thread's events: the control thread may be handing it a
        // status text or a message box right now.
        while (!control->Finished()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QThread::msleep(1);
        }
        control->Join();
        delete control;
        shutdownSteps.push_back("control thread");
    }

    ClosePacketLog();
    shutdownSteps.push_back("log");
    e->accept();
}
