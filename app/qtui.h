// The core's user-interface interfaces, carried out on the Qt UI thread. Calls from worker
// threads are handed to the UI thread; the blocking message box waits until it is dismissed.
#pragma once

#include <QLabel>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <array>
#include <condition_variable>
#include <mutex>

#include "ecu/userinterface.h"

// The main window's three status-bar panels.
class TQtStatusPanels : public TStatusPanels {
public:
    explicit TQtStatusPanels(std::array<QLabel*, 3> labels) : labels(labels) {}
    void SetPanelText(int panel, const std::string& text) override;
    // The text the session last gave a panel (UI thread), whatever has been shown there since.
    QString Given(int panel) const { return given[panel]; }

private:
    void Show(int panel, const QString& text);

    std::array<QLabel*, 3> labels;
    std::array<QString, 3> given;
};

// Posts the link-state event (3024) to the main window.
class TQtLinkStateNotifier : public TLinkStateObserver {
public:
    explicit TQtLinkStateNotifier(QObject* window) : window(window) {}
    void LinkStateChanged() override;

private:
    QObject* window;
};

// Posts what becomes of each command (events 3026 to 3029) to the main window.
class TQtCommandObserver : public TCommandObserver {
public:
    explicit TQtCommandObserver(QObject* window) : window(window) {}
    void RunStarted(uint64_t command) override;
    void RunFailed(uint64_t command) override;
    void CommandFinished(uint64_t command) override;
    void ControlEnded() override;

private:
    QObject* window;
};

// Message boxes. From the UI thread, modal over `owner`. From a worker thread the box has no
// owner and blocks no window, and the call returns once the user has dismissed it.
class TQtMessageBox : public TMessageBox {
public:
    explicit TQtMessageBox(QWidget* owner) : owner(owner) {}
    void ShowMessage(const TMessage& message) override;
    // The program is closing: dismisses an open box, and no caller waits for one any more
    // (the UI thread may be nested inside that box's loop while it waits for the worker).
    void Cancel();

private:
    static QMessageBox* Make(const TMessage& message, QWidget* parent);

    QWidget* owner;
    QPointer<QMessageBox> openBox;
    std::mutex mutex;
    std::condition_variable answered;
    bool cancelled = false;
};

// Extra words for the operating system's reason why a port could not be opened.
QString PortErrorAdvice(const QString& reason);
