// The running window against the virtual ports folder: whole runs to the bootloader simulator,
// which sits there like an adapter (how each result reaches the user: the boxes, "Waiting...",
// the progress window, the history window), and the port list as links come and go.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QTimer>
#include <QtTest>

#include "app/gui/com_port_combo.h"
#include "app/history.h"
#include "app/sha256.h"
#include "firmware_gen.h"
#include "gui_test_support.h"
#include "pty_pair.h"
#include "sim_runner.h"

Q_DECLARE_METATYPE(MsgIcon)
Q_DECLARE_METATYPE(QVector<Box>)

class TestFlashRun : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        m_env = std::make_unique<CPrivateEnvironment>();
        FirmwareRecipe recipe;
        recipe.size = 0x4400;  // 272 blocks
        Firmware fw;
        std::string error;
        QVERIFY2(MakeFirmware(recipe, fw, error), error.c_str());
        QFile file(m_env->Path("Master_fw.mot"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fw.mot.data(), qint64(fw.mot.size()));
        m_bootVersion = recipe.bootVersion;
        m_sha = QString::fromStdString(Sha256Hex(fw.image.data(), fw.image.size()));
        QFile slave(m_env->Path("Slave_fw.bin"));  // a Master image under a Slave name
        QVERIFY(slave.open(QIODevice::WriteOnly));
        slave.write(reinterpret_cast<const char*>(fw.image.data()), qint64(fw.image.size()));
    }

    // Under the file box, once the path names a file: the image a run would send, or why it
    // would be refused; the newest path wins over a check still running for an older one.
    void firmwareSummary() {
        CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({}));
        const QString master = QString::fromUtf8(
                                   "Master image \u00B7 17,408 bytes \u00B7 boot version %1 \u00B7 "
                                   "SHA-256 %2\u2026")
                                   .arg(m_bootVersion)
                                   .arg(m_sha.left(8));
        const QString refused =
            "The file you selected is not correct salve file.\nThis file holds a Master image "
            "(0x30 0x64 at 0x4000), "
            "but its name says Slave. Pick the Slave's file; this one is for the Master.";
        struct Step {
            QString path;
            QString summary;
        };
        const Step steps[] = {
            {m_env->Path("Master_fw.mot"), master},
            {m_env->Path("Slave_fw.bin"), refused},
            {m_env->Path("Master_fw"), ""},  // no file (yet): nothing said
            {"", ""},
        };
        for (const Step& step : steps) {
            dlg.m_editFile->setText(m_env->Path("Master_fw.mot"));  // superseded at once
            QTest::qWait(300);
            dlg.m_editFile->setText(step.path);
            QTRY_COMPARE_WITH_TIMEOUT(dlg.m_labelSummary->text(), step.summary, 5000);
            QTest::qWait(500);  // the older check's answer never replaces it
            QCOMPARE(dlg.m_labelSummary->text(), step.summary);
        }
    }

    void wholeRun_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QVector<Box>>("boxes");
        const QString waiting = QStringLiteral("Waiting... (off)");
        QTest::newRow("success") << ""
                                 << QVector<Box>{{"Master Programming successfully !", "OK",
                                                  MsgIcon::Information, "", false, waiting}};
        QTest::newRow("NAK on a data block")
            << "block:3=byte:15"
            << QVector<Box>{
                   {"Receive Error!", "Error", MsgIcon::Warning, "", true, waiting},
                   {"Programming Process Error.\nPlease try again after 40 seconds!", "Warning",
                    MsgIcon::Warning,
                    "192 of 17408 bytes were sent to " + m_env->PortsDir() +
                        "/inverter, then a wrong byte came back: 0x15 instead of XON "
                        "or ACK. Flash again after 40 seconds; if it fails again, power-cycle "
                        "the inverter first.",
                    false, waiting}};
    }

    // Busy until the last box is closed, the window kept open meanwhile.
    void wholeRun() {
        QFETCH(QString, fault);
        QFETCH(QVector<Box>, boxes);
        const QString link = m_env->PortsDir() + QStringLiteral("/inverter");
        SimOptions options;
        options.linkPath = link.toStdString();
        options.baud = 57600;  // a transfer of seconds, long enough to try closing during it
        if (!fault.isEmpty()) {
            options.faults.push_back(CSimRunner::Fault(fault.toStdString()));
        }
        CSimRunner sim(options);
        CPrivateEnvironment::SetSetting("ComPortStr", link);
        CQuillon2Dlg dlg;
        dlg.show();
        QVector<Box> shown;
        RecordBoxes(dlg, shown);
        QCOMPARE(Selected(dlg), link);
        dlg.m_editFile->setText(m_env->Path("Master_fw.mot"));
        dlg.OnFlash();
        QVERIFY(dlg.IsRunning());
        QCOMPARE(dlg.m_btnFlash->text(), QStringLiteral("Waiting..."));
        // Closing is refused, and the box says why: first while Cancel still can stop it...
        QVERIFY(!dlg.close());
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown.takeFirst().text.startsWith("The inverter is being prepared"),
                 qPrintable(dlg.m_labelStatus->text()));
        dlg.OnFlash();  // a second press does nothing
        const bool ok = fault.isEmpty();
        if (ok) {  // ...then while data flows, with the time left once it is known
            QTRY_VERIFY_WITH_TIMEOUT(dlg.ProgressWindow() != nullptr &&
                                         dlg.ProgressWindow()->isVisible() &&
                                         QRegularExpression("(?!0:00)[0-9]+:[0-9]{2} left$")
                                             .match(dlg.ProgressWindow()->m_staticFigures->text())
                                             .hasMatch(),
                                     20000);
            QVERIFY(!dlg.m_btnCancel->isVisible());
            QVERIFY(!dlg.close());
            QCOMPARE(shown.size(), 1);
            const QString refusal = shown.takeFirst().text;
            QVERIFY2(QRegularExpression("^Firmware is being written; stopping now would leave the "
                                        "inverter without firmware\\. About [1-9][0-9]* s left\\.$")
                         .match(refusal)
                         .hasMatch(),
                     qPrintable(refusal));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsRunning(), 30000);
        QCOMPARE(dlg.m_btnFlash->text(), QStringLiteral("Flash!"));
        QVERIFY(dlg.m_btnFlash->isEnabled());
        QCOMPARE(shown, boxes);
        // A failure that asks for a pause counts it down; the button stays usable meanwhile.
        const QString status = dlg.m_labelStatus->text();
        QVERIFY2(ok ? status.isEmpty()
                    : QRegularExpression("^Try again in (40|39|38) s$").match(status).hasMatch(),
                 qPrintable(status));
        CProgramDlg* progress = dlg.ProgressWindow();
        QVERIFY(progress != nullptr && !progress->isVisible());
        // The port as the list shows it; its full name in the tooltip.
        QCOMPARE(progress->m_staticJob->text(),
                 "Master_fw.mot on " + dlg.m_comboPort->currentText());
        QCOMPARE(progress->m_staticJob->toolTip(), "Master_fw.mot on " + link);
        QCOMPARE(progress->m_staticPercent->text(), QString(ok ? "100 %" : "1 %"));
        if (ok) {
            QVERIFY2(progress->m_staticFigures->text().startsWith("17408 of 17408 bytes, ") &&
                         progress->m_staticFigures->text().endsWith(" B/s, 0:00 left"),
                     qPrintable(progress->m_staticFigures->text()));
        }
    }

    void handshakeStatusAndCancel_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("step");  // the status line, before its time
        QTest::addColumn<QString>("name");  // the step as the ending names it
        QTest::addColumn<int>("selects");   // announcements the inverter heard
        QTest::newRow("announcement") << "select=silence"
                                      << "Announcing the target, try 2 of 5"
                                      << "the target announcement (try 2 of 5)" << 2;
        QTest::newRow("all-flash request") << "allflash=silence"
                                           << "Waiting for the inverter's all-flash answer"
                                           << "the all-flash request" << 1;
        QTest::newRow("block table") << "table=silence"
                                     << "Sending the block table"
                                     << "the block table" << 1;
    }

    // From "Flash!" to the first block the status line names the step and its time, and
    // Cancel stops exactly that run: no box, no more bytes, the ending in the line and in
    // the history.
    void handshakeStatusAndCancel() {
        QFETCH(QString, fault);
        QFETCH(QString, step);
        QFETCH(QString, name);
        QFETCH(int, selects);
        const QString link = m_env->PortsDir() + QStringLiteral("/inverter");
        SimOptions options;
        options.linkPath = link.toStdString();
        options.faults.push_back(CSimRunner::Fault(fault.toStdString()));
        CSimRunner sim(options);
        CPrivateEnvironment::SetSetting("ComPortStr", link);
        CQuillon2Dlg dlg;
        dlg.show();
        QVector<Box> shown;
        RecordBoxes(dlg, shown);
        QVERIFY(!dlg.m_btnCancel->isVisible());
        dlg.m_editFile->setText(m_env->Path("Master_fw.mot"));
        dlg.OnFlash();
        QVERIFY(dlg.m_btnCancel->isVisible());
        const QRegularExpression status("^" + QRegularExpression::escape(step) +
                                        " \u00B7 [0-9]+\\.[0-9] s$");
        QTRY_VERIFY2_WITH_TIMEOUT(status.match(dlg.m_labelStatus->text()).hasMatch(),
                                  qPrintable(dlg.m_labelStatus->text()), 10000);
        QTest::mouseClick(dlg.m_btnCancel, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsRunning(), 3000);
        QVERIFY(shown.isEmpty());
        QVERIFY(!dlg.m_btnCancel->isVisible());
        const QString ending = "cancelled during " + name + "; nothing was written to the inverter";
        QCOMPARE(dlg.m_labelStatus->text(), "C" + ending.mid(1) + ".");
        QTest::qWait(1500);  // a try that was due has passed: nothing more went out
        QCOMPARE(sim.Count(SimStep::Select), selects);
        QCOMPARE(sim.Count(SimStep::Block), 0);
        const HistoryContents history = ReadHistory(m_env->HistoryFile().toStdString());
        QVERIFY(!history.records.empty());
        QCOMPARE(history.records.back().outcome, std::string("stopped"));
        QCOMPARE(history.records.back().detail, ending.toStdString());
    }

    // A network port that takes seconds to open (a server that takes the connection and never
    // answers) is opened by the run's worker: "Flash!" reads "Waiting..." at once, the window
    // keeps handling its events meanwhile, and the port's box comes as before. With tracing
    // on, the box and the history name the trace, which tells why the port did not open.
    void silentNetworkPortNeverHoldsTheWindow() {
        const int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        QVERIFY(bind(server, reinterpret_cast<sockaddr*>(&address), size) == 0);
        QVERIFY(listen(server, 1) == 0);  // connections wait in the backlog, never answered
        QVERIFY(getsockname(server, reinterpret_cast<sockaddr*>(&address), &size) == 0);
        const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(ntohs(address.sin_port));
        const QString traces = m_env->Path("traces");
        QVERIFY(QDir().mkpath(traces));
        CPrivateEnvironment::SetSetting("NetworkPorts", QStringList{url});
        CPrivateEnvironment::SetSetting("ComPortStr", url);
        CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({}));
        QVector<Box> boxes;
        RecordBoxes(dlg, boxes);
        QVERIFY(!dlg.m_actTraceRuns->isChecked());  // off until a folder is chosen
        dlg.m_askTraceFolder = [&](QWidget*) { return traces; };
        dlg.m_actTraceRuns->trigger();
        QCOMPARE(CPrivateEnvironment::Setting("TraceFolder").toString(), traces);
        dlg.m_editFile->setText(m_env->Path("Master_fw.mot"));
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(100);
        QElapsedTimer pressed;
        pressed.start();
        dlg.OnFlash();
        QVERIFY(pressed.elapsed() < 1000);
        QCOMPARE(dlg.m_btnFlash->text(), QStringLiteral("Waiting..."));
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsRunning(), 20000);
        ::close(server);
        QVERIFY2(ticks >= 30, qPrintable(QString::number(ticks)));  // 5 s of opening
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text,
                 QStringLiteral("Can't open serial port,\nplease check your device!"));
        QCOMPARE(boxes[0].button, QStringLiteral("Waiting... (off)"));
        QCOMPARE(dlg.m_btnFlash->text(), QStringLiteral("Flash!"));
        const QStringList written = QDir(traces).entryList(QDir::Files);
        QCOMPARE(written.size(), 1);
        const QString trace = traces + QLatin1Char('/') + written[0];
        QVERIFY2(boxes[0].detail.startsWith(url + ": ") &&
                     boxes[0].detail.endsWith("\nThe wire trace is in " + trace + "."),
                 qPrintable(boxes[0].detail));
        QFile file(trace);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("# not opened after "));
        QCOMPARE(ReadHistory(m_env->HistoryFile().toStdString()).records.back().trace,
                 trace.toStdString());
        dlg.m_actTraceRuns->trigger();  // and off again
        QVERIFY(!dlg.m_actTraceRuns->isChecked());
        QVERIFY(CPrivateEnvironment::Setting("TraceFolder").toString().isEmpty());
    }

    void hotplugKeepsTheChoice() {
        CPtyPair a;
        CPtyPair b;
        const QString linkA = Link("inverter-a", a);
        CPrivateEnvironment::SetSetting("ComPortStr", linkA);
        CQuillon2Dlg dlg;
        const int base = dlg.m_comboPort->count();  // the machine's own ports, if any
        QCOMPARE(Selected(dlg), linkA);

        const QString linkB = Link("inverter-b", b);  // arrives: listed, the choice stays
        QTRY_COMPARE_WITH_TIMEOUT(dlg.m_comboPort->count(), base + 1, 5000);
        QCOMPARE(Selected(dlg), linkA);
        const QString text = dlg.m_comboPort->currentText();
        auto* items = qobject_cast<QStandardItemModel*>(dlg.m_comboPort->model());
        QVERIFY(items != nullptr);
        // The chosen port goes: it stays in view, greyed, last, and nothing is flashed
        // through it; it comes back: chosen again. Twice, to see the lost entry go each time.
        for (int round = 0; round < 2; ++round) {
            QVERIFY(QFile::remove(linkA));
            QTRY_VERIFY_WITH_TIMEOUT(dlg.m_comboPort->Model().GetCurSel() < 0, 5000);
            QCOMPARE(dlg.m_comboPort->count(), base + 1);
            QCOMPARE(dlg.m_comboPort->currentIndex(), base);
            QCOMPARE(dlg.m_comboPort->currentText(), text + QString::fromUtf8(" \u2014 unplugged"));
            QVERIFY(!items->item(base)->isEnabled());
            QCOMPARE(Selected(dlg), QString());
            Link("inverter-a", a);
            QTRY_COMPARE_WITH_TIMEOUT(Selected(dlg), linkA, 5000);
            QCOMPARE(dlg.m_comboPort->count(), base + 1);
            QCOMPARE(dlg.m_comboPort->currentText(), text);
        }
        // Another choice lets the lost port go at the next change.
        QVERIFY(QFile::remove(linkA));
        QTRY_COMPARE_WITH_TIMEOUT(dlg.m_comboPort->currentIndex(), base, 5000);
        dlg.m_comboPort->setCurrentIndex(
            dlg.m_comboPort->findText("inverter-b", Qt::MatchStartsWith));
        QCOMPARE(Selected(dlg), linkB);
        CPtyPair c;
        Link("inverter-c", c);
        QTRY_COMPARE_WITH_TIMEOUT(dlg.m_comboPort->count(), base + 1, 5000);
        QVERIFY(!dlg.m_comboPort->LostPortShown());
        QCOMPARE(Selected(dlg), linkB);
    }

    // Listed after the local ports (a malformed one and a repeated one left out), checked when
    // added, kept in the settings, and taken off again.
    void networkPorts() {
        const QString kept = QStringLiteral("rfc2217://127.0.0.1:1");
        const QString added = QStringLiteral("socket://[::1]:4001");
        CPrivateEnvironment::SetSetting("NetworkPorts",
                                        QStringList{kept, "rfc2217://no-port", kept});
        CPrivateEnvironment::SetSetting("ComPortStr", kept);
        CQuillon2Dlg dlg(nullptr, LinkTiming{},
                         Ports({{"Serial port (ttyS1)", "/nonexistent/ttyS1"}}));
        QVector<Box> boxes;
        RecordBoxes(dlg, boxes);
        QCOMPARE(dlg.m_comboPort->count(), 2);  // the malformed and the repeated one left out
        QCOMPARE(dlg.m_comboPort->itemText(1), kept);
        QCOMPARE(Selected(dlg), kept);

        dlg.m_askNetworkPort = [](QWidget*) { return QStringLiteral("socket://host"); };
        dlg.OnAddNetworkPort();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text,
                 QStringLiteral("\"socket://host\" is not a network port: no port: "
                                "add :PORT after the host.\nUse rfc2217://HOST:PORT or "
                                "socket://HOST:PORT."));
        dlg.m_askNetworkPort = [&](QWidget*) { return added; };
        dlg.m_btnAddNetworkPort->click();
        QCOMPARE(dlg.m_comboPort->itemText(2), added);
        QCOMPARE(Selected(dlg), added);
        QCOMPARE(CPrivateEnvironment::Setting("NetworkPorts").toStringList(),
                 (QStringList{kept, added}));
        dlg.m_comboPort->setCurrentIndex(1);
        dlg.OnRemoveNetworkPort();
        QCOMPARE(dlg.m_comboPort->findText(kept), -1);
        QCOMPARE(CPrivateEnvironment::Setting("NetworkPorts").toStringList(), QStringList{added});
    }

private:
    QString Link(const QString& name, const CPtyPair& pty) {
        const QString path = m_env->PortsDir() + QLatin1Char('/') + name;
        QFile::remove(path);
        QFile::link(QString::fromStdString(pty.SlavePath()), path);
        return path;
    }
    static QString Selected(const CQuillon2Dlg& dlg) {
        return QString::fromStdString(dlg.m_comboPort->GetSelectedPortName());
    }

    std::unique_ptr<CPrivateEnvironment> m_env;
    QString m_sha;  // of the image Master_fw.mot converts to
    int m_bootVersion = -1;
};

QTEST_MAIN(TestFlashRun)
#include "run_tests.moc"
