// The program's windows: created hidden at start-up in this order and kept until it ends.
// main owns the one TForms; the main window reaches its dialogs through it.
#pragma once

#include "app/mainwindow.h"
#include "forms/about.h"
#include "forms/battcal.h"
#include "forms/fileprefs.h"
#include "forms/fuelcalcs.h"
#include "forms/progress.h"

class TForms {
public:
    // The main window first (it starts the control thread), then its dialogs.
    explicit TForms(const TAppContext& context);
    // The main window must have closed.
    ~TForms();
    TForms(const TForms&) = delete;
    TForms& operator=(const TForms&) = delete;

    TMainWindow* MainWindow = nullptr;  // the dialogs below are its children
    TfuelCalcsDlg* fuelCalcsDlg = nullptr;
    TdlgHelpAbout* dlgHelpAbout = nullptr;
    TfilePrefsDlg* filePrefsDlg = nullptr;
    TprogressDlg* progressDlg = nullptr;
    TdlgBattCal* dlgBattCal = nullptr;
};
