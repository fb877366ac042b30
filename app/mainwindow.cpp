#include "app/mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLocale>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QStandardPaths>
#include <QStatusBar>
#include <cerrno>
#include <cmath>

#include "app/events.h"
#include "app/forms.h"
#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "ecu/packet.h"
#include "ecu/serialcomm.h"
#include "ecu/seriallibrary.h"
#include "firmware/flashcmd.h"
#include "firmware/ihexfile.h"
#include "forms/chart.h"
#include "forms/realtime.h"
#include "platform/filesync.h"
#include "platform/packetlogfile.h"
#include "platform/portmap.h"
#include "record/recordreader.h"
#include "record/recordwriter.h"

namespace {

const char kConfirmUpload[] =
    "You are about to upload new firmware to your ECU. You must ensure that power and "
    "connectivity is maintained during the upgrade.\n Do you wish to continue?";
const char kNoFirmware[] =
    "WARNING! Your ECU does not appear to have any firmware loaded. This may have been caused "
    "by a failed firmware update or the firmware reset procedure.\nDo you wish to upload a "
    "firmware image?";

bool AskYesNo(QWidget* parent, const QString& caption, const QString& text,
              const QString& details = {}) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setInformativeText(details);
    return box.exec() == QMessageBox::Yes;
}

// "about 25 s", "about 3 min" for an estimate in seconds.
QString About(double seconds) {
    if (seconds < 90) {
        return QString("about %1 s").arg(std::lround(std::ceil(seconds)));
    }
    return QString("about %1 min").arg(std::lround(std::ceil(seconds / 60)));
}

const char kNotChanged[] = "The firmware was not changed.";
const char kNoFirmwareNow[] =
    "The ECU now has no working firmware. Brindle offers the upload again as soon as it sees "
    "the ECU's boot loader.";
const char kSwitchOffAndOn[] = "The ECU may need to be switched off and on.";

// How often the records the session accepted are handed to the recording and the chart.
constexpr int kDrainMs = 50;

// The record button's dot: red while recording, grey otherwise.
QIcon RecordIcon() {
    QIcon icon;
    for (const bool on : {false, true}) {
        QPixmap dot(16, 16);
        dot.fill(Qt::transparent);
        QPainter painter(&dot);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(on ? QColor(0xd0, 0x10, 0x10) : QColor(0x90, 0x90, 0x90));
        painter.drawEllipse(2, 2, 12, 12);
        icon.addPixmap(dot, QIcon::Normal, on ? QIcon::On : QIcon::Off);
    }
    return icon;
}

