// Opens the main window with N saved network ports (default 100000, each URL saved twice, as
// a settings file edited or merged by hand may hold them) and with a tenth of them. The time
// beyond an empty list, per entry, is compared: near 1 when the start-up grows in step with
// the entries, near 10 when it grows with their square. Goal: at most 2. Runs offscreen, with
// its settings in a private folder.
// Usage: network_ports_bench [entries, default 100000]
#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/gui/main_dlg.h"

namespace {

// Seconds to open (and close) the main window with these saved ports; the best of runs.
double OpenWindow(int entries, int runs) {
    QStringList urls;
    for (int i = 0; i < entries; ++i) {
        urls << QStringLiteral("rfc2217://10.0.%1.%2:4001").arg(i / 250 % 250).arg(i % 250);
    }
    urls += urls;
    const QString conf = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QLatin1Char('/') + QCoreApplication::organizationName() +
                         QLatin1Char('/') + QCoreApplication::applicationName() + ".conf";
    QSettings(conf, QSettings::IniFormat).setValue(QStringLiteral("Config/NetworkPorts"), urls);
    double best = 1e9;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        { CQuillon2Dlg dlg; }
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int entries = argc > 1 ? std::atoi(argv[1]) : 100000;
    QTemporaryDir home;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "HOME"}) {
        qputenv(name, QFile::encodeName(home.path()));
    }
    QFile::setPermissions(home.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));

    const double empty = OpenWindow(0, 5);
    const double small = OpenWindow(entries / 10, 3);
    const double full = OpenWindow(entries, 1);
    const double ratio = (full - empty) / (10 * std::max(small - empty, 1e-6));
    std::printf(
        "window with %d saved network ports (each twice): %.3f s; with %d: %.4f s; "
        "none: %.4f s\n",
        entries, full, entries / 10, small, empty);
    std::printf("time per entry, %d against %d: %.2f (goal: at most 2)\n", entries, entries / 10,
                ratio);
    return 0;
}
