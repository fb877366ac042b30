// The desktop program's main window, Engine Data window and firmware update flows.
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>

#include "forms/chart.h"
#include "forms/progress.h"
#include "forms/realtime.h"
#include "record/recordreader.h"
#include "tests/gui/guirig.h"

#include <qcustomplot.h>

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
        rig.ecu.SetUnplugged(true, TNs(TSteadyClock::Instance().Now()));
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

    void storedSettingsOutsideTheirRangeAreNamedOnTheLinkPanel() {
        TGuiRig rig(QuickEcu(), false, "", "", {{"comPort", 0}, {"initBaud", 5}, {"commBaud", 42}});
        const QString tip = MainWindow->panels[0]->toolTip();
        QVERIFY2(tip.startsWith("The setting commBaud=42 is not a rate code"), qPrintable(tip));
        QVERIFY(!tip.contains("initBaud"));
    }

    void helpAndVersionNeedNoDisplay() {
        for (const char* option : {"--help", "--version"}) {
            QProcess program;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
                env.remove(name);
            }
            program.setProcessEnvironment(env);
            program.start(BRINDLE_PROGRAM, {option});
            QVERIFY(program.waitForFinished(10000));
            QCOMPARE(program.exitStatus(), QProcess::NormalExit);
            QCOMPARE(program.exitCode(), 0);
            const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
            QVERIFY2(out.contains(option == QString("--help") ? "--port <PATH>" : "Brindle 1."),
                     qPrintable(out));
        }
    }

    void menusCarryTheirNamesAndCaptions() {
        TGuiRig rig;
        QStringList menus;
        for (QAction* a : MainWindow->menuBar()->actions()) {
            menus << a->text();
        }
        QCOMPARE(menus, QStringList({"&File", "&View", "&Map", "&Settings", "&Tools", "&Help"}));
        // Each menu and item is found by the name of its form description.
        const std::pair<const char*, const char*> menuNames[] = {
            {"mnuFile", "&File"},       {"View1", "&View"},
            {"Map1", "&Map"},           {"Calibration1", "&Calibration"},
            {"Settings1", "&Settings"}, {"mnuTools", "&Tools"},
            {"mnuHelp", "&Help"}};
        for (const auto& [name, title] : menuNames) {
            const QMenu* menu = MainWindow->findChild<QMenu*>(name);
            QVERIFY2(menu, name);
            QCOMPARE(menu->title(), QString(title));
        }
        const std::pair<const char*, const char*> itemNames[] = {
            {"itmPrefs", "P&references"},
            {"N1", ""},
            {"itmExit", "E&xit"},
            {"EngineData1", "&Engine Data"},
            {"TPSCalibration1", "TPS Calibration"},
            {"EGTCalibration1", "EGT Calibration"},
            {"WBO2Calibration1", "WBO2 Calibration"},
            {"BatteryVoltage1", "Battery Voltage"},
            {"mnuUpdateFirmware", "Update Firmware"},
            {"itmFuelCalcs", "&Fuel Calculator"},
            {"itmAbout", "&About"}};
        for (const auto& [name, text] : itemNames) {
            const QAction* item = MainWindow->findChild<QAction*>(name);
            QVERIFY2(item, name);
            QCOMPARE(item->text(), QString(text));
            QCOMPARE(item->isSeparator(), QString(name) == "N1");
        }
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
        TrealtimeDlg* first = MainWindow->realtimeDlg;
        QVERIFY(first != nullptr);
        MainWindow->EngineData1->trigger();
        QCOMPARE(MainWindow->realtimeDlg, first);
        QCOMPARE(MainWindow->mdiArea->subWindowList().size(), 1);
        QCOMPARE(first->Value("lblRPM")->text(), QString("0"));
        // Live data replaces the "0" after the first refresh.
        QTRY_VERIFY_WITH_TIMEOUT(first->Value("lblRPM")->text() != "0", 3000);
        QTRY_COMPARE(first->Value("lblVolts")->text().left(3), QString("13."));

        // Closing the window destroys it; the menu then opens a new one.
        MainWindow->mdiArea->subWindowList().first()->close();
        QTRY_VERIFY(MainWindow->realtimeDlg == nullptr);
        QTRY_COMPARE(MainWindow->mdiArea->subWindowList().size(), 0);
        MainWindow->EngineData1->trigger();
        QVERIFY(MainWindow->realtimeDlg != nullptr);
        QCOMPARE(MainWindow->realtimeDlg->Value("lblRPM")->text(), QString("0"));
        QCOMPARE(MainWindow->mdiArea->subWindowList().size(), 1);
    }

    // Old values never pose as live ones: greyed, with the time of the last record, until
    // the next record comes; the battery voltage alike.
    void oldValuesAreGreyedUntilTheNextRecord() {
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        MainWindow->EngineData1->trigger();
        TrealtimeDlg* dlg = MainWindow->realtimeDlg;
        QTRY_VERIFY_WITH_TIMEOUT(dlg->Value("lblRPM")->text() != "0", 3000);
        QTest::qWait(600);  // a record seen by the window, so it knows when the last one came
        QVERIFY(dlg->Value("lblRPM")->isEnabled());
        QCOMPARE(dlg->staleLbl->text(), QString());
        rig.ecu.SetUnplugged(true, TNs(TSteadyClock::Instance().Now()));
        QTRY_COMPARE_WITH_TIMEOUT(MainWindow->PanelText(0), QString("Connecting"), 5000);
        QVERIFY(!dlg->Value("lblRPM")->isEnabled());
        QVERIFY(!dlg->Value("lblEGT2")->isEnabled());
        QVERIFY2(dlg->staleLbl->text().contains(
                     QRegularExpression("^No data since \\d\\d:\\d\\d:\\d\\d$")),
                 qPrintable(dlg->staleLbl->text()));
        bool voltsGreyed = false;
        QTimer::singleShot(400, [&] {
            voltsGreyed = !dlgBattCal->voltage->isEnabled() &&
                          dlgBattCal->staleLbl->text().startsWith("No data");
            dlgBattCal->reject();
        });
        MainWindow->BatteryVoltage1->trigger();
        QVERIFY(voltsGreyed);
        rig.ecu.SetUnplugged(false, TNs(TSteadyClock::Instance().Now()));
        QTRY_VERIFY_WITH_TIMEOUT(dlg->Value("lblRPM")->isEnabled(), 15000);
        QCOMPARE(dlg->staleLbl->text(), QString());
    }

    void engineDataRowsAreFormattedAsRawValues() {
        TGuiRig rig;
        TrealtimeDlg dlg(nullptr);
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

    // At the normal font the rows keep their places (32 apart, values ending at x = 217); at
    // 14 points (and under QT_SCALE_FACTOR=1.5, the second run of this test) no caption runs
    // into its value and the window can still be resized.
    void engineDataReadsAtEveryFontSize() {
        const QFont normal = QApplication::font();
        for (const int points : {14, 0}) {
            QFont font = normal;
            if (points > 0) {
                font.setPointSize(points);
            }
            QApplication::setFont(font);
            TrealtimeDlg dlg(nullptr);
            SensorRecord widest;
            widest.bytes.fill(0xFF);
            dlg.ShowRecord(widest);
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            const std::vector<TSensorRow> rows = SensorRows(widest);
            QLabel* previous = nullptr;
            for (const TSensorRow& row : rows) {
                QLabel* value = dlg.Value(row.label);
                QLabel* caption = nullptr;
                for (QLabel* label : dlg.findChildren<QLabel*>()) {
                    if (label->text() == row.caption) {
                        caption = label;
                    }
                }
                QVERIFY(caption && value);
                const QRect text = value->contentsRect().adjusted(
                    value->width() - value->fontMetrics().horizontalAdvance(value->text()), 0, 0,
                    0);
                QVERIFY2(caption->geometry().right() < value->geometry().left() + text.left(),
                         row.caption);
                QVERIFY(caption->width() >= caption->sizeHint().width());
                if (previous) {
                    QVERIFY(value->geometry().top() >= previous->geometry().bottom());
                    if (points == 0 && !qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {
                        QCOMPARE(value->geometry().center().y() - previous->geometry().center().y(),
                                 32);
                    }
                }
                if (points == 0 && !qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {
                    QCOMPARE(value->mapTo(&dlg, value->rect().topRight()).x() + 1, 217);
                }
                previous = value;
            }
            QVERIFY(dlg.minimumSize() != dlg.maximumSize());
        }
        QApplication::setFont(normal);
    }

    // The chart gets every record the session accepts, not the Engine Data window's four a
    // second; a recording made meanwhile plays back whole, and a damaged one is refused with
    // its line.
    void chartPlotsEveryRecordAndARecordingPlaysBack() {
        QTemporaryDir dir;
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        const QString path = dir.filePath("run.csv");
        QVERIFY(MainWindow->StartRecording(path));
        QVERIFY(MainWindow->tbRecord->isChecked());
        MainWindow->Chart1->trigger();
        TChartDlg* chart = MainWindow->chartDlg;
        QVERIFY(chart != nullptr);
        uint64_t updates = 0;
        QTRY_VERIFY_WITH_TIMEOUT((rig.Session()->SensorsSnapshot(&updates), updates > 150), 10000);
        // Everything the session kept was there at once, and every record since follows.
        QTRY_VERIFY(chart->plot->graph(0)->dataCount() >= static_cast<int>(updates));
        QTRY_VERIFY(MainWindow->recordingLbl->text().startsWith("REC "));
        chart->SetCursorAt(chart->ViewUpper() - 0.5);
        QVERIFY(chart->CursorValue(0).toInt() > 0);  // RPM at the cursor
        QCOMPARE(chart->CursorValue(4), QString());  // Mixture 2 is not ticked
        MainWindow->StopRecording();
        QVERIFY(!MainWindow->Recording());
        QVERIFY(MainWindow->recordingLbl->text().startsWith("Saved "));

        TRecording recorded;
        std::string error;
        QVERIFY2(LoadRecording(path.toStdString(), recorded, error), error.c_str());
        QVERIFY(recorded.Rows() > 50);
        TChartDlg* playback = MainWindow->OpenRecording(path);
        QVERIFY(playback != nullptr);
        QCOMPARE(playback->plot->graph(0)->dataCount(), static_cast<int>(recorded.Rows()));
        QCOMPARE(playback->ViewLower(), (recorded.startUtcMs + recorded.ms.front()) / 1000.0);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = file.readAll().split('\n');
        lines[2] = "not,a,row";
        const QString damaged = dir.filePath("damaged.csv");
        QFile out(damaged);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(lines.join('\n'));
        out.close();
        TModalScript script;
        script.Box(QMessageBox::Ok);
        QVERIFY(MainWindow->OpenRecording(damaged) == nullptr);
        QCOMPARE(script.texts.at(0),
                 QString("damaged.csv is not a recording of Brindle or brindle-cli.\n"
                         "Line 3: 3 fields where a row has 15."));
    }

    // brindle --record [FILE] records from the start: into FILE, or into a new file in the
    // documents folder.
    void recordOptionRecordsFromTheStart() {
        QTemporaryDir dir;
        QProcess ecusim;
        ecusim.start(BRINDLE_ECUSIM, {});
        QVERIFY(ecusim.waitForReadyRead(10000));
        const QString port = QString::fromUtf8(ecusim.readLine()).trimmed();
        QFile ini(dir.filePath("settings.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[General]\ncommBaud=9\n");
        ini.close();
        for (const bool named : {true, false}) {
            QProcess program;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("BRINDLE_SETTINGS", ini.fileName());
            env.insert("HOME", dir.path());
            env.insert("XDG_CONFIG_HOME", dir.path());
            env.insert("QT_QPA_PLATFORM", "offscreen");
            program.setProcessEnvironment(env);
            program.setWorkingDirectory(dir.path());
            QStringList args = {"--port", port, "--record"};
            if (named) {
                args << dir.filePath("drive.csv");
            }
            program.start(BRINDLE_PROGRAM, args);
            QVERIFY(program.waitForStarted());
            const QString folder = named ? dir.path() : dir.filePath("Documents");
            const QString pattern = named ? "drive.csv" : "brindle-*.csv";
            QString file;
            QTRY_VERIFY_WITH_TIMEOUT(
                [&] {
                    const QStringList found = QDir(folder).entryList({pattern}, QDir::Files);
                    file = found.isEmpty() ? QString() : QDir(folder).filePath(found.first());
                    QFile f(file);
                    return !file.isEmpty() && f.open(QIODevice::ReadOnly) &&
                           f.readAll().count('\n') > 30;
                }(),
                20000);
            program.terminate();
            QVERIFY(program.waitForFinished(10000));
            TRecording recording;
            std::string error;
            QVERIFY2(LoadRecording(file.toStdString(), recording, error), error.c_str());
            QVERIFY(recording.Rows() > 29);
            if (!named) {
                QVERIFY(QFileInfo(file).fileName().contains(
                    QRegularExpression("^brindle-\\d{8}-\\d{6}\\.csv$")));
            }
        }
        ecusim.write("quit\n");
        QVERIFY(ecusim.waitForFinished(10000));
    }

    void shutdownStopsRefreshThenControlThenLog() {
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        MainWindow->EngineData1->trigger();
        QVERIFY(MainWindow->close());
        QCOMPARE(MainWindow->shutdownSteps,
                 (std::vector<std::string>{"engine data", "control thread", "log"}));
        QVERIFY(MainWindow->realtimeDlg == nullptr);
        QVERIFY(MainWindow->ecuControl == nullptr);
        // Late notices change nothing: "Shutting down..." stays the last text.
        QCoreApplication::postEvent(MainWindow, new QEvent(static_cast<QEvent::Type>(3024)));
        QTest::qWait(50);
        QCOMPARE(MainWindow->PanelText(0), QString("Shutting down..."));
    }

    void shutdownDuringAConnectAttemptIsQuick() {
        TGuiRig rig;
        rig.ecu.SetUnplugged(true, TNs(TSteadyClock::Instance().Now()));
        QTest::qWait(100);  // inside the six-second connect pass
        QElapsedTimer t;
        t.start();
        QVERIFY(MainWindow->close());
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    }

    // The box blocks no window; after it the port is tried every second, and the link
    // connects once the adapter is there, without a restart.
    void missingAdapterAtStartIsWaitedFor() {
        TModalScript script;
        bool usable = false;
        script.Then({[](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                     [&](QWidget* w) {
                         usable = !w->isModal() && QApplication::activeModalWidget() == nullptr;
                         MainWindow->itmPrefs->trigger();  // Preferences opens meanwhile
                         usable = usable && filePrefsDlg->isVisible();
                         filePrefsDlg->cancelBtn->click();
                         auto* box = qobject_cast<QMessageBox*>(w);
                         script.captions.push_back(box->windowTitle());
                         script.texts.push_back(box->text());
                         script.details.push_back(box->informativeText());
                         box->button(QMessageBox::Ok)->click();
                     }});
        TGuiRig rig(QuickEcu(), /*failOpen=*/true, "No such file or directory");
        QTRY_VERIFY(script.Done());
        QVERIFY(usable);
        QCOMPARE(script.captions.at(0), QString("Error!"));
        QCOMPARE(script.texts.at(0), QString("Comm port is in use!"));
        QVERIFY(script.details.at(0).contains("No such file"));
        QTRY_COMPARE(MainWindow->PanelText(0), QString("Connecting"));
        QTRY_VERIFY(MainWindow->PanelText(1).startsWith("Waiting for "));
        QVERIFY(MainWindow->panels[0]->toolTip().startsWith("Waiting for "));
        rig.lib.SetFailReset(false);  // the adapter is plugged in
        QTRY_COMPARE_WITH_TIMEOUT(MainWindow->PanelText(0), QString("Connected"), 10000);
        QCOMPARE(MainWindow->panels[0]->toolTip(), QString());
        QTRY_COMPARE(MainWindow->PanelText(1), QString("Firmware Revision: 1.4.12"));
    }

    void portWithoutPermissionPointsToTheDialoutGroup() {
        TModalScript script;
        script.Box(QMessageBox::Ok);
        TGuiRig rig(QuickEcu(), /*failOpen=*/true, "Permission denied");
        QTRY_VERIFY(script.Done());
        QVERIFY(script.details.at(0).contains("Permission denied"));
        QVERIFY(script.details.at(0).contains("dialout"));
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
            rig.ecu.DropToLoader(TNs(TSteadyClock::Instance().Now()));
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
        // The question names what will happen.
        const QString details = script.details.at(0);
        QVERIFY2(details.contains("File: small.hex"), qPrintable(details));
        QVERIFY2(details.contains("600 bytes in 3 blocks of 256 bytes"), qPrintable(details));
        QVERIFY2(details.contains("Firmware Revision: 1.4.12"), qPrintable(details));
        QVERIFY2(details.contains(QRegularExpression("takes about \\d+ s at 9600 bit/s")),
                 qPrintable(details));
        QCOMPARE(MainWindow->ecuControl->QueuedCommands(), 0u);
        QCOMPARE(MainWindow->PanelText(1), QString("Loading firmware image..."));
    }

    // A file with no data would only erase the ECU: its own warning, "No" by default.
    void imageWithoutDataIsWarnedOfWithNoAsTheDefault() {
        QTemporaryDir dir;
        const QString hex = WriteHex(dir.filePath("empty.hex"), 0);
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        TModalScript script;
        bool noIsDefault = false;
        script.File(hex).Then({[](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                               [&](QWidget* w) {
                                   auto* box = qobject_cast<QMessageBox*>(w);
                                   script.texts.push_back(box->text());
                                   noIsDefault =
                                       box->defaultButton() == box->button(QMessageBox::No);
                                   box->button(QMessageBox::No)->click();
                               }});
        MainWindow->mnuUpdateFirmware->trigger();
        QVERIFY(script.Done());
        QVERIFY(noIsDefault);
        QVERIFY(script.texts.at(0).contains("empty.hex holds no data"));
        QVERIFY(script.texts.at(0).contains("only erase the ECU's firmware"));
        QCOMPARE(MainWindow->ecuControl->QueuedCommands(), 0u);
        QCOMPARE(rig.ecu.Counters().erases, 0);
    }

    // A progress window closes for its own command only, whatever else is reported finished.
    void progressWindowClosesOnlyForItsOwnCommand() {
        TprogressDlg dlg;
        dlg.Prepare("Updating Firmware", 600);
        bool stillShown = false;
        QTimer::singleShot(50, [&] {
            dlg.CommandFinished(41);  // a command of an earlier flow
            stillShown = dlg.isVisible();
            dlg.CommandFinished(42);
        });
        dlg.ShowModal(42, {});
        QVERIFY(stillShown);
        QVERIFY(!dlg.isVisible());
        // A report that came before the showing still ends it: it is not shown at all.
        dlg.CommandFinished(43);
        QElapsedTimer t;
        t.start();
        dlg.ShowModal(43, {});
        QVERIFY(t.elapsed() < 1000);
    }

    void missingFirmwarePromptComesOncePerChange() {
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        TModalScript script;
        script.Box(QMessageBox::No).Box(QMessageBox::No);
        TECU* session = rig.Session();
        rig.ecu.SetUnplugged(true, TNs(TSteadyClock::Instance().Now()));
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
        QString panelWhileUploading;
        script.File(hex).Box(QMessageBox::Yes);
        script.Then(
            {[](QWidget* w) { return w == progressDlg && progressDlg->progressBar->value() > 0; },
             [&](QWidget*) { panelWhileUploading = MainWindow->PanelText(0); }});
        script.Box(QMessageBox::Ok);
        MainWindow->mnuUpdateFirmware->trigger();
        QVERIFY(script.Done());
        QCOMPARE(panelWhileUploading, QString("Uploading"));
        QVERIFY(!progressDlg->isVisible());
        QCOMPARE(progressDlg->windowTitle(), QString("Updating Firmware"));
        QCOMPARE(progressDlg->statusText->text(), QString("2048 bytes sent."));
        QVERIFY(progressDlg->progressBar->isTextVisible());
        QVERIFY(progressDlg->detailText->text().startsWith("3000 of 3000 bytes"));
        // It ends with what was written, not a window that silently vanishes.
        QVERIFY2(script.texts.back().contains(
                     QRegularExpression("^Firmware written: 3000 bytes in \\d+\\.\\d s$")),
                 qPrintable(script.texts.back()));
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
        // Then, the ECU being without firmware, the upload is offered again.
        script.Box(QMessageBox::No);
        QTimer::singleShot(0, [] {
            // Until a run has failed there is no button.
            QVERIFY(!progressDlg->abandonBtn->isVisible());
        });
        MainWindow->mnuUpdateFirmware->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(script.Done(), 15000);
        QCOMPARE(script.texts.at(1),
                 QString("The firmware update was abandoned. The ECU now has no working firmware. "
                         "Brindle offers the upload again as soon as it sees the ECU's boot "
                         "loader."));
        QCOMPARE(script.captions.at(2), QString("No Firmware"));
        QVERIFY(!progressDlg->isVisible());
        QCOMPARE(MainWindow->ecuControl->QueuedCommands(), 0u);
    }

    // A first run erased and wrote, a second heard nothing: the message says the firmware is
    // gone, and the upload is offered again once the boot loader answers.
    void updateThatErasedAndThenFailedSaysTheEcuHasNoFirmware() {
        QTemporaryDir dir;
        const QString hex = WriteHex(dir.filePath("fw.hex"), 1024);
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        rig.ecu.UnplugOn("D 0x0080 ok");  // after two blocks are written
        TModalScript script;
        script.File(hex).Box(QMessageBox::Yes);
        script.Then({[](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                     [&](QWidget* w) {
                         script.texts.push_back(qobject_cast<QMessageBox*>(w)->text());
                         rig.ecu.SetUnplugged(false, TNs(TSteadyClock::Instance().Now()));
                         qobject_cast<QMessageBox*>(w)->button(QMessageBox::Ok)->click();
                     }});
        script.Box(QMessageBox::No);
        MainWindow->mnuUpdateFirmware->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(script.Done(), 20000);
        QVERIFY2(script.texts.at(1).startsWith("The firmware update did not complete"),
                 qPrintable(script.texts.at(1)));
        QVERIFY(script.texts.at(1).contains("The ECU now has no working firmware."));
        QVERIFY(script.texts.at(1).contains("switched off and on"));
        QVERIFY(!script.texts.at(1).contains("not changed"));
        QCOMPARE(script.captions.at(1), QString("No Firmware"));
        QCOMPARE(MainWindow->PanelText(0), QString("Loader"));
    }

    // A second update started right after one whose boot loader did not answer runs whole:
    // nothing of the first one reaches it.
    void secondUpdateRightAfterAFailedOneRunsWhole() {
        QTemporaryDir dir;
        std::vector<uint8_t> image;
        const QString hex = WriteHex(dir.filePath("fw.hex"), 1024, &image);
        TGuiRig rig;
        QVERIFY(WaitConnected(rig));
        rig.ecu.UnplugOn("ENTER_FLASH");
        TModalScript script;
        script.File(hex).Box(QMessageBox::Yes);
        script.Then({[](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                     [&](QWidget* w) {
                         script.texts.push_back(qobject_cast<QMessageBox*>(w)->text());
                         rig.ecu.SetUnplugged(false, TNs(TSteadyClock::Instance().Now()));
                         qobject_cast<QMessageBox*>(w)->button(QMessageBox::Ok)->click();
                         // At once, the second update.
                         QTimer::singleShot(0, [] { MainWindow->mnuUpdateFirmware->trigger(); });
                     }});
        script.File(hex).Box(QMessageBox::Yes).Box(QMessageBox::Ok);
        MainWindow->mnuUpdateFirmware->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(script.Done(), 30000);
        QVERIFY2(script.texts.at(1).startsWith("The firmware update did not start"),
                 qPrintable(script.texts.at(1)));
        QVERIFY(script.texts.at(1).contains("The firmware was not changed."));
        QVERIFY2(script.texts.back().startsWith("Firmware written: 1024 bytes"),
                 qPrintable(script.texts.back()));
        QVERIFY(std::equal(image.begin(), image.end(), rig.ecu.Flash().begin()));
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
