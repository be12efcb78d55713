#include "CameraIcon.h"

#include <QPainter>
#include <QPainterPath>

QImage cameraIcon(int size)
{
    QImage icon(size, size, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 48.0, size / 48.0);
    // The viewfinder bump on top.
    p.setBrush(QColor(0x8a, 0x8a, 0x90));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(17, 4, 14, 8), 2, 2);
    // The body: a violet-to-blue gradient, with a light grey band on top.
    QLinearGradient body(0, 10, 0, 44);
    body.setColorAt(0, QColor(0x8a, 0x4f, 0xd8));
    body.setColorAt(1, QColor(0x2f, 0x5f, 0xe0));
    QPainterPath shell;
    shell.addRoundedRect(QRectF(3, 10, 42, 33), 5, 5);
    p.fillPath(shell, body);
    p.save();
    p.setClipPath(shell);
    p.fillRect(QRectF(3, 10, 42, 8), QColor(0xd8, 0xd8, 0xdc));
    p.restore();
    // A small red dot at the band's left.
    p.setBrush(QColor(0xe0, 0x30, 0x30));
    p.drawEllipse(QPointF(9, 14), 2, 2);
    // The lens: a dark ring around a light blue centre.
    p.setBrush(QColor(0x22, 0x22, 0x2a));
    p.drawEllipse(QPointF(24, 28), 12, 12);
    QRadialGradient glass(QPointF(21, 25), 9);
    glass.setColorAt(0, QColor(0xd0, 0xf0, 0xff));
    glass.setColorAt(1, QColor(0x5a, 0xb4, 0xf0));
    p.setBrush(glass);
    p.drawEllipse(QPointF(24, 28), 8, 8);
    return icon;
}
