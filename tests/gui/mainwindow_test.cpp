// The desktop program's main window, Engine Data window and firmware update flows.
#include <QMdiSubWindow>
#include <QProcess>
#include <QProgressBar>
#include <QtTest>

#include "forms/chart.h"
#include "forms/realtime.h"
#include "record/recordreader.h"
#include "tests/gui/guirig.h"
#include "tests/support/files.h"

#include <qcustomplot.h>

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    // Engine Data opens once and shows live values; old ones never pose as live: greyed, with
    // the time of the last record, until the next record comes, the battery voltage alike.
    // Closed, the window is destroyed and the menu opens a fresh one. The chart gets every
    // record the session accepts, not the Engine Data window's four a second; a recording made
    // meanwhile plays back whole, and a damaged one is refused with its line. The link's state
    // and the board are on the status bar's panels. The boot loader found, the upload is
    // offered once per change to it. Closed during a connect pass, the program exits at once:
    // Engine Data, then the control thread, then the packet log (written from the first
    // packet) stop, and late notices change nothing.
    void liveWindowsFollowTheLinkAndCloseInOrder() {
        TGuiRig rig;
        QVERIFY(rig.Connected());
        MainWindow->EngineData1->trigger();
        TrealtimeDlg* dlg = MainWindow->realtimeDlg;
        MainWindow->EngineData1->trigger();
        QCOMPARE(MainWindow->realtimeDlg, dlg);
        QTRY_VERIFY_WITH_TIMEOUT(dlg->Value("lblRPM")->text() != "0", 3000);
        QTest::qWait(600);  // a record seen by the window, so it knows when the last one came
        QVERIFY(dlg->Value("lblRPM")->isEnabled());
        rig.ecu.SetUnplugged(true, Now());
        QTRY_COMPARE_WITH_TIMEOUT(MainWindow->PanelText(0), QString("Connecting"), 5000);
        QVERIFY(!dlg->Value("lblRPM")->isEnabled());
        QVERIFY2(dlg->staleLbl->text().contains(
                     QRegularExpression("^No data since \\d\\d:\\d\\d:\\d\\d$")),
                 qPrintable(dlg->staleLbl->text()));
        bool voltsGreyed = false;
        QTimer::singleShot(400, [&] {
            voltsGreyed = !Forms->dlgBattCal->voltage->isEnabled() &&
                          Forms->dlgBattCal->staleLbl->text().startsWith("No data");
            Forms->dlgBattCal->reject();
        });
        MainWindow->BatteryVoltage1->trigger();
        QVERIFY(voltsGreyed);
        rig.ecu.SetUnplugged(false, Now());
        QTRY_VERIFY_WITH_TIMEOUT(dlg->Value("lblRPM")->isEnabled(), 15000);
        QCOMPARE(dlg->staleLbl->text(), QString());

        MainWindow->mdiArea->subWindowList().first()->close();
        QTRY_VERIFY(MainWindow->realtimeDlg == nullptr);
        MainWindow->EngineData1->trigger();
        QCOMPARE(MainWindow->realtimeDlg->Value("lblRPM")->text(), QString("0"));
        QCOMPARE(MainWindow->mdiArea->subWindowList().size(), 1);

        const QString path = rig.dir.filePath("run.csv");
        QVERIFY(MainWindow->StartRecording(path));
        MainWindow->Chart1->trigger();
        TChartDlg* chart = MainWindow->chartDlg;
        uint64_t updates = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            (MainWindow->ecuControl->session->SensorsSnapshot(&updates), updates > 150), 10000);
        // Everything the session kept was there at once, and every record since follows.
        QTRY_VERIFY(chart->plot->graph(0)->dataCount() >= static_cast<int>(updates));
        QTRY_VERIFY(MainWindow->recordingLbl->text().startsWith("REC "));
        chart->SetCursorAt(chart->ViewUpper() - 0.5);
        QVERIFY(chart->CursorValue(0).toInt() > 0);  // RPM at the cursor
        QCOMPARE(chart->CursorValue(4), QString());  // Mixture 2 is not ticked
        MainWindow->StopRecording();
        QVERIFY(MainWindow->recordingLbl->text().startsWith("Saved "));

        TRecording recorded;
        std::string error;
        QVERIFY2(LoadRecording(path.toStdString(), recorded, error), error.c_str());
        QVERIFY(recorded.Rows() > 50);
        TChartDlg* playback = MainWindow->OpenRecording(path);
        QCOMPARE(playback->plot->graph(0)->dataCount(), static_cast<int>(recorded.Rows()));

        const QString damaged = rig.dir.filePath("damaged.csv");
        std::ofstream(damaged.toStdString()) << "not,a,row\n";
        TModalScript script;
        script.Box(QMessageBox::Ok);
        QVERIFY(MainWindow->OpenRecording(damaged) == nullptr);
        QVERIFY(script.texts.at(0).startsWith("damaged.csv is not a recording"));

        QTRY_COMPARE(MainWindow->PanelText(2), QString("Board: 1.2 SN: 258"));
        rig.ecu.SetUnplugged(true, Now());
        QTRY_COMPARE(MainWindow->PanelText(0), QString("Connecting"));
        TECU* session = MainWindow->ecuControl->session;
        // A state without a name leaves the panel as it was.
        for (const uint8_t state : {kLinkOffline, uint8_t{200}}) {
            session->linkState = state;
            MainWindow->WMEcuState();
            QCOMPARE(MainWindow->PanelText(0), QString("Offline"));
        }
        TModalScript prompts;
        prompts.Box(QMessageBox::No).Box(QMessageBox::No);
        session->linkState = kLinkLoader;
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::postEvent(MainWindow, new QEvent(static_cast<QEvent::Type>(3024)));
        }
        QTRY_COMPARE(prompts.captions.size(), size_t{1});
        QCOMPARE(MainWindow->PanelText(0), QString("Loader"));
        QTest::qWait(100);
        QCOMPARE(prompts.captions.size(), size_t{1});
        session->linkState = kLinkConnecting;
        MainWindow->WMEcuState();
        session->linkState = kLinkLoader;
        MainWindow->WMEcuState();
        QTRY_COMPARE(prompts.captions.size(), size_t{2});
        session->linkState = kLinkConnecting;
        QElapsedTimer t;
        t.start();
        QVERIFY(MainWindow->close());
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(MainWindow->shutdownSteps,
                 (std::vector<std::string>{"engine data", "control thread", "log"}));
        std::ifstream log(rig.logPath);
        std::string first;
        QVERIFY(std::getline(log, first) && first.rfind("Outgoing packet typ(ACK)", 0) == 0);
        QCoreApplication::postEvent(MainWindow, new QEvent(static_cast<QEvent::Type>(3024)));
        QTest::qWait(50);
        QCOMPARE(MainWindow->PanelText(0), QString("Shutting down..."));
    }

    // Each row shows its value in its own label. At the normal font and at 14 points (and
    // under QT_SCALE_FACTOR=1.5, the second run of this test) the rows do not overlap, no
    // caption runs into its value, and the window can still be resized.
    void engineDataReadsAtEveryFontSize() {
        const QFont normal = QApplication::font();
        QFont large = normal;
        large.setPointSize(14);
        for (const QFont& font : {large, normal}) {
            QApplication::setFont(font);
            TrealtimeDlg dlg(nullptr);
            SensorRecord widest;
            widest.bytes.fill(0xFF);
            dlg.ShowRecord(widest);
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            QLabel* previous = nullptr;
            for (const TSensorRow& row : SensorRows(widest)) {
                QLabel* value = dlg.Value(row.label);
                QLabel* caption = nullptr;
                for (QLabel* label : dlg.findChildren<QLabel*>()) {
                    caption = label->text() == row.caption ? label : caption;
                }
                QVERIFY(caption && value);
                QCOMPARE(value->text(), QString::fromStdString(row.value));
                const int textLeft = value->geometry().right() + 1 -
                                     value->fontMetrics().horizontalAdvance(value->text());
                QVERIFY2(caption->geometry().right() < textLeft, row.caption);
                QVERIFY(caption->width() >= caption->sizeHint().width());
                if (previous) {
                    QVERIFY(value->geometry().top() >= previous->geometry().bottom());
                }
                previous = value;
            }
            QVERIFY(dlg.minimumSize() != dlg.maximumSize());
        }
        QApplication::setFont(normal);
    }

    // brindle --record [FILE] records from the start: into FILE, or into a new file in the
    // documents folder. --version needs no display; the version has four parts, as the
    // Windows file version needs.
    void recordOptionRecordsFromTheStart() {
        QProcess version;
        version.setProcessEnvironment(QProcessEnvironment());  // no display at all
        version.start(BRINDLE_PROGRAM, {"--version"});
        QVERIFY(version.waitForFinished(10000));
        QVERIFY(QString(version.readAllStandardOutput())
                    .contains(QRegularExpression("^Brindle \\d+\\.\\d+\\.\\d+\\.\\d+\n$")));
        QTemporaryDir dir;
        QProcess ecusim;
        ecusim.start(BRINDLE_ECUSIM, {});
        QVERIFY(ecusim.waitForReadyRead(10000));
        const QString port = QString::fromUtf8(ecusim.readLine()).trimmed();
        const QString ini = dir.filePath("settings.ini");
        WriteFile(ini.toStdString(), "[General]\ncommBaud=9\n");  // 115200 bit/s
        for (const bool named : {true, false}) {
            QProcess program;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("BRINDLE_SETTINGS", ini);
            env.insert("HOME", dir.path());
            env.insert("XDG_CONFIG_HOME", dir.path());
            program.setProcessEnvironment(env);
            program.setWorkingDirectory(dir.path());
            QStringList args = {"--port", port, "--record"};
            if (named) {
                args << dir.filePath("drive.csv");
            }
            program.start(BRINDLE_PROGRAM, args);
            const QDir folder(named ? dir.path() : dir.filePath("Documents"));
            const QString digit = "[0-9]";  // brindle-YYYYMMDD-HHMMSS.csv
            const QString name =
                named ? "drive.csv"
                      : "brindle-" + digit.repeated(8) + "-" + digit.repeated(6) + ".csv";
            QTRY_VERIFY_WITH_TIMEOUT(
                [&] {
                    const QStringList found = folder.entryList({name}, QDir::Files);
                    return found.size() == 1 &&
                           std::ranges::count(ReadFile(folder.filePath(found[0]).toStdString()),
                                              '\n') > 30;
                }(),
                20000);
            program.terminate();
            QVERIFY(program.waitForFinished(10000));
        }
        ecusim.write("quit\n");
        QVERIFY(ecusim.waitForFinished(10000));
    }

    // The box blocks no window and says what to check; Preferences, which is modeless, opens
    // meanwhile. After it the port is tried every second, and the link connects once the
    // adapter is there, without a restart. A packet log that cannot be created is no obstacle
    // either. A stored setting out of its range is named on the link panel's tip, under the
    // device waited for. About, the fuel calculator and the battery voltage are modal, the
    // last two centred on the screen wherever the main window is.
    void missingAdapterAtStartIsWaitedFor() {
        TModalScript script;
        bool usable = false;
        script.Box(QMessageBox::Ok, [&](QMessageBox* box) {
            usable = !box->isModal() && QApplication::activeModalWidget() == nullptr;
            MainWindow->itmPrefs->trigger();  // Preferences opens meanwhile
            usable = usable && Forms->filePrefsDlg->isVisible() && !Forms->filePrefsDlg->isModal();
            Forms->filePrefsDlg->cancelBtn->click();
        });
        TGuiRig rig("No such file or directory", "/nonexistent-folder/brindle.log",
                    {{"loaderBaud", 99}});
        QTRY_VERIFY(script.Done());
        QVERIFY(usable);
        QCOMPARE(script.texts.at(0), QString("Comm port is in use!"));
        QVERIFY(script.details.at(0).contains("plugged in?"));
        QTRY_COMPARE(MainWindow->PanelText(0), QString("Connecting"));
        QTRY_VERIFY(MainWindow->PanelText(1).startsWith("Waiting for "));
        const QString warning = "The setting loaderBaud=99 is not a rate code";
        QVERIFY(MainWindow->panels[0]->toolTip().startsWith("Waiting for "));
        QVERIFY(MainWindow->panels[0]->toolTip().contains("\n" + warning));
        rig.lib.SetFailReset(false);  // the adapter is plugged in
        QTRY_COMPARE_WITH_TIMEOUT(MainWindow->PanelText(0), QString("Connected"), 10000);
        QVERIFY(MainWindow->panels[0]->toolTip().startsWith(warning));
        QTRY_COMPARE(MainWindow->PanelText(1), QString("Firmware Revision: 1.4.12"));
        MainWindow->setGeometry(20, 20, 200, 150);  // far from the screen's centre
        const std::pair<QAction*, QDialog*> cases[] = {
            {MainWindow->itmAbout, Forms->dlgHelpAbout},
            {MainWindow->itmFuelCalcs, Forms->fuelCalcsDlg},
            {MainWindow->BatteryVoltage1, Forms->dlgBattCal}};
        for (const auto& [item, dialog] : cases) {
            bool wasModal = false;
            int offCentre = 0;
            QTimer::singleShot(50, dialog, [&wasModal, &offCentre, dialog] {
                wasModal = QApplication::activeModalWidget() == dialog;
                offCentre = (dialog->frameGeometry().center() -
                             dialog->screen()->availableGeometry().center())
                                .manhattanLength();
                dialog->reject();
            });
            item->trigger();
            QVERIFY(wasModal);
            QVERIFY(QApplication::activeModalWidget() == nullptr);
            QVERIFY2(dialog == Forms->dlgHelpAbout || offCentre <= 4, qPrintable(item->text()));
        }
    }

    // A port the user may not open: the reason and how to join the dialout group. The user
    // closes the main window from inside the box's own loop; the program still exits whole.
    void closingWhileThePortErrorIsShownDoesNotHang() {
        TGuiRig rig("Permission denied");
        TModalScript script;
        QString details;
        script.Then({[](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                     [&](QWidget* w) {
                         details = qobject_cast<QMessageBox*>(w)->informativeText();
                         MainWindow->close();
                     }});
        QTRY_VERIFY_WITH_TIMEOUT(MainWindow->ecuControl == nullptr, 5000);
        QCOMPARE(MainWindow->shutdownSteps.back(), std::string("log"));
        QVERIFY(details.contains("Permission denied") && details.contains("dialout"));
    }

    // Nothing is written unless the user says Yes to a readable file: a cancelled file dialog;
    // No to the question for a file with data, which names what will happen; a file with no
    // data, which would only erase the ECU, with a warning of its own, "No" by default; an
    // unreadable file, with the loader's error and then the update's.
    void imageWithoutDataIsWarnedOfWithNoAsTheDefault() {
        TGuiRig rig;
        QVERIFY(rig.Connected());
        TModalScript script;
        script.File(QString()).File(rig.Hex("small.hex", 600)).Box(QMessageBox::No);
        script.File(rig.Hex("empty.hex", 0)).Box(QMessageBox::No);
        const QString bad = rig.dir.filePath("bad.hex");
        std::ofstream(bad.toStdString()) << ":10000000GARBAGE\n";
        script.File(bad).Box(QMessageBox::Ok).Box(QMessageBox::Ok);
        for (int flow = 0; flow < 4; ++flow) {
            MainWindow->mnuUpdateFirmware->trigger();
        }
        QVERIFY(script.Done());
        QCOMPARE(MainWindow->PanelText(1), QString("Loading firmware image..."));
        QCOMPARE(script.captions.at(0), QString("Firmware Upgrade"));
        QVERIFY2(
            script.details.at(0).contains(QRegularExpression(
                "^File: small.hex\nData: 600 bytes in 3 blocks of 256 bytes\nThe ECU runs now: "
                "Firmware Revision: 1.4.12\nThe upload takes about \\d+ s at 9600 bit/s.$")),
            qPrintable(script.details.at(0)));
        QVERIFY(script.texts.at(1).contains("empty.hex holds no data"));
        QCOMPARE(script.defaults.at(1), QMessageBox::No);
        QCOMPARE(script.captions.at(2), QString("Debug"));
        QCOMPARE(script.texts.at(2), QString("invalid character in record\nLine 1 of the file."));
        QCOMPARE(script.texts.at(3), QString("ERROR! Unable to open firmware image."));
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

    // A first run erased and wrote, a second heard nothing: the message says the firmware is
    // gone, and the upload is offered again once the boot loader answers. There a block that
    // is never acknowledged brings "Abandon update", which ends the flow, says the ECU has no
    // firmware, and the upload is offered again. There an unreadable file gives the loader's
    // error and then the update's, and nothing is queued.
    void updateThatErasedAndThenFailedSaysTheEcuHasNoFirmware() {
        TGuiRig rig;
        QVERIFY(rig.Connected());
        rig.ecu.UnplugOn("D 0x0080 ok");  // after two blocks are written
        const QString hex = rig.Hex("fw.hex", 1024);
        TModalScript script;
        script.File(hex).Box(QMessageBox::Yes);
        script.Box(QMessageBox::Ok, [&](QMessageBox*) {
            rig.ecu.SetUnplugged(false, Now());
            rig.ecu.NackBlock(1);
        });
        script.Box(QMessageBox::Yes).File(hex);
        script.Progress([] { return Forms->progressDlg->abandonBtn->isVisible(); },
                        [] { Forms->progressDlg->abandonBtn->click(); });
        const QString bad = rig.dir.filePath("bad.hex");
        std::ofstream(bad.toStdString()) << ":10000000GARBAGE\n";
        script.Box(QMessageBox::Ok).Box(QMessageBox::Yes).File(bad);
        script.Box(QMessageBox::Ok).Box(QMessageBox::Ok);
        MainWindow->mnuUpdateFirmware->trigger();
        // Each run is waited for on its own: the ThreadSanitizer build is slow.
        QTRY_VERIFY_WITH_TIMEOUT(script.texts.size() >= 3, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(script.Done(), 60000);
        QVERIFY(script.texts.at(1).startsWith("The firmware update did not complete"));
        QVERIFY(script.texts.at(1).contains("The ECU now has no working firmware."));
        QVERIFY(script.texts.at(1).contains("switched off and on"));
        QVERIFY(!script.texts.at(1).contains("not changed"));
        QCOMPARE(script.captions.at(2), QString("No Firmware"));
        QVERIFY(script.texts.at(3).startsWith(
            "The firmware update was abandoned. The ECU now has no working firmware."));
        QCOMPARE(script.captions.at(4), QString("No Firmware"));
        QCOMPARE(script.texts.at(6), QString("ERROR! Unable to open firmware image."));
        QCOMPARE(MainWindow->PanelText(0), QString("Loader"));
        QCOMPARE(MainWindow->ecuControl->QueuedCommands(), 0u);
    }

    // A second update started right after one whose boot loader did not answer runs whole:
    // nothing of the first one reaches it. It shows its progress, "Uploading" on the panel,
    // ends with what was written, and the new firmware is found again.
    void secondUpdateRightAfterAFailedOneRunsWhole() {
        TGuiRig rig;
        QVERIFY(rig.Connected());
        const QString hex = rig.Hex("fw.hex", 1024);
        rig.ecu.UnplugOn("ENTER_FLASH");
        TModalScript script;
        script.File(hex).Box(QMessageBox::Yes);
        script.Box(QMessageBox::Ok, [&](QMessageBox*) {
            rig.ecu.SetUnplugged(false, Now());
            // At once, the second update.
            QTimer::singleShot(0, [] { MainWindow->mnuUpdateFirmware->trigger(); });
        });
        QString panelWhileUploading;
        bool abandonShown = true;
        script.File(hex).Box(QMessageBox::Yes);
        script.Progress([] { return Forms->progressDlg->progressBar->value() > 0; },
                        [&] {
                            panelWhileUploading = MainWindow->PanelText(0);
                            abandonShown = Forms->progressDlg->abandonBtn->isVisible();
                        });
        script.Box(QMessageBox::Ok);
        MainWindow->mnuUpdateFirmware->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(script.Done(), 60000);
        QVERIFY(script.texts.at(1).startsWith("The firmware update did not start"));
        QVERIFY(script.texts.at(1).contains("The firmware was not changed."));
        QCOMPARE(panelWhileUploading, QString("Uploading"));
        QVERIFY(!abandonShown);  // no button until a run has failed
        QVERIFY(Forms->progressDlg->detailText->text().startsWith("1024 of 1024 bytes"));
        QVERIFY(script.texts.back().contains(
            QRegularExpression("^Firmware written: 1024 bytes in \\d+\\.\\d s$")));
        QVERIFY(std::equal(rig.image.begin(), rig.image.end(), rig.ecu.Flash().begin()));
        QTRY_COMPARE_WITH_TIMEOUT(MainWindow->PanelText(0), QString("Connected"), 10000);
    }
};

QTEST_MAIN(MainWindowTest)
#include "mainwindow_test.moc"
