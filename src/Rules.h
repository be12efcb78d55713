#pragma once
// Small rules of the program that need no window: kept apart so they can be tested alone.

#include <QByteArray>
#include <QDateTime>
#include <QPoint>
#include <QRect>
#include <QRectF>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

namespace rules
{

// Rounds to the nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -0.5 -> 0).
int roundHalfEven(double value);

// A rectangle of a window in logical pixels as device pixels at `scale` (1.5 on a display
// scaled to 150 %): the corner and the size each rounded to the nearest pixel, halves away from
// zero, as the toolkit maps a window's size.
QRect toDevice(const QRect& logical, double scale);

// What the frame takes, in its own logical pixels: 2 across and 3 down from its top-left corner,
// 4 narrower and 4 lower than the frame.
QRect pictureRect(const QSize& frame);

// The corner zoom's four blocks in the frame, in its own logical pixels: top-left, top-right,
// bottom-left, bottom-right, 50 x 50 each, 3 across and 4 down from the top-left corner and 52
// back from the right and bottom edges.
std::array<QRect, 4> zoomBlocks(const QSize& frame, int side);

// The error text as the error box shows it: a full stop is added when the last character sorts
// after "." (so not after ".", a space, "!" or ")").
QString withFullStop(const QString& message);

// Top-left corner of a window of `size` centred on `workArea`, kept within `desktop`.
QPoint centredTopLeft(const QRectF& workArea, const QSizeF& size, const QRectF& desktop);

// The settings file's integer rule: leading spaces, an optional sign, then decimal digits within
// the signed 32-bit range, or hexadecimal digits (all 32 bits) after "$", "x", "X", "0x" or
// "0X"; the digits must run to the end. Anything else gives `fallback`.
int32_t iniInteger(const QString& text, int32_t fallback);

// The key code polled for a shortcut letter: the UTF-16 code unit of its first character,
// used as a virtual-key code; 0 (no key) for an empty text.
uint16_t keyCodeOf(const QString& letter);

// The hint of a shortcut button: `label` and the Ctrl+Alt+letter that does the same.
QString shortcutHint(const QString& label, const QString& letter);

// What accompanies a mouse press: the modifier keys and every mouse button down at that
// moment, the pressed one included.
struct ShiftState {
    bool shift = false;
    bool alt = false;
    bool ctrl = false;
    bool left = false;
    bool right = false;
    bool middle = false;
    bool doubleClick = false;
};

enum class PressAction {
    Nothing,
    Move,
    Resize,
    MaximiseOrRestore,
    Copy,
    Save,
};

// The first row of the handle's table that holds for the press. Only the shift state decides,
// not which button was pressed.
PressAction moveHandlePress(const ShiftState& shift);
PressAction resizeHandlePress(const ShiftState& shift);

// The name the save dialog proposes: the local date and time as yyyymmdd-hhnnss.
QString proposedFileName(const QDateTime& now);

// The image format for a file name's extension (from its last dot, any letter case):
// "JPEG", "PNG", or empty when there is no encoder for it.
QByteArray imageFormatFor(const QString& fileName);

} // namespace rules
