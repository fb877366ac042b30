#include "forms/progress.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QThread>

#include "ecu/ecucontrol.h"

namespace {
// Runs `fn` on the dialog's thread; from another thread, waits until it has run.
template <typename Fn>
void OnUiThread(QObject* target, Fn fn, bool wait) {
    if (QThread::currentThread() == target->thread()) {
        fn();
    } else {
        QMetaObject::invokeMethod(target, fn,
                                  wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
    }
}
}  // namespace

TprogressDlg::TprogressDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("progressDlg");
    setModal(true);
    progressBar = new QProgressBar(this);
    progressBar->setObjectName("progressBar");
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    progressBar->setGeometry(8, 32, 409, 41);

    statusbar = new QStatusBar(this);
    statusbar->setObjectName("statusbar");
    statusbar->setSizeGripEnabled(false);
    statusText = new QLabel(statusbar);
    statusText->setObjectName("statusText");
    // The only panel spans the bar, so long texts are shown in full.
    statusbar->addWidget(statusText, 1);
    statusbar->setGeometry(0, 135 - 29, 431, 29);

    abandonBtn = new QPushButton("Abandon update", this);
    abandonBtn->setObjectName("abandonBtn");
    abandonBtn->setToolTip(
        "Stop retrying. The ECU keeps its boot loader and can be flashed again later.");
    abandonBtn->adjustSize();
    abandonBtn->move(431 - 8 - abandonBtn->width(), 80);
    abandonBtn->hide();
    retryLbl = new QLabel(this);
    retryLbl->setObjectName("retryLbl");
    retryLbl->setGeometry(8, 80, 431 - 24 - abandonBtn->width(), abandonBtn->height());
    retryLbl->hide();
    connect(abandonBtn, &QPushButton::clicked, this, &TprogressDlg::AbandonClicked);

    setFixedSize(431, 135);
    watch.setInterval(100);
    connect(&watch, &QTimer::timeout, this, &TprogressDlg::WatchCommand);
}

void TprogressDlg::SetPosition(int position) {
    OnUiThread(
        this, [this, position] { progressBar->setValue(position); }, true);
}

void TprogressDlg::SetStatusText(const std::string& text) {
    const QString t = QString::fromStdString(text);
    OnUiThread(
        this, [this, t] { statusText->setText(t); }, true);
}

void TprogressDlg::Close() {
    OnUiThread(
        this, [this] { CloseOnUiThread(); }, false);
}

void TprogressDlg::CloseOnUiThread() {
    if (modal) {
        done(QDialog::Accepted);
    } else {
        closePending = true;  // the window is not shown yet: its showing ends at once
    }
}

void TprogressDlg::BeginUpdate() {
    closePending = false;
    abandonBtn->hide();
    abandonBtn->setEnabled(true);
    retryLbl->hide();
}

void TprogressDlg::ShowModal(std::shared_ptr<TECUFlashCmd> cmd) {
    command = std::move(cmd);
    if (!closePending) {
        modal = true;
        watch.start();
        WatchCommand();
        exec();
        watch.stop();
        modal = false;
    }
    closePending = false;
    command.reset();
}

void TprogressDlg::WatchCommand() {
    if (command && command->Failures() > 0 && !command->Abandoned()) {
        const int failed = command->Failures();
        retryLbl->setText(failed == 1 ? "The upload failed; trying again."
                                      : QString("%1 runs failed; trying again.").arg(failed));
        retryLbl->show();
        abandonBtn->show();
    }
}

void TprogressDlg::AbandonClicked() {
    if (command) {
        abandonBtn->setEnabled(false);
        statusText->setText("Abandoning the update...");
        command->Abandon();  // its next run closes this window
    }
}

void TprogressDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TprogressDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
}
