#include "GlowState.h"

#include "GlowPainter.h"

#include <QWidget>

namespace
{
constexpr double kGlowSoftness = 0.4;
constexpr double kGlowOpacity = 0.9;
}

GlowState::GlowState(QWidget* owner)
  : owner_(owner)
{
}

template<typename T>
void GlowState::change(T& field, const T& value)
{
    if (field != value) {
        field = value;
        owner_->update();
    }
}

void GlowState::setOpacity(double value)
{
    change(opacity_, value);
}

void GlowState::setComposited(bool composited)
{
    change(composited_, composited);
}

void GlowState::setGlowColour(const QColor& colour)
{
    change(glow_, colour);
}

void GlowState::paintGlow(QPainter& painter, const QRect& rect) const
{
    paintInnerGlow(painter, rect, glow_, kGlowSoftness, kGlowOpacity);
}
