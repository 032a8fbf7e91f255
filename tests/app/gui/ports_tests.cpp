// The running window's port list: it follows the virtual ports folder as links come and go
// without ever changing the user's choice, and keeps the network ports the user added.
#include <QFile>
#include <QLineEdit>
#include <QtTest>

#include "app/gui/com_port_combo.h"
#include "gui_test_support.h"
#include "pty_pair.h"

class TestPortList : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { m_env = std::make_unique<CPrivateEnvironment>(); }

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
        QVERIFY(QFile::remove(linkA));  // the chosen port goes: nothing is chosen in its place
        QTRY_COMPARE_WITH_TIMEOUT(dlg.m_comboPort->count(), base, 5000);
        QCOMPARE(dlg.m_comboPort->currentIndex(), -1);
        Link("inverter-a", a);  // and comes back: chosen again
        QTRY_COMPARE_WITH_TIMEOUT(Selected(dlg), linkA, 5000);
    }

    // Listed after the local ports, checked when added, kept in the settings, saved as the
    // port used last, and taken off again.
    void networkPorts() {
        const QString kept = QStringLiteral("rfc2217://127.0.0.1:1");
        const QString added = QStringLiteral("socket://[::1]:4001");
        CPrivateEnvironment::SetSetting("NetworkPorts", QStringList{kept, "rfc2217://no-port"});
        CPrivateEnvironment::SetSetting("ComPortStr", kept);
        CQuillon2Dlg dlg(nullptr, LinkTiming{},
                         Ports({{"Serial port (ttyS1)", "/nonexistent/ttyS1"}}));
        QVector<Box> boxes;
        RecordBoxes(dlg, boxes);
        QCOMPARE(dlg.m_comboPort->count(), 2);  // the malformed one is left out
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
        dlg.m_editFile->setText(m_env->Path("Master_net.bin"));
        QFile(m_env->Path("Master_net.bin")).open(QIODevice::WriteOnly);
        dlg.OnFlash();  // nothing listens there
        QCOMPARE(CPrivateEnvironment::Setting("ComPortStr").toString(), kept);
        QCOMPARE(boxes.back().text,
                 QStringLiteral("Can't open serial port,\nplease check your device!"));
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
};

QTEST_MAIN(TestPortList)
#include "ports_tests.moc"
