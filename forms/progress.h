// The progress window of a firmware upload: a bar from 0 to 100 with its percentage, a line
// with the bytes written, the time and the rate, and a one-panel status line. The update flow
// prepares it and shows it modally for one command; the upload drives it from the control
// thread through TProgressView; the window closes when the control thread reports that its
// command has finished. It has no close button of its own; once a run has failed, it offers
// a button to abandon the update.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <cstdint>
#include <functional>

#include "ecu/userinterface.h"

class TprogressDlg : public QDialog, public TProgressView {
    Q_OBJECT
public:
    explicit TprogressDlg(QWidget* parent = nullptr);

    // TProgressView, callable from any thread. Position and text are applied on the UI thread
    // before the call returns; the byte count is handed over without waiting.
    void SetPosition(int position) override;
    void SetStatusText(const std::string& text) override;
    void SetBytesWritten(int64_t written, int64_t total) override;

    // Before the command is shown: the caption, position 0, "Initialising...", no abandon
    // button. `total` is the image's used length.
    void Prepare(const QString& caption, int64_t total);
    // Shows the window modally until CommandFinished(command) (at once when it came first).
    // `abandon` is called when the user abandons the update.
    void ShowModal(uint64_t command, std::function<void()> abandon);

    // What the control thread reported, handed on by the main window (UI thread).
    void RunStarted(uint64_t command);
    void RunFailed(uint64_t command, int failures);
    void CommandFinished(uint64_t command);

    QProgressBar* progressBar;
    QStatusBar* statusbar;
    QLabel* statusText;
    QLabel* detailText;  // bytes written of the total, elapsed, time left, rate
    QPushButton* abandonBtn;
    QLabel* retryLbl;  // shown with the button: how many runs failed

protected:
    void keyPressEvent(QKeyEvent* event) override;  // Escape does not close it
    void closeEvent(QCloseEvent* event) override;   // nor does the window manager

private:
    void AbandonClicked();
    void ShowDetail();

    uint64_t shownCommand = 0;     // the command the window is shown for
    uint64_t finishedCommand = 0;  // the last command reported finished
    bool modal = false;
    std::function<void()> abandon;
    int64_t total = 0;
    int64_t written = 0;
    QElapsedTimer runClock;    // since the current run started
    QElapsedTimer writeClock;  // since its first block was acknowledged
    int64_t writtenAtFirstBlock = 0;
    QTimer tick;  // keeps the elapsed time moving between blocks
};

// "0:07" for a number of seconds; "1:02:03" from an hour on.
QString ClockText(int64_t seconds);
