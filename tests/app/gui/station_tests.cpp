// The station window against simulators in the virtual ports folder: units arriving on two
// slots (one failing), serials scanned (hostile ones refused), Stop during a transfer, no
// slot ticked, and the main window's two ways in.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

#include "app/gui/com_port_combo.h"
#include "app/gui/station_dlg.h"
#include "app/gui/station_tile.h"
#include "app/history.h"
#include "firmware_gen.h"
#include "gui_test_support.h"
#include "pty_pair.h"
#include "sim_runner.h"

class TestStation : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        m_env = std::make_unique<CPrivateEnvironment>();
        FirmwareRecipe recipe;
        recipe.size = 0x4400;
        recipe.bootVersion = 0x07;
        Firmware fw;
        std::string error;
        QVERIFY2(MakeFirmware(recipe, fw, error), error.c_str());
        QFile file(FirmwareFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fw.mot.data(), qint64(fw.mot.size()));
    }

    void init() { QFile::remove(m_env->HistoryFile()); }

    // Slot a serves two units, slot b one whose data block is refused: PASS twice and FAIL,
    // each recorded with the operator and the work order, and the counters to match.
    void arrivalTilesAndCounters() {
        CSimRunner a(Sim("a", 2));
        SimOptions failing = Sim("b", 1);
        failing.faults.push_back(CSimRunner::Fault("block:3=byte:15"));
        CSimRunner b(failing);
        CStationDlg dlg({{"a", Link("a")}, {"b", Link("b")}, {"c", Link("c")}},
                        {Link("a"), Link("b")}, FirmwareFile());
        QVector<QString> boxes;
        Record(dlg, boxes);
        dlg.show();
        // What a run would send, shown before Start, as under the main window's file box.
        const QString image = QString::fromUtf8(
            "Master image \u00B7 17,408 bytes \u00B7 boot "
            "version 7 \u00B7 SHA-256 ");
        QTRY_VERIFY_WITH_TIMEOUT(dlg.m_labelSummary->text().startsWith(image), 5000);
        QVERIFY(dlg.m_labelSummary->text().endsWith(QString::fromUtf8("\u2026")));
        dlg.m_editOperator->setText("Ann");
        dlg.m_editWorkOrder->setText(" WO-7 ");
        dlg.m_btnStart->click();
        QVERIFY(dlg.IsRunning());
        QCOMPARE(dlg.m_tiles.size(), std::size_t(2));  // c was not ticked
        QVERIFY(!dlg.m_btnStart->isEnabled() && !dlg.m_btnBrowse->isEnabled() &&
                !dlg.m_listSlots->isEnabled() && dlg.m_editFile->isReadOnly());
        QVERIFY(!dlg.close());  // not while it runs
        QTRY_COMPARE_WITH_TIMEOUT(dlg.m_labelFailed->text(), QString("Failed 1"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(dlg.m_labelPassed->text(), QString("Passed 2"), 30000);
        QCOMPARE(dlg.m_labelYield->text(), QString("Yield 66.7 %"));
        const QString rate = dlg.m_labelRate->text();  // 3 units in seconds: many an hour
        QVERIFY2(rate.endsWith(" units/h") && rate.split(' ')[0].toDouble() > 60, qPrintable(rate));
        QVERIFY(dlg.m_labelElapsed->text().startsWith("0:00:"));
        QCOMPARE(State(dlg, 0) + State(dlg, 1), QString("PASSFAIL"));
        QCOMPARE(Color(dlg, 0), QColor(0x2e, 0x7d, 0x32));
        QCOMPARE(Color(dlg, 1), QColor(0xc6, 0x28, 0x28));
        QVERIFY2(dlg.m_tiles[1]->m_labelEnding->text().contains("then a wrong byte came back"),
                 qPrintable(dlg.m_tiles[1]->m_labelEnding->text()));
        QStringList seen;
        for (const RunRecord& r : History()) {
            seen << QString::fromStdString(r.port + " " + r.outcome + " " + r.operatorName + " " +
                                           r.workOrder);
        }
        seen.sort();
        const QString tags = QStringLiteral(" Ann WO-7");
        QCOMPARE(seen, (QStringList{Link("a") + " success" + tags, Link("a") + " success" + tags,
                                    Link("b") + " transfer-failed" + tags}));
        // Once started, the kept image with its whole SHA-256, to compare with an approved one.
        QCOMPARE(dlg.m_labelSummary->text(), image + QString::fromStdString(History()[0].sha256));

        dlg.m_btnStop->click();
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsRunning(), 10000);
        QVERIFY(dlg.m_btnStart->isEnabled() && !dlg.m_btnStop->isEnabled() &&
                !dlg.m_editFile->isReadOnly() && dlg.m_listSlots->isEnabled());
        QCOMPARE(State(dlg, 0), QString("PASS"));  // the last picture stays
        QVERIFY(boxes.isEmpty() && dlg.close());
    }

    // What a scanner or a keyboard types: control characters and a 10,000-character line are
    // refused without a run; a serial with blanks around it is the unit of its run. Stop in
    // the middle of that transfer lets it finish.
    void scanAndStopDuringTransfer() {
        SimOptions options = Sim("s", 0);
        options.baud = 38400;  // about 5 s of transfer
        CSimRunner sim(options);
        CStationDlg dlg({{"s", Link("s")}}, {Link("s")}, FirmwareFile());
        QVector<QString> boxes;
        Record(dlg, boxes);
        dlg.show();
        dlg.m_radioScan->setChecked(true);
        dlg.m_listSlots->item(0)->setCheckState(Qt::Unchecked);
        dlg.m_btnStart->click();  // no slot: a box, and nothing starts
        QCOMPARE(boxes,
                 QVector<QString>{"Tick the ports the station flashes on: each one is a slot."});
        QVERIFY(!dlg.IsRunning() && dlg.m_tiles.empty());
        dlg.m_listSlots->item(0)->setCheckState(Qt::Checked);
        dlg.m_btnStart->click();
        QVERIFY(dlg.m_editScan->isEnabled() && dlg.focusWidget() == dlg.m_editScan);
        QCOMPARE(State(dlg, 0), QString("waiting for a unit"));
        for (const auto& [typed, why] : std::initializer_list<std::pair<QString, QString>>{
                 {"SN\x1b[2J1", "holds a control character"},
                 {"SN\t1", "holds a control character"},
                 {QString(10000, 'A'), "is longer than 64 characters"}}) {
            dlg.m_editScan->setText(typed);
            QTest::keyClick(dlg.m_editScan, Qt::Key_Return);
            QCOMPARE(dlg.m_labelStatus->text(), "Ignored a scan that " + why + ".");
        }
        QTest::keyClicks(dlg.m_editScan, "  SN-0001 ");
        QTest::keyClick(dlg.m_editScan, Qt::Key_Enter);
        QCOMPARE(dlg.m_labelStatus->text(), QString("Scanned SN-0001."));
        QTRY_VERIFY_WITH_TIMEOUT(State(dlg, 0).contains(" % · "), 20000);
        QCOMPARE(dlg.m_tiles[0]->m_labelUnit->text(), QString("SN-0001"));
        dlg.m_btnStop->click();
        QVERIFY(!dlg.m_editScan->isEnabled() && !dlg.m_btnStop->isEnabled());
        QVERIFY(dlg.IsRunning());  // until the transfer has ended
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsRunning(), 30000);
        QCOMPARE(State(dlg, 0), QString("PASS"));
        QCOMPARE(dlg.m_labelPassed->text() + ", " + dlg.m_labelYield->text(),
                 QString("Passed 1, Yield 100.0 %"));
        const std::vector<RunRecord> records = History();
        QVERIFY(records.size() == 1 && records[0].unit == "SN-0001");
        QCOMPARE(boxes.size(), 1);
    }

    // "Station…" from the button and from the port list's menu: the window lists the local
    // and network ports, the chosen one ticked, and the main window's file; a port that
    // arrives while it is open is listed too.
    void openedFromTheMainWindow() {
        const QString url = QStringLiteral("socket://127.0.0.1:4001");
        CPrivateEnvironment::SetSetting("NetworkPorts", QStringList{url});
        CPrivateEnvironment::SetSetting("ComPortStr", url);
        CQuillon2Dlg main;  // the machine's ports and the virtual ports folder
        main.m_editFile->setText(FirmwareFile());
        QAction* action = main.m_comboPort->actions().value(2);
        QVERIFY(action != nullptr && action->text() == QStringLiteral("Station…"));
        CPtyPair pty;
        int opened = 0;
        for (const auto& open : std::initializer_list<std::function<void()>>{
                 [&] { main.m_btnStation->click(); }, [&] { action->trigger(); }}) {
            const QString late = Link(QStringLiteral("late-%1").arg(++opened));
            QStringList seen;
            QTimer::singleShot(0, [&] {
                auto* dlg = dynamic_cast<CStationDlg*>(QApplication::activeModalWidget());
                if (dlg == nullptr) {
                    return;  // seen stays empty
                }
                QFile::link(QString::fromStdString(pty.SlavePath()), late);
                (void)QTest::qWaitFor([&] { return Ticks(*dlg).contains(late + " -"); });
                seen = Ticks(*dlg).filter(" +");
                seen << (Ticks(*dlg).contains(late + " -") ? late : QString())
                     << dlg->m_editFile->text();
                QFile::remove(late);
                dlg->reject();
            });
            open();
            QCOMPARE(seen, (QStringList{url + " +", late, FirmwareFile()}));
        }
    }

