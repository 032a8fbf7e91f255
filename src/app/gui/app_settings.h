// The main window's per-user settings, in section "Config": the port used last
// ("ComPortStr"), the firmware file of the last run, the network ports the user added and the
// folder runs are traced to.
// A store that cannot be used safely reads as empty and takes nothing.
#pragma once

#include <QString>
#include <QStringList>

namespace AppSettings {
QString Get(const QString& key);
QStringList GetList(const QString& key);
void Set(const QString& key, const QVariant& value);

inline const QString kPort = QStringLiteral("ComPortStr");
inline const QString kFirmware = QStringLiteral("FirmwarePath");
inline const QString kNetworkPorts = QStringLiteral("NetworkPorts");
inline const QString kTraceFolder = QStringLiteral("TraceFolder");  // empty: runs are not traced
}  // namespace AppSettings
