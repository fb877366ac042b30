#include "app/forms.h"

TForms::TForms(const TAppContext& context) {
    MainWindow = new TMainWindow(context);
    fuelCalcsDlg = new TfuelCalcsDlg(MainWindow);
    dlgHelpAbout = new TdlgHelpAbout(MainWindow);
    filePrefsDlg = new TfilePrefsDlg(*context.settings, *context.ports, MainWindow, context.devices,
                                     context.portStore);
    progressDlg = new TprogressDlg(MainWindow);
    dlgBattCal = new TdlgBattCal(MainWindow);
    MainWindow->forms = this;
}

TForms::~TForms() {
    delete MainWindow;
}
