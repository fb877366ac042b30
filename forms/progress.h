// The progress window of a firmware upload: a bar from 0 to 100 and a one-panel status line.
// The update flow prepares and shows it modally; the upload drives it from the control thread
// through TProgressView, and closes it. It has no close button of its own; once a run has
// failed and left it open, it offers a button to abandon the update.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <atomic>
#include <memory>

#include "ecu/userinterface.h"

class TECUFlashCmd;

class TprogressDlg : public QDialog, public TProgressView {
    Q_OBJECT
public:
    explicit TprogressDlg(QWidget* parent = nullptr);

    // TProgressView, callable from any thread. Position and text are applied on the UI thread
    // before the call returns; Close ends the modal display, also when it comes first.
    void SetPosition(int position) override;
    void SetStatusText(const std::string& text) override;
    void Close() override;

    // Before a command is queued: forgets an earlier close request, hides the abandon button.
    void BeginUpdate();
    // Shows the window modally until the upload closes it (at once when it already did).
    // While shown, a failed run of `command` brings up the abandon button.
    void ShowModal(std::shared_ptr<TECUFlashCmd> command);

    QProgressBar* progressBar;
    QStatusBar* statusbar;
    QLabel* statusText;
    QPushButton* abandonBtn;
    QLabel* retryLbl;  // shown with the button: how many runs failed

protected:
    void keyPressEvent(QKeyEvent* event) override;  // Escape does not close it
    void closeEvent(QCloseEvent* event) override;   // nor does the window manager

private:
    void CloseOnUiThread();
    void WatchCommand();
    void AbandonClicked();

    bool closePending = false;  // UI thread only
    bool modal = false;
    std::shared_ptr<TECUFlashCmd> command;
    QTimer watch;
};