// "1:02:03" or "2:03" for a length in milliseconds.
QString Length(int64_t ms) {
    const int64_t s = ms / 1000;
    return s >= 3600 ? QString("%1:%2:%3")
                           .arg(s / 3600)
                           .arg(s / 60 % 60, 2, 10, QChar('0'))
                           .arg(s % 60, 2, 10, QChar('0'))
                     : QString("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar('0'));
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
    recordingLbl = new QLabel(this);
    recordingLbl->setObjectName("recordingLbl");
    StatusBar->addPermanentWidget(recordingLbl);

    mnuFile = menuBar()->addMenu("&File");
    itmPrefs = mnuFile->addAction("P&references", this, &TMainWindow::itmPrefsClick);
    QAction* N1 = mnuFile->addSeparator();
    itmOpenRecording =
        mnuFile->addAction("&Open Recording...", this, &TMainWindow::itmOpenRecordingClick);
    itmStartRecording = mnuFile->addAction("Start Re&cording", this, [this] { StartRecording(); });
    itmStopRecording = mnuFile->addAction("S&top Recording", this, [this] { StopRecording(); });
    itmStopRecording->setEnabled(false);
    mnuFile->addSeparator();
    itmExit = mnuFile->addAction("E&xit", this, &QWidget::close);
    View1 = menuBar()->addMenu("&View");
    EngineData1 = View1->addAction("&Engine Data", this, &TMainWindow::EngineData1Click);
    Chart1 = View1->addAction("&Chart", this, &TMainWindow::Chart1Click);
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
    // Menus and items keep the names of their form description (tests and accessibility
    // tools find them by these names).
    const std::pair<QObject*, const char*> names[] = {
        {mnuFile, "mnuFile"},
        {itmPrefs, "itmPrefs"},
        {N1, "N1"},
        {itmExit, "itmExit"},
        {View1, "View1"},
        {EngineData1, "EngineData1"},
        {Map1, "Map1"},
        {Calibration1, "Calibration1"},
        {TPSCalibration1, "TPSCalibration1"},
        {EGTCalibration1, "EGTCalibration1"},
        {WBO2Calibration1, "WBO2Calibration1"},
        {BatteryVoltage1, "BatteryVoltage1"},
        {Settings1, "Settings1"},
        {mnuUpdateFirmware, "mnuUpdateFirmware"},
        {mnuTools, "mnuTools"},
        {itmFuelCalcs, "itmFuelCalcs"},
        {mnuHelp, "mnuHelp"},
        {itmAbout, "itmAbout"},
        {Chart1, "Chart1"},
        {itmOpenRecording, "itmOpenRecording"},
        {itmStartRecording, "itmStartRecording"},
        {itmStopRecording, "itmStopRecording"},
    };
    for (const auto& [object, name] : names) {
        object->setObjectName(name);
    }

    recordBar = addToolBar("Recording");
    recordBar->setObjectName("recordBar");
    recordBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    tbRecord = recordBar->addAction(RecordIcon(), "Record");
    tbRecord->setObjectName("tbRecord");
    tbRecord->setCheckable(true);
    tbRecord->setToolTip("Record every value the ECU sends into a CSV file");
    connect(tbRecord, &QAction::triggered, this, [this](bool on) {
        if (on) {
            StartRecording();
        } else {
            StopRecording();
        }
        tbRecord->setChecked(Recording());
    });
    liveTimer.setInterval(kDrainMs);
    connect(&liveTimer, &QTimer::timeout, this, &TMainWindow::DrainRecords);

    firmwareLoadDlg = new QFileDialog(this, "Open Firmware Image");
    firmwareLoadDlg->setObjectName("firmwareLoadDlg");
    firmwareLoadDlg->setNameFilter("Firmware Image (*.hex)");
    firmwareLoadDlg->setFileMode(QFileDialog::ExistingFile);
    firmwareLoadDlg->setAcceptMode(QFileDialog::AcceptOpen);
    firmwareLoadDlg->setOption(QFileDialog::DontUseNativeDialog);
    firmwareLoadDlg->setOption(QFileDialog::ReadOnly);

    statusPanels = std::make_unique<TQtStatusPanels>(panels);
    notifier = std::make_unique<TQtLinkStateNotifier>(this);
    commandObserver = std::make_unique<TQtCommandObserver>(this);
    messageBox = std::make_unique<TQtMessageBox>(this);

    // A log that cannot be created safely is no reason not to start: the run goes without.
    TLogOpenResult logOpen;
    packetLog = TPacketLogFile::Open(context.logPath, kPacketLogLimitBytes, logOpen);
    TECUControlLinks links{*context.library,   *context.settings, *context.clock,
                           statusPanels.get(), notifier.get(),    messageBox.get()};
    links.commands = commandObserver.get();
    links.log = packetLog.get();
    ecuControl = new TECUControl(links);
    // A stored setting outside the known values is used as it is; the link panel names it.
    QStringList warnings;
    for (const std::string& warning : ecuControl->serial->Settings().RangeWarnings()) {
        QString text = QString::fromStdString(warning);
        warnings << text.replace(0, 1, text.at(0).toUpper());
    }
    settingsWarnings = warnings.join('\n');
    panels[0]->setToolTip(settingsWarnings);
    if (context.record) {
        StartRecording(QString::fromStdString(context.recordPath));
    }
}

TMainWindow::~TMainWindow() {
    // Normally the close has released these; a window destroyed without closing must too.
    StopRealtime();
    if (ecuControl) {
        messageBox->Cancel();
        delete ecuControl;
        ecuControl = nullptr;
    }
    // The child windows are destroyed after this body, when this is no longer a TMainWindow:
    // none of their signals (a chart's destroyed, the MDI area's activations) may reach it.
    for (QObject* child : findChildren<QObject*>()) {
        child->disconnect(this);
    }
}

bool TMainWindow::event(QEvent* e) {
    switch (static_cast<int>(e->type())) {
        case kEcuStateEvent:
            WMEcuState();
            return true;
        case kRealtimeClosedEvent:
            WMRealtimeClosed();
            return true;
        case kRunStartedEvent:
        case kRunFailedEvent:
        case kCommandFinishedEvent:
            CommandEvent(e->type(), static_cast<TCommandEvent*>(e)->command);
            return true;
        case kControlEndedEvent:
            controlEnded = true;
            if (stopWait) {
                stopWait->quit();
            }
            return true;
        default:
            return QMainWindow::event(e);
    }
}

void TMainWindow::CommandEvent(QEvent::Type type, uint64_t command) {
    // Only the flow on screen has a command; a report on another one changes nothing here.
    const bool ours = upload && upload->Id() == command;
    if (type == kRunStartedEvent) {
        forms->progressDlg->RunStarted(command);
        if (ours) {
            uploading = true;
            ShowLinkState();
            // Nothing is polled while the boot loader works: the values shown grow old.
            if (realtimeDlg) {
                realtimeDlg->SetConnected(false);
            }
            forms->dlgBattCal->SetConnected(false);
        }
    } else if (type == kRunFailedEvent) {
        if (ours) {
            forms->progressDlg->RunFailed(command, upload->Failures());
        }
    } else {
        forms->progressDlg->CommandFinished(command);
        if (ours) {
            uploading = false;
            // A completed upload left the boot loader (the session connects to the new
            // firmware): a "Loader" seen before it is no reason to offer another upload.
            if (upload->Outcome() == TFlashOutcome::Completed) {
                loaderPromptPending = false;
            }
            WMEcuState();  // the state as it is now
        }
    }
}

void TMainWindow::ShowLinkState() {
    if (uploading) {
        panels[0]->setText("Uploading");
        return;
    }
    const std::string text = LinkStateText(static_cast<uint8_t>(shownLinkState));
    if (!text.empty()) {
        panels[0]->setText(QString::fromStdString(text));
    }
}

void TMainWindow::WMEcuState() {
    if (!ecuControl) {
        return;  // late notice after the shutdown released the control thread
    }
    // A port that could not be opened is tried again every second: say which device the
    // link waits for, until it is there.
    const bool portOpen = ecuControl->PortOpen();
    const QString device = QString::fromStdString(
        context.ports ? context.ports->PathFor(ecuControl->serial->comPort) : std::string());
    const QString waiting =
        "Waiting for " + device + " (" +
        QString::fromStdString(TPortMap::PortName(ecuControl->serial->comPort)) + ")";
    QStringList tip;
    if (!portOpen) {
        tip << waiting;
    }
    if (!settingsWarnings.isEmpty()) {
        tip << settingsWarnings;
    }
    panels[0]->setToolTip(tip.join('\n'));
    if (!portOpen) {
        panels[1]->setText(waiting);
    } else if (panels[1]->text() == waiting) {
        panels[1]->clear();
    }

    const uint8_t state = ecuControl->session->linkState.load();
    const std::string text = LinkStateText(state);
    if (text.empty()) {
        return;
    }
    const int previous = shownLinkState;
    shownLinkState = state;
    ShowLinkState();
    if (realtimeDlg) {
        realtimeDlg->SetConnected(state == kLinkConnected && !uploading);
    }
    if (forms) {
        forms->dlgBattCal->SetConnected(state == kLinkConnected && !uploading);
    }
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
    if (!realtimeDlg) {
        return;
    }
    delete realtimeSub;  // and the window inside it, with its timer
    realtimeSub = nullptr;
    realtimeDlg = nullptr;
}

void TMainWindow::WMRealtimeClosed() {
    StopRealtime();
}

void TMainWindow::EngineData1Click() {
    if (realtimeDlg || !ecuControl) {
        return;
    }
    realtimeDlg = new TrealtimeDlg(ecuControl->session);
    realtimeDlg->SetConnected(shownLinkState == kLinkConnected);
    connect(realtimeDlg, &TrealtimeDlg::closeRequested, this,
            [this] { QCoreApplication::postEvent(this, new QEvent(kRealtimeClosedEvent)); });
    realtimeSub = mdiArea->addSubWindow(
        realtimeDlg, Qt::SubWindow | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    realtimeSub->setAttribute(Qt::WA_DeleteOnClose, false);
    realtimeSub->setWindowTitle(realtimeDlg->windowTitle());
    realtimeSub->adjustSize();
    realtimeSub->show();
}

void TMainWindow::Chart1Click() {
    if (!ecuControl) {
        return;
    }
    if (chartDlg) {
        mdiArea->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(chartDlg->parentWidget()));
        return;
    }
    chartDlg = new TChartDlg(TRecordClock::Now(context.clock->Now()));
    // The records the session still keeps (about the last minute) are there at once.
    std::vector<TECU::TTimedRecord> kept;
    uint64_t from = 0;
    ecuControl->session->RecordsSince(from, kept);
    chartDlg->Append(kept);
    QMdiSubWindow* sub = mdiArea->addSubWindow(chartDlg);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    connect(sub, &QObject::destroyed, this, [this] {
        chartDlg = nullptr;
        UpdateLiveTimer();
    });
    sub->show();
    UpdateLiveTimer();
}

void TMainWindow::itmOpenRecordingClick() {
    const QString path = QFileDialog::getOpenFileName(
        this, "Open Recording", QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
        "Recordings (*.csv);;All files (*)", nullptr, QFileDialog::DontUseNativeDialog);
    if (!path.isEmpty()) {
        OpenRecording(path);
    }
}

TChartDlg* TMainWindow::OpenRecording(const QString& path) {
    TRecording recording;
    std::string error;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = LoadRecording(path.toStdString(), recording, error);
    QApplication::restoreOverrideCursor();
    const QString name = QFileInfo(path).fileName();
    if (!ok) {
        const QString why = QString::fromStdString(error);
        QMessageBox box(QMessageBox::Warning, "Open Recording",
                        why.startsWith("line ")
                            ? name + " is not a recording of Brindle or brindle-cli.\n" +
                                  why.at(0).toUpper() + why.mid(1) + "."
                            : name + " could not be read: " + why + ".",
                        QMessageBox::Ok, this);
        box.exec();
        return nullptr;
    }
    auto* chart = new TChartDlg(recording, name);
    QMdiSubWindow* sub = mdiArea->addSubWindow(chart);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->show();
    return chart;
}

bool TMainWindow::StartRecording(const QString& requested) {
    if (recorder || !ecuControl) {
        return recorder != nullptr;
    }
    auto writer = std::make_unique<TRecordWriter>();
    QString path = requested;
    if (path.isEmpty()) {
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        QDir().mkpath(folder);
        const QString stem =
            folder + "/brindle-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
        // Another recording begun in the same second gets the next free name.
        for (int n = 1; n <= 100; ++n) {
            writer = std::make_unique<TRecordWriter>();
            path = stem + (n > 1 ? QString("-%1").arg(n) : QString()) + ".csv";
            if (writer->Create(path.toStdString()) || writer->ErrorNumber() != EEXIST) {
                break;
            }
        }
    } else {
        writer->Create(path.toStdString());
    }
    if (writer->Failed()) {
        QMessageBox box(QMessageBox::Warning, "Recording",
                        "The recording could not be started: " + path + " cannot be created (" +
                            QString::fromStdString(writer->Error()) + ")." +
                            (writer->ErrorNumber() == EEXIST
                                 ? " Brindle never writes over a file: choose a new name."
                                 : QString()),
                        QMessageBox::Ok, this);
        box.exec();
        tbRecord->setChecked(false);
        return false;
    }
    writer->SetSync(SyncFile);
    writer->Start(TRecordClock::Now(context.clock->Now()));
    recorder = std::move(writer);
    recordingLbl->setToolTip(path);
    itmStartRecording->setEnabled(false);
    itmStopRecording->setEnabled(true);
    tbRecord->setChecked(true);
    tbRecord->setText("Recording");
    UpdateLiveTimer();
    ShowRecording();
    return true;
}

void TMainWindow::StopRecording(const QString& failure) {
    if (!recorder) {
        return;
    }
    if (failure.isEmpty()) {
        DrainRecords();  // the records up to now
    }
    std::unique_ptr<TRecordWriter> ended = std::move(recorder);
    ended->Close();
    itmStartRecording->setEnabled(true);
    itmStopRecording->setEnabled(false);
    tbRecord->setChecked(false);
    tbRecord->setText("Record");
    const QString path = QString::fromStdString(ended->Path());
    const QString rows = QLocale().toString(static_cast<qulonglong>(ended->Rows()));
    recordingLbl->setText(QString("Saved %1 rows").arg(rows));
    recordingLbl->setToolTip("Recorded into " + path);
    UpdateLiveTimer();
    if (!failure.isEmpty()) {
        QMessageBox box(QMessageBox::Warning, "Recording stopped",
                        "The recording stopped: " + path + " could not be written (" + failure +
                            ").\nThe " + rows + " rows recorded before are kept in it.",
                        QMessageBox::Ok, this);
        box.exec();
    }
}

void TMainWindow::UpdateLiveTimer() {
    const bool wanted = (recorder || chartDlg) && ecuControl;
    if (wanted && !liveTimer.isActive()) {
        ecuControl->session->SensorsSnapshot(&seen);  // from now on
        liveTimer.start();
    } else if (!wanted) {
        liveTimer.stop();
    }
}

void TMainWindow::DrainRecords() {
    if (!ecuControl) {
        return;
    }
    std::vector<TECU::TTimedRecord> batch;
    ecuControl->session->RecordsSince(seen, batch);
    if (recorder && !recorder->Write(batch)) {
        StopRecording(QString::fromStdString(recorder->Error()));
    }
    if (chartDlg) {
        chartDlg->Append(batch);
    }
    ShowRecording();
}

void TMainWindow::ShowRecording() {
    if (recorder) {
        recordingLbl->setText(
            QString("REC %1  %2 rows")
                .arg(Length(recorder->LastMs()),
                     QLocale().toString(static_cast<qulonglong>(recorder->Rows()))));
    }
}

void TMainWindow::itmPrefsClick() {
    forms->filePrefsDlg->show();
    forms->filePrefsDlg->raise();
    forms->filePrefsDlg->activateWindow();
}

void TMainWindow::BatteryVoltage1Click() {
    forms->dlgBattCal->session = ecuControl ? ecuControl->session : nullptr;
    forms->dlgBattCal->SetConnected(shownLinkState == kLinkConnected);
    forms->dlgBattCal->exec();
}

void TMainWindow::itmFuelCalcsClick() {
    forms->fuelCalcsDlg->exec();
}

void TMainWindow::itmAboutClick() {
    forms->dlgHelpAbout->exec();
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
        // What the ECU runs now, before the loader's text replaces it.
        const QString firmware = shownLinkState == kLinkLoader
                                     ? QString("only its boot loader (no firmware)")
                                     : statusPanels->Given(kPanelFirmware);
        panels[1]->setText("Loading firmware image...");
        QCoreApplication::processEvents();
        if (std::shared_ptr<TIHexFile> image = LoadImage(path)) {
            if (ConfirmUpload(*image, path, firmware, true)) {
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
            // No second question here, unless the file would only erase the ECU.
            if (ConfirmUpload(*image, path, QString(), false)) {
                RunUpload(image, "Uploading Firmware");
            }
        } else {
            ShowNoImageError();
        }
    }
    FlowEnded();
}

bool TMainWindow::ConfirmUpload(const TIHexFile& image, const QString& path,
                                const QString& firmware, bool askAlways) {
    const QString name = QFileInfo(path).fileName();
    if (image.usedLength == 0) {
        QMessageBox box(QMessageBox::Warning, "Firmware Upgrade",
                        "The file " + name +
                            " holds no data: every byte of it is erased flash. Writing it would "
                            "only erase the ECU's firmware and leave the ECU in its boot loader.\n"
                            "Do you wish to continue?",
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    }
    if (!askAlways) {
        return true;
    }
    const int bps = BaudCodeToBps(ecuControl->serial->curBaud);
    QString details = QString("File: %1\nData: %2 bytes in %3 blocks of %4 bytes\n")
                          .arg(name)
                          .arg(image.usedLength)
                          .arg(BlockCount(image.usedLength))
                          .arg(kBlockBytes);
    details += "The ECU runs now: " + (firmware.isEmpty() ? QString("not known") : firmware);
    if (bps > 0) {
        details += QString("\nThe upload takes %1 at %2 bit/s.")
                       .arg(About(UploadFloorSeconds(image.usedLength, bps)))
                       .arg(bps);
    }
    return AskYesNo(this, "Firmware Upgrade", kConfirmUpload, details);
}

void TMainWindow::FlowEnded() {
    flowRunning = false;
    if (loaderPromptPending) {
        loaderPromptPending = false;
        if (ecuControl && shownLinkState == kLinkLoader && !closing) {
            MissingFirmwareFlow();
        }
    }
}

void TMainWindow::RunUpload(const std::shared_ptr<TIHexFile>& image, const QString& caption) {
    upload = PostFlashCommand(*ecuControl, image, forms->progressDlg);
    forms->progressDlg->Prepare(caption, image->usedLength);
    const std::weak_ptr<TECUFlashCmd> command = upload;
    forms->progressDlg->ShowModal(upload->Id(), [this, command] {
        if (auto c = command.lock(); c && ecuControl) {
            ecuControl->Abandon(c);
        }
    });
    repaint();
    // The control thread stored the outcome before it reported the command finished.
    const std::shared_ptr<TECUFlashCmd> finished = std::move(upload);
    upload.reset();
    uploading = false;
    ShowLinkState();
    if (!closing) {
        ReportOutcome(*finished, caption);
    }
}

void TMainWindow::ReportOutcome(const TECUFlashCmd& command, const QString& caption) {
    QMessageBox::Icon icon = QMessageBox::Warning;
    QString text;
    switch (command.Outcome()) {
        case TFlashOutcome::Completed:
            icon = QMessageBox::Information;
            text =
                QString("Firmware written: %1 bytes in %2 s")
                    .arg(command.image->usedLength)
                    .arg(std::chrono::duration<double>(command.LastRunTime()).count(), 0, 'f', 1);
            break;
        case TFlashOutcome::FailedBeforeErase:
            text = QString(
                       "The firmware update did not start: the ECU's boot loader did not "
                       "answer. ") +
                   kNotChanged + " " + kSwitchOffAndOn;
            break;
        case TFlashOutcome::FailedAfterErase:
            text = QString(
                       "The firmware update did not complete: the ECU's boot loader stopped "
                       "answering. ") +
                   kNoFirmwareNow + " " + kSwitchOffAndOn;
            break;
        case TFlashOutcome::Abandoned:
        case TFlashOutcome::Pending:
            text = QString("The firmware update was abandoned. ") +
                   (command.EraseSent() ? kNoFirmwareNow : kNotChanged);
            break;
    }
    QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
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

    if (realtimeDlg) {
        StopRealtime();
        shutdownSteps.push_back("engine data");
    }
    StopRecording();  // while the session still holds its last records
    liveTimer.stop();

    if (TECUControl* control = ecuControl) {
        ecuControl = nullptr;  // from here on late link-state notices are ignored
        control->RequestStop();
        // Wait through the event loop: the control thread may be handing the UI thread a
        // status text or a progress change right now, and it reports its end with an event.
        if (!controlEnded) {
            QEventLoop wait;
            stopWait = &wait;
            wait.exec();
            stopWait = nullptr;
        }
        control->Join();
        delete control;
        shutdownSteps.push_back("control thread");
    }

    packetLog.reset();  // its only writer, the control thread, has ended
    shutdownSteps.push_back("log");
    e->accept();
}
