#pragma once
// An image as the X server sends it, turned into our pixels.

#include "pixel_rows.h"

#include <X11/Xlib.h>

#include <cstddef>
#include <cstdint>

namespace ombrix::x11
{

inline PixelFormat formatOf(const XImage* image)
{
    PixelFormat f;
    f.bitsPerPixel = image->bits_per_pixel;
    f.redMask = static_cast<uint32_t>(image->red_mask);
    f.greenMask = static_cast<uint32_t>(image->green_mask);
    f.blueMask = static_cast<uint32_t>(image->blue_mask);
    f.msbFirst = image->byte_order == MSBFirst;
    return f;
}

// Converts an image the server sent into our pixels at `out`, rows `stride` pixels apart.
inline void convertImage(const XImage* image, uint32_t* out, size_t stride)
{
    convertRows(reinterpret_cast<const unsigned char*>(image->data),
                static_cast<size_t>(image->bytes_per_line),
                formatOf(image),
                image->width,
                image->height,
                out,
                stride);
}

} // namespace ombrix::x11
