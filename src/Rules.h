#pragma once
// Small rules of the program that need no window: kept apart so they can be tested alone.

#include <QPoint>
#include <QRectF>
#include <QString>

#include <vector>

namespace rules {

// Rounds to the nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -0.5 -> 0).
int roundHalfEven(double value);

// The display whose size a grab takes: the last one in list order whose left edge lies strictly
// left of the frame's left edge, or display 0 when none does.
int chooseDisplay(const std::vector<QRectF>& displays, int frameLeft);

// The error text as the error box shows it: a full stop is added when the last character sorts
// after "." (so not after ".", a space, "!" or ")").
QString withFullStop(const QString& message);

// Top-left corner of a window of `size` centred on `workArea`, kept within `desktop`.
QPoint centredTopLeft(const QRectF& workArea, const QSizeF& size, const QRectF& desktop);

} // namespace rules
