// Whole runs from the main window against the bootloader simulator, which sits in the virtual
// ports folder like an adapter: how each result reaches the user (the boxes, "Waiting...",
// the progress window, the history window), and that the next run follows a failed one.
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QtTest>

#include "app/gui/com_port_combo.h"
#include "app/gui/history_dlg.h"
#include "firmware_gen.h"
#include "gui_test_support.h"
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
        m_image = fw.image;
        for (const char* name : {"Master_fw.mot", "Master_fw.txt"}) {
            QFile file(m_env->Path(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(fw.mot.data(), qint64(fw.mot.size()));
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
            << QVector<Box>{{"Receive Error!", "Error", MsgIcon::Warning, "", true, waiting},
                            {"Programming Process Error.\nPlease try again after 40 seconds!",
                             "Warning", MsgIcon::Warning,
                             "192 of 17408 bytes were sent to inverter, then a wrong byte came "
                             "back: 0x15 instead of XON or ACK.",
                             false, waiting}};
    }

    // First a typed text file (its kind is read at "Flash!"), then the S-record file: busy
    // until the last box is closed, the window kept open meanwhile.
    void wholeRun() {
        QFETCH(QString, fault);
        QFETCH(QVector<Box>, boxes);
        const QString link = m_env->PortsDir() + QStringLiteral("/inverter");
        SimOptions options;
        options.linkPath = link.toStdString();
        if (!fault.isEmpty()) {
            options.faults.push_back(CSimRunner::Fault(fault.toStdString()));
        }
        CSimRunner sim(options);
        CPrivateEnvironment::SetSetting("ComPortStr", link);
        CQuillon2Dlg dlg;
        dlg.show();
        QVector<Box> shown;
        RecordBoxes(dlg, shown);
        QCOMPARE(QString::fromStdString(dlg.m_comboPort->GetSelectedPortName()), link);

        dlg.m_editFile->setText(m_env->Path("Master_fw.txt"));
        dlg.OnFlash();
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsRunning(), 30000);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text,
                 QStringLiteral("Unknown firmware file type: choose a mot or bin file."));

        shown.clear();
        dlg.m_editFile->setText(m_env->Path("Master_fw.mot"));
        dlg.OnFlash();
        QVERIFY(dlg.IsRunning());
        QCOMPARE(dlg.m_btnFlash->text(), QStringLiteral("Waiting..."));
        QVERIFY(!dlg.close());
        dlg.OnFlash();  // a second press does nothing
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsRunning(), 30000);
        QCOMPARE(dlg.m_btnFlash->text(), QStringLiteral("Flash!"));
        QVERIFY(dlg.m_btnFlash->isEnabled());
        QCOMPARE(shown.size(), boxes.size());
        for (int i = 0; i < boxes.size(); ++i) {
            QCOMPARE(shown[i].text, boxes[i].text);
            QCOMPARE(shown[i].caption, boxes[i].caption);
            QCOMPARE(shown[i].icon, boxes[i].icon);
            QCOMPARE(shown[i].detail, QString(boxes[i].detail).replace("inverter", link));
            QCOMPARE(shown[i].overProgressWindow, boxes[i].overProgressWindow);
            QCOMPARE(shown[i].button, boxes[i].button);
        }
        const bool ok = fault.isEmpty();
        CProgramDlg* progress = dlg.ProgressWindow();
        QVERIFY(progress != nullptr && !progress->isVisible());
        QCOMPARE(progress->m_staticPercent->text(), QString(ok ? "100 %" : "1 %"));
        QCOMPARE(progress->m_staticJob->toolTip(), QStringLiteral("Master_fw.mot on ") + link);
        if (ok) {
            QVERIFY2(progress->m_staticFigures->text().startsWith("17408 of 17408 bytes, ") &&
                         progress->m_staticFigures->text().endsWith(" B/s, 0:00 left"),
                     qPrintable(progress->m_staticFigures->text()));
        }
        sim.Stop();
        QCOMPARE(sim.Runs().size(), std::size_t(1));
        QCOMPARE(sim.Runs()[0].image == m_image, ok);

        // The run is the newest row of the history window.
        CHistoryDlg history(m_env->HistoryFile().toStdString());
        const RunRecord newest = history.ShownRecords(false).front();
        QCOMPARE(QString::fromStdString(newest.file), m_env->Path("Master_fw.mot"));
        QCOMPARE(QString::fromStdString(newest.port), link);
        QCOMPARE(newest.frontEnd, std::string("desktop"));
        QCOMPARE(newest.outcome, std::string(ok ? "success" : "transfer-failed"));
        QCOMPARE(history.m_table->item(0, 8)->text(), m_env->Path("Master_fw.mot"));
    }

private:
    std::unique_ptr<CPrivateEnvironment> m_env;
    std::vector<std::uint8_t> m_image;
};

QTEST_MAIN(TestFlashRun)
#include "run_tests.moc"
