// Makes the README's pictures: the main window with a port and a firmware file chosen, and
// the progress window part-way through a transfer. Run by scripts/screenshots.sh under Xvfb.
//   gui_screenshots OUT_DIR PORT_NAME FIRMWARE_FILE
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

#include "app/gui/about_dlg.h"
#include "app/gui/main_dlg.h"
#include "app/gui/program_dlg.h"

namespace {
bool Save(QWidget& w, const QString& path) {
    w.show();
    if (!QTest::qWaitForWindowExposed(&w)) {
        std::fprintf(stderr, "gui_screenshots: window not shown\n");
        return false;
    }
    QTest::qWait(300);
    if (!w.grab().save(path)) {
        std::fprintf(stderr, "gui_screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: gui_screenshots OUT_DIR PORT_NAME FIRMWARE_FILE\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString port = QString::fromLocal8Bit(argv[2]);
    const QString firmware = QString::fromLocal8Bit(argv[3]);
    QDir().mkpath(out);

    // A throw-away settings store: the user's saved port stays untouched.
    QTemporaryDir settingsDir;
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings().setValue(QStringLiteral("Config/ComPortStr"), port);

    CQuillon2Dlg dlg;
    dlg.m_browseDialog = [&firmware](QWidget*) { return firmware; };
    dlg.OnBrowse();
    dlg.m_editFile->setCursorPosition(0);
    dlg.resize(qMax(dlg.width(), 600), dlg.height());  // room for the whole path
    if (!Save(dlg, out + QStringLiteral("/main-window.png"))) {
        return 1;
    }

    CProgramDlg progress(&dlg);
    progress.Start(0x20000);
    TransferProgress p;
    p.total = 0x20000;
    p.sent = 0x20000 * 42 / 100;
    p.percent = 42;
    p.text = "42 %";
    progress.Progress(p);
    if (!Save(progress, out + QStringLiteral("/progress-window.png"))) {
        return 1;
    }
    progress.Finish(true);

    CAboutDlg about(&dlg);
    if (!Save(about, out + QStringLiteral("/about-box.png"))) {
        return 1;
    }
    return 0;
}
