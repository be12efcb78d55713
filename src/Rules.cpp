#include "Rules.h"

#include <algorithm>
#include <cmath>

namespace rules {

int roundHalfEven(double value)
{
    // nearbyint follows the current rounding mode, which is to-nearest-even unless changed.
    return static_cast<int>(std::nearbyint(value));
}

int chooseDisplay(const std::vector<QRectF>& displays, int frameLeft)
{
    int chosen = 0;
    for (size_t i = 0; i < displays.size(); ++i) {
        if (displays[i].left() < frameLeft) {
            chosen = static_cast<int>(i);
        }
    }
    return chosen;
}

QString withFullStop(const QString& message)
{
    if (!message.isEmpty() && message.back() > QChar(u'.')) {
        return message + u'.';
    }
    return message;
}

QPoint centredTopLeft(const QRectF& workArea, const QSizeF& size, const QRectF& desktop)
{
    int left = roundHalfEven(workArea.left() + (workArea.width() - size.width()) / 2);
    int top = roundHalfEven(workArea.top() + (workArea.height() - size.height()) / 2);
    const int right = roundHalfEven(desktop.left() + desktop.width());
    const int bottom = roundHalfEven(desktop.top() + desktop.height());
    left = std::max(std::min(left, right - roundHalfEven(size.width())),
                    roundHalfEven(desktop.left()));
    top = std::max(std::min(top, bottom - roundHalfEven(size.height())),
                   roundHalfEven(desktop.top()));
    return { left, top };
}

} // namespace rules
