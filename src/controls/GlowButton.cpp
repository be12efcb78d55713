#include "GlowButton.h"

#include <QEnterEvent>
#include <QPainter>

GlowButton::GlowButton(const QString& text, QWidget* parent)
  : QAbstractButton(parent)
  , GlowState(this)
{
    setText(text);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover, true);
}

void GlowButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setOpacity(paintOpacity());
    const QRect r = rect();
    QLinearGradient face(r.topLeft(), r.bottomLeft());
    face.setColorAt(0, isDown() ? QColor(0xC8, 0xC8, 0xC8) : QColor(0xF4, 0xF4, 0xF4));
    face.setColorAt(1, isDown() ? QColor(0xE0, 0xE0, 0xE0) : QColor(0xD6, 0xD6, 0xD6));
    p.fillRect(r, face);
    paintGlow(p, r);
    p.setPen(QColor(0x70, 0x70, 0x70));
    p.drawRect(r.adjusted(0, 0, -1, -1));
    p.setPen(Qt::black);
    QFont f = font();
    f.setPixelSize(12);
    p.setFont(f);
    p.drawText(r, Qt::AlignCenter, text());
}

void GlowButton::enterEvent(QEnterEvent* event)
{
    QAbstractButton::enterEvent(event);
    emit mouseEntered(this);
}

void GlowButton::leaveEvent(QEvent* event)
{
    QAbstractButton::leaveEvent(event);
    emit mouseLeft(this);
}
