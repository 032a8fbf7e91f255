// The product's version line: the main window's caption and the About box show the same text.
#pragma once

#include <QIcon>
#include <QString>

inline QString QuillonVersionText() {
    return QStringLiteral("Quillon V1.0") + QStringLiteral(" Pro ") + QStringLiteral("Build18");
}

// Registers the icon resource; every window calls it before loading the icon.
void QuillonInitResources();

inline QIcon QuillonIcon() {
    QuillonInitResources();
#ifdef _WIN32
    // The Windows build has no SVG support: the icon comes in fixed sizes.
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/quillon/quillon-%1.png").arg(size), QSize(size, size));
    }
    return icon;
#else
    return QIcon(QStringLiteral(":/quillon/quillon.svg"));
#endif
}
