// One whole run from the main window through a COM port to the bootloader simulator, on
// Windows. scripts/test-windows.sh links the COM name to the simulator's terminal, starts the
// simulator with the firmware's image to compare, and reads the saved port back from the
// registry. QUILLON_TEST_SIM_COM names the port, QUILLON_TEST_FIRMWARE the file;
// QUILLON_TEST_SCREENSHOT, when set, is where a picture of the window ready to flash is saved.
#include <QDir>
#include <QLineEdit>
#include <QScreen>
#include <QtTest>

#include "app/gui/com_port_combo.h"
#include "gui_test_support.h"

class TestComRun : public QObject {
    Q_OBJECT

private slots:
    void wholeRunFromTheWindow() {
        const QString com = qEnvironmentVariable("QUILLON_TEST_SIM_COM");
        const QString firmware = qEnvironmentVariable("QUILLON_TEST_FIRMWARE");
        if (com.isEmpty() || firmware.isEmpty()) {
            QSKIP("needs QUILLON_TEST_SIM_COM and QUILLON_TEST_FIRMWARE");
        }
        CPrivateEnvironment env;
        CPrivateEnvironment::SetSetting("ComPortStr", QVariant());
        CQuillon2Dlg dlg(
            nullptr, LinkTiming{},
            Ports({{"Quillon Simulated Port (" + com.toStdString() + ")", com.toStdString()}}));
        QVector<Box> boxes;
        RecordBoxes(dlg, boxes);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.m_comboPort->currentIndex(), 0);  // the one port listed
        dlg.m_browseDialog = [&firmware](QWidget*) { return QDir::fromNativeSeparators(firmware); };
        dlg.OnBrowse();
        QCOMPARE(dlg.m_editFile->text(), QDir::toNativeSeparators(firmware));
        SaveScreenshot(dlg);

        dlg.OnFlash();
        QVERIFY(dlg.IsRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsRunning(), 180000);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QStringLiteral("Master Programming successfully !"));
        QCOMPARE(boxes[0].caption, QStringLiteral("OK"));
        QCOMPARE(boxes[0].icon, MsgIcon::Information);
        QCOMPARE(CPrivateEnvironment::Setting("ComPortStr").toString(), com);
        QVERIFY(dlg.m_btnFlash->isEnabled());
    }

private:
    // The window with its frame as the system draws it, taken from the screen.
    static void SaveScreenshot(CQuillon2Dlg& dlg) {
        const QString path = qEnvironmentVariable("QUILLON_TEST_SCREENSHOT");
        if (path.isEmpty()) {
            return;
        }
        dlg.m_editFile->setCursorPosition(0);  // the path from its start
        dlg.resize(qMax(dlg.width(), 600), dlg.height());
        dlg.raise();
        dlg.activateWindow();
        dlg.m_btnFlash->setFocus();  // no text cursor in the path
        QTest::qWait(1000);
        const QRect frame = dlg.frameGeometry();
        const QPixmap shot =
            dlg.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
        QVERIFY2(shot.save(path), qPrintable(path));
    }
};

QTEST_MAIN(TestComRun)
#include "com_run_test.moc"
