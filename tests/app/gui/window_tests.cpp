// How the main window tells the user what happened without a device: the Flash command's
// checks, a port that does not open, the message box, the progress window and the history.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QTableWidget>
#include <QtTest>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "app/gui/com_port_combo.h"
#include "app/gui/history_dlg.h"
#include "app/gui/path_edit.h"
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
        dlg.OnFlash();  // the port is opened by the run's worker
        QTRY_COMPARE(boxes.size(), 2);
        QTRY_VERIFY(!dlg.IsRunning());
        QCOMPARE(boxes[1].text,
                 QStringLiteral("Can't open serial port,\nplease check your device!"));
        QCOMPARE(boxes[1].caption, QStringLiteral("Warning"));
        QCOMPARE(boxes[1].icon, MsgIcon::Warning);
#ifdef _WIN32
        QCOMPARE(boxes[1].detail,
                 name + QStringLiteral(": File not found. Check that the adapter is plugged in "
                                       "and that this is its port."));  // Wine's text
#else
        QCOMPARE(boxes[1].detail,
                 name + QStringLiteral(": No such file or directory. Check that the adapter is "
                                       "plugged in and that this is its port."));
#endif
        const HistoryContents history = ReadHistory(m_env->HistoryFile().toStdString());
        QVERIFY(!history.records.empty());
        QCOMPARE(history.records.back().outcome, std::string("port-not-opened"));
        QCOMPARE(history.records.back().frontEnd, std::string("desktop"));
        QCOMPARE(CPrivateEnvironment::Setting("ComPortStr").toString(), name);
        QVERIFY(dlg.m_btnFlash->isEnabled());
    }

    // Tab walks every control in order, Alt+letter reaches each field, each has a name and a
    // tooltip, and a long path shows its file name.
    void keyboardReachesEveryControl() {
        CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({{"A (ttyUSB0)", "/f/0"}}));
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        dlg.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        dlg.m_comboPort->setFocus();
        const QList<QWidget*> order = {dlg.m_btnAddNetworkPort, dlg.m_editFile,   dlg.m_btnBrowse,
                                       dlg.m_btnFlash,          dlg.m_btnHistory, dlg.m_btnStation,
                                       dlg.m_comboPort};
        for (QWidget* next : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
        QTest::keyClick(&dlg, Qt::Key_F, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), dlg.m_editFile);
        QTest::keyClick(&dlg, Qt::Key_S, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), dlg.m_comboPort);
        for (QWidget* w :
             {static_cast<QWidget*>(dlg.m_comboPort), static_cast<QWidget*>(dlg.m_editFile),
              static_cast<QWidget*>(dlg.m_btnBrowse)}) {
            QVERIFY(!w->accessibleName().isEmpty() && !w->toolTip().isEmpty());
        }
        const QString path = QStringLiteral(
            "/very/long/folder/name/of/a/service/laptop/with/many/"
            "levels/of/folders/firmware/Master_V1.0.mot");
        dlg.m_editFile->setText(path);
        dlg.m_btnFlash->setFocus();
        const QString shown = static_cast<CPathEdit*>(dlg.m_editFile)->DisplayedText();
        QVERIFY2(shown.contains(QChar(0x2026)) && shown.endsWith(QStringLiteral("V1.0.mot")),
                 qPrintable(shown));
        QCOMPARE(dlg.m_editFile->toolTip(), path);
    }

    // The file flashed last comes back at the next start while it exists, the browse dialog
    // opens in its folder, and one .mot or .bin file dropped on the window fills the box.
    void firmwareFileRememberedDroppedAndBrowsedFrom() {
        const QString dir = m_env->Path(QStringLiteral("files"));
        QVERIFY(QDir().mkpath(dir));
        const QString mot = dir + QStringLiteral("/Master_v3.MOT");
        const QString bin = dir + QStringLiteral("/Slave.bin");
        for (const QString& f : {mot, bin, dir + QStringLiteral("/notes.txt")}) {
            Touch(f);
        }
        {
            CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({}));
            QVector<Box> boxes;
            RecordBoxes(dlg, boxes);
            dlg.m_editFile->setText(mot);
            dlg.OnFlash();
            QTRY_COMPARE(boxes.size(), 1);  // the empty list cannot be opened
            QTRY_VERIFY(!dlg.IsRunning());
            QCOMPARE(dlg.BrowseStartFolder(), dir);
        }
        auto drop = [](CQuillon2Dlg& dlg, const QList<QUrl>& urls) {
            QMimeData data;
            data.setUrls(urls);
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton,
                                  Qt::NoModifier);
            QApplication::sendEvent(&dlg, &enter);
            QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton,
                               Qt::NoModifier);
            return enter.isAccepted() && QApplication::sendEvent(&dlg, &dropped) &&
                   dropped.isAccepted();
        };
        {
            CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({}));
            QCOMPARE(dlg.m_editFile->text(), QDir::toNativeSeparators(mot));
            QVERIFY(!drop(dlg, {QUrl::fromLocalFile(dir + QStringLiteral("/notes.txt"))}));
            QVERIFY(!drop(dlg, {QUrl::fromLocalFile(bin), QUrl::fromLocalFile(mot)}));
            QVERIFY(!drop(dlg, {QUrl(QStringLiteral("https://example.com/Slave.bin"))}));
            QCOMPARE(dlg.m_editFile->text(), QDir::toNativeSeparators(mot));
            QVERIFY(drop(dlg, {QUrl::fromLocalFile(bin)}));
            QCOMPARE(dlg.m_editFile->text(), QDir::toNativeSeparators(bin));
        }
        QFile::remove(bin);
        CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({}));
        QCOMPARE(dlg.m_editFile->text(), QString());
        QCOMPARE(dlg.BrowseStartFolder(), QString());
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
    // rows, formulas kept as text.
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
            r.file = "=1+2";  // a formula to a spreadsheet
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
        QVERIFY(copied[1].contains(QStringLiteral("\t'=1+2\t")));

        // What a technician reads first comes first.
        QStringList visual;
        for (int v = 0; v < 7; ++v) {
            const int logical = dlg.m_table->horizontalHeader()->logicalIndex(v);
            visual << dlg.m_table->horizontalHeaderItem(logical)->text();
        }
        QCOMPARE(visual, (QStringList{"Start (UTC)", "Outcome", "Ending", "Port", "File",
                                      "Bytes sent", "Detail"}));
        // The filters: text in any column (any case, across a line break) and the outcome;
        // Copy and Export take the rows shown.
        dlg.m_table->clearSelection();
        struct Filter {
            QString text;
            QString outcome;
            int rows;
        };
        const Filter filters[] = {{"RUN1", "", 1}, {"line ONE line", "", 0}, {"two", "", 3},
                                  {"", "run2", 1}, {"run1", "run2", 0},      {"", "", 3}};
        for (const Filter& f : filters) {
            dlg.m_editFilter->setText(f.text);
            dlg.m_comboOutcome->setCurrentIndex(
                f.outcome.isEmpty() ? 0 : dlg.m_comboOutcome->findText(f.outcome));
            QCOMPARE(int(dlg.ShownRecords(true).size()), f.rows);
        }
        dlg.m_editFilter->setText("run0");
        const QString csv = m_env->Path("export.csv");
        dlg.m_saveDialog = [&](QWidget*) { return csv; };
        dlg.OnExport();
        QCOMPARE(dlg.m_staticResult->text(), "Saved 1 run to " + QDir::toNativeSeparators(csv));
        QFile exported(csv);
        QVERIFY(exported.open(QIODevice::ReadOnly));
        const QByteArray saved = exported.readAll();
        QVERIFY(saved.contains("run0") && !saved.contains("run1") && !saved.contains("run2"));

        // Return closes the window; it copies nothing.
        QApplication::clipboard()->clear();
        dlg.show();
        QTest::keyClick(dlg.m_table, Qt::Key_Return);
        QTRY_VERIFY(!dlg.isVisible());
        QCOMPARE(QApplication::clipboard()->text(), QString());
    }

private:
    std::unique_ptr<CPrivateEnvironment> m_env;
};

QTEST_MAIN(TestMainWindow)
#include "window_tests.moc"
