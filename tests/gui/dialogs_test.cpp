// Preferences, fuel calculator, battery voltage and About.
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "ecu/protocol.h"
#include "ecu/serialcomm.h"
#include "forms/about.h"
#include "forms/battcal.h"
#include "forms/fileprefs.h"
#include "forms/fuelcalcs.h"
#include "forms/version.h"
#include "platform/inisettingsstore.h"
#include "platform/portmap.h"
#include "tests/support/fakeserial.h"
#include "tests/support/manualclock.h"
#include "tests/support/memorysettings.h"

namespace {

// A session whose sensor record is whatever the test feeds it, through one scripted reply.
struct RecordSession {
    TManualClock clock;
    TFakeSerialLibrary lib{clock};
    TMemorySettingsStore store;
    TSerialComm port{lib, store, clock};
    TECU session{&port};

    RecordSession() {
        port.Open();
        session.linkState = kLinkConnected;
    }
    void Feed(uint8_t battRaw) {
        TKaloPacket reply;
        reply.seq = 1;
        reply.type = KALO_READ_SENSORS;
        reply.SetSize(kSensorsReplyBytes);
        reply.payload[kSensorsRecordOffset + 15] = battRaw;
        lib.AddInput(reply.Encode(), clock.NowUs());
        session.Step();
    }
};

// A settings file with the given [General] values.
void WriteIni(const QString& path, std::initializer_list<std::pair<const char*, int>> values) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QByteArray text = "[General]\n";
    for (const auto& [name, value] : values) {
        text += QByteArray(name) + "=" + QByteArray::number(value) + "\n";
    }
    file.write(text);
}

// One stored value as the program reads it; -999 when it is not there.
int StoredValue(const QString& path, const char* name) {
    TIniSettingsStore store(path.toStdString());
    int32_t value = -999;
    if (!store.Open() || store.ReadInt(name, value) != TSettingsStore::TRead::Ok) {
        return -999;
    }
    return value;
}

