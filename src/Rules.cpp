#include "Rules.h"

#include <algorithm>
#include <cmath>

namespace rules
{

int roundHalfEven(double value)
{
    // nearbyint follows the current rounding mode, which is to-nearest-even unless changed.
    return static_cast<int>(std::nearbyint(value));
}

QRect toDevice(const QRect& logical, double scale)
{
    return QRect(qRound(logical.x() * scale),
                 qRound(logical.y() * scale),
                 qRound(logical.width() * scale),
                 qRound(logical.height() * scale));
}

QRect pictureRect(const QSize& frame)
{
    return QRect(2, 3, std::max(frame.width() - 4, 0), std::max(frame.height() - 4, 0));
}

std::array<QRect, 4> zoomBlocks(const QSize& frame, int side)
{
    const int right = frame.width() - 52;
    const int bottom = frame.height() - 52;
    return { QRect(3, 4, side, side),
             QRect(right, 4, side, side),
             QRect(3, bottom, side, side),
             QRect(right, bottom, side, side) };
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
    left =
      std::max(std::min(left, right - roundHalfEven(size.width())), roundHalfEven(desktop.left()));
    top =
      std::max(std::min(top, bottom - roundHalfEven(size.height())), roundHalfEven(desktop.top()));
    return { left, top };
}

int32_t iniInteger(const QString& text, int32_t fallback)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == u' ') {
        ++i;
    }
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    bool hex = false;
    if (i < n && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }
    if (i >= n) {
        return fallback;
    }
    uint64_t magnitude = 0;
    const uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    for (; i < n; ++i) {
        const char16_t c = text[i].unicode();
        int digit = -1;
        if (c >= u'0' && c <= u'9') {
            digit = c - u'0';
        } else if (hex && c >= u'a' && c <= u'f') {
            digit = c - u'a' + 10;
        } else if (hex && c >= u'A' && c <= u'F') {
            digit = c - u'A' + 10;
        }
        if (digit < 0) {
            return fallback;
        }
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (magnitude > limit) {
            return fallback;
        }
    }
    uint32_t bits = static_cast<uint32_t>(magnitude);
    if (negative) {
        bits = 0u - bits;
    }
    return static_cast<int32_t>(bits);
}

uint16_t keyCodeOf(const QString& letter)
{
    return letter.isEmpty() ? 0 : letter.at(0).unicode();
}

QString shortcutHint(const QString& label, const QString& letter)
{
    return label + QStringLiteral(" [Ctrl]+[Alt]+[") + letter + u']';
}

PressAction moveHandlePress(const ShiftState& s)
{
    if (s.shift && s.left) {
        return PressAction::Resize;
    }
    if (s.ctrl && s.left) {
        return PressAction::MaximiseOrRestore;
    }
    if (s.left) {
        return PressAction::Move;
    }
    if (s.right) {
        return PressAction::Copy;
    }
    if (s.middle) {
        return PressAction::Save;
    }
    return PressAction::Nothing;
}

PressAction resizeHandlePress(const ShiftState& s)
{
    if (s.shift && s.left) {
        return PressAction::Move;
    }
    if (s.left) {
        return PressAction::Resize;
    }
    if (s.right) {
        return PressAction::Copy;
    }
    if (s.middle) {
        return PressAction::Save;
    }
    return PressAction::Nothing;
}

QString proposedFileName(const QDateTime& now)
{
    return now.toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

QByteArray imageFormatFor(const QString& fileName)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    const qsizetype slash = std::max(fileName.lastIndexOf(u'/'), fileName.lastIndexOf(u'\\'));
    if (dot < 0 || dot < slash) {
        return {};
    }
    const QString ext = fileName.mid(dot + 1).toLower();
    if (ext == u"jpg" || ext == u"jpeg") {
        return "JPEG";
    }
    if (ext == u"png") {
        return "PNG";
    }
    return {};
}

} // namespace rules
