#pragma once
// What the corner zoom window must show for a frame lying over the test pattern.

#include "Pattern.h"

#include <QImage>
#include <QRect>
#include <QRegion>
#include <QString>

#include <cstdlib>

namespace e2e
{

// Empty when the four views of a screenshot of the zoom window show the corners of `frame`
// (in screen coordinates) over the pattern; otherwise the first difference, in words.
inline QString zoomViewsMismatch(const QRect& frame, const QImage& shot)
{
    // Each view at magnification 4 shows the first 49 x 49 pixels of its block. The frame's
    // own lines, handles and buttons are in the picture too: those pixels are not compared.
    QRegion controls = QRegion(2, 2, 30, 30) + QRegion(40, 6, 66, 44) +
                       QRegion(frame.width() - 34, frame.height() - 34, 30, 30);
    // The frame's two lines (its outer white and inner black ring).
    for (const int inset : { 0, 2 }) {
        const QRect r = QRect(QPoint(0, 0), frame.size()).adjusted(inset, inset, -inset, -inset);
        controls += QRegion(r).subtracted(QRegion(r.adjusted(1, 1, -1, -1)));
    }
    const struct {
        const char* name;
        QPoint view;  // in the zoom window
        QPoint block; // in the frame window
    } views[] = {
        { "top-left", { 8, 8 }, { 3, 4 } },
        { "top-right", { 216, 8 }, { frame.width() - 52, 4 } },
        { "bottom-left", { 8, 216 }, { 3, frame.height() - 52 } },
        { "bottom-right", { 216, 216 }, { frame.width() - 52, frame.height() - 52 } },
    };
    for (const auto& v : views) {
        int compared = 0;
        for (int j = 0; j < 49; ++j) {
            for (int i = 0; i < 49; ++i) {
                const QPoint inFrame = v.block + QPoint(i, j);
                const int x = frame.x() + inFrame.x(), y = frame.y() + inFrame.y();
                // Interpolation mixes in the next pixel: skip where the pattern wraps.
                if (controls.intersects(QRect(inFrame, QSize(2, 2))) || (x + 1) % 256 == 0 ||
                    (y + 1) % 256 == 0) {
                    continue;
                }
                const QRgb seen =
                  shot.pixel(v.view.x() + 2 + 4 * i + 2, v.view.y() + 2 + 4 * j + 2);
                const QRgb want = testdesk::patternRgb(x, y);
                if (std::abs(qRed(seen) - qRed(want)) > 2 ||
                    std::abs(qGreen(seen) - qGreen(want)) > 2 ||
                    std::abs(qBlue(seen) - qBlue(want)) > 2) {
                    return QString("%1 view, block pixel (%2, %3): %4, expected %5")
                      .arg(v.name)
                      .arg(i)
                      .arg(j)
                      .arg(seen & 0xFFFFFF, 6, 16, QChar('0'))
                      .arg(want, 6, 16, QChar('0'));
                }
                ++compared;
            }
        }
        if (compared < 1000) {
            return QString("%1 view: only %2 pixels compared").arg(v.name).arg(compared);
        }
    }
    return {};
}

} // namespace e2e
