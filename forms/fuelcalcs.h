// The fuel calculator: engine displacement and injector size in two units each, and the
// fuel constant worked out from them. Purely local; its entries last until the program ends.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "forms/fuelcalcmath.h"

// The injector count's spin edit: typing is free (any whole number, also outside 1..16, is
// kept as typed and counts as it stands); the value is forced into 1..16 when the control
// loses the focus.
class TInjectorSpinEdit : public QSpinBox {
public:
    using QSpinBox::QSpinBox;

protected:
    QValidator::State validate(QString& text, int& pos) const override;
    void fixup(QString& text) const override;
};

class TfuelCalcsDlg : public QDialog {
    Q_OBJECT
public:
    explicit TfuelCalcsDlg(QWidget* parent = nullptr, const QLocale& locale = QLocale());

    QLineEdit* displcc;
    QLineEdit* displcid;
    QSpinBox* injectors;
    QLineEdit* injsizecc;
    QLineEdit* injsizelb;
    QLabel* req_fuel;
    QPushButton* OKBtn;

    void UpdateReqFuel();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Converts the field the user edited into its partner, then recomputes the constant.
    void Convert(QLineEdit* edited, QLineEdit* partner, TFuelConversion conversion);
    void injectorsChange();
    bool Report(const TFuelResult& result);  // false (after any message) unless Ok

    TFuelCalc calc;
    QString injectorsText;  // the spin edit's text the constant was last worked out for
};
