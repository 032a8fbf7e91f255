// The main window without a device: keys, the file dialog and the Flash command's checks up to
// the open of the port.
#include <QAbstractItemView>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>
#include <memory>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "app/gui/com_port_combo.h"
#include "app/gui/history_dlg.h"
#include "app/gui/main_dlg.h"
#include "app/gui/path_edit.h"
#include "app/gui/program_dlg.h"
#include "gui_test_support.h"

namespace {
std::unique_ptr<IPortSource> Ports(std::vector<CFixedPortSource::Port> ports) {
    return std::make_unique<CFixedPortSource>(std::move(ports));
}

void Touch(const QString& path) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("x");
}
}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { m_env = std::make_unique<CPrivateEnvironment>(); }

    void init() {
        CPrivateEnvironment::ClearSavedPort();
        QSettings().remove(QStringLiteral("Config/FirmwarePath"));
    }

    void progressWindowCannotBeClosedByTheUser() {
        CProgramDlg dlg;
        QVERIFY(!(dlg.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(!(dlg.windowFlags() & Qt::WindowSystemMenuHint));
        dlg.Start(128);
        QCOMPARE(dlg.m_staticPercent->text(), QStringLiteral("0 %"));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Programming..."));
        QVERIFY(dlg.isVisible());
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QVERIFY(dlg.isVisible());
        QVERIFY(!dlg.close());
        QVERIFY(dlg.isVisible());
        TransferProgress p;
        p.sent = 64;
        p.total = 128;
        p.percent = 50;
        p.text = "50 %";
        dlg.Progress(p);
        QCOMPARE(dlg.m_staticPercent->text(), QStringLiteral("50 %"));
        QCOMPARE(dlg.m_progress->value(), 64);
        QCOMPARE(dlg.m_progress->maximum(), 128);
        dlg.Finish(true);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
    }

    // Enter in the path box neither closes the window nor starts the Flash command.
    void enterInThePathBox() {
        CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({}));
        QVector<RecordedMessage> messages;
        RecordMessages(dlg, messages);
        int browsed = 0;
        dlg.m_browseDialog = [&browsed](QWidget*) {
            ++browsed;
            return QString();
        };
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        dlg.activateWindow();
        dlg.m_editFile->setFocus();
        QTest::keyClick(dlg.m_editFile, Qt::Key_Return);
        QVERIFY(dlg.isVisible());
        QVERIFY(messages.isEmpty());
        QCOMPARE(browsed, 0);
        // On a focused button, Enter presses it.
        dlg.m_btnFlash->setFocus();
        QTest::keyClick(dlg.m_btnFlash, Qt::Key_Return);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].text, QStringLiteral("Please select mot|bin file!"));
        QVERIFY(dlg.isVisible());
        dlg.m_btnBrowse->setFocus();
        QTest::keyClick(dlg.m_btnBrowse, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(browsed, 1);
        QCOMPARE(messages.size(), 1);
    }

    // The chosen path goes into the box with the system's separators (the kind is read from
    // it at "Flash!"); cancelling changes nothing.
    void browseFillsThePathBox() {
        CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({}));
        QString next = QStringLiteral("/data/fw.d/Master.tar.MOT");
        dlg.m_browseDialog = [&next](QWidget*) { return next; };
        dlg.OnBrowse();
        next = QString();
        dlg.OnBrowse();
        QCOMPARE(dlg.m_editFile->text(), QDir::toNativeSeparators("/data/fw.d/Master.tar.MOT"));
    }

    // The real file dialog: the two filters with their names, the first preselected and
    // matching *.bin and *.mot, the second every file.
    void browseDialogFilters() {
        // Qt's own dialog, whose parts can be found (Windows would show the system's).
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
        const QString dir = m_env->Path(QStringLiteral("browse"));
        QVERIFY(QDir().mkpath(dir));
        for (const char* name : {"Master.bin", "Slave.mot", "notes.txt", "README"}) {
            Touch(dir + QLatin1Char('/') + QLatin1String(name));
        }
        QStringList labels;
        QString selectedLabel;
        QStringList shownFirst;
        QStringList shownAll;
        // Drives the dialog once it runs; whatever it finds, it ends the dialog.
        auto drive = [&](QFileDialog* fd) {
            fd->setDirectory(dir);
            auto* types = fd->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            auto* view = fd->findChild<QAbstractItemView*>(QStringLiteral("listView"));
            if (types == nullptr || view == nullptr) {
                fd->reject();
                return;
            }
            for (int i = 0; i < types->count(); ++i) {
                labels << types->itemText(i);
            }
            selectedLabel = types->currentText();
            auto shown = [view] {
                QStringList names;
                const QModelIndex root = view->rootIndex();
                for (int r = 0; r < view->model()->rowCount(root); ++r) {
                    names << view->model()->index(r, 0, root).data().toString();
                }
                names.sort();
                return names;
            };
            auto settle = [&](int count) {
                for (int i = 0; i < 100 && shown().size() != count; ++i) {
                    QTest::qWait(20);
                }
                QTest::qWait(100);  // the model fills in the background
                return shown();
            };
            shownFirst = settle(2);
            fd->selectNameFilter(CQuillon2Dlg::kAllFilesFilter);
            shownAll = settle(4);
            if (auto* name = fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
                name->setText(QStringLiteral("Master.bin"));
            }
            static_cast<QDialog*>(fd)->accept();
            if (fd->isVisible()) {
                fd->reject();
            }
        };
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, this, [&] {
            if (auto* fd = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                poll.stop();
                drive(fd);
            }
        });
        poll.start();
        const QString chosen = CQuillon2Dlg::DefaultBrowseDialog(nullptr);
        QCOMPARE(labels, (QStringList{"Burn Files (bin;*.mot)", "All Files (*.*)"}));
        QCOMPARE(selectedLabel, QStringLiteral("Burn Files (bin;*.mot)"));
        QCOMPARE(shownFirst, (QStringList{"Master.bin", "Slave.mot"}));
        QCOMPARE(shownAll, (QStringList{"Master.bin", "README", "Slave.mot", "notes.txt"}));
        QCOMPARE(chosen, dir + QStringLiteral("/Master.bin"));
    }

    // Each check in order, with its text, caption "Warning" and the warning icon; none of

    // Each check in order, with its text, caption "Warning" and the warning icon; none of
    // them gets as far as saving the port.
    void flashChecks_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("ports");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty path, no ports") << "" << 0 << "Please select mot|bin file!";
        QTest::newRow("empty path, ports") << "" << 2 << "Please select mot|bin file!";
        QTest::newRow("blank path") << " " << 2 << "Can't open this mot|bin file!";
        QTest::newRow("missing file")
            << "missing/Master.mot" << 2 << "Can't open this mot|bin file!";
        QTest::newRow("lower-case type")
            << "slave_v2.bin" << 2 << "Can't get master/slave type from the file name!";
        QTest::newRow("type only in the folder")
            << "Master/fw.bin" << 2 << "Can't get master/slave type from the file name!";
        QTest::newRow("no port chosen") << "Master.txt" << 2 << "No COM port has been selected!";
    }
    void flashChecks() {
        QFETCH(QString, file);
        QFETCH(int, ports);
        QFETCH(QString, message);
        for (const char* name : {"slave_v2.bin", "Master.txt", "Master/fw.bin"}) {
            const QString path = m_env->Path(QLatin1String(name));
            QDir().mkpath(QFileInfo(path).path());
            Touch(path);
        }
        std::vector<CFixedPortSource::Port> list;
        for (int i = 0; i < ports; ++i) {
            const std::string n = std::to_string(i);
            list.push_back({"Port " + n, "/nonexistent/tty" + n, "/nonexistent/tty" + n});
        }
        CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports(list));
        QCOMPARE(dlg.m_comboPort->count(), ports);
        QCOMPARE(dlg.m_comboPort->currentIndex(), -1);
        QVector<RecordedMessage> messages;
        RecordMessages(dlg, messages);
        const bool typed = !file.isEmpty() && file != QStringLiteral(" ");
        dlg.m_editFile->setText(typed ? m_env->Path(file) : file);
        dlg.OnFlash();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].text, message);
        QCOMPARE(messages[0].caption, QStringLiteral("Warning"));
        QCOMPARE(messages[0].icon, MsgIcon::Warning);
        QVERIFY(!CPrivateEnvironment::HasSavedPort());
        QVERIFY(!dlg.IsRunning());
        QCOMPARE(dlg.m_btnFlash->text(), QStringLiteral("Flash!"));
        QVERIFY(dlg.m_btnFlash->isEnabled());
        QCOMPARE(dlg.m_strFilePath, dlg.m_editFile->text());
    }

    // A settings file that is no file (a FIFO, whose open waits for a writer) is left alone:
    // the window appears.
    void settingsFileThatIsNoFile() {
#ifndef _WIN32
        const QString conf = m_env->ConfigDir() + QLatin1Char('/') +
                             QCoreApplication::organizationName() + QLatin1Char('/') +
                             QCoreApplication::applicationName() + QStringLiteral(".conf");
        QDir().mkpath(QFileInfo(conf).path());
        QFile::remove(conf);  // earlier tests saved settings
        QCOMPARE(mkfifo(QFile::encodeName(conf).constData(), 0600), 0);
        { CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({})); }
        QVERIFY(QFileInfo(conf).exists() && !QFileInfo(conf).isFile());
        QFile::remove(conf);
