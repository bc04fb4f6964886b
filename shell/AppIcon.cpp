#include "shell/AppIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace vantrel {

// A folder on a blue tile with a green circular arrow: a copy made again and again.
QPixmap drawAppIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);

    // Tile.
    QLinearGradient tile(0, 0, 0, 32);
    tile.setColorAt(0, QColor(0x3a, 0x7b, 0xd5));
    tile.setColorAt(1, QColor(0x1d, 0x4e, 0x9e));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);

    // Folder.
    QPainterPath folder;
    folder.moveTo(5, 10);
    folder.lineTo(12, 10);
    folder.lineTo(14, 12.5);
    folder.lineTo(23, 12.5);
    folder.lineTo(23, 24);
    folder.lineTo(5, 24);
    folder.closeSubpath();
    p.setBrush(QColor(0xff, 0xd5, 0x5c));
    p.setPen(QPen(QColor(0xb3, 0x86, 0x12), 0.8));
    p.drawPath(folder);
    p.setBrush(QColor(0xff, 0xe5, 0x8f));
    p.drawRect(QRectF(5, 14.5, 18, 9.5));

    // Circular arrow in the lower right corner.
    const QRectF ring(16.5, 15.5, 12, 12);
    p.setBrush(Qt::white);
    p.setPen(Qt::NoPen);
    p.drawEllipse(ring.adjusted(-1.5, -1.5, 1.5, 1.5));
    p.setPen(QPen(QColor(0x1f, 0x9d, 0x3a), 2.4, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(ring.adjusted(2, 2, -2, -2), 90 * 16, 270 * 16);
    QPainterPath head;
    head.moveTo(22.5, 16.2);
    head.lineTo(26.2, 18.8);
    head.lineTo(22.5, 21.4);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x9d, 0x3a));
    p.drawPath(head);
    return pixmap;
}

QIcon appIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        icon.addPixmap(drawAppIcon(size));
    }
    return icon;
}

}  // namespace vantrel
