// The product's version line: the main window's caption and the About box show the same text.
#pragma once

#include <QIcon>
#include <QString>

inline QString QuillonVersionText() {
    return QStringLiteral("Quillon V1.0") + QStringLiteral(" Pro ") + QStringLiteral("Build18");
}

inline constexpr const char* kQuillonIconPath = ":/quillon/quillon.svg";

// Registers the icon resource; every window calls it before loading the icon.
void QuillonInitResources();

inline QIcon QuillonIcon() {
    QuillonInitResources();
    return QIcon(QString::fromLatin1(kQuillonIconPath));
}