#endif
    }

    // The port is saved before the open: a port that cannot be opened is still remembered,
    // and with no port at all the empty name is.
    void portSavedBeforeTheOpen_data() {
        QTest::addColumn<bool>("withPort");
        QTest::newRow("chosen port") << true;
        QTest::newRow("empty list") << false;
    }
    void portSavedBeforeTheOpen() {
        QFETCH(bool, withPort);
        const QString fw = m_env->Path(QStringLiteral("Slave_fw.bin"));
        Touch(fw);
        const std::string name = m_env->Path(QStringLiteral("no-such-tty")).toStdString();
        std::vector<CFixedPortSource::Port> list;
        if (withPort) {
            list.push_back({"Gone (no-such-tty)", name, name});
        }
        CPrivateEnvironment::SetSavedPort(QStringLiteral("previous"));
        CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports(list));
        QVector<RecordedMessage> messages;
        RecordMessages(dlg, messages);
        dlg.m_editFile->setText(fw);
        dlg.OnFlash();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].text,
                 QStringLiteral("Can't open serial port,\nplease check your device!"));
        QCOMPARE(messages[0].caption, QStringLiteral("Warning"));
        QCOMPARE(messages[0].icon, MsgIcon::Warning);
#ifdef _WIN32
        const QString missing = QStringLiteral(": File not found");  // Wine's text
