#pragma once

#include <QByteArray>

class QIODevice;
class QImage;

// How a PNG is made: the filter put before each row, and the deflate settings of the stream.
struct PngSettings {
    enum class Filter {
        None,
        Sub,
        Up,
        Average,
        Paeth,
        Adaptive, // per row, the filter whose bytes lie closest to zero, as libpng chooses
    };
    enum class Deflate {
        Default,   // general matches, as zlib makes them
        Filtered,  // general matches, favouring the small differences filters leave
        RunLength, // repeats of the byte before only
    };
    Filter filter;
    int level; // zlib's, 1 (fastest) to 9
    Deflate deflate;
};

// The clipboard's: made as soon as the picture is copied, for speed rather than size.
extern const PngSettings kClipboardPng;
// The saved file's: no larger than what Qt's own writer makes, in a fraction of its time.
extern const PngSettings kFilePng;

// A PNG of a picture: 8-bit RGB when every pixel is opaque, RGBA otherwise. The rows are cut
// into strips, which are filtered and deflated on the worker threads, and the strips joined into
// one zlib stream. Empty for an empty picture, or when memory runs out.
QByteArray encodePng(const QImage& picture, const PngSettings& settings);

// The same PNG written to a device; false for an empty picture, when the device refuses the
// bytes, or when memory runs out.
bool writePng(QIODevice& device, const QImage& picture, const PngSettings& settings);

inline QByteArray encodeFastPng(const QImage& picture)
{
    return encodePng(picture, kClipboardPng);
}
