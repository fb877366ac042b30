// The desktop program's windows on the virtual ECU (in process, real time), for QtTest, and a
// helper that answers modal windows the way a user would.
#pragma once

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "app/forms.h"
#include "ecu/clock.h"
#include "platform/portmap.h"
#include "tests/support/fakeserial.h"
#include "tests/support/memorysettings.h"
#include "tests/support/simrig.h"

inline TNs Now() {
    return TNs(TSteadyClock::Instance().Now());
}

// The windows of the rig in use, and its main window.
inline TForms* Forms = nullptr;
inline TMainWindow* MainWindow = nullptr;

struct TGuiRig {
    // `failReason`: the port cannot be opened, for that reason. `log`: the packet log's path
    // instead of a temporary one.
    explicit TGuiRig(const std::string& failReason = "", const std::string& log = "",
                     std::map<std::string, TMemorySettingsStore::TValue> settings = {})
        : ecu({}, Now()) {
        store.values = std::move(settings);
        lib.AttachPeer(&peer);
        lib.SetFailReset(!failReason.empty(), failReason);
        logPath = !log.empty() ? log : dir.filePath("brindle.log").toStdString();
        TAppContext context;
        context.library = &lib;
        context.settings = &store;
        context.clock = &TSteadyClock::Instance();
        context.ports = &ports;
        context.logPath = logPath;
        forms = std::make_unique<TForms>(context);
        Forms = forms.get();
        MainWindow = forms->MainWindow;
        MainWindow->show();
    }
    ~TGuiRig() {
        MainWindow->close();
        forms.reset();
        Forms = nullptr;
        MainWindow = nullptr;
    }
    bool Connected() {
        return QTest::qWaitFor([] { return MainWindow->PanelText(0) == "Connected"; }, 10000);
    }
    // An Intel HEX file `name` of `bytes` bytes (16 per record, checksums worked out here),
    // which are kept in `image`.
    QString Hex(const QString& name, int bytes) {
        const QString path = dir.filePath(name);
        std::ofstream out(path.toStdString(), std::ios::trunc);
        image.assign(static_cast<size_t>(bytes), 0);
        for (int at = 0; at < bytes; at += 16) {
            const int n = std::min(16, bytes - at);
            unsigned sum = n + (at >> 8) + (at & 0xFF);
            out << QString::asprintf(":%02X%04X00", n, at).toStdString();
            for (int i = at; i < at + n; ++i) {
                image[i] = static_cast<uint8_t>(i * 13 + 7);
                out << QString::asprintf("%02X", image[i]).toStdString();
                sum += image[i];
            }
            out << QString::asprintf("%02X\n", (0x100 - (sum & 0xFF)) & 0xFF).toStdString();
        }
        out << ":00000001FF\n";
        return path;
    }

    QTemporaryDir dir;
    std::vector<uint8_t> image;
    TVirtualEcu ecu;
    TVirtualEcuPeer peer{ecu};
    TFakeSerialLibrary lib{TSteadyClock::Instance()};
    TMemorySettingsStore store;
    TPortMap ports;
    std::string logPath;
    std::unique_ptr<TForms> forms;
};

// Answers modal windows in the order they appear. Each step names what it expects (checked
// by `match`) and what to do with it. Runs from a timer, so it works inside nested loops.
class TModalScript {
public:
    struct TStep {
        std::function<bool(QWidget*)> match;
        std::function<void(QWidget*)> act;
    };

    TModalScript() {
        QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
        timer.start(10);
    }
    TModalScript& Then(TStep step) {
        steps.push_back(std::move(step));
        return *this;
    }
    // A message box: records its caption, texts and default button, runs `before` (what the
    // user does while it is open), then presses `button`.
    TModalScript& Box(QMessageBox::StandardButton button,
                      std::function<void(QMessageBox*)> before = {}) {
        return Then({[](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                     [this, button, before](QWidget* w) {
                         auto* box = qobject_cast<QMessageBox*>(w);
                         captions.push_back(box->windowTitle());
                         texts.push_back(box->text());
                         details.push_back(box->informativeText());
                         defaults.push_back(box->standardButton(box->defaultButton()));
                         if (before) {
                             before(box);
                         }
                         box->button(button)->click();
                     }});
    }
    // The firmware file dialog: chooses `path`, or cancels when it is empty.
    TModalScript& File(const QString& path) {
        return Then({[](QWidget* w) { return qobject_cast<QFileDialog*>(w) != nullptr; },
                     [path](QWidget* w) {
                         auto* dialog = qobject_cast<QDialog*>(w);
                         // Typed into the name field, as a user would; the dialog's file list
                         // fills in the background.
                         dialog->findChild<QLineEdit*>("fileNameEdit")->setText(path);
                         path.isEmpty() ? dialog->reject() : dialog->accept();
                     }});
    }
    // The progress window, once `ready` holds for it.
    TModalScript& Progress(std::function<bool()> ready, std::function<void()> act) {
        return Then({[ready](QWidget* w) { return w == Forms->progressDlg && ready(); },
                     [act](QWidget*) { act(); }});
    }
    bool Done() const { return next == steps.size(); }

    std::vector<QString> captions;
    std::vector<QString> texts;
    std::vector<QString> details;
    std::vector<QMessageBox::StandardButton> defaults;

private:
    void Poll() {
        if (next >= steps.size()) {
            return;
        }
        QWidget* w = QApplication::activeModalWidget();
        if (!w) {
            // A box that blocks no window (the port error from the control thread).
            for (QWidget* top : QApplication::topLevelWidgets()) {
                if (qobject_cast<QMessageBox*>(top) && top->isVisible() &&
                    !top->property("answered").toBool()) {
                    w = top;
                    break;
                }
            }
        }
        if (!w || w->property("answered").toBool() || !w->isVisible() || !steps[next].match(w)) {
            return;
        }
        w->setProperty("answered", true);
        // A dialog that is shown again (the one file dialog of the program) is a new question.
        if (auto* dialog = qobject_cast<QDialog*>(w)) {
            QObject::connect(
                dialog, &QDialog::finished, dialog,
                [dialog] { dialog->setProperty("answered", false); }, Qt::SingleShotConnection);
        }
        auto step = steps[next++];
        step.act(w);
    }

    QTimer timer;
    std::vector<TStep> steps;
    size_t next = 0;
};
