#include "app/gui/quillon_app.h"

#include <QFileInfo>
#include <QIcon>

#include "app/gui/main_dlg.h"
#include "app/gui/version.h"

CQuillon2App::CQuillon2App(int& argc, char** argv) : QApplication(argc, argv) {
    // The settings live under the company key, one key per program named after the
    // executable, as the saved "ComPortStr" always has.
    setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    setApplicationName(QFileInfo(applicationFilePath()).completeBaseName());
    setDesktopFileName(QStringLiteral("quillon"));
    setWindowIcon(QuillonIcon());
}

int CQuillon2App::InitInstance() {
    CQuillon2Dlg dlg;
    dlg.show();
    dlg.exec();
    return 0;
}
