// Shared pieces of the GUI tests: a fixed port source, a message-box recorder, and a private
// settings store and runtime folder for the test process.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QPushButton>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>
#include <QVector>
#include <string>
#include <utility>
#include <vector>

#include "app/gui/main_dlg.h"
#include "app/gui/program_dlg.h"
#include "app/history.h"
#include "common/job_ui.h"
#include "ports/port_list.h"

// Ports given by the test, in the device-path model of Linux.
class CFixedPortSource : public IPortSource {
public:
    struct Port {
        std::string text;
        std::string device;
        std::string openName;
        bool adapter = false;  // the 0x10000 mark: not a built-in UART
    };
    explicit CFixedPortSource(std::vector<Port> ports) : m_ports(std::move(ports)) {}

    bool Begin(bool) override {
        m_next = 0;
        return true;
    }
    PortSourceStep Next(CPortDevice& device) override {
        if (m_next >= m_ports.size()) {
            return PortSourceStep::End;
        }
        const Port& port = m_ports[m_next++];
        device.m_strFriendlyName = port.text;
        device.m_nFound = CPortDevice::FOUND_FRIENDLYNAME;
        device.m_strDevicePath = port.device;
        device.m_strOpenName = port.openName;
        device.m_bNonStandardDriver = port.adapter;
        return PortSourceStep::Device;
    }
    void End() override {}

private:
    std::vector<Port> m_ports;
    std::size_t m_next = 0;
};

// The history window's column of that title.
inline int ColumnOf(const std::string& title) {
    const auto& columns = HistoryColumns();
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (title == columns[i].title)
            return static_cast<int>(i);
    }
    return -1;
}

struct RecordedMessage {
    QString text;
    QString caption;
    MsgIcon icon = MsgIcon::None;
    QString detail;
    bool ownerIsProgressWindow = false;
    QString buttonText;  // "Flash!" as it read while the box was open
    bool buttonEnabled = false;
};

// Replaces the window's message boxes: records each one, with the state of "Flash!" at that
// moment, and returns at once as if the user had pressed OK.
inline void RecordMessages(CQuillon2Dlg& dlg, QVector<RecordedMessage>& out) {
    dlg.m_messageBox = [&dlg, &out](QWidget* owner, const QString& text, const QString& caption,
                                    MsgIcon icon, const QString& detail) {
        RecordedMessage m;
        m.text = text;
        m.caption = caption;
        m.icon = icon;
        m.detail = detail;
        m.ownerIsProgressWindow =
            owner != nullptr && owner == static_cast<QWidget*>(dlg.ProgressWindow());
        m.buttonText = dlg.m_btnFlash->text();
        m.buttonEnabled = dlg.m_btnFlash->isEnabled();
        out.push_back(m);
    };
}

// Settings, the runtime folder (virtual ports) and the run history of this process live in a
// temporary folder.
class CPrivateEnvironment {
public:
    CPrivateEnvironment() {
        QCoreApplication::setOrganizationName(
            QStringLiteral("Local AppWizard-Generated Applications"));
        QSettings::setDefaultFormat(QSettings::NativeFormat);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, ConfigDir());
        QDir().mkpath(RuntimeDir());
        QFile::setPermissions(
            RuntimeDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(RuntimeDir()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(ConfigDir()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(DataDir()));
        qputenv("LOCALAPPDATA", QFile::encodeName(DataDir()));
        // The fallback too: a fault in the folder lookup still cannot reach the user's file.
        qputenv("HOME", QFile::encodeName(m_dir.path()));
    }
    QString DataDir() const { return m_dir.path() + QStringLiteral("/data"); }
    QString HistoryFile() const { return DataDir() + QStringLiteral("/quillon/history.jsonl"); }
    QString ConfigDir() const { return m_dir.path() + QStringLiteral("/config"); }
    QString RuntimeDir() const { return m_dir.path() + QStringLiteral("/run"); }
    QString PortsDir() const { return RuntimeDir() + QStringLiteral("/quillon/ports"); }
    // The virtual ports folder, private as the port list requires before it trusts it.
    bool MakePortsDir() const {
        if (!QDir().mkpath(PortsDir()))
            return false;
        const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        return QFile::setPermissions(RuntimeDir() + QStringLiteral("/quillon"), owner) &&
               QFile::setPermissions(PortsDir(), owner);
    }
    QString Path(const QString& name) const { return m_dir.path() + QLatin1Char('/') + name; }

    static QString SavedPort() {
        QSettings settings;
        return settings.value(QStringLiteral("Config/ComPortStr")).toString();
    }
    static bool HasSavedPort() {
        QSettings settings;
        return settings.contains(QStringLiteral("Config/ComPortStr"));
    }
    static void SetSavedPort(const QString& name) {
        QSettings settings;
        settings.setValue(QStringLiteral("Config/ComPortStr"), name);
        settings.sync();
    }
    static void ClearSavedPort() {
        QSettings settings;
        settings.remove(QStringLiteral("Config/ComPortStr"));
        settings.sync();
    }

private:
    QTemporaryDir m_dir;
};
