// The desktop program's main window, Engine Data window and firmware update flows.
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>

#include "forms/realtime.h"
#include "forms/realtimethr.h"
#include "tests/gui/guirig.h"

namespace {

// An Intel HEX file of `bytes` bytes (16 per record, checksums worked out here).
QString WriteHex(const QString& path, int bytes, std::vector<uint8_t>* image = nullptr) {
    std::ofstream out(path.toStdString(), std::ios::trunc);
    std::vector<uint8_t> data(static_cast<size_t>(bytes));
    for (int i = 0; i < bytes; ++i) {
        data[i] = static_cast<uint8_t>(i * 13 + 7);
    }
    for (int at = 0; at < bytes; at += 16) {
        const int n = std::min(16, bytes - at);
        unsigned sum = n + (at >> 8) + (at & 0xFF);
        char buf[16];
        std::snprintf(buf, sizeof buf, ":%02X%04X00", n, at);
        out << buf;
        for (int i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, "%02X", data[at + i]);
            out << buf;
            sum += data[at + i];
        }
        std::snprintf(buf, sizeof buf, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        out << buf;
    }
    out << ":00000001FF\n";
    if (image) {
        *image = data;
    }
    return path;
}

bool WaitConnected(TGuiRig&) {
    return QTest::qWaitFor([] { return MainWindow->PanelText(0) == "Connected"; }, 10000);
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void startsOfflineThenConnectsAndIdentifies() {
        TGuiRig rig;
        QCOMPARE(MainWindow->windowTitle(), QString("Brindle"));
        QTRY_COMPARE_WITH_TIMEOUT(MainWindow->PanelText(0), QString("Connected"), 10000);
        QTRY_COMPARE(MainWindow->PanelText(1), QString("Firmware Revision: 1.4.12"));
        QTRY_COMPARE(MainWindow->PanelText(2), QString("Board: 1.2 SN: 258"));
    }

    void panelZeroFollowsTheLinkState() {
        TGuiRig rig;
        rig.ecu.SetUnplugged(true, TSteadyClock::Instance().NowUs() * 1000);
        QTRY_COMPARE(MainWindow->PanelText(0), QString("Connecting"));
        TECU* session = rig.Session();
        const struct {
            uint8_t state;
            const char* text;
        } cases[] = {{0, "Offline"},
                     {1, "Connected"},
                     {2, "Connecting"},
                     {3, "Connecting"},
                     {200, "Connecting"}};
        for (const auto& c : cases) {
            session->linkState = c.state;
            MainWindow->WMEcuState();
            QCOMPARE(MainWindow->PanelText(0), QString(c.text));
            session->linkState = kLinkConnecting;
        }
        TModalScript script;
        script.Box(QMessageBox::No);
        session->linkState = kLinkLoader;
        MainWindow->WMEcuState();
        QCOMPARE(MainWindow->PanelText(0), QString("Loader"));
        QCOMPARE(script.captions.at(0), QString("No Firmware"));
    }

    void menusCarryTheirCaptions() {
        TGuiRig rig;
        QStringList menus;
        for (QAction* a : MainWindow->menuBar()->actions()) {
            menus << a->text();
        }
        QCOMPARE(menus, QStringList({"&File", "&View", "&Map", "&Settings", "&Tools", "&Help"}));
        QCOMPARE(MainWindow->itmPrefs->text(), QString("P&references"));
        QCOMPARE(MainWindow->itmExit->text(), QString("E&xit"));
        QCOMPARE(MainWindow->mnuUpdateFirmware->text(), QString("Update Firmware"));
        QStringList calibration;
        for (QAction* a : MainWindow->Calibration1->actions()) {
            calibration << a->text();
        }
        QCOMPARE(calibration, QStringList({"TPS Calibration", "EGT Calibration", "WBO2 Calibration",
                                           "Battery Voltage"}));
        // The first three do nothing: no window, no dialog.
        for (QAction* a : {MainWindow->TPSCalibration1, MainWindow->EGTCalibration1,
                           MainWindow->WBO2Calibration1}) {
            a->trigger();
            QVERIFY(QApplication::activeModalWidget() == nullptr);
            QCOMPARE(MainWindow->mdiArea->subWindowList().size(), 0);
        }
    }

    void engineDataOpensOnceAndReopensFresh() {
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        MainWindow->EngineData1->trigger();
        TrealtimeThr* first = MainWindow->realtimeThr;
        QVERIFY(first != nullptr);
        MainWindow->EngineData1->trigger();
        QCOMPARE(MainWindow->realtimeThr, first);
        QCOMPARE(MainWindow->mdiArea->subWindowList().size(), 1);
        QCOMPARE(first->dlg->Value("lblRPM")->text(), QString("0"));
        // Live data replaces the "0" after the first refresh.
        QTRY_VERIFY_WITH_TIMEOUT(first->dlg->Value("lblRPM")->text() != "0", 3000);
        QTRY_COMPARE(first->dlg->Value("lblVolts")->text().left(3), QString("13."));

        // Closing the window stops its thread; the menu then opens a new one.
        MainWindow->mdiArea->subWindowList().first()->close();
        QTRY_VERIFY(MainWindow->realtimeThr == nullptr);
        QTRY_COMPARE(MainWindow->mdiArea->subWindowList().size(), 0);
        MainWindow->EngineData1->trigger();
        QVERIFY(MainWindow->realtimeThr != nullptr);
        QCOMPARE(MainWindow->realtimeThr->dlg->Value("lblRPM")->text(), QString("0"));
        QCOMPARE(MainWindow->mdiArea->subWindowList().size(), 1);
    }

    void engineDataRowsAreFormattedAsRawValues() {
        TGuiRig rig;
        TrealtimeDlg dlg(MainWindow);
        SensorRecord all;
        all.bytes.fill(0xFF);
        dlg.ShowRecord(all);
        for (const char* word : {"lblRPM", "lblMAP", "lblTarget", "lblAFR1", "lblAFR2", "lblInj",
                                 "lblEGT1", "lblEGT2"}) {
            QCOMPARE(dlg.Value(word)->text(), QString("65535"));
        }
        for (const char* byte : {"lblTPS", "lblCLT", "lblMAT"}) {
            QCOMPARE(dlg.Value(byte)->text(), QString("255"));
        }
        QCOMPARE(dlg.Value("lblAdv")->text(), QString("255.0"));
        QCOMPARE(dlg.Value("lblVolts")->text(), QString("30.0"));
        const std::pair<uint8_t, const char*> volts[] = {
            {105, "12.4"}, {51, "6.0"}, {1, "0.1"}, {0, "0.0"}};
        for (const auto& [raw, text] : volts) {
            SensorRecord r;
            r.bytes[15] = raw;
            dlg.ShowRecord(r);
            QCOMPARE(dlg.Value("lblVolts")->text(), QString(text));
            QCOMPARE(dlg.Value("lblAdv")->text(), QString("0.0"));
        }
        QCOMPARE(dlg.windowTitle(), QString("Engine Data"));
    }

    void shutdownStopsRefreshThenControlThenLog() {
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        MainWindow->EngineData1->trigger();
        QVERIFY(MainWindow->close());
        QCOMPARE(MainWindow->shutdownSteps,
                 (std::vector<std::string>{"refresh thread", "control thread", "log"}));
        QVERIFY(MainWindow->realtimeThr == nullptr);
        QVERIFY(MainWindow->ecuControl == nullptr);
        // Late notices change nothing: "Shutting down..." stays the last text.
        QCoreApplication::postEvent(MainWindow, new QEvent(static_cast<QEvent::Type>(3024)));
        QTest::qWait(50);
        QCOMPARE(MainWindow->PanelText(0), QString("Shutting down..."));
    }

    void shutdownDuringAConnectAttemptIsQuick() {
        TGuiRig rig;
        rig.ecu.SetUnplugged(true, TSteadyClock::Instance().NowUs() * 1000);
        QTest::qWait(100);  // inside the six-second connect pass
        QElapsedTimer t;
        t.start();
        QVERIFY(MainWindow->close());
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    }

    void portThatCannotBeOpenedSaysWhyAndHowToFixIt() {
        TModalScript script;
        script.Box(QMessageBox::Ok);
        TGuiRig rig(QuickEcu(), /*failOpen=*/true, "Permission denied");
        QTRY_VERIFY(script.Done());
        QCOMPARE(script.captions.at(0), QString("Error!"));
        QCOMPARE(script.texts.at(0), QString("Comm port is in use!"));
        QVERIFY(script.details.at(0).contains("Permission denied"));
        QVERIFY(script.details.at(0).contains("dialout"));
        QTRY_COMPARE(MainWindow->PanelText(0), QString("Connecting"));
    }

    void closingWhileThePortErrorIsShownDoesNotHang() {
        TGuiRig rig(QuickEcu(), true);
        // The user closes the main window from inside the box's own loop.
        TModalScript script;
        script.Then({[](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                     [](QWidget*) { MainWindow->close(); }});
        QTRY_VERIFY_WITH_TIMEOUT(MainWindow->ecuControl == nullptr, 5000);
        QCOMPARE(MainWindow->shutdownSteps.back(), std::string("log"));
    }

    void unreadableImageGivesTheErrorInBothFlows() {
        QTemporaryDir dir;
        const QString bad = dir.filePath("bad.hex");
        std::ofstream(bad.toStdString()) << ":10000000GARBAGE\n";
        {
            TGuiRig rig;
            TModalScript script;
            script.File(bad).Box(QMessageBox::Ok).Box(QMessageBox::Ok);
            MainWindow->mnuUpdateFirmware->trigger();
            QVERIFY(script.Done());
            QCOMPARE(script.captions.at(0), QString("Debug"));
            QCOMPARE(script.texts.at(0),
                     QString("invalid character in record\nLine 1 of the file."));
            QCOMPARE(script.texts.at(1), QString("ERROR! Unable to open firmware image."));
            QCOMPARE(MainWindow->ecuControl->QueuedCommands(), 0u);
            QVERIFY(!progressDlg->isVisible());
        }
        {
            TGuiRig rig;
            QVERIFY(WaitConnected(rig));
            TModalScript script;
            script.Box(QMessageBox::Yes).File(bad).Box(QMessageBox::Ok).Box(QMessageBox::Ok);
            rig.ecu.DropToLoader(TSteadyClock::Instance().NowUs() * 1000);
            QTRY_VERIFY_WITH_TIMEOUT(script.Done(), 15000);
            QCOMPARE(script.captions.at(0), QString("No Firmware"));
            QCOMPARE(script.texts.at(2), QString("ERROR! Unable to open firmware image."));
            QCOMPARE(MainWindow->PanelText(0), QString("Loader"));
            QCOMPARE(MainWindow->ecuControl->QueuedCommands(), 0u);
        }
    }

    void cancelledFileDialogChangesNothing() {
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        const QString before = MainWindow->PanelText(1);
        TModalScript script;
        script.File(QString());
        MainWindow->mnuUpdateFirmware->trigger();
        QVERIFY(script.Done());
        QCOMPARE(MainWindow->PanelText(1), before);
        QCOMPARE(MainWindow->PanelText(0), QString("Connected"));
    }

    void answeringNoQueuesNothing() {
        QTemporaryDir dir;
        const QString hex = WriteHex(dir.filePath("small.hex"), 600);
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        TModalScript script;
        script.File(hex).Box(QMessageBox::No);
        MainWindow->mnuUpdateFirmware->trigger();
        QVERIFY(script.Done());
        QCOMPARE(script.captions.at(0), QString("Firmware Upgrade"));
        QVERIFY(script.texts.at(0).startsWith("You are about to upload new firmware"));
        QVERIFY(script.texts.at(0).endsWith("upgrade.\n Do you wish to continue?"));
        QCOMPARE(MainWindow->ecuControl->QueuedCommands(), 0u);
        QCOMPARE(MainWindow->PanelText(1), QString("Loading firmware image..."));
    }

    void missingFirmwarePromptComesOncePerChange() {
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        TModalScript script;
        script.Box(QMessageBox::No).Box(QMessageBox::No);
        TECU* session = rig.Session();
        rig.ecu.SetUnplugged(true, TSteadyClock::Instance().NowUs() * 1000);
        QTRY_COMPARE_WITH_TIMEOUT(MainWindow->PanelText(0), QString("Connecting"), 5000);
        session->linkState = kLinkLoader;
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::postEvent(MainWindow, new QEvent(static_cast<QEvent::Type>(3024)));
        }
        QTRY_COMPARE(script.captions.size(), size_t{1});
        QTest::qWait(100);
        QCOMPARE(script.captions.size(), size_t{1});
        // Another change to the boot loader asks again.
        session->linkState = kLinkConnecting;
        MainWindow->WMEcuState();
        session->linkState = kLinkLoader;
        MainWindow->WMEcuState();
        QTRY_COMPARE(script.captions.size(), size_t{2});
        QVERIFY(script.Done());
    }

    void fullUpdateOfASmallImage() {
        QTemporaryDir dir;
        std::vector<uint8_t> image;
        const QString hex = WriteHex(dir.filePath("fw.hex"), 3000, &image);
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        TModalScript script;
        script.File(hex).Box(QMessageBox::Yes);
        MainWindow->mnuUpdateFirmware->trigger();
        QVERIFY(script.Done());
        QVERIFY(!progressDlg->isVisible());
        QCOMPARE(progressDlg->windowTitle(), QString("Updating Firmware"));
        QCOMPARE(progressDlg->statusText->text(), QString("2048 bytes sent."));
        const std::vector<uint8_t> flash = rig.ecu.Flash();
        QVERIFY(std::equal(image.begin(), image.end(), flash.begin()));
        QCOMPARE(MainWindow->ecuControl->QueuedCommands(), 0u);
        // The new firmware is found again.
        QTRY_COMPARE_WITH_TIMEOUT(MainWindow->PanelText(0), QString("Connected"), 10000);
    }

    void failedRunOffersAWayOut() {
        QTemporaryDir dir;
        const QString hex = WriteHex(dir.filePath("fw.hex"), 1024);
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        rig.ecu.NackBlock(1);
        TModalScript script;
        script.File(hex).Box(QMessageBox::Yes);
        script.Then(
            {[](QWidget* w) { return w == progressDlg && progressDlg->abandonBtn->isVisible(); },
             [](QWidget*) { progressDlg->abandonBtn->click(); }});
        script.Box(QMessageBox::Ok);
        QTimer::singleShot(0, [] {
            // Until a run has failed there is no button.
            QVERIFY(!progressDlg->abandonBtn->isVisible());
        });
        MainWindow->mnuUpdateFirmware->trigger();
        QVERIFY(script.Done());
        QCOMPARE(script.texts.back(),
                 QString("The firmware update was abandoned. The ECU stays in its boot loader "
                         "until new firmware is uploaded."));
        QVERIFY(!progressDlg->isVisible());
        QTRY_COMPARE(MainWindow->ecuControl->QueuedCommands(), 0u);
    }

    void preferencesIsModelessAndTheOtherDialogsModal() {
        TGuiRig rig;
        MainWindow->itmPrefs->trigger();
        QVERIFY(filePrefsDlg->isVisible());
        QVERIFY(!filePrefsDlg->isModal());
        filePrefsDlg->cancelBtn->click();
        for (QDialog* dialog :
             std::initializer_list<QDialog*>{dlgHelpAbout, fuelCalcsDlg, dlgBattCal}) {
            bool wasModal = false;
            QTimer::singleShot(50, [&] {
                wasModal = QApplication::activeModalWidget() == dialog;
                dialog->reject();
            });
            if (dialog == dlgHelpAbout)
                MainWindow->itmAbout->trigger();
            if (dialog == fuelCalcsDlg)
                MainWindow->itmFuelCalcs->trigger();
            if (dialog == dlgBattCal)
                MainWindow->BatteryVoltage1->trigger();
            QVERIFY(wasModal);
        }
    }

    void logFileIsWrittenAndAnUncreatableOneIsNoObstacle() {
        {
            TGuiRig rig;
            QVERIFY(WaitConnected(rig));
            MainWindow->close();
            std::ifstream in(rig.logPath);
            std::string first;
            std::getline(in, first);
            QVERIFY(first.rfind("Outgoing packet typ(ACK)", 0) == 0);
        }
        {
            TGuiRig rig(QuickEcu(), false, "", "/nonexistent-folder/brindle.log");
            QVERIFY(WaitConnected(rig));
            QCOMPARE(MainWindow->PanelText(1), QString("Firmware Revision: 1.4.12"));
            QVERIFY(MainWindow->close());
        }
    }
};

QTEST_MAIN(MainWindowTest)
#include "mainwindow_test.moc"
