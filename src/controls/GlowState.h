#pragma once

#include <QColor>

class QPainter;
class QRect;
class QWidget;

// What the frame's controls share: the opacity they are drawn at and the colour of their inner
// glow. Each change repaints the control that holds it.
class GlowState
{
public:
    explicit GlowState(QWidget* owner);
    GlowState(const GlowState&) = delete;
    GlowState& operator=(const GlowState&) = delete;

    double opacity() const { return opacity_; }
    void setOpacity(double value);
    // Where no compositing manager blends windows, a half-transparent pixel shows dark: the
    // control is then drawn opaque, and its window's shape lets the desktop through instead.
    void setComposited(bool composited);

    QColor glowColour() const { return glow_; }
    void setGlowColour(const QColor& colour);

protected:
    double paintOpacity() const { return composited_ ? opacity_ : 1.0; }
    void paintGlow(QPainter& painter, const QRect& rect) const;

private:
    template<typename T>
    void change(T& field, const T& value);

    QWidget* owner_;
    double opacity_ = 0.5;
    bool composited_ = true;
    QColor glow_ = QColor::fromRgba(0xFF0000FF);
};
