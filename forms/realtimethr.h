// The Engine Data refresh thread: wakes every 250 ms and has the UI thread copy the sensor
// record into the window. It owns the window, which it creates at construction (on the UI
// thread) and which is destroyed with it.
#pragma once

#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "forms/realtime.h"

class QMdiArea;
class QMdiSubWindow;
class TECU;

class TrealtimeThr {
public:
    static constexpr int kRefreshMs = 250;

    // Created suspended: the window appears at once, the refreshing starts with Resume.
    TrealtimeThr(QWidget* mainWindow, QMdiArea* area);
    ~TrealtimeThr();  // the thread must have ended; destroys the window

    void Resume();
    // Waits for the thread to end, serving the UI thread's events meanwhile, so a hand-over
    // the thread is waiting on can still run.
    void WaitFor();
    bool Finished() const { return finished.load(); }

    // Ends the thread soon; set by the main window.
    void RequestStop();

    std::atomic<bool> stopRequested{false};
    const TECU* session = nullptr;  // set once before Resume
    QPointer<TrealtimeDlg> dlg;
    QPointer<QMdiSubWindow> subWindow;

private:
    void Execute();

    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<bool> finished{false};
};
