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

private:
    std::array<QLabel*, 3> labels;
};

// Posts the link-state event (3024) to the main window.
class TQtLinkStateNotifier : public TLinkStateObserver {
public:
    explicit TQtLinkStateNotifier(QObject* window) : window(window) {}
    void LinkStateChanged() override;

private:
    QObject* window;
};

// Message boxes owned by a window; from a worker thread the call blocks until dismissed.
class TQtMessageBox : public TMessageBox {
public:
    explicit TQtMessageBox(QWidget* owner) : owner(owner) {}
    void ShowMessage(const TMessage& message) override;
    // The program is closing: dismisses an open box, and no caller waits for one any more
    // (the UI thread may be nested inside that box's loop while it waits for the worker).
    void Cancel();

private:
    void Show(const TMessage& message);

    QWidget* owner;
    QPointer<QMessageBox> openBox;
    std::mutex mutex;
    std::condition_variable answered;
    bool cancelled = false;
};

// Extra words for the operating system's reason why a port could not be opened.
QString PortErrorAdvice(const QString& reason);
