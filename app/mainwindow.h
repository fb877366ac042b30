// The main window: a multiple-document frame with the menus, a three-panel status bar, the
// ECU control thread it owns, the Engine Data window's refresh thread, and the firmware
// update flows.
#pragma once

#include <QEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QTimer>
#include <QToolBar>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "app/qtui.h"
#include "ecu/ecu.h"

class TClock;
class TECUControl;
class TPacketLogFile;
class TECUFlashCmd;
class TIHexFile;
class TChartDlg;
class TPortMap;
class TPortMapStore;
class TRecordWriter;
class TSerialDeviceList;
class TSerialLibrary;
class TSettingsStore;
class TrealtimeDlg;
class QEventLoop;
class QMdiSubWindow;

// What the program runs on; none of it is owned by the window.
struct TAppContext {
    TSerialLibrary* library = nullptr;
    TSettingsStore* settings = nullptr;
    TClock* clock = nullptr;
    const TPortMap* ports = nullptr;
    std::string logPath = "brindle.log";
    // Where Preferences finds the serial devices and stores the one chosen for a port; null:
    // none listed, none stored.
    const TSerialDeviceList* devices = nullptr;
    TPortMapStore* portStore = nullptr;
    // Start a recording at once (--record), into this file or, when empty, a new one in the
    // documents folder.
    bool record = false;
    std::string recordPath;
};

class TMainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainWindow(const TAppContext& context);
    ~TMainWindow() override;

    QString PanelText(int panel) const { return panels[panel]->text(); }

    // Menu handlers.
    void itmPrefsClick();
    void EngineData1Click();
    void BatteryVoltage1Click();
    void mnuUpdateFirmwareClick();
    void itmFuelCalcsClick();
    void itmAboutClick();
    void Chart1Click();
    void itmOpenRecordingClick();

    // Starts recording every record the session accepts into `path`, a new file, or into a
    // new brindle-YYYYMMDD-HHMMSS.csv in the documents folder when it is empty. False (and
    // the reason shown) when the file cannot be created.
    bool StartRecording(const QString& path = {});
    // Ends the recording; `failure` says why when writing failed.
    void StopRecording(const QString& failure = {});
    bool Recording() const { return recorder != nullptr; }
    // Plays a recording back in a chart window; a file that is not one is refused with the
    // line at fault. Returns the window, or null.
    TChartDlg* OpenRecording(const QString& path);

    // Message handlers (events 3024 and 3025).
    void WMEcuState();
    void WMRealtimeClosed();

    QMdiArea* mdiArea;
    QStatusBar* StatusBar;
    std::array<QLabel*, 3> panels;
    QMenu* mnuFile;
    QMenu* View1;
    QMenu* Map1;
    QMenu* Calibration1;
    QMenu* Settings1;
    QMenu* mnuTools;
    QMenu* mnuHelp;
    QAction* itmPrefs;
    QAction* itmExit;
    QAction* EngineData1;
    QAction* TPSCalibration1;
    QAction* EGTCalibration1;
    QAction* WBO2Calibration1;
    QAction* BatteryVoltage1;
    QAction* mnuUpdateFirmware;
    QAction* itmFuelCalcs;
    QAction* itmAbout;
    QAction* Chart1;
    QAction* itmOpenRecording;
    QAction* itmStartRecording;
    QAction* itmStopRecording;
    QToolBar* recordBar;
    QAction* tbRecord;     // the toolbar's record button, checked while recording
    QLabel* recordingLbl;  // the status bar: the recording's length and rows
    QFileDialog* firmwareLoadDlg;

    TECUControl* ecuControl = nullptr;
    // The Engine Data window while it is open (it refreshes itself on a UI-thread timer).
    TrealtimeDlg* realtimeDlg = nullptr;
    TChartDlg* chartDlg = nullptr;  // the live chart while it is open

    // What the shutdown did, in order ("engine data", "control thread", "log").
    std::vector<std::string> shutdownSteps;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;  // the shutdown

private:
    void MissingFirmwareFlow();
    std::shared_ptr<TIHexFile> LoadImage(const QString& path);
    // The question before writing: what the file holds, what the ECU runs now and how long
    // the upload takes. An image without data gets a warning of its own. True for Yes.
    bool ConfirmUpload(const TIHexFile& image, const QString& path, const QString& firmware,
                       bool askAlways);
    void RunUpload(const std::shared_ptr<TIHexFile>& image, const QString& caption);
    void ReportOutcome(const TECUFlashCmd& command, const QString& caption);
    bool ChooseFile(QString& path);
    void ShowNoImageError();
    void FlowEnded();
    void StopRealtime();
    void CommandEvent(QEvent::Type type, uint64_t command);
    void ShowLinkState();
    // Hands the records the session accepted since the last call to the recording and the
    // chart (a UI-thread timer while either is on).
    void DrainRecords();
    void UpdateLiveTimer();
    void ShowRecording();

    TAppContext context;
    std::unique_ptr<TQtStatusPanels> statusPanels;
    std::unique_ptr<TQtLinkStateNotifier> notifier;
    std::unique_ptr<TQtCommandObserver> commandObserver;
    std::unique_ptr<TQtMessageBox> messageBox;
    std::unique_ptr<TPacketLogFile> packetLog;  // outlives the control thread, its only writer
    QMdiSubWindow* realtimeSub = nullptr;
    std::unique_ptr<TRecordWriter> recorder;
    QTimer liveTimer;
    uint64_t seen = 0;         // the session's records handed on so far
    QString settingsWarnings;  // stored settings outside their range, for the link panel
    std::shared_ptr<TECUFlashCmd> upload;  // the command of the flow on screen, if any
    bool uploading = false;                // its run is under way: panel 0 reads "Uploading"
    bool flowRunning = false;              // a firmware flow (or its prompt) is on screen
    bool loaderPromptPending = false;      // state 5 arrived during a flow
    int shownLinkState = -1;               // the state the last notification showed
    bool closing = false;
    bool controlEnded = false;       // the control thread reported its end
    QEventLoop* stopWait = nullptr;  // the shutdown's wait for it
};
