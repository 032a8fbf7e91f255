#!/usr/bin/env bash
# Renders res/quillon.svg into the fixed-size icons the Windows build uses (it has no Qt Svg):
# res/icons/quillon-N.png and res/quillon.ico (16 to 48 pixels as 32-bit bitmaps, 256 as PNG).
# The outputs are committed; run this after changing the SVG. Needs the host Qt and its SVG
# image plugin (scripts/setup.sh installs both).
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/make_icons.cpp" <<'EOF'
#include <QBuffer>
#include <QDataStream>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <cstdio>

static QImage Render(const QString& svg, int size) {
    QImageReader reader(svg);
    reader.setScaledSize(QSize(size, size));
    QImage image = reader.read().convertToFormat(QImage::Format_ARGB32);
    if (image.isNull()) {
        std::fprintf(stderr, "cannot render %s: %s\n", qPrintable(svg),
                     qPrintable(reader.errorString()));
        std::exit(1);
    }
    return image;
}

// An icon directory entry's image: a bottom-up 32-bit DIB with an all-clear AND mask.
static QByteArray Dib(const QImage& image) {
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    const int w = image.width(), h = image.height();
    s << quint32(40) << qint32(w) << qint32(2 * h) << quint16(1) << quint16(32) << quint32(0)
      << quint32(0) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
    for (int y = h - 1; y >= 0; --y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            s << quint8(qBlue(line[x])) << quint8(qGreen(line[x])) << quint8(qRed(line[x]))
              << quint8(qAlpha(line[x]));
        }
    }
    const int maskStride = ((w + 31) / 32) * 4;
    out.append(QByteArray(maskStride * h, '\0'));
    return out;
}

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString svg = QStringLiteral("res/quillon.svg");
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        Render(svg, size).save(QStringLiteral("res/icons/quillon-%1.png").arg(size), "PNG");
    }
    QList<QPair<int, QByteArray>> images;
    for (int size : {16, 24, 32, 48}) {
        images.append({size, Dib(Render(svg, size))});
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    Render(svg, 256).save(&buffer, "PNG");
    images.append({256, png});

    QFile ico(QStringLiteral("res/quillon.ico"));
    if (!ico.open(QIODevice::WriteOnly)) {
        return 1;
    }
    QDataStream s(&ico);
    s.setByteOrder(QDataStream::LittleEndian);
    s << quint16(0) << quint16(1) << quint16(images.size());
    quint32 offset = 6 + 16 * images.size();
    for (const auto& [size, data] : images) {
        s << quint8(size & 0xFF) << quint8(size & 0xFF) << quint8(0) << quint8(0) << quint16(1)
          << quint16(32) << quint32(data.size()) << offset;
        offset += data.size();
    }
    for (const auto& entry : images) {
        ico.write(entry.second);
    }
    return 0;
}
EOF
# shellcheck disable=SC2046
g++ -std=c++17 -fPIC -o "$work/make_icons" "$work/make_icons.cpp" $(pkg-config --cflags --libs Qt6Gui)
QT_QPA_PLATFORM=offscreen "$work/make_icons"
ls -l res/quillon.ico res/icons/