private:
    QString FirmwareFile() const { return m_env->Path("Master_fw.mot"); }
    QString Link(const QString& name) const { return m_env->PortsDir() + '/' + name; }
    SimOptions Sim(const QString& name, unsigned units) const {
        SimOptions options;
        options.linkPath = Link(name).toStdString();
        options.units = units;
        return options;
    }
    static void Record(CStationDlg& dlg, QVector<QString>& boxes) {
        dlg.m_messageBox = [&boxes](QWidget*, const QString& text, const QString&, MsgIcon,
                                    const QString&) { boxes << text; };
    }
    static QStringList Ticks(const CStationDlg& dlg) {
        QStringList ticks;
        for (int i = 0; i < dlg.m_listSlots->count(); ++i) {
            const QListWidgetItem* item = dlg.m_listSlots->item(i);
            ticks << item->data(Qt::UserRole).toString() +
                         (item->checkState() == Qt::Checked ? " +" : " -");
        }
        return ticks;
    }
    static QString State(const CStationDlg& dlg, std::size_t slot) {
        return dlg.m_tiles[slot]->m_labelState->text();
    }
    static QColor Color(CStationDlg& dlg, std::size_t slot) {
        // As the window paints it (a tile's own grab would fill its background anyway).
        const QPoint at = dlg.m_tiles[slot]->mapTo(&dlg, QPoint(4, 4));
        return const_cast<CStationDlg&>(dlg)
            .grab(QRect(at, QSize(1, 1)))
            .toImage()
            .pixelColor(0, 0);
    }
    std::vector<RunRecord> History() const {
        return ReadHistory(m_env->HistoryFile().toStdString()).records;
    }

    std::unique_ptr<CPrivateEnvironment> m_env;
};

QTEST_MAIN(TestStation)
#include "station_tests.moc"
