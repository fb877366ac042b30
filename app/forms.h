// The program's windows, created once at start-up in this order and kept until it ends.
#pragma once

#include "app/mainwindow.h"
#include "forms/about.h"
#include "forms/battcal.h"
#include "forms/fileprefs.h"
#include "forms/fuelcalcs.h"
#include "forms/progress.h"

extern TMainWindow* MainWindow;
extern TfuelCalcsDlg* fuelCalcsDlg;
extern TdlgHelpAbout* dlgHelpAbout;
extern TfilePrefsDlg* filePrefsDlg;
extern TprogressDlg* progressDlg;
extern TdlgBattCal* dlgBattCal;

// Creates the forms hidden, the main window first (which starts the control thread).
void CreateForms(const TAppContext& context);
// Destroys them all (the main window must have closed).
void DestroyForms();
