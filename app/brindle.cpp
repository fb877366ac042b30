// Brindle: the desktop program.
#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QMessageBox>
#include <cstdio>
#include <exception>
#include <memory>

#include "app/forms.h"
#include "ecu/clock.h"
#include "forms/version.h"
#include "platform/hostplatform.h"
#include "platform/portmap.h"
#include "platform/serialdevices.h"
#include "platform/timerslack.h"

namespace {

// The start-up's exception display: a message box once the application object exists,
// standard error before that.
void ShowStartupError(bool haveApplication, const QString& text) {
    if (haveApplication) {
        QMessageBox::critical(nullptr, "Brindle", text);
    } else {
        std::fprintf(stderr, "brindle: %s\n", qPrintable(text));
    }
}

}  // namespace

int main(int argc, char** argv) {
    TightenTimerSlack();  // inherited by the ECU control thread
    QApplication::setApplicationName("Brindle");
    QApplication::setApplicationVersion(kBrindleFileVersion);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Desktop companion for the ECU: live engine data, board identification and firmware "
        "updates over a serial line.\n\nSettings are kept in " +
        QString::fromStdString(SettingsLocation()) +
        " (BRINDLE_SETTINGS names another file). The packet log is brindle.log in the current "
        "folder.");
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption portOption(
        "port", "Use the serial device PATH for this run instead of the stored port.", "PATH");
    parser.addOption(portOption);
    const QCommandLineOption recordOption(
        "record",
        "Start recording at once, into FILE (a new file) or into a new "
        "brindle-YYYYMMDD-HHMMSS.csv in the documents folder.");
    parser.addOption(recordOption);
    parser.addPositionalArgument("FILE", "With --record: the recording's file.", "[FILE]");

    // --help and --version are answered before the application object exists, so they need
    // no display. Other mistakes (and the toolkit's own options) are judged once it does.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    parser.parse(arguments);
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText().replace("<executable_name>", arguments.first())),
                   stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::printf("Brindle %s\n", kBrindleFileVersion);
        return 0;
    }

    // Declared out here so that they outlive the windows, which `forms` ends below.
    std::unique_ptr<QApplication> app;
    TPortMap ports;
    std::unique_ptr<TSettingsStore> settings;
    std::unique_ptr<TSerialLibrary> library;
    std::unique_ptr<TSerialDeviceList> devices;
    std::unique_ptr<TForms> forms;
    try {
        app = std::make_unique<QApplication>(argc, argv);
        QApplication::setWindowIcon(QIcon(":/brindle.png"));
        parser.process(*app);
        const QStringList positional = parser.positionalArguments();
        if (positional.size() > (parser.isSet(recordOption) ? 1 : 0)) {
            std::fprintf(stderr, "brindle: unexpected argument '%s' (a FILE goes with --record)\n",
                         qPrintable(positional.last()));
            return 64;
        }

        settings = MakeSettingsStore(ports);
        if (parser.isSet(portOption)) {
            ports.SetRunOverride(parser.value(portOption).toStdString());
        }
        library = MakeSerialLibrary(ports);
        TAppContext context;
        context.library = library.get();
        context.settings = settings.get();
        context.clock = &SystemClock();
        context.ports = &ports;
        devices = MakeSerialDeviceList();
        context.devices = devices.get();
        // Where per-port devices are kept: the INI file has them, the registry does not.
        context.portStore = dynamic_cast<TPortMapStore*>(settings.get());
        context.record = parser.isSet(recordOption);
        if (context.record && !positional.isEmpty()) {
            context.recordPath = positional.first().toStdString();
        }

        forms = std::make_unique<TForms>(context);
        forms->MainWindow->show();
        QApplication::exec();
    } catch (const std::exception& e) {
        ShowStartupError(app != nullptr, QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowStartupError(app != nullptr, QString());
    }
    forms.reset();
    return 0;
}
