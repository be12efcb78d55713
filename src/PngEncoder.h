#pragma once

#include <QByteArray>

class QImage;

// A PNG of an opaque picture, made for speed rather than size: 8-bit RGB, each row filtered
// with "Sub", and fast run-length deflate. The rows are split among the cores, each part
// deflated on its own, and the parts joined into one stream.
QByteArray encodeFastPng(const QImage& picture);
