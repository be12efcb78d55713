#pragma once

#include <QAbstractButton>
#include <QColor>

// A small push button of the frame: drawn at its own opacity, with an inner glow, and telling
// its owner when the mouse enters or leaves it.
class GlowButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit GlowButton(const QString& text, QWidget* parent = nullptr);

    double opacity() const { return opacity_; }
    void setOpacity(double value);
    // Where no compositing manager blends windows, a half-transparent pixel shows dark: the
    // control is then drawn opaque, and its window's shape lets the desktop through instead.
    void setComposited(bool composited);

    QColor glowColour() const { return glow_; }
    void setGlowColour(const QColor& colour);

signals:
    void mouseEntered(QObject* sender);
    void mouseLeft(QObject* sender);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    double opacity_ = 0.5;
    bool composited_ = true;
    QColor glow_;
};