void Type(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

    QString IniPath(const QString& name) { return dir.filePath(name); }
    QTemporaryDir dir;

private slots:
    // ---------------------------------------------------------------- Preferences

    void preferencesStartOnUnitsAndShowTheStoredValues() {
        WriteIni(IniPath("show.ini"), {{"comPort", 2}, {"commBaud", 8}});
        TIniSettingsStore store(IniPath("show.ini").toStdString());
        TManualClock clock;
        TFakeSerialLibrary lib(clock);
        TPortMap ports;
        TfilePrefsDlg dlg(store, ports);
        QCOMPARE(dlg.windowTitle(), QString("Perferences"));
        QCOMPARE(dlg.pages->tabText(dlg.pages->currentIndex()), QString("Units"));
        dlg.show();
        QCOMPARE(dlg.comportCbx->currentText(), QString("Com3"));
        QCOMPARE(dlg.baudCbx->currentText(), QString("57600"));
        QVERIFY(dlg.deviceLbl->text().startsWith("/dev/ttyUSB2"));
        QVERIFY(!dlg.isModal());
        dlg.pages->setCurrentIndex(0);
        dlg.hide();
        dlg.show();
        QCOMPARE(dlg.pages->currentIndex(), 0);  // hidden, not destroyed: it keeps the page
    }

    void preferencesRoundTripThroughTheIniFile() {
        const QString path = IniPath("roundtrip.ini");
        WriteIni(path, {{"comPort", 0}, {"initBaud", 7}, {"commBaud", 5}, {"loaderBaud", 8}});
        TIniSettingsStore store(path.toStdString());
        TManualClock clock;
        TFakeSerialLibrary lib(clock);
        TPortMap ports;
        TfilePrefsDlg dlg(store, ports);
        dlg.show();
        dlg.comportCbx->setCurrentIndex(4);
        dlg.baudCbx->setCurrentIndex(4);
        dlg.okBtn->click();
        QVERIFY(!dlg.isVisible());
        QCOMPARE(StoredValue(path, "comPort"), 4);
        QCOMPARE(StoredValue(path, "commBaud"), 9);
        QCOMPARE(StoredValue(path, "initBaud"), 7);
        QCOMPARE(StoredValue(path, "loaderBaud"), 8);

        // Cancel stores nothing, and the next showing reads the storage again.
        dlg.show();
        dlg.comportCbx->setCurrentIndex(7);
        dlg.cancelBtn->click();
        QCOMPARE(StoredValue(path, "comPort"), 4);
        dlg.show();
        QCOMPARE(dlg.comportCbx->currentIndex(), 4);
    }

    void preferencesOutOfRangeValues() {
        struct Case {
            int comPort, commBaud;
            int shownPort;
            QString shownBaud;
            int storedPort, storedBaud;
        };
        const Case cases[] = {
            {12, 9, -1, "115200", 12, 9},  // no port chosen: the stored one stays
            {-1, 5, -1, "9600", -1, 5},
            {1, 3, 1, "9600", 1, 5},  // a rate outside 5..9 shows 9600 and OK stores 5
            {1, 42, 1, "9600", 1, 5},
        };
        for (const Case& c : cases) {
            const QString path = IniPath(QString("range%1-%2.ini").arg(c.comPort).arg(c.commBaud));
            WriteIni(path, {{"comPort", c.comPort},
                            {"initBaud", 5},
                            {"commBaud", c.commBaud},
                            {"loaderBaud", 6}});
            TIniSettingsStore store(path.toStdString());
            TManualClock clock;
            TFakeSerialLibrary lib(clock);
            TPortMap ports;
            TfilePrefsDlg dlg(store, ports);
            dlg.show();
            QCOMPARE(dlg.comportCbx->currentIndex(), c.shownPort);
            QCOMPARE(dlg.baudCbx->currentText(), c.shownBaud);
            dlg.okBtn->click();
            QCOMPARE(StoredValue(path, "comPort"), c.storedPort);
            QCOMPARE(StoredValue(path, "commBaud"), c.storedBaud);
        }
    }

    void preferencesUnitsAreNotStored() {
        const QString path = IniPath("units.ini");
        TIniSettingsStore store(path.toStdString());
        TManualClock clock;
        TFakeSerialLibrary lib(clock);
        TPortMap ports;
        TfilePrefsDlg dlg(store, ports);
        QCOMPARE(dlg.ComboBox3->currentIndex(), -1);  // empty at program start
        dlg.show();
        dlg.ComboBox3->setCurrentIndex(1);
        dlg.okBtn->click();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(),
                 QByteArray("[General]\ncomPort=0\ninitBaud=5\ncommBaud=5\nloaderBaud=6\n"));
        dlg.show();
        QCOMPARE(dlg.ComboBox3->currentText(), QString("Fahrenheit"));
    }

    // ---------------------------------------------------------------- Fuel calculator

    void fuelCalculatorWorkedExamples() {
        TfuelCalcsDlg dlg(nullptr, QLocale::c());
        dlg.show();
        QCOMPARE(dlg.req_fuel->text(), QString("0"));
        Type(dlg.displcc, "2000");
        QCOMPARE(dlg.displcid->text(), QString("122"));
        QCOMPARE(dlg.req_fuel->text(), QString("0"));  // no injector size yet
        Type(dlg.injsizecc, "440");
        QCOMPARE(dlg.injsizelb->text(), QString("41.9"));
        QCOMPARE(dlg.req_fuel->text(), QString("7.4"));
        dlg.injectors->setValue(8);
        QTRY_COMPARE(dlg.req_fuel->text(), QString("3.7"));
        Type(dlg.injsizelb, "42");
        QCOMPARE(dlg.injsizecc->text(), QString("441"));
        // Clearing a field leaves its partner and the constant alone.
        Type(dlg.displcc, "");
        QCOMPARE(dlg.displcid->text(), QString("122"));
        QCOMPARE(dlg.req_fuel->text(), QString("3.7"));
        dlg.injectors->setValue(4);
        QTRY_COMPARE(dlg.req_fuel->text(), QString("0"));
    }

    void fuelCalculatorWaitsForANumberBeingTypedAndReportsNonsense() {
        TfuelCalcsDlg dlg(nullptr, QLocale::c());
        dlg.show();
        int boxes = 0;
        QString lastText;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                ++boxes;
                lastText = box->text();
                box->accept();
            }
        });
        closer.start(5);
        // "-50" and "1.5e3" pass through "-", "1.", "1.5e": no message on the way.
        Type(dlg.displcc, "-50");
        QCOMPARE(boxes, 0);
        QCOMPARE(dlg.displcid->text(), QString("-3"));  // -3.05
        Type(dlg.displcc, "1.5e3");
        QCOMPARE(boxes, 0);
        QCOMPARE(dlg.displcid->text(), QString("92"));
        Type(dlg.injsizecc, "abc");
        QTRY_VERIFY(boxes >= 1);
        QVERIFY(lastText.contains("not a valid floating point value"));
    }

    void fuelCalculatorReportsOnceForEachInjectorChange() {
        TfuelCalcsDlg dlg(nullptr, QLocale::c());
        dlg.show();
        int boxes = 0;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                ++boxes;
                box->accept();
            }
        });
        closer.start(5);
        Type(dlg.displcc, "2000");
        dlg.injsizecc->setText("abc");  // not typed: no conversion, no message yet
        QCOMPARE(boxes, 0);
        // Each change runs the calculation once, and so reports the bad flow once. The work
        // is queued behind the change; a box is modal, so it is shown and closed within the
        // processEvents that runs it.
        auto* spinText = dlg.injectors->findChild<QLineEdit*>();
        spinText->setFocus();
        spinText->selectAll();
        QTest::keyClick(spinText, Qt::Key_8);
        QCoreApplication::processEvents();
        QCOMPARE(dlg.injectors->value(), 8);
        QCOMPARE(boxes, 1);
        dlg.injectors->stepUp();
        QCoreApplication::processEvents();
        QCOMPARE(dlg.injectors->value(), 9);
        QCOMPARE(boxes, 2);
    }

    void fuelCalculatorInjectorCountIsTypedFreelyAndClampedOnLeaving() {
        TfuelCalcsDlg dlg(nullptr, QLocale::c());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        QStringList messages;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                messages << box->text();
                box->accept();
            }
        });
        closer.start(5);
        Type(dlg.displcc, "2000");
        Type(dlg.injsizecc, "440");
        auto* spinText = dlg.injectors->findChild<QLineEdit*>();
        const struct {
            const char* typed;
            const char* whileTyping;  // the constant worked out with the count as typed
            const char* message;      // what typing it reported, if anything
            const char* settled;      // the count once the control is left
            const char* constant;     // and the constant for it
        } cases[] = {
            // 6.49 x 2000 / 20 / 440 = 1.475; 6.49 x 2000 / 16 / 440 = 1.84375
            {"20", "1.5", nullptr, "16", "1.8"},
            // a 0 divides by zero; 6.49 x 2000 / 1 / 440 = 29.5
            {"0", nullptr, "Floating point division by zero", "1", "29.5"},
            // 6.49 x 2000 / 12 / 440 = 2.4583
            {"12", "2.5", nullptr, "12", "2.5"},
        };
        for (const auto& c : cases) {
            messages.clear();
            Type(spinText, c.typed);
            QTRY_VERIFY(spinText->text() == c.typed || !messages.isEmpty());
            if (c.whileTyping) {
                QTRY_COMPARE(dlg.req_fuel->text(), QString(c.whileTyping));
            }
            if (c.message) {
                QTRY_COMPARE(messages.value(0), QString(c.message));
            }
            dlg.OKBtn->setFocus();
            QTRY_COMPARE(spinText->text(), QString(c.settled));
            QCOMPARE(dlg.injectors->value(), QString(c.settled).toInt());
            QTRY_COMPARE(dlg.req_fuel->text(), QString(c.constant));
        }
    }

    void calculatorAndBatteryDialogsAreCentredOnTheScreen() {
        QWidget owner;
        owner.setGeometry(20, 20, 200, 150);  // far from the screen's centre
        owner.show();
        TfuelCalcsDlg fuel(&owner, QLocale::c());
        TdlgBattCal battery(&owner);
        for (QDialog* dlg : std::initializer_list<QDialog*>{&fuel, &battery}) {
            dlg->show();
            QVERIFY(QTest::qWaitForWindowExposed(dlg));
            const QPoint screenCentre = owner.screen()->availableGeometry().center();
            const QPoint centre = dlg->frameGeometry().center();
            QVERIFY2((centre - screenCentre).manhattanLength() <= 4,
                     qPrintable(dlg->windowTitle() + QString(": centre %1,%2, screen's %3,%4")
                                                         .arg(centre.x())
                                                         .arg(centre.y())
                                                         .arg(screenCentre.x())
                                                         .arg(screenCentre.y())));
            dlg->hide();
        }
    }

    void fuelCalculatorUsesTheLocalesDecimalSeparator() {
        TfuelCalcsDlg dlg(nullptr, QLocale(QLocale::German, QLocale::Germany));
        dlg.show();
        Type(dlg.injsizecc, "440,0");
        QCOMPARE(dlg.injsizelb->text(), QString("41,9"));
    }

    // ---------------------------------------------------------------- Battery voltage

    void batteryVoltageFollowsTheRecordWhileShown() {
        TdlgBattCal dlg;
        QCOMPARE(dlg.windowTitle(), QString("Battery Voltage Calibration"));
        QCOMPARE(dlg.voltage->text(), QString("12.0V"));
        RecordSession ecu;
        dlg.session = &ecu.session;
        dlg.show();
        // raw x 30 / 255 with one decimal, worked by hand.
        const std::pair<uint8_t, const char*> cases[] = {
            {0, "0.0V"}, {51, "6.0V"}, {105, "12.4V"}, {255, "30.0V"}};
        for (const auto& [raw, text] : cases) {
            ecu.Feed(raw);
            QTRY_COMPARE_WITH_TIMEOUT(dlg.voltage->text(), QString(text), 2000);
        }
        dlg.hide();
        QVERIFY(!dlg.TVoltageTimer.isActive());
        ecu.Feed(105);
        QTest::qWait(600);  // more than two ticks: none may come while hidden
        QCOMPARE(dlg.voltage->text(), QString("30.0V"));
    }

    void batteryCalibrationConstantIsKeptAndSentNowhere() {
        TdlgBattCal dlg;
        RecordSession ecu;
        dlg.session = &ecu.session;
        QCOMPARE(dlg.calibConst->minimum(), 0);
        QCOMPARE(dlg.calibConst->maximum(), 255);
        QCOMPARE(dlg.calibConst->value(), 0);
        dlg.show();
        dlg.calibConst->stepUp();
        dlg.calibConst->stepUp();
        const size_t sent = ecu.lib.SentCount();
        dlg.OKBtn->click();
        dlg.show();
        QCOMPARE(dlg.calibConst->value(), 2);
        QCOMPARE(ecu.lib.SentCount(), sent);
    }

    void batteryWithoutASessionKeepsItsText() {
        TdlgBattCal dlg;
        dlg.show();
        QTest::qWait(300);
        QCOMPARE(dlg.voltage->text(), QString("12.0V"));
    }

    // ---------------------------------------------------------------- About

    void aboutShowsTheBuildsVersionAndCopyright() {
        TdlgHelpAbout dlg;
        QCOMPARE(dlg.windowTitle(), QString("About Brindle"));
        QCOMPARE(dlg.lblVersion->text(), QString("version"));
        dlg.show();
        QCOMPARE(dlg.lblVersion->text(), QString(kBrindleFileVersion));
        QCOMPARE(dlg.lblCopyright->text(), QString(kBrindleCopyright));
        QCOMPARE(dlg.Label1->text(), QString("Brindle"));
        QVERIFY(QString(kBrindleFileVersion).count('.') == 3);
    }

    void aboutWithoutVersionTextsKeepsItsLabels() {
        TdlgHelpAbout dlg;
        dlg.fileVersion.clear();
        dlg.legalCopyright.clear();
        dlg.show();
        QCOMPARE(dlg.lblVersion->text(), QString("version"));
        QCOMPARE(dlg.lblCopyright->text(), QString("copyright"));
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
