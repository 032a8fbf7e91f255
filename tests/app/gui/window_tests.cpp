// How the main window tells the user what happened without a device: the Flash command's
// checks, a port that does not open, the message box, the progress window and the history.
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTableWidget>
#include <QtTest>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "app/gui/com_port_combo.h"
#include "app/gui/history_dlg.h"
#include "gui_test_support.h"

namespace {
void Touch(const QString& path) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}
}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        m_env = std::make_unique<CPrivateEnvironment>();
        Touch(m_env->Path("Slave_fw.bin"));
    }

    // A Flash check refuses in a warning box, the button stays "Flash!" and the port is not
    // saved; a port that does not open shows the system's reason beneath, is recorded, and is
    // saved all the same.
    void checkThenPortThatDoesNotOpen() {
        const std::string missing = m_env->Path("no-such-tty").toStdString();
        CPrivateEnvironment::SetSetting("ComPortStr", QVariant());
        CQuillon2Dlg dlg(nullptr, LinkTiming{},
                         Ports({{"A", missing + "a"}, {"B", missing + "b"}}));
        QVector<Box> boxes;
        RecordBoxes(dlg, boxes);
        dlg.m_comboPort->setCurrentIndex(-1);
        dlg.m_editFile->setText(m_env->Path("Slave_fw.bin"));
        dlg.OnFlash();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QStringLiteral("No COM port has been selected!"));
        QCOMPARE(boxes[0].button, QStringLiteral("Flash!"));
        QVERIFY(!CPrivateEnvironment::Setting("ComPortStr").isValid());

        dlg.m_comboPort->setCurrentIndex(0);
        const QString name = QString::fromStdString(dlg.m_comboPort->GetSelectedPortName());
        dlg.OnFlash();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].text,
                 QStringLiteral("Can't open serial port,\nplease check your device!"));
        QCOMPARE(boxes[1].caption, QStringLiteral("Warning"));
        QCOMPARE(boxes[1].icon, MsgIcon::Warning);
#ifdef _WIN32
        QCOMPARE(boxes[1].detail, name + QStringLiteral(": File not found"));  // Wine's text
#else
        QCOMPARE(boxes[1].detail, name + QStringLiteral(": No such file or directory"));
#endif
        const HistoryContents history = ReadHistory(m_env->HistoryFile().toStdString());
        QVERIFY(!history.records.empty());
        QCOMPARE(history.records.back().outcome, std::string("port-not-opened"));
        QCOMPARE(history.records.back().frontEnd, std::string("desktop"));
        QCOMPARE(CPrivateEnvironment::Setting("ComPortStr").toString(), name);
        QVERIFY(dlg.m_btnFlash->isEnabled());
    }

    // The detail is the box's second paragraph, shown as written (a path is never markup).
    void messageBoxDetail() {
        const auto box =
            CQuillon2Dlg::MakeMessageBox(nullptr, QStringLiteral("Text"), QStringLiteral("Warning"),
                                         MsgIcon::Warning, QStringLiteral("/dev/<b>x</b>: busy"));
        QCOMPARE(box->text(), QStringLiteral("Text"));
        QCOMPARE(box->windowTitle(), QStringLiteral("Warning"));
        QCOMPARE(box->icon(), QMessageBox::Warning);
        QCOMPARE(box->informativeText(), QStringLiteral("/dev/<b>x</b>: busy"));
        auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
        QVERIFY(label != nullptr && label->textFormat() == Qt::PlainText);
    }

    // The progress window shows "N %" and the bar, and only the run can close it.
    void progressWindow() {
        CProgramDlg dlg;
        dlg.Start(128);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Programming..."));
        QCOMPARE(dlg.m_staticPercent->text(), QStringLiteral("0 %"));
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QVERIFY(!dlg.close());
        QVERIFY(dlg.isVisible());
        TransferProgress p;
        p.sent = 64;
        p.total = 128;
        p.text = "50 %";
        dlg.Progress(p);
        QCOMPARE(dlg.m_staticPercent->text(), QStringLiteral("50 %"));
        QCOMPARE(dlg.m_progress->value(), 64);
        QCOMPARE(dlg.m_progress->maximum(), 128);
        dlg.Finish(true);
        QVERIFY(!dlg.isVisible());
    }

    // A settings file that is no file (a FIFO, whose open waits for a writer) is left alone:
    // the window appears.
    void settingsFileThatIsNoFile() {
#ifndef _WIN32
        const QString conf = m_env->Path("config/") + QCoreApplication::organizationName() +
                             QLatin1Char('/') + QCoreApplication::applicationName() + ".conf";
        QDir().mkpath(QFileInfo(conf).path());
        QFile::remove(conf);
        QCOMPARE(mkfifo(QFile::encodeName(conf).constData(), 0600), 0);
        { CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({})); }
        QFile::remove(conf);
#endif
    }

    // Newest first, numbers sorted by value, a damaged line reported; Copy takes the selected
    // rows.
    void historyWindow() {
        const QString file = m_env->Path("history.jsonl");
        std::string lines;
        const std::uint64_t sent[] = {192, 17408, 1280};
        for (int i = 0; i < 3; ++i) {
            RunRecord r;
            r.start = "2025-01-0" + std::to_string(i + 1) + "T08:00:00Z";
            r.outcome = "run" + std::to_string(i);
            r.bytesSent = sent[i];
            r.ending = "line one\nline two";
            lines += RecordToJson(r) + "\n" + (i == 0 ? "{damaged\n" : "");
        }
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(lines.data(), qint64(lines.size()));
        out.close();

        CHistoryDlg dlg(file.toStdString());
        auto column = [&dlg](int c) {
            QStringList texts;
            for (int r = 0; r < dlg.m_table->rowCount(); ++r)
                texts << dlg.m_table->item(r, c)->text();
            return texts;
        };
        QCOMPARE(column(3), (QStringList{"run2", "run1", "run0"}));
        QVERIFY(dlg.m_staticWarnings->text().contains(QStringLiteral("line 2 is damaged")));
        dlg.m_table->sortByColumn(5, Qt::AscendingOrder);
        QCOMPARE(column(5), (QStringList{"192", "1280", "17408"}));
        dlg.m_table->selectRow(1);
        dlg.OnCopy();
        const QStringList copied = QApplication::clipboard()->text().split(QLatin1Char('\n'));
        QCOMPARE(copied.size(), 3);  // header, one row, the final line end
        QVERIFY(copied[0].startsWith(QStringLiteral("Start (UTC)\tEnd (UTC)\t")));
        QVERIFY(copied[1].contains(QStringLiteral("\t1280\t")));
        QVERIFY(copied[1].contains(QStringLiteral("line one line two")));
    }

private:
    std::unique_ptr<CPrivateEnvironment> m_env;
};

QTEST_MAIN(TestMainWindow)
#include "window_tests.moc"
