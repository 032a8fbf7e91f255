// The port list of the running window follows the virtual ports folder: links that appear
// or go are picked up by the hot-plug monitor, and the user's choice survives each refill.
#include <QFile>
#include <QLineEdit>
#include <QSettings>
#include <QtTest>
#include <memory>
#include <string>

#include "app/gui/com_port_combo.h"
#include "app/gui/main_dlg.h"
#include "gui_test_support.h"
#include "pty_pair.h"

class TestPortList : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        m_env = std::make_unique<CPrivateEnvironment>();
        QVERIFY(m_env->MakePortsDir());
    }

    void hotplugKeepsTheChoice() {
        CPtyPair a;
        CPtyPair b;
        CPtyPair c;
        const QString linkA = Link(QStringLiteral("inverter-a"), a);
        const QString linkB = Link(QStringLiteral("inverter-b"), b);
        CPrivateEnvironment::SetSavedPort(linkB);

        CQuillon2Dlg dlg;
        const int base = dlg.m_comboPort->count();  // the machine's own ports, if any
        QVERIFY(base >= 2);
        QCOMPARE(Selected(dlg), linkB);

        // A new port arrives: the list grows, the choice stays.
        const QString linkC = Link(QStringLiteral("inverter-c"), c);
        QTRY_COMPARE_WITH_TIMEOUT(dlg.m_comboPort->count(), base + 1, 5000);
        QCOMPARE(Selected(dlg), linkB);
        QVERIFY(dlg.m_comboPort->findText(QStringLiteral("inverter-c"), Qt::MatchStartsWith) >= 0);

        // The user picks another port; a port leaving keeps that choice.
        const int indexA =
            dlg.m_comboPort->findText(QStringLiteral("inverter-a"), Qt::MatchStartsWith);
        QVERIFY(indexA >= 0);
        dlg.m_comboPort->setCurrentIndex(indexA);
        QCOMPARE(Selected(dlg), linkA);
        QVERIFY(QFile::remove(linkC));
        QTRY_COMPARE_WITH_TIMEOUT(dlg.m_comboPort->count(), base, 5000);
        QCOMPARE(Selected(dlg), linkA);

        // The chosen port itself goes: nothing is chosen in its place, not even when one port
        // is left; when it comes back, it is chosen again.
        QVERIFY(QFile::remove(linkA));
        QTRY_COMPARE_WITH_TIMEOUT(dlg.m_comboPort->count(), base - 1, 5000);
        QCOMPARE(Selected(dlg), QString());
        QCOMPARE(dlg.m_comboPort->currentIndex(), -1);
        Link(QStringLiteral("inverter-a"), a);
        QTRY_COMPARE_WITH_TIMEOUT(Selected(dlg), linkA, 5000);
    }

    // Network ports the user added follow the local ones, keep their choice through hot-plug
    // refills, are checked when added, kept in the settings, and saved as ComPortStr.
    void networkPorts() {
        const QString kept = QStringLiteral("rfc2217://127.0.0.1:1");
        const QString added = QStringLiteral("socket://[::1]:4001");
        {
            QSettings settings;
            settings.setValue(QStringLiteral("Config/NetworkPorts"),
                              QStringList{kept, QStringLiteral("rfc2217://no-port")});
        }
        CPrivateEnvironment::SetSavedPort(kept);
        CQuillon2Dlg dlg;
        QVector<RecordedMessage> messages;
        RecordMessages(dlg, messages);
        const int local = dlg.m_comboPort->Model().GetCount();
        QCOMPARE(dlg.m_comboPort->count(), local + 1);  // the malformed one is left out
        QCOMPARE(dlg.m_comboPort->itemText(local), kept);
        QCOMPARE(Selected(dlg), kept);

        dlg.m_askNetworkPort = [](QWidget*) { return QStringLiteral("socket://host"); };
        dlg.OnAddNetworkPort();
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages[0].text.contains(QStringLiteral("no port")),
                 qPrintable(messages[0].text));
        QCOMPARE(dlg.m_comboPort->count(), local + 1);
        dlg.m_askNetworkPort = [&](QWidget*) { return added; };
        dlg.m_btnAddNetworkPort->click();
        QCOMPARE(dlg.m_comboPort->itemText(local + 1), added);
        QCOMPARE(dlg.m_comboPort->currentText(), added);
        QCOMPARE(Selected(dlg), added);
        QCOMPARE(QSettings().value(QStringLiteral("Config/NetworkPorts")).toStringList(),
                 (QStringList{kept, added}));

        dlg.m_comboPort->setCurrentIndex(dlg.m_comboPort->findText(kept));
        CPtyPair pty;
        const QString link = Link(QStringLiteral("inverter-net"), pty);
        QTRY_VERIFY_WITH_TIMEOUT(
            dlg.m_comboPort->findText(QStringLiteral("inverter-net"), Qt::MatchStartsWith) >= 0,
            5000);
        QCOMPARE(dlg.m_comboPort->currentText(), kept);
        QCOMPARE(Selected(dlg), kept);

        const QString file = m_env->Path(QStringLiteral("Master_net.bin"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        dlg.m_editFile->setText(file);
        dlg.OnFlash();  // nothing listens there
        QCOMPARE(CPrivateEnvironment::SavedPort(), kept);
        QCOMPARE(messages.back().text,
                 QStringLiteral("Can't open serial port,\nplease check your device!"));

        dlg.OnRemoveNetworkPort();
        QCOMPARE(dlg.m_comboPort->findText(kept), -1);
        QCOMPARE(QSettings().value(QStringLiteral("Config/NetworkPorts")).toStringList(),
                 (QStringList{added}));
        QFile::remove(link);
    }

private:
    QString Link(const QString& name, const CPtyPair& pty) {
        const QString path = m_env->PortsDir() + QLatin1Char('/') + name;
        QFile::remove(path);
        if (!QFile::link(QString::fromStdString(pty.SlavePath()), path)) {
            qWarning("cannot link %s", qPrintable(path));
        }
        return path;
    }
    static QString Selected(const CQuillon2Dlg& dlg) {
        return QString::fromStdString(dlg.m_comboPort->GetSelectedPortName());
    }

    std::unique_ptr<CPrivateEnvironment> m_env;
};

QTEST_MAIN(TestPortList)
#include "ports_tests.moc"
