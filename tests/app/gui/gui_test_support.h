// Shared pieces of the GUI tests: a fixed port source, a message-box recorder, and a private
// settings store, runtime folder and history for the test process.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "app/gui/main_dlg.h"
#include "app/gui/program_dlg.h"
#include "ports/port_list.h"

// The ports the test names: a path (Linux) or, for a "COMn" name, a COM port (Windows).
class CFixedPortSource : public IPortSource {
public:
    explicit CFixedPortSource(std::vector<std::pair<std::string, std::string>> textAndName)
        : m_ports(std::move(textAndName)) {}
    bool Begin(bool) override { return (m_next = 0) == 0; }
    PortSourceStep Next(CPortDevice& device) override {
        if (m_next >= m_ports.size()) {
            return PortSourceStep::End;
        }
        const auto& [text, name] = m_ports[m_next++];
        device = CPortDevice{};
        device.m_strFriendlyName = text;
        device.m_nFound = CPortDevice::FOUND_FRIENDLYNAME;
        if (name.rfind("COM", 0) == 0) {
            device.m_strService = "Serial";
            device.m_strPortName = name;
            device.m_nFound |= CPortDevice::FOUND_SERVICE | CPortDevice::FOUND_PORTNAME;
        } else {
            device.m_strDevicePath = device.m_strOpenName = name;
        }
        return PortSourceStep::Device;
    }
    void End() override {}

private:
    std::vector<std::pair<std::string, std::string>> m_ports;
    std::size_t m_next = 0;
};

inline std::unique_ptr<IPortSource> Ports(std::vector<std::pair<std::string, std::string>> list) {
    return std::make_unique<CFixedPortSource>(std::move(list));
}

// A message box as the user saw it, with "Flash!" as it read meanwhile.
struct Box {
    QString text;
    QString caption;
    MsgIcon icon;
    QString detail;
    bool overProgressWindow;
    QString button;
    bool operator==(const Box&) const = default;
};

// Replaces the window's message boxes: records each one and returns as if OK was pressed.
inline void RecordBoxes(CQuillon2Dlg& dlg, QVector<Box>& out) {
    dlg.m_messageBox = [&dlg, &out](QWidget* owner, const QString& text, const QString& caption,
                                    MsgIcon icon, const QString& detail) {
        out.push_back({text, caption, icon, detail,
                       owner != nullptr && owner == static_cast<QWidget*>(dlg.ProgressWindow()),
                       dlg.m_btnFlash->text() + (dlg.m_btnFlash->isEnabled() ? "" : " (off)")});
    };
}

// Settings, the runtime folder (virtual ports) and the run history of this process live in a
// temporary folder.
class CPrivateEnvironment {
public:
    CPrivateEnvironment() {
        QCoreApplication::setOrganizationName(
            QStringLiteral("Local AppWizard-Generated Applications"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Path("config"));
        const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        QDir().mkpath(PortsDir());
        for (const QString& dir : {Path("run"), Path("run/quillon"), PortsDir()}) {
            QFile::setPermissions(dir, owner);  // private, as the port list requires
        }
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(Path("run")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(Path("config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(Path("data")));
        qputenv("LOCALAPPDATA", QFile::encodeName(Path("data")));
        qputenv("HOME", QFile::encodeName(m_dir.path()));  // the fallback too
    }
    QString Path(const QString& name) const { return m_dir.path() + QLatin1Char('/') + name; }
    QString PortsDir() const { return Path("run/quillon/ports"); }
    QString HistoryFile() const { return Path("data/quillon/history.jsonl"); }

    static QVariant Setting(const QString& key) { return QSettings().value("Config/" + key); }
    static void SetSetting(const QString& key, const QVariant& value) {
        QSettings settings;
        value.isNull() ? settings.remove("Config/" + key)
                       : settings.setValue("Config/" + key, value);
    }

private:
    QTemporaryDir m_dir;
};
