// Writes the program's icon as hicolor theme PNGs: <dir>/<N>x<N>/apps/vantrel.png for each
// size given; or, with --ico, as one Windows icon file holding every size given (the window's
// winshell/vantrel.ico). Run at build time, without a display.
// Usage: vantrel_render_icons <dir> <size>...
//        vantrel_render_icons --ico <file.ico> <size>...

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QtEndian>

#include "shell/AppIcon.h"

namespace {

void putLe(QByteArray& out, quint32 value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// One image of an icon file: PNG at 256 pixels, as Windows expects there; below, a 32-bit
// bitmap with its alpha and the one-bit mask that older readers use.
QByteArray iconImage(int size) {
    const QImage image =
        vantrel::drawAppIcon(size).toImage().convertToFormat(QImage::Format_ARGB32);
    QByteArray out;
    if (size >= 256) {
        QBuffer buffer(&out);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return out;
    }
    const int maskRow = (size + 31) / 32 * 4;
    putLe(out, 40, 4);        // BITMAPINFOHEADER
    putLe(out, size, 4);      // width
    putLe(out, 2 * size, 4);  // height: the colours and the mask
    putLe(out, 1, 2);         // planes
    putLe(out, 32, 2);        // bits per pixel
    putLe(out, 0, 4);         // no compression
    putLe(out, static_cast<quint32>(size * size * 4 + maskRow * size), 4);
    putLe(out, 0, 16);                     // resolution and palette: none
    for (int y = size - 1; y >= 0; --y) {  // bottom-up
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < size; ++x) {
            putLe(out, row[x], 4);  // 0xAARRGGBB little-endian is B, G, R, A
        }
    }
    for (int y = size - 1; y >= 0; --y) {
        QByteArray mask(maskRow, '\0');
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < size; ++x) {
            if (qAlpha(row[x]) == 0) {
                mask[x / 8] = static_cast<char>(mask[x / 8] | (0x80 >> (x % 8)));
            }
        }
        out.append(mask);
    }
    return out;
}

bool writeIco(const QString& file, const QList<int>& sizes) {
    QByteArray header;
    putLe(header, 0, 2);  // ICONDIR
    putLe(header, 1, 2);
    putLe(header, static_cast<quint32>(sizes.size()), 2);
    QByteArray images;
    quint32 offset = 6 + 16 * static_cast<quint32>(sizes.size());
    for (int size : sizes) {
        const QByteArray image = iconImage(size);
        header.append(static_cast<char>(size >= 256 ? 0 : size));  // ICONDIRENTRY
        header.append(static_cast<char>(size >= 256 ? 0 : size));
        putLe(header, 0, 2);  // no palette
        putLe(header, 1, 2);
        putLe(header, 32, 2);
        putLe(header, static_cast<quint32>(image.size()), 4);
        putLe(header, offset, 4);
        offset += static_cast<quint32>(image.size());
        images.append(image);
    }
    QFile out(file);
    return out.open(QIODevice::WriteOnly) &&
           out.write(header + images) == header.size() + images.size();
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fputs(
            "usage: vantrel_render_icons <dir> <size>...\n"
            "       vantrel_render_icons --ico <file.ico> <size>...\n",
            stderr);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    if (std::strcmp(argv[1], "--ico") == 0) {
        QList<int> sizes;
        for (int i = 3; i < argc; ++i) {
            sizes.append(std::atoi(argv[i]));
        }
        const QString file = QString::fromLocal8Bit(argv[2]);
        if (sizes.isEmpty() || sizes.contains(0) || !writeIco(file, sizes)) {
            std::fprintf(stderr, "vantrel_render_icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
        return 0;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        const QString file = dir + QStringLiteral("/vantrel.png");
        if (size <= 0 || !QDir().mkpath(dir) || !vantrel::drawAppIcon(size).save(file, "PNG")) {
            std::fprintf(stderr, "vantrel_render_icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
