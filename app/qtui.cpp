#include "app/qtui.h"

#include <QCoreApplication>
#include <QThread>
#include <memory>

#include "app/events.h"

namespace {
bool OnUiThread(QObject* object) {
    return QThread::currentThread() == object->thread();
}
}  // namespace

void TQtStatusPanels::SetPanelText(int panel, const std::string& text) {
    if (panel < 0 || panel >= static_cast<int>(labels.size())) {
        return;
    }
    QLabel* label = labels[panel];
    const QString t = QString::fromStdString(text);
    if (OnUiThread(label)) {
        Show(panel, t);
    } else {
        QMetaObject::invokeMethod(
            label, [this, panel, t] { Show(panel, t); }, Qt::QueuedConnection);
    }
}

void TQtStatusPanels::Show(int panel, const QString& text) {
    given[panel] = text;
    labels[panel]->setText(text);
}

void TQtLinkStateNotifier::LinkStateChanged() {
    QCoreApplication::postEvent(window, new QEvent(kEcuStateEvent));
}

void TQtCommandObserver::RunStarted(uint64_t command) {
    QCoreApplication::postEvent(window, new TCommandEvent(kRunStartedEvent, command));
}

void TQtCommandObserver::RunFailed(uint64_t command) {
    QCoreApplication::postEvent(window, new TCommandEvent(kRunFailedEvent, command));
}

void TQtCommandObserver::CommandFinished(uint64_t command) {
    QCoreApplication::postEvent(window, new TCommandEvent(kCommandFinishedEvent, command));
}

void TQtCommandObserver::ControlEnded() {
    QCoreApplication::postEvent(window, new QEvent(kControlEndedEvent));
}

QString PortErrorAdvice(const QString& reason) {
    if (reason.contains("Permission denied")) {
        return "\n\nYour user may not use serial ports. Add it to the dialout group:\n"
               "    sudo usermod -aG dialout $USER\n"
               "then log out and in again.";
    }
    if (reason.contains("No such file")) {
        return "\n\nIs the ECU's cable or USB adapter plugged in? The port can be chosen in "
               "File > Preferences, or given with --port.";
    }
    if (reason.contains("in use")) {
        return "\n\nClose the other program that uses the port.";
    }
    return {};
}

QMessageBox* TQtMessageBox::Make(const TMessage& message, QWidget* parent) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (message.icon) {
        case TMessageIcon::Error:
            icon = QMessageBox::Critical;
            break;
        case TMessageIcon::Warning:
            icon = QMessageBox::Warning;
            break;
        case TMessageIcon::Information:
            icon = QMessageBox::Information;
            break;
        case TMessageIcon::None:
            break;
    }
    auto* box = new QMessageBox(icon, QString::fromStdString(message.caption),
                                QString::fromStdString(message.text), QMessageBox::Ok, parent);
    if (!message.detail.empty()) {
        const QString detail = QString::fromStdString(message.detail);
        box->setInformativeText(detail + PortErrorAdvice(detail));
    }
    return box;
}

void TQtMessageBox::ShowMessage(const TMessage& message) {
    if (OnUiThread(owner)) {
        std::unique_ptr<QMessageBox> box(Make(message, owner));
        box->exec();
        return;
    }
    // From the control thread: a box of its own that blocks no window (the main window and
    // Preferences stay usable), and the worker waits until it is dismissed.
    auto done = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        owner,
        [this, message, done] {
            const auto release = [this, done] {
                std::lock_guard<std::mutex> lock(mutex);
                *done = true;
                answered.notify_all();
            };
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (cancelled) {
                    return;
                }
            }
            QMessageBox* box = Make(message, nullptr);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowModality(Qt::NonModal);
            QObject::connect(box, &QMessageBox::finished, owner, release);
            QObject::connect(box, &QObject::destroyed, owner, release);
            openBox = box;
            box->show();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(mutex);
    answered.wait(lock, [&] { return *done || cancelled; });
}

void TQtMessageBox::Cancel() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
    }
    answered.notify_all();
    if (openBox) {
        openBox->close();
    }
}
