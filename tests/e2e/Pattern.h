#pragma once
// The test desktop: every pixel differs from its neighbours, so a picture shifted by one pixel,
// or holding one pixel of anything else, cannot pass for it.

#include <cstdint>

namespace testdesk
{

inline uint32_t patternRgb(int x, int y)
{
    const uint32_t r = static_cast<uint32_t>(x) & 0xFF;
    const uint32_t g = static_cast<uint32_t>(y) & 0xFF;
    const uint32_t b =
      (((static_cast<uint32_t>(x) >> 8) & 0x0F) << 4) | ((static_cast<uint32_t>(y) >> 8) & 0x0F);
    return (r << 16) | (g << 8) | b;
}

// What an ordinary window of the test desk shows at desktop pixel (x, y): the pattern inverted,
// so that a picture shows whether the window or the desktop was under that pixel.
inline uint32_t windowRgb(int x, int y)
{
    return patternRgb(x, y) ^ 0xFFFFFF;
}

} // namespace testdesk
