// Preferences, fuel calculator and battery voltage.
#include <QtTest>

#include "ecu/packet.h"
#include "ecu/protocol.h"
#include "tests/gui/guirig.h"

namespace {

using TStored = std::map<std::string, TMemorySettingsStore::TValue>;

void Type(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    // What Preferences shows for the stored values, and what OK then stores: a port outside
    // Com1..Com8 leaves none chosen and is kept; a rate code outside 5..9 shows 9600 and OK
    // stores 5; nothing stored gives the defaults. The two rates it does not show are never
    // touched. It starts on "Units", whose choices are kept between showings but never
    // stored. Hidden, not destroyed, it keeps its page; each showing reads the storage again,
    // and Cancel stores nothing.
    void preferencesShowAndStoreTheCommSettings() {
        TMemorySettingsStore store;
        TPortMap ports;
        TfilePrefsDlg dlg(store, ports);
        QCOMPARE(dlg.pages->tabText(dlg.pages->currentIndex()), QString("Units"));
        QCOMPARE(dlg.ComboBox3->currentIndex(), -1);  // empty at program start
        const struct {
            int comPort;
            int commBaud;
            int chosen;  // the port and rate index picked, or -1 for none
            const char* shown;
            int storedPort;
            int storedBaud;
        } cases[] = {
            {2, 8, 4, "Com3 57600 /dev/ttyUSB2", 4, 9},  // then Com5 at 115200
            {12, 3, -1, " 9600 No port chosen", 12, 5},
            {-1, 42, -1, " 9600 No port chosen", -1, 5},
        };
        for (const auto& c : cases) {
            store.values = {{"comPort", c.comPort},
                            {"initBaud", 7},
                            {"commBaud", c.commBaud},
                            {"loaderBaud", 8}};
            dlg.show();
            const QString text = dlg.comportCbx->currentText() + " " + dlg.baudCbx->currentText() +
                                 " " + dlg.deviceLbl->text();
            QVERIFY2(text.startsWith(c.shown), qPrintable(text));
            if (c.chosen >= 0) {
                dlg.comportCbx->setCurrentIndex(c.chosen);
                dlg.baudCbx->setCurrentIndex(c.chosen);
            }
            dlg.okBtn->click();
            QVERIFY(!dlg.isVisible());
            QVERIFY(store.values == (TStored{{"comPort", c.storedPort},
                                             {"initBaud", 7},
                                             {"commBaud", c.storedBaud},
                                             {"loaderBaud", 8}}));
        }
        store.values.clear();
        dlg.show();
        dlg.ComboBox3->setCurrentIndex(1);
        dlg.pages->setCurrentIndex(0);
        dlg.okBtn->click();
        const TStored defaults{{"comPort", 0}, {"initBaud", 5}, {"commBaud", 5}, {"loaderBaud", 6}};
        QVERIFY(store.values == defaults);
        dlg.show();
        QCOMPARE(dlg.pages->currentIndex(), 0);
        QCOMPARE(dlg.ComboBox3->currentText(), QString("Fahrenheit"));
        dlg.comportCbx->setCurrentIndex(7);
        dlg.cancelBtn->click();
        QVERIFY(store.values == defaults);
        dlg.show();
        QCOMPARE(dlg.comportCbx->currentIndex(), 0);
    }

    // Each field converts into its partner as it is typed, and the constant follows; a
    // cleared field changes nothing; a text that is no number is reported and leaves the
    // partner alone. The injector count counts as typed (a 0 is reported at once) and is
    // clamped on leaving; each change works the constant out, and so reports a bad flow, once.
    // The dialog's locale decides the decimal separator.
    void fuelCalculatorFollowsTheTyping() {
        TfuelCalcsDlg dlg(nullptr, QLocale::c());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        TModalScript boxes;
        for (int box = 0; box < 6; ++box) {
            boxes.Box(QMessageBox::Ok);
        }
        auto* spinText = dlg.injectors->findChild<QLineEdit*>();
        const struct {
            QLineEdit* field;
            const char* typed;
            QLineEdit* shown;  // the partner, or the count itself once it is left
            const char* text;
            const char* constant;
            size_t boxes;  // message boxes so far
        } steps[] = {
            {dlg.displcc, "2000", dlg.displcid, "122", "0", 0},  // 122.047; no injector size yet
            {dlg.injsizelb, "42", dlg.injsizecc, "441", "7.4",
             0},  // 42 x 10.5; 6.49 x 2000 / 4 / 441
            {dlg.displcid, "", dlg.displcc, "2000", "7.4", 0},
            {spinText, "20", spinText, "16", "1.8", 0},  // 6.49 x 2000 / 16 / 441 = 1.84
            {spinText, "0", spinText, "1", "29.4", 1},   // 29.43
            {dlg.injsizecc, "abc", dlg.injsizelb, "42", "29.4", 4},  // one for each key
        };
        for (const auto& s : steps) {
            Type(s.field, s.typed);
            QTRY_COMPARE(boxes.texts.size(), s.boxes);
            dlg.OKBtn->setFocus();
            QTRY_COMPARE(s.shown->text(), QString(s.text));
            QTRY_COMPARE(dlg.req_fuel->text(), QString(s.constant));
        }
        QCOMPARE(boxes.texts.at(0), QString("Floating point division by zero"));
        QVERIFY(boxes.texts.at(3).contains("not a valid floating point value"));
        // The work is queued behind the change; a box is modal, so it is shown and closed
        // within the processEvents that runs it.
        spinText->setFocus();
        spinText->selectAll();
        QTest::keyClick(spinText, Qt::Key_8);
        QCoreApplication::processEvents();
        QCOMPARE(dlg.injectors->value(), 8);
        QCOMPARE(boxes.texts.size(), size_t{5});
        dlg.injectors->stepUp();
        QCoreApplication::processEvents();
        QCOMPARE(dlg.injectors->value(), 9);
        QVERIFY(boxes.Done());
        TfuelCalcsDlg german(nullptr, QLocale(QLocale::German, QLocale::Germany));
        german.show();
        Type(german.injsizecc, "440,0");
        QCOMPARE(german.injsizelb->text(), QString("41,9"));
    }

    // The voltage follows the record while shown and stops while hidden; without a session
    // it keeps its text. The calibration constant is kept between showings and sent nowhere.
    void batteryVoltageFollowsTheRecordWhileShown() {
        TdlgBattCal dlg;
        dlg.TVoltageTimerTimer();  // no session yet
        QCOMPARE(dlg.voltage->text(), QString("12.0V"));
        TFakePortRig ecu;
        TECU session{&ecu.port};
        session.linkState = kLinkConnected;
        dlg.session = &session;
        dlg.show();
        // A sensor record with a battery byte of 105 (x 30 / 255 = 12.35), in one reply.
        TKaloPacket reply;
        reply.seq = 1;
        reply.type = KALO_READ_SENSORS;
        reply.SetSize(kSensorsReplyBytes);
        reply.payload[kSensorsRecordOffset + 15] = 105;
        ecu.lib.AddInput(reply.Encode(), ecu.clock.NowUs());
        session.Step();
        QTRY_COMPARE_WITH_TIMEOUT(dlg.voltage->text(), QString("12.4V"), 2000);
        dlg.calibConst->stepUp();
        const size_t sent = ecu.lib.SentCount();
        dlg.OKBtn->click();
        QCOMPARE(ecu.lib.SentCount(), sent);
        QVERIFY(!dlg.TVoltageTimer.isActive());  // no reading while hidden
        dlg.show();
        QCOMPARE(dlg.calibConst->value(), 1);
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
