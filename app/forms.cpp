#include "app/forms.h"

TMainWindow* MainWindow = nullptr;
TfuelCalcsDlg* fuelCalcsDlg = nullptr;
TdlgHelpAbout* dlgHelpAbout = nullptr;
TfilePrefsDlg* filePrefsDlg = nullptr;
TprogressDlg* progressDlg = nullptr;
TdlgBattCal* dlgBattCal = nullptr;

void CreateForms(const TAppContext& context) {
    MainWindow = new TMainWindow(context);
    fuelCalcsDlg = new TfuelCalcsDlg(MainWindow);
    dlgHelpAbout = new TdlgHelpAbout(MainWindow);
    filePrefsDlg = new TfilePrefsDlg(*context.settings, *context.ports, MainWindow, context.devices,
                                     context.portStore);
    progressDlg = new TprogressDlg(MainWindow);
    dlgBattCal = new TdlgBattCal(MainWindow);
}

void DestroyForms() {
    delete MainWindow;  // the dialogs are its children
    MainWindow = nullptr;
    fuelCalcsDlg = nullptr;
    dlgHelpAbout = nullptr;
    filePrefsDlg = nullptr;
    progressDlg = nullptr;
    dlgBattCal = nullptr;
}