#else
        const QString missing = QStringLiteral(": No such file or directory");
#endif
        QCOMPARE(messages[0].detail,
                 withPort ? QString::fromStdString(name) + missing
                          : QStringLiteral("No serial port is listed: connect the adapter, then "
                                           "choose its port."));
        const HistoryContents history = ReadHistory(m_env->HistoryFile().toStdString());
        QVERIFY(!history.records.empty());
        QCOMPARE(QString::fromStdString(history.records.back().outcome),
                 QStringLiteral("port-not-opened"));
        QCOMPARE(QString::fromStdString(history.records.back().frontEnd),
                 QStringLiteral("desktop"));
        QCOMPARE(CPrivateEnvironment::SavedPort(),
                 withPort ? QString::fromStdString(name) : QString());
        QCOMPARE(dlg.m_nTargetType, 1);
        QVERIFY(!dlg.IsRunning());
        QVERIFY(dlg.m_btnFlash->isEnabled());
    }

    // The detail is the box's second paragraph, shown as written (a path is never markup).
    void messageBoxDetail() {
        const auto box = CQuillon2Dlg::MakeMessageBox(
            nullptr, QStringLiteral("Can't open serial port,\nplease check your device!"),
            QStringLiteral("Warning"), MsgIcon::Warning, QStringLiteral("/dev/<b>x</b>: busy"));
        QCOMPARE(box->text(), QStringLiteral("Can't open serial port,\nplease check your device!"));
        QCOMPARE(box->informativeText(), QStringLiteral("/dev/<b>x</b>: busy"));
        auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
        QVERIFY(label != nullptr);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(box->icon(), QMessageBox::Warning);
    }

    // The saved name selects its entry at start, whatever the sorted order; an unknown one
    // selects nothing when several ports are listed.
    void savedPortSelectedAtStart_data() {
        QTest::addColumn<QString>("saved");
        QTest::addColumn<QString>("selected");
        QTest::newRow("second of three") << "/fake/by-id/usb-B"
                                         << "B adapter (ttyUSB1)";
        QTest::newRow("unknown") << "/fake/by-id/usb-Z"
                                 << "";
    }
    void savedPortSelectedAtStart() {
        QFETCH(QString, saved);
        QFETCH(QString, selected);
        CPrivateEnvironment::SetSavedPort(saved);
        CQuillon2Dlg dlg(nullptr, LinkTiming{},
                         Ports({{"D adapter (ttyUSB0)", "/fake/ttyUSB0", "/fake/by-id/usb-D"},
                                {"B adapter (ttyUSB1)", "/fake/ttyUSB1", "/fake/by-id/usb-B"},
                                {"C adapter (ttyUSB2)", "/fake/ttyUSB2", "/fake/by-id/usb-C"}}));
        QCOMPARE(dlg.m_comboPort->count(), 3);
        QCOMPARE(dlg.m_comboPort->currentText(), selected);
        QCOMPARE(QString::fromStdString(dlg.m_comboPort->GetSelectedPortName()),
                 selected.isEmpty() ? QString() : saved);
    }

    // Tab walks list, "+", path box, "...", "Flash!", "History…"; Alt+S and Alt+F reach the list
    // and the path box through their labels.
    void keyboardReachesEveryControl() {
        CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({{"A (ttyUSB0)", "/f/0", "/f/0", true}}));
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        dlg.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        dlg.m_comboPort->setFocus();
        const QList<QWidget*> order = {dlg.m_btnAddNetworkPort, dlg.m_editFile,   dlg.m_btnBrowse,
                                       dlg.m_btnFlash,          dlg.m_btnHistory, dlg.m_comboPort};
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
            QVERIFY(!w->accessibleName().isEmpty());
            QVERIFY(!w->toolTip().isEmpty());
        }
        // A long path shows its file name while the box has no focus, the whole as tooltip.
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

    // Nothing saved: the one adapter beside the built-in UARTs is chosen, never one of two.
    void singleAdapterChosenAtFirstStart_data() {
        QTest::addColumn<QString>("saved");
        QTest::addColumn<int>("adapters");
        QTest::addColumn<QString>("selected");
        QTest::newRow("one adapter") << "" << 1 << "USB adapter 1 (ttyUSB1)";
        QTest::newRow("two adapters") << "" << 2 << "";
        QTest::newRow("a name was saved") << "/gone/by-id/usb-X" << 1 << "";
    }
    void singleAdapterChosenAtFirstStart() {
        QFETCH(QString, saved);
        QFETCH(int, adapters);
        QFETCH(QString, selected);
        if (!saved.isEmpty())
            CPrivateEnvironment::SetSavedPort(saved);
        std::vector<CFixedPortSource::Port> list = {
            {"Serial port (ttyS0)", "/f/ttyS0", "/f/ttyS0", false},
            {"Serial port (ttyS1)", "/f/ttyS1", "/f/ttyS1", false}};
        for (int i = 1; i <= adapters; ++i) {
            const std::string n = std::to_string(i);
            list.push_back(
                {"USB adapter " + n + " (ttyUSB" + n + ")", "/f/u" + n, "/f/u" + n, true});
        }
        CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports(list));
        QCOMPARE(dlg.m_comboPort->currentText(), selected);
    }

    // The file of the last run comes back at start while it exists; the browse dialog opens
    // in its folder; a dropped .mot or .bin file fills the box, anything else is refused.
    void firmwareFileRememberedDroppedAndBrowsedFrom() {
        const QString dir = m_env->Path(QStringLiteral("files"));
        QVERIFY(QDir().mkpath(dir));
        const QString mot = dir + QStringLiteral("/Master_v3.MOT");
        const QString bin = dir + QStringLiteral("/Slave.bin");
        Touch(mot);
        Touch(bin);
        Touch(dir + QStringLiteral("/notes.txt"));
        {
            CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({}));
            QVector<RecordedMessage> messages;
            RecordMessages(dlg, messages);
            dlg.m_editFile->setText(mot);  // typed, then flashed
            dlg.OnFlash();
            QCOMPARE(messages.size(), 1);  // the empty list cannot be opened
            QCOMPARE(dlg.BrowseStartFolder(), dir);
        }
        auto drop = [](CQuillon2Dlg& dlg, const QList<QUrl>& urls) {
            QMimeData data;
            data.setUrls(urls);
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton,
                                  Qt::NoModifier);
            QApplication::sendEvent(&dlg, &enter);
            if (!enter.isAccepted())
                return false;
            QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton,
                               Qt::NoModifier);
            QApplication::sendEvent(&dlg, &dropped);
            return dropped.isAccepted();
        };
        {
            CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({}));
            QCOMPARE(dlg.m_editFile->text(), QDir::toNativeSeparators(mot));
            QCOMPARE(dlg.m_strFileExt, QStringLiteral("MOT"));
            QVERIFY(!drop(dlg, {QUrl::fromLocalFile(dir + QStringLiteral("/notes.txt"))}));
            QVERIFY(!drop(dlg, {QUrl::fromLocalFile(bin), QUrl::fromLocalFile(mot)}));
            QVERIFY(!drop(dlg, {QUrl(QStringLiteral("https://example.com/Slave.bin"))}));
            QCOMPARE(dlg.m_editFile->text(), QDir::toNativeSeparators(mot));
            QVERIFY(drop(dlg, {QUrl::fromLocalFile(bin)}));
            QCOMPARE(dlg.m_editFile->text(), QDir::toNativeSeparators(bin));
            QCOMPARE(dlg.m_strFileExt, QStringLiteral("bin"));
        }
        QFile::remove(bin);
        CQuillon2Dlg dlg(nullptr, LinkTiming{}, Ports({}));
        QCOMPARE(dlg.m_editFile->text(), QString());
        QCOMPARE(dlg.BrowseStartFolder(), QString());
    }

    // Newest first (equal times: the later record first), numbers sorted by value, a damaged
    // line reported; Copy takes the selected rows, Export CSV all rows as shown.
    void historyWindow() {
        const QString file = m_env->Path(QStringLiteral("history.jsonl"));
        std::string lines;
        const char* const starts[] = {"2025-01-01T08:00:00Z", "2025-01-02T08:00:00Z",
                                      "2025-01-02T08:00:00Z"};
        const std::uint64_t sent[] = {192, 17408, 1280};
        for (int i = 0; i < 3; ++i) {
            RunRecord r;
            r.start = starts[i];
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
        QCOMPARE(column(ColumnOf("Outcome")), (QStringList{"run2", "run1", "run0"}));
        QVERIFY(dlg.m_staticWarnings->text().contains(QStringLiteral("line 2 is damaged")));
        dlg.m_table->sortByColumn(ColumnOf("Bytes sent"), Qt::AscendingOrder);
        QCOMPARE(column(ColumnOf("Bytes sent")), (QStringList{"192", "1280", "17408"}));

        dlg.m_table->selectRow(1);
        dlg.OnCopy();
        const QStringList copied = QApplication::clipboard()->text().split(QLatin1Char('\n'));
        QCOMPARE(copied.size(), 3);  // header, one row, the final line end
        QVERIFY(copied[0].startsWith(QStringLiteral("Start (UTC)\tEnd (UTC)\t")));
        QVERIFY(copied[1].contains(QStringLiteral("\t1280\t")));
        QVERIFY(copied[1].contains(QStringLiteral("line one line two")));

        const QString csv = m_env->Path(QStringLiteral("export.csv"));
        dlg.m_saveDialog = [&csv](QWidget*) { return csv; };
        dlg.OnExport();
        QFile written(csv);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll().toStdString(), HistoryCsv(dlg.ShownRecords(false)));
        QCOMPARE(dlg.ShownRecords(false).front().bytesSent, std::uint64_t(192));
    }

private:
    std::unique_ptr<CPrivateEnvironment> m_env;
};

QTEST_MAIN(TestMainWindow)
#include "window_tests.moc"
