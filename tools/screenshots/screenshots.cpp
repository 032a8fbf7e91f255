// Makes the README's pictures from real runs against the simulator: the main window with a
// port and a firmware file chosen and summed up, the main window during a handshake the
// device is slow to answer, the progress window part-way through a transfer, the failure box
// of a transfer the device stopped answering, the history window and the About box. Run by
// scripts/screenshots.sh under Xvfb, with the history in a private folder.
//   gui_screenshots OUT_DIR PORT_NAME FAULTY_PORT_NAME SILENT_PORT_NAME FIRMWARE_FILE
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <functional>

#include "app/gui/about_dlg.h"
#include "app/gui/history_dlg.h"
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

bool WaitUntil(const std::function<bool()>& done, int seconds) {
    for (int i = 0; i < seconds * 20 && !done(); ++i) {
        QTest::qWait(50);
    }
    return done();
}
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 6) {
        std::fprintf(stderr,
                     "usage: gui_screenshots OUT_DIR PORT_NAME FAULTY_PORT_NAME "
                     "SILENT_PORT_NAME FIRMWARE_FILE\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString port = QString::fromLocal8Bit(argv[2]);
    const QString faulty = QString::fromLocal8Bit(argv[3]);
    const QString silent = QString::fromLocal8Bit(argv[4]);
    const QString firmware = QString::fromLocal8Bit(argv[5]);
    QDir().mkpath(out);

    // A throw-away settings store: the user's saved port and file stay untouched.
    QTemporaryDir settingsDir;
    // The window opens its settings file under the configuration folder: the same one.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(settingsDir.path()));
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings().setValue(QStringLiteral("Config/ComPortStr"), port);

    CQuillon2Dlg dlg;
    bool ok = true;
    // The boxes are made as the window makes them; the failure box with its detail is kept.
    dlg.m_messageBox = [&](QWidget* owner, const QString& text, const QString& caption,
                           MsgIcon icon, const QString& detail) {
        auto box = CQuillon2Dlg::MakeMessageBox(owner, text, caption, icon, detail);
        std::printf("%s: %s%s%s\n", qPrintable(caption), qPrintable(text),
                    detail.isEmpty() ? "" : "\n  ", qPrintable(detail));
        if (caption == QStringLiteral("Warning") && !detail.isEmpty()) {
            ok = Save(*box, out + QStringLiteral("/failure-box.png")) && ok;
        }
    };
    dlg.m_browseDialog = [&firmware](QWidget*) { return firmware; };
    dlg.OnBrowse();
    dlg.m_editFile->setCursorPosition(0);
    dlg.resize(qMax(dlg.width(), 560), dlg.height());
    if (!WaitUntil([&dlg] { return !dlg.m_labelSummary->text().isEmpty(); }, 30) ||
        !Save(dlg, out + QStringLiteral("/main-summary.png"))) {
        std::fprintf(stderr, "gui_screenshots: no firmware summary\n");
        return 1;
    }

    // A device that does not answer the first announcement: the second try, then Cancel.
    dlg.SelectPortByName(silent);
    dlg.OnFlash();
    if (!WaitUntil([&dlg] { return dlg.m_labelStatus->text().contains(QStringLiteral("try 2")); },
                   30) ||
        (QTest::qWait(700), !Save(dlg, out + QStringLiteral("/handshake-status.png")))) {
        std::fprintf(stderr, "gui_screenshots: no second try\n");
        return 1;
    }
    dlg.m_btnCancel->click();
    if (!WaitUntil([&dlg] { return !dlg.IsRunning(); }, 30)) {
        return 1;
    }
    dlg.SelectPortByName(port);

    // A whole run; the progress window is taken a little before half-way.
    dlg.OnFlash();
    const bool halfway = WaitUntil(
        [&dlg] {
            CProgramDlg* p = dlg.ProgressWindow();
            return p != nullptr && p->isVisible() &&
                   p->m_staticPercent->text().section(QLatin1Char(' '), 0, 0).toInt() >= 42;
        },
        300);
    if (!halfway || !Save(*dlg.ProgressWindow(), out + QStringLiteral("/progress-window.png"))) {
        std::fprintf(stderr, "gui_screenshots: the transfer did not get half-way\n");
        return 1;
    }
    WaitUntil([&dlg] { return !dlg.IsRunning(); }, 300);

    // A run on the device that stops answering part-way.
    dlg.SelectPortByName(faulty);
    dlg.OnFlash();
    if (!WaitUntil([&dlg] { return !dlg.IsRunning(); }, 300)) {
        return 1;
    }

    CHistoryDlg history(DefaultHistoryFile(), &dlg);
    history.resize(1100, 340);
    ok = Save(history, out + QStringLiteral("/history-window.png")) && ok;

    CAboutDlg about(&dlg);
    ok = Save(about, out + QStringLiteral("/about-box.png")) && ok;
    return ok ? 0 : 1;
}
