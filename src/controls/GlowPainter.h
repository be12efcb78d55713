#pragma once

#include <QColor>
#include <QRect>

class QPainter;

// Paints an inner glow: the colour strongest along the inside of `rect`'s edge, fading inward.
// `softness` 0..1 sets how far it reaches in; `opacity` scales the colour's own alpha.
void paintInnerGlow(QPainter& painter,
                    const QRect& rect,
                    const QColor& colour,
                    double softness,
                    double opacity);
