#include "GlowPainter.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

void paintInnerGlow(QPainter& painter,
                    const QRect& rect,
                    const QColor& colour,
                    double softness,
                    double opacity)
{
    if (colour.alpha() == 0 || opacity <= 0) {
        return;
    }
    // Softness 0.4 reaches about a fifth of a 22-pixel button inward.
    const int reach = std::max(1, static_cast<int>(std::lround(softness * 10.0)));
    painter.save();
    painter.setBrush(Qt::NoBrush);
    for (int i = 0; i < reach; ++i) {
        const double fade = 1.0 - static_cast<double>(i) / reach;
        QColor c = colour;
        c.setAlphaF(static_cast<float>(colour.alphaF() * opacity * fade * fade));
        painter.setPen(QPen(c, 1));
        const QRect ring = rect.adjusted(i, i, -i - 1, -i - 1);
        if (ring.width() < 0 || ring.height() < 0) {
            break;
        }
        painter.drawRect(ring);
    }
    painter.restore();
}
