#pragma once
// Turning the rows of an image as a display server sends them into our opaque 0xAARRGGBB
// pixels, and blacking out what no monitor shows. Pure arithmetic on memory: no system calls,
// so every system's platform can share it and tests can check it without a display.

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ombrix
{

// How a server lays out one image's pixels.
struct PixelFormat {
    int bitsPerPixel = 32; // 16, 24 or 32
    uint32_t redMask = 0xFF0000, greenMask = 0xFF00, blueMask = 0xFF;
    bool msbFirst = false; // byte order of a pixel's bytes
};

// True for the common case that needs no conversion but the alpha byte: 32 bits, masks
// 0xFF0000/0xFF00/0xFF, least significant byte first.
bool isPlainArgb(const PixelFormat& format);

// Whether convertRows takes this format: 16, 24 or 32 bits per pixel, each mask one run of at
// most 16 bits inside the pixel (a zero mask gives a channel of 0).
bool isConvertible(const PixelFormat& format);

// Converts `height` rows of `width` pixels that start `bytesPerLine` bytes apart (servers pad
// rows, e.g. to 32 bits: a 16-bit row of odd width carries 2 spare bytes) into opaque
// 0xAARRGGBB at `out`, rows `outStride` pixels apart. Channels of any width (5-6-5, 8-8-8,
// 10-10-10) are scaled to 8 bits with rounding (v * 255 + max / 2) / max.
// `out` may overlap `in` when it lies no earlier in memory and an output row is no shorter in
// bytes than `bytesPerLine` (rows read into the start of a buffer, spread out in place): the
// rows go from the last one up, each from its end. Throws std::invalid_argument for a format
// that isConvertible refuses or rows shorter than their pixels.
void convertRows(const unsigned char* in,
                 size_t bytesPerLine,
                 const PixelFormat& format,
                 int width,
                 int height,
                 uint32_t* out,
                 size_t outStride);

// Copies n plain ARGB pixels with the alpha byte set; `out` may overlap `in` when it lies no
// earlier in memory (rows moved down in place): from the end backwards.
void moveOpaque(const uint32_t* in, uint32_t* out, size_t n);

// Paints black every pixel of the block whose top-left pixel is desktop pixel (x, y), `width`
// x `height`, rows `stride` pixels apart, that no rectangle of `shown` covers (monitors; they
// may overlap, leave gaps, form an L, lie at negative coordinates).
void blackOutside(const std::vector<Rect>& shown,
                  int x,
                  int y,
                  int width,
                  int height,
                  uint32_t* bits,
                  size_t stride);

} // namespace ombrix
