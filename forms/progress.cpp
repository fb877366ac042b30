#include "forms/progress.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QThread>

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

QString ClockText(int64_t seconds) {
    if (seconds >= 3600) {
        return QString("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(seconds / 60 % 60, 2, 10, QChar('0'))
            .arg(seconds % 60, 2, 10, QChar('0'));
    }
    return QString("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar('0'));
}

TprogressDlg::TprogressDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("progressDlg");
    setModal(true);
    detailText = new QLabel(this);
    detailText->setObjectName("detailText");
    detailText->setGeometry(8, 8, 409, 20);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName("progressBar");
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(true);
    progressBar->setFormat("%p%");
    progressBar->setAlignment(Qt::AlignCenter);
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
    abandonBtn->move(431 - 8 - abandonBtn->width(), 78);
    abandonBtn->hide();
    retryLbl = new QLabel(this);
    retryLbl->setObjectName("retryLbl");
    retryLbl->setGeometry(8, 78, 431 - 24 - abandonBtn->width(), abandonBtn->height());
    retryLbl->hide();
    connect(abandonBtn, &QPushButton::clicked, this, &TprogressDlg::AbandonClicked);

    setFixedSize(431, 135);
    tick.setInterval(1000);
    connect(&tick, &QTimer::timeout, this, &TprogressDlg::ShowDetail);
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

void TprogressDlg::SetBytesWritten(int64_t bytes, int64_t) {
    OnUiThread(
        this,
        [this, bytes] {
            if (!writeClock.isValid()) {
                writeClock.start();
                writtenAtFirstBlock = bytes;
            }
            written = bytes;
            ShowDetail();
        },
        false);
}

void TprogressDlg::ShowDetail() {
    QString text = QString("%1 of %2 bytes").arg(written).arg(total);
    if (runClock.isValid()) {
        text += QString(" \u2022 %1 elapsed").arg(ClockText(runClock.elapsed() / 1000));
    }
    // The rate of the blocks, from the first acknowledged one on (the erase is not writing).
    const double seconds = writeClock.isValid() ? writeClock.elapsed() / 1000.0 : 0;
    if (seconds >= 1 && written > writtenAtFirstBlock) {
        const double rate = (written - writtenAtFirstBlock) / seconds;
        text += QString(" \u2022 %1 left \u2022 %2 bytes/s")
                    .arg(ClockText(static_cast<int64_t>((total - written) / rate + 0.5)))
                    .arg(static_cast<int64_t>(rate + 0.5));
    }
    detailText->setText(text);
}

void TprogressDlg::Prepare(const QString& caption, int64_t imageBytes) {
    setWindowTitle(caption);
    progressBar->setValue(0);
    statusText->setText("Initialising...");
    total = imageBytes;
    written = 0;
    runClock.invalidate();
    writeClock.invalidate();
    abandonBtn->hide();
    abandonBtn->setEnabled(true);
    retryLbl->hide();
    ShowDetail();
}

void TprogressDlg::ShowModal(uint64_t command, std::function<void()> onAbandon) {
    shownCommand = command;
    abandon = std::move(onAbandon);
    if (finishedCommand != command) {
        modal = true;
        tick.start();
        exec();
        tick.stop();
        modal = false;
    }
    shownCommand = 0;
    abandon = nullptr;
}

void TprogressDlg::RunStarted(uint64_t command) {
    if (command != shownCommand) {
        return;
    }
    written = 0;
    runClock.start();
    writeClock.invalidate();
    ShowDetail();
}

void TprogressDlg::RunFailed(uint64_t command, int failures) {
    if (command != shownCommand || !abandonBtn->isEnabled()) {
        return;
    }
    retryLbl->setText(failures == 1 ? "The upload failed; trying again."
                                    : QString("%1 runs failed; trying again.").arg(failures));
    retryLbl->show();
    abandonBtn->show();
}

void TprogressDlg::CommandFinished(uint64_t command) {
    finishedCommand = command;
    if (command == shownCommand && modal) {
        done(QDialog::Accepted);
    }
}

void TprogressDlg::AbandonClicked() {
    if (abandon) {
        abandonBtn->setEnabled(false);
        statusText->setText("Abandoning the update...");
        abandon();  // the window closes when the control thread reports the command finished
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
