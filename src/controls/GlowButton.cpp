#include "GlowButton.h"

#include "GlowPainter.h"

#include <QEnterEvent>
#include <QPainter>

namespace
{
constexpr double kGlowSoftness = 0.4;
constexpr double kGlowOpacity = 0.9;
}

GlowButton::GlowButton(const QString& text, QWidget* parent)
  : QAbstractButton(parent)
  , glow_(QColor::fromRgba(0xFF0000FF))
{
    setText(text);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover, true);
}

void GlowButton::setOpacity(double value)
{
    if (opacity_ != value) {
        opacity_ = value;
        update();
    }
}

void GlowButton::setComposited(bool composited)
{
    if (composited_ != composited) {
        composited_ = composited;
        update();
    }
}

void GlowButton::setGlowColour(const QColor& colour)
{
    if (glow_ != colour) {
        glow_ = colour;
        update();
    }
}

void GlowButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setOpacity(composited_ ? opacity_ : 1.0);
    const QRect r = rect();
    QLinearGradient face(r.topLeft(), r.bottomLeft());
    face.setColorAt(0, isDown() ? QColor(0xC8, 0xC8, 0xC8) : QColor(0xF4, 0xF4, 0xF4));
    face.setColorAt(1, isDown() ? QColor(0xE0, 0xE0, 0xE0) : QColor(0xD6, 0xD6, 0xD6));
    p.fillRect(r, face);
    paintInnerGlow(p, r, glow_, kGlowSoftness, kGlowOpacity);
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
