#include "forms/realtimethr.h"

#include <QCoreApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QThread>
#include <chrono>
#include <future>

TrealtimeThr::TrealtimeThr(QWidget* mainWindow, QMdiArea* area) {
    dlg = new TrealtimeDlg(mainWindow);
    subWindow =
        area->addSubWindow(dlg, Qt::SubWindow | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                    Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    subWindow->setAttribute(Qt::WA_DeleteOnClose, false);
    subWindow->setWindowTitle(dlg->windowTitle());
    subWindow->adjustSize();
    subWindow->show();
}

TrealtimeThr::~TrealtimeThr() {
    RequestStop();
    if (thread.joinable()) {
        thread.join();
    }
    delete subWindow.data();  // and the window inside it
}

void TrealtimeThr::Resume() {
    if (!thread.joinable()) {
        thread = std::thread(&TrealtimeThr::Execute, this);
    }
}

void TrealtimeThr::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested.store(true);
    }
    wake.notify_all();
}

void TrealtimeThr::WaitFor() {
    while (thread.joinable() && !finished.load()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    if (thread.joinable()) {
        thread.join();
    }
}

void TrealtimeThr::Execute() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, std::chrono::milliseconds(kRefreshMs),
                          [this] { return stopRequested.load(); });
        }
        if (stopRequested.load()) {
            break;
        }
        // Hand the update to the UI thread and wait until it has run. The window is the
        // call's context: if it is gone, the call is dropped. A stop ends the wait.
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> ran = done->get_future();
        const TECU* s = session;
        QPointer<TrealtimeDlg> window = dlg;
        if (!window) {
            break;
        }
        QMetaObject::invokeMethod(
            window.data(),
            [window, s, done] {
                if (window) {
                    window->UpdateDisplay(s);
                }
                done->set_value();
            },
            Qt::QueuedConnection);
        while (ran.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
            if (stopRequested.load()) {
                break;
            }
        }
    }
    finished.store(true);
}
