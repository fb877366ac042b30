// The fuel calculator: engine displacement and injector size in two units each, and the
// fuel constant worked out from them. Purely local; its entries last until the program ends.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "forms/fuelcalcmath.h"

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

private:
    // Converts the field the user edited into its partner, then recomputes the constant.
    void Convert(QLineEdit* edited, QLineEdit* partner, TFuelConversion conversion);
    void injectorsChange();
    bool Report(const TFuelResult& result);  // false (after any message) unless Ok

    TFuelCalc calc;
    QString injectorsText;  // the spin edit's text the constant was last worked out for
};
