// Brindle: the desktop program.
#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QMessageBox>
#include <exception>

#include "app/forms.h"
#include "ecu/clock.h"
#include "forms/version.h"
#include "platform/hostplatform.h"
#include "platform/portmap.h"
#include "platform/timerslack.h"

int main(int argc, char** argv) {
    TightenTimerSlack();  // inherited by the ECU control thread
    QApplication app(argc, argv);
    QApplication::setApplicationName("Brindle");
    QApplication::setApplicationVersion(kBrindleFileVersion);
    QApplication::setWindowIcon(QIcon(":/brindle.png"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Desktop companion for the ECU: live engine data, board identification and firmware "
        "updates over a serial line.\n\nSettings are kept in " +
        QString::fromStdString(SettingsLocation()) +
        " (BRINDLE_SETTINGS names another file). The packet log is brindle.log in the current "
        "folder.");
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption portOption(
        "port", "Use the serial device PATH for this run instead of the stored port.", "PATH");
    parser.addOption(portOption);
    parser.process(app);

    TPortMap ports;
    const std::unique_ptr<TSettingsStore> settings = MakeSettingsStore(ports);
    if (parser.isSet(portOption)) {
        ports.SetRunOverride(parser.value(portOption).toStdString());
    }
    const std::unique_ptr<TSerialLibrary> library = MakeSerialLibrary(ports);
    TAppContext context;
    context.library = library.get();
    context.settings = settings.get();
    context.clock = &SystemClock();
    context.ports = &ports;

    try {
        CreateForms(context);
        MainWindow->show();
        QApplication::exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, "Brindle", QString::fromLocal8Bit(e.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, "Brindle", QString());
    }
    DestroyForms();
    return 0;
}
