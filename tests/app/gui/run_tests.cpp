// Whole runs through the main window against the bootloader simulator, which sits in the
// virtual ports folder like a real adapter: the list shows it, the saved name selects it,
// and "Flash!" programs it through the worker thread and the Qt JobUi.
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QtTest>
#include <memory>
#include <string>
#include <vector>

#include "app/gui/com_port_combo.h"
#include "app/gui/history_dlg.h"
#include "app/gui/main_dlg.h"
#include "app/gui/program_dlg.h"
#include "firmware_gen.h"
#include "gui_test_support.h"
#include "sim_runner.h"

Q_DECLARE_METATYPE(MsgIcon)

namespace {
struct Expected {
    QString text;
    QString caption;
    MsgIcon icon;
    bool fromProgressWindow;
    QString detail = {};  // "@" stands for the port
};
}  // namespace
Q_DECLARE_METATYPE(QVector<Expected>)

class TestFlashRun : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        m_env = std::make_unique<CPrivateEnvironment>();
        QVERIFY(m_env->MakePortsDir());

        FirmwareRecipe recipe;
        recipe.target = FwTarget::Master;
        recipe.size = 0x4400;  // signature at 0x4000, 272 blocks
        Firmware fw;
        std::string error;
        QVERIFY2(MakeFirmware(recipe, fw, error), error.c_str());
        m_image = fw.image;
        WriteFile(m_env->Path(QStringLiteral("Master_fw.mot")), fw.mot);
        WriteFile(m_env->Path(QStringLiteral("Master_fw.bin")),
                  std::string(fw.image.begin(), fw.image.end()));
        WriteFile(m_env->Path(QStringLiteral("Master_fw.txt")), fw.mot);
    }

    void wholeRun_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("chosen");  // picked in the file dialog
        QTest::addColumn<bool>("complete");
        QTest::addColumn<QVector<Expected>>("messages");

        QTest::newRow("success") << ""
                                 << "Master_fw.mot" << true
                                 << QVector<Expected>{{"Master Programming successfully !", "OK",
                                                       MsgIcon::Information, false}};
        QTest::newRow("NAK on a data block")
            << "block:3=byte:15"
            << "Master_fw.mot" << false
            << QVector<Expected>{{"Receive Error!", "Error", MsgIcon::Warning, true},
                                 {"Programming Process Error.\nPlease try again after 40 seconds!",
                                  "Warning", MsgIcon::Warning, false,
                                  "192 of 17408 bytes were sent to @, then a wrong byte came back: "
                                  "0x15 instead of XON or ACK."}};
        QTest::newRow("block table refused")
            << "table=byte:15"
            << "Master_fw.bin" << false
            << QVector<Expected>{{"Not get Ack Signal!", "Warning", MsgIcon::Warning, false,
                                  "@ answered the block table with 0x15 instead of ACK (0x06)."}};
    }

    void wholeRun() {
        QFETCH(QString, fault);
        QFETCH(QString, chosen);
        QFETCH(bool, complete);
        QFETCH(QVector<Expected>, messages);

        const QString link = m_env->PortsDir() + QStringLiteral("/inverter");
        SimOptions options;
        options.linkPath = link.toStdString();
        if (!fault.isEmpty()) {
            options.faults.push_back(CSimRunner::Fault(fault.toStdString()));
        }
        CSimRunner sim(options);
        CPrivateEnvironment::SetSavedPort(link);

        CQuillon2Dlg dlg;
        dlg.show();
        QVector<RecordedMessage> shown;
        RecordMessages(dlg, shown);
        QVERIFY(QString::fromStdString(dlg.m_comboPort->GetSelectedPortName()) == link);

        const QString chosenPath = m_env->Path(chosen);
        dlg.m_browseDialog = [&chosenPath](QWidget*) { return chosenPath; };
        dlg.OnBrowse();
        dlg.OnFlash();

        // Busy before the worker could say anything, and the window stays open.
        QVERIFY(dlg.IsRunning());
        QCOMPARE(dlg.m_btnFlash->text(), QStringLiteral("Waiting..."));
        QVERIFY(!dlg.m_btnFlash->isEnabled());
        QVERIFY(!dlg.close());
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QVERIFY(dlg.isVisible());
        dlg.OnFlash();  // a second press does nothing

        QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsRunning(), 30000);
        QCOMPARE(dlg.m_btnFlash->text(), QStringLiteral("Flash!"));
        QVERIFY(dlg.m_btnFlash->isEnabled());

        // Only the run's own messages count; the conversion may have said more first.
        QVERIFY(shown.size() >= messages.size());
        const int first = int(shown.size() - messages.size());
        for (int i = 0; i < messages.size(); ++i) {
            const RecordedMessage& got = shown[first + i];
            QCOMPARE(got.text, messages[i].text);
            QCOMPARE(got.caption, messages[i].caption);
            QCOMPARE(got.icon, messages[i].icon);
            QCOMPARE(got.ownerIsProgressWindow, messages[i].fromProgressWindow);
            QCOMPARE(got.detail, QString(messages[i].detail).replace(QLatin1Char('@'), link));
        }
        for (const RecordedMessage& got : shown) {
            // Every box of a run is shown while the button still reads "Waiting...".
            QCOMPARE(got.buttonText, QStringLiteral("Waiting..."));
            QVERIFY(!got.buttonEnabled);
        }

        sim.Stop();
        const std::vector<SimRun> runs = sim.Runs();
        QCOMPARE(runs.size(), std::size_t(1));
        QCOMPARE(runs[0].complete, complete);
        QVERIFY2(sim.Errors().empty(), sim.Errors().empty() ? "" : sim.Errors()[0].c_str());
        if (complete) {
            QVERIFY(runs[0].image == m_image);
            QVERIFY(dlg.ProgressWindow() != nullptr);
            QCOMPARE(dlg.ProgressWindow()->m_staticPercent->text(), QStringLiteral("100 %"));
            const QString figures = dlg.ProgressWindow()->m_staticFigures->text();
            QVERIFY2(QRegularExpression(QStringLiteral("^17408 of 17408 bytes, [1-9][0-9]* B/s, "
                                                       "0:00 left$"))
                         .match(figures)
                         .hasMatch(),
                     qPrintable(figures));
            QCOMPARE(dlg.ProgressWindow()->m_staticJob->toolTip(),
                     chosen + QStringLiteral(" on ") + link);
        }
        // The run is the newest row of the history window.
        CHistoryDlg history(m_env->HistoryFile().toStdString());
        QVERIFY(history.m_table->rowCount() > 0);
        const std::vector<RunRecord> rows = history.ShownRecords(false);
        QCOMPARE(QString::fromStdString(rows.front().file), chosenPath);
        QCOMPARE(QString::fromStdString(rows.front().frontEnd), QStringLiteral("desktop"));
        QCOMPARE(QString::fromStdString(rows.front().port), link);
        QCOMPARE(rows.front().outcome == "success", complete);
        QCOMPARE(history.m_table->item(0, ColumnOf("File"))->text(), chosenPath);
        QVERIFY(dlg.ProgressWindow() == nullptr || !dlg.ProgressWindow()->isVisible());
        // Idle again: Escape closes the window.
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QVERIFY(!dlg.isVisible());
    }

    // Every ending closes the port: after a refused file the next press opens it again and
    // programs the device. The kind is that of the path in the box when "Flash!" is pressed,
    // typed or picked: first a typed text file nothing was ever browsed for, then a typed
    // S-record file over a picked flat image.
    void secondRunAfterAFailure() {
        const QString link = m_env->PortsDir() + QStringLiteral("/inverter2");
        SimOptions options;
        options.linkPath = link.toStdString();
        CSimRunner sim(options);
        CPrivateEnvironment::SetSavedPort(link);
        CQuillon2Dlg dlg;
        QVector<RecordedMessage> shown;
        RecordMessages(dlg, shown);
        dlg.m_editFile->setText(m_env->Path(QStringLiteral("Master_fw.txt")));
        dlg.OnFlash();
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsRunning(), 30000);
        QVERIFY(!shown.isEmpty());
        QCOMPARE(shown.back().text,
                 QStringLiteral("Unknown firmware file type: choose a mot or bin file."));
        QCOMPARE(shown.back().caption, QStringLiteral("Warning"));
        QCOMPARE(shown.back().icon, MsgIcon::Warning);
        QCOMPARE(shown.back().buttonText, QStringLiteral("Waiting..."));

        const QString pick = m_env->Path(QStringLiteral("Master_fw.bin"));
        dlg.m_browseDialog = [&pick](QWidget*) { return pick; };
        dlg.OnBrowse();
        dlg.m_editFile->setText(m_env->Path(QStringLiteral("Master_fw.mot")));
        shown.clear();
        dlg.OnFlash();
        QVERIFY(dlg.IsRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsRunning(), 30000);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, QStringLiteral("Master Programming successfully !"));
        QCOMPARE(CPrivateEnvironment::SavedPort(), link);
        sim.Stop();
        const std::vector<SimRun> runs = sim.Runs();
        QVERIFY(!runs.empty());
        QVERIFY(runs.back().Correct());
        QVERIFY(runs.back().image == m_image);
    }

private:
    static void WriteFile(const QString& path, const std::string& bytes) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes.data(), qint64(bytes.size())), qint64(bytes.size()));
    }

    std::unique_ptr<CPrivateEnvironment> m_env;
    std::vector<std::uint8_t> m_image;
};

QTEST_MAIN(TestFlashRun)
#include "run_tests.moc"
