#include "forms/fuelcalcs.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QVBoxLayout>

#include "forms/placement.h"

TfuelCalcsDlg::TfuelCalcsDlg(QWidget* parent, const QLocale& locale)
    : QDialog(parent), calc(locale) {
    setObjectName("fuelCalcsDlg");
    setWindowTitle("Fuel Calculator");
    resize(422, 214);

    auto edit = [this](const char* name) {
        auto* e = new QLineEdit(this);
        e->setObjectName(name);
        return e;
    };
    displcc = edit("displcc");
    displcid = edit("displcid");
    injsizecc = edit("injsizecc");
    injsizelb = edit("injsizelb");
    injectors = new TInjectorSpinEdit(this);
    injectors->setObjectName("injectors");
    injectors->setRange(kMinInjectors, kMaxInjectors);
    injectors->setValue(4);
    req_fuel = new QLabel("0", this);
    req_fuel->setObjectName("req_fuel");
    QFont bold = req_fuel->font();
    bold.setBold(true);
    req_fuel->setFont(bold);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("Engine Displacement"), 0, 0);
    grid->addWidget(displcc, 0, 1);
    grid->addWidget(new QLabel("CC"), 0, 2);
    grid->addWidget(displcid, 0, 3);
    grid->addWidget(new QLabel("CID"), 0, 4);
    grid->addWidget(new QLabel("Number of Fuel Injectors"), 1, 0);
    grid->addWidget(injectors, 1, 1);
    grid->addWidget(new QLabel("Fuel Injector Size"), 2, 0);
    grid->addWidget(injsizecc, 2, 1);
    grid->addWidget(new QLabel("CC/min"), 2, 2);
    grid->addWidget(injsizelb, 2, 3);
    grid->addWidget(new QLabel("lb/hr"), 2, 4);
    grid->addWidget(new QLabel("Calculated  Fuel Constant"), 3, 0);
    grid->addWidget(req_fuel, 3, 1);

    OKBtn = new QPushButton("OK");
    OKBtn->setObjectName("OKBtn");
    OKBtn->setDefault(true);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addStretch();
    layout->addLayout(ButtonRow({OKBtn}));

    // textEdited fires for the user's own typing only, so a text this dialog writes into a
    // partner field never converts back.
    connect(displcc, &QLineEdit::textEdited, this,
            [this] { Convert(displcc, displcid, TFuelConversion::CcToCid); });
    connect(displcid, &QLineEdit::textEdited, this,
            [this] { Convert(displcid, displcc, TFuelConversion::CidToCc); });
    connect(injsizecc, &QLineEdit::textEdited, this,
            [this] { Convert(injsizecc, injsizelb, TFuelConversion::CcMinToLbHr); });
    connect(injsizelb, &QLineEdit::textEdited, this,
            [this] { Convert(injsizelb, injsizecc, TFuelConversion::LbHrToCcMin); });
    // Typed text counts as it stands, also before it is a value in range; arrow steps change
    // only the value.
    connect(injectors->findChild<QLineEdit*>(), &QLineEdit::textEdited, this,
            &TfuelCalcsDlg::injectorsChange);
    connect(injectors, &QSpinBox::valueChanged, this, &TfuelCalcsDlg::injectorsChange);
    // Leaving the control may change its text without changing its value ("20" -> 16 when
    // it was 16 already).
    connect(injectors, &QAbstractSpinBox::editingFinished, this, &TfuelCalcsDlg::injectorsChange);
    injectorsText = injectors->text();
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    setTabOrder(displcc, displcid);
    setTabOrder(displcid, injectors);
    setTabOrder(injectors, injsizecc);
    setTabOrder(injsizecc, injsizelb);
    setTabOrder(injsizelb, OKBtn);
}

QValidator::State TInjectorSpinEdit::validate(QString& text, int&) const {
    const QString typed = text.trimmed();
    if (typed.isEmpty() || typed == "-" || typed == "+") {
        return QValidator::Intermediate;
    }
    bool ok = false;
    const int count = typed.toInt(&ok, 10);
    if (!ok) {
        return QValidator::Invalid;
    }
    return count >= minimum() && count <= maximum() ? QValidator::Acceptable
                                                    : QValidator::Intermediate;
}

void TInjectorSpinEdit::fixup(QString& text) const {
    text = QString::number(InjectorSpinValue(text));
}

void TfuelCalcsDlg::showEvent(QShowEvent* event) {
    CentreOnScreen(this);
    QDialog::showEvent(event);
}

bool TfuelCalcsDlg::Report(const TFuelResult& result) {
    if (result.IsError()) {
        QMessageBox::warning(this, windowTitle(), result.message);
    }
    return result.status == TFuelStatus::Ok;
}

void TfuelCalcsDlg::Convert(QLineEdit* edited, QLineEdit* partner, TFuelConversion conversion) {
    const TFuelResult result = calc.Convert(conversion, edited->text());
    if (!Report(result)) {
        return;  // empty, still being typed, or an error: the partner keeps its text
    }
    partner->setText(result.text);
    UpdateReqFuel();
}

void TfuelCalcsDlg::injectorsChange() {
    // Worked out once the spin edit has taken the change in: a typed key that makes a value
    // brings both of its signals, and a message box shown between them would see the edit
    // half-way. The text decides whether anything changed, so one key reports once.
    QMetaObject::invokeMethod(
        this,
        [this] {
            const QString text = injectors->text();
            if (text != injectorsText) {
                injectorsText = text;
                UpdateReqFuel();
            }
        },
        Qt::QueuedConnection);
}

void TfuelCalcsDlg::UpdateReqFuel() {
    const int count = ReadInjectorText(injectors->findChild<QLineEdit*>()->text());
    const TFuelResult result = calc.ReqFuel(displcc->text(), count, injsizecc->text());
    if (Report(result)) {
        req_fuel->setText(result.text);
    }
}
