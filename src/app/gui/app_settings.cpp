#include "app/gui/app_settings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <memory>

namespace {

const QString kGroup = QStringLiteral("Config/");

// The per-user settings store, or null when it cannot be used safely. On Windows it is the
// registry. Elsewhere it is one file, used only when it is a regular file or missing: Qt
// opens it, and opening a FIFO or a device placed there would hang start-up.
std::unique_ptr<QSettings> OpenSettings() {
#ifdef _WIN32
    return std::make_unique<QSettings>();
#else
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QLatin1Char('/') + QCoreApplication::organizationName() +
                         QLatin1Char('/') + QCoreApplication::applicationName() +
                         QStringLiteral(".conf");
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        return nullptr;
    }
    return std::make_unique<QSettings>(path, QSettings::IniFormat);
#endif
}

QVariant Value(const QString& key) {
    const std::unique_ptr<QSettings> settings = OpenSettings();
    return settings ? settings->value(kGroup + key) : QVariant();
}

}  // namespace

QString AppSettings::Get(const QString& key) {
    return Value(key).toString();
}

QStringList AppSettings::GetList(const QString& key) {
    return Value(key).toStringList();
}

void AppSettings::Set(const QString& key, const QVariant& value) {
    if (const std::unique_ptr<QSettings> settings = OpenSettings()) {
        settings->setValue(kGroup + key, value);
        settings->sync();
    }
}
