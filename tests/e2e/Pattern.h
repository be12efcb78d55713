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

// Whether a picture's pixel shows `expected` as a screen of `redBits`, `greenBits` and `blueBits`
// bits per channel holds it (5, 6 and 5 at depth 16): the top bits of every channel agree,
// whichever way the reader widened them back to 8 bits.
inline bool sameAtBits(uint32_t got, uint32_t expected, int redBits, int greenBits, int blueBits)
{
    const auto top = [](uint32_t rgb, int shift, int bits) {
        return ((rgb >> shift) & 0xFF) >> (8 - bits);
    };
    return top(got, 16, redBits) == top(expected, 16, redBits) &&
           top(got, 8, greenBits) == top(expected, 8, greenBits) &&
           top(got, 0, blueBits) == top(expected, 0, blueBits);
}

} // namespace testdesk
