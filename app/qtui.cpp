#include "app/qtui.h"

#include <QCoreApplication>
#include <QThread>

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
        label->setText(t);
    } else {
        QMetaObject::invokeMethod(
            label, [label, t] { label->setText(t); }, Qt::QueuedConnection);
    }
}

void TQtLinkStateNotifier::LinkStateChanged() {
    QCoreApplication::postEvent(window, new QEvent(kEcuStateEvent));
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

void TQtMessageBox::ShowMessage(const TMessage& message) {
    if (OnUiThread(owner)) {
        Show(message);
        return;
    }
    auto done = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        owner,
        [this, message, done] {
            Show(message);
            std::lock_guard<std::mutex> lock(mutex);
            *done = true;
            answered.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(mutex);
    answered.wait(lock, [&] { return *done || cancelled; });
}

void TQtMessageBox::Show(const TMessage& message) {
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
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cancelled) {
            return;
        }
    }
    QMessageBox box(icon, QString::fromStdString(message.caption),
                    QString::fromStdString(message.text), QMessageBox::Ok, owner);
    if (!message.detail.empty()) {
        const QString detail = QString::fromStdString(message.detail);
        box.setInformativeText(detail + PortErrorAdvice(detail));
    }
    openBox = &box;
    box.exec();
    openBox = nullptr;
}

void TQtMessageBox::Cancel() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
    }
    answered.notify_all();
    if (openBox) {
        openBox->done(QMessageBox::Ok);
    }
}
