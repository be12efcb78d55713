// Server image rows into opaque ARGB, and black where no monitor is.

#include "pixel_rows.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <stdexcept>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ombrix
{

namespace
{

constexpr uint32_t kBlack = 0xFF000000u;

bool isChannelMask(uint32_t mask, int bitsPerPixel)
{
    if (mask == 0) {
        return true;
    }
    if (bitsPerPixel < 32 && (mask >> bitsPerPixel) != 0) {
        return false;
    }
    const uint32_t run = mask >> std::countr_zero(mask);
    return (run & (run + 1)) == 0 && std::popcount(run) <= 16;
}

// One channel's place in the server's pixel, and its 8-bit value already at its place in the
// output for every value it can take: the division happens once per value, not per pixel.
struct Channel {
    int shift = 0;
    uint32_t max = 0;
    std::vector<uint32_t> table;

    Channel(uint32_t mask, int place)
    {
        if (mask == 0) {
            table.assign(1, 0);
            return;
        }
        shift = std::countr_zero(mask);
        max = mask >> shift;
        table.resize(size_t{ max } + 1);
        for (uint32_t v = 0; v <= max; ++v) {
            table[v] = static_cast<uint32_t>((uint64_t{ v } * 255 + max / 2) / max) << place;
        }
    }

    uint32_t of(uint32_t pixel) const { return table[(pixel >> shift) & max]; }
};

template<int Bytes, bool MsbFirst>
uint32_t readPixel(const unsigned char* p)
{
    if constexpr (Bytes == 3) {
        return MsbFirst ? (uint32_t{ p[0] } << 16 | uint32_t{ p[1] } << 8 | p[2])
                        : (p[0] | uint32_t{ p[1] } << 8 | uint32_t{ p[2] } << 16);
    } else {
        return MsbFirst
                 ? (uint32_t{ p[0] } << 24 | uint32_t{ p[1] } << 16 | uint32_t{ p[2] } << 8 | p[3])
                 : (p[0] | uint32_t{ p[1] } << 8 | uint32_t{ p[2] } << 16 | uint32_t{ p[3] } << 24);
    }
}

// The loops below go from the last row up, each row from its end, and read every pixel before
// its place is written: what allows the output to lie over the input further down in memory.

template<int Bytes, bool MsbFirst>
void convertByChannel(const unsigned char* in,
                      size_t bytesPerLine,
                      const PixelFormat& format,
                      int width,
                      int height,
                      uint32_t* out,
                      size_t outStride)
{
    const Channel red(format.redMask, 16);
    const Channel green(format.greenMask, 8);
    const Channel blue(format.blueMask, 0);
    for (size_t row = static_cast<size_t>(height); row-- > 0;) {
        const unsigned char* const src = in + row * bytesPerLine;
        uint32_t* const dst = out + row * outStride;
        for (size_t col = static_cast<size_t>(width); col-- > 0;) {
            const uint32_t p = readPixel<Bytes, MsbFirst>(src + col * Bytes);
            dst[col] = kBlack | red.of(p) | green.of(p) | blue.of(p);
        }
    }
}

bool sameFormat(const PixelFormat& a, const PixelFormat& b)
{
    return a.bitsPerPixel == b.bitsPerPixel && a.redMask == b.redMask &&
           a.greenMask == b.greenMask && a.blueMask == b.blueMask && a.msbFirst == b.msbFirst;
}

// Every 16-bit pixel's ARGB value, indexed by its two bytes read least significant first: one
// look-up a pixel, three times faster than one a channel. Building it costs about as much as
// converting 65536 pixels, so it is kept for the next grab, which has the same format.
const uint32_t* sixteenBitTable(const PixelFormat& format)
{
    thread_local PixelFormat known{};
    thread_local std::vector<uint32_t> table;
    if (table.empty() || !sameFormat(known, format)) {
        const Channel red(format.redMask, 16);
        const Channel green(format.greenMask, 8);
        const Channel blue(format.blueMask, 0);
        table.resize(65536);
        for (uint32_t bytes = 0; bytes < 65536; ++bytes) {
            const uint32_t p = format.msbFirst ? (bytes >> 8 | (bytes & 0xFF) << 8) : bytes;
            table[bytes] = kBlack | red.of(p) | green.of(p) | blue.of(p);
        }
        known = format;
    }
    return table.data();
}

void convertSixteen(const unsigned char* in,
                    size_t bytesPerLine,
                    const PixelFormat& format,
                    int width,
                    int height,
                    uint32_t* out,
                    size_t outStride)
{
    const uint32_t* const table = sixteenBitTable(format);
    for (size_t row = static_cast<size_t>(height); row-- > 0;) {
        const unsigned char* const src = in + row * bytesPerLine;
        uint32_t* const dst = out + row * outStride;
        for (size_t col = static_cast<size_t>(width); col-- > 0;) {
            dst[col] = table[src[2 * col] | uint32_t{ src[2 * col + 1] } << 8];
        }
    }
}

// Half-open, wide enough that no sum of an int position and an int size overflows.
struct Span {
    int64_t from, to;
};

} // namespace

bool isPlainArgb(const PixelFormat& format)
{
    return format.bitsPerPixel == 32 && format.redMask == 0xFF0000 && format.greenMask == 0xFF00 &&
           format.blueMask == 0xFF && !format.msbFirst;
}

bool isConvertible(const PixelFormat& format)
{
    const int bpp = format.bitsPerPixel;
    return (bpp == 16 || bpp == 24 || bpp == 32) && isChannelMask(format.redMask, bpp) &&
           isChannelMask(format.greenMask, bpp) && isChannelMask(format.blueMask, bpp);
}

void convertRows(const unsigned char* in,
                 size_t bytesPerLine,
                 const PixelFormat& format,
                 int width,
                 int height,
                 uint32_t* out,
                 size_t outStride)
{
    if (!isConvertible(format)) {
        char masks[40];
        std::snprintf(masks,
                      sizeof masks,
                      "%08X/%08X/%08X",
                      static_cast<unsigned>(format.redMask),
                      static_cast<unsigned>(format.greenMask),
                      static_cast<unsigned>(format.blueMask));
        throw std::invalid_argument("convertRows: no conversion for " +
                                    std::to_string(format.bitsPerPixel) +
                                    " bits per pixel, masks " + masks);
    }
    if (width <= 0 || height <= 0) {
        return;
    }
    const size_t bytes = static_cast<size_t>(format.bitsPerPixel / 8);
    const auto w = static_cast<size_t>(width);
    if (bytesPerLine < w * bytes || outStride < w) {
        throw std::invalid_argument("convertRows: rows shorter than their pixels");
    }
    if (isPlainArgb(format)) {
        for (size_t row = static_cast<size_t>(height); row-- > 0;) {
            moveOpaque(
              reinterpret_cast<const uint32_t*>(in + row * bytesPerLine), out + row * outStride, w);
        }
        return;
    }
    using Convert =
      void (*)(const unsigned char*, size_t, const PixelFormat&, int, int, uint32_t*, size_t);
    Convert convert = convertSixteen;
    if (bytes == 3) {
        convert = format.msbFirst ? convertByChannel<3, true> : convertByChannel<3, false>;
    } else if (bytes == 4) {
        convert = format.msbFirst ? convertByChannel<4, true> : convertByChannel<4, false>;
    }
    convert(in, bytesPerLine, format, width, height, out, outStride);
}

void moveOpaque(const uint32_t* in, uint32_t* out, size_t n)
{
    size_t i = n;
#if defined(__SSE2__)
    // Four loads before four stores: a block of 16 is read whole before any of it is written.
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(kBlack));
    while (i >= 16) {
        i -= 16;
        const auto* src = reinterpret_cast<const __m128i*>(in + i);
        auto* dst = reinterpret_cast<__m128i*>(out + i);
        const __m128i a = _mm_loadu_si128(src);
        const __m128i b = _mm_loadu_si128(src + 1);
        const __m128i c = _mm_loadu_si128(src + 2);
        const __m128i d = _mm_loadu_si128(src + 3);
        _mm_storeu_si128(dst + 3, _mm_or_si128(d, alpha));
        _mm_storeu_si128(dst + 2, _mm_or_si128(c, alpha));
        _mm_storeu_si128(dst + 1, _mm_or_si128(b, alpha));
        _mm_storeu_si128(dst, _mm_or_si128(a, alpha));
    }
#endif
    while (i > 0) {
        --i;
        out[i] = in[i] | kBlack;
    }
}

void blackOutside(const std::vector<Rect>& shown,
                  int x,
                  int y,
                  int width,
                  int height,
                  uint32_t* bits,
                  size_t stride)
{
    if (width <= 0 || height <= 0) {
        return;
    }
    const int64_t x0 = x, y0 = y, x1 = x0 + width, y1 = y0 + height;
    struct Box {
        int64_t x0, y0, x1, y1;
    };
    std::vector<Box> boxes;
    boxes.reserve(shown.size());
    for (const Rect& r : shown) {
        const Box b{ std::max<int64_t>(r.x, x0),
                     std::max<int64_t>(r.y, y0),
                     std::min<int64_t>(int64_t{ r.x } + r.width, x1),
                     std::min<int64_t>(int64_t{ r.y } + r.height, y1) };
        if (b.x0 >= b.x1 || b.y0 >= b.y1) {
            continue;
        }
        if (b.x0 == x0 && b.y0 == y0 && b.x1 == x1 && b.y1 == y1) {
            return; // the usual case: the block lies on one monitor
        }
        boxes.push_back(b);
    }

    // Between two consecutive top or bottom edges every row meets the same rectangles, so each
    // band's uncovered spans are worked out once and filled in all its rows.
    std::vector<int64_t> edges{ y0, y1 };
    for (const Box& b : boxes) {
        edges.push_back(b.y0);
        edges.push_back(b.y1);
    }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());

    std::vector<Span> covered;
    std::vector<Span> gaps;
    for (size_t e = 0; e + 1 < edges.size(); ++e) {
        const int64_t top = edges[e], bottom = edges[e + 1];
        covered.clear();
        for (const Box& b : boxes) {
            if (b.y0 <= top && b.y1 >= bottom) {
                covered.push_back({ b.x0, b.x1 });
            }
        }
        std::sort(covered.begin(), covered.end(), [](const Span& a, const Span& b) {
            return a.from < b.from;
        });
        gaps.clear();
        int64_t reached = x0;
        for (const Span& s : covered) {
            if (s.from > reached) {
                gaps.push_back({ reached - x0, s.from - x0 });
            }
            reached = std::max(reached, s.to);
        }
        if (reached < x1) {
            gaps.push_back({ reached - x0, x1 - x0 });
        }
        if (gaps.empty()) {
            continue;
        }
        for (int64_t row = top - y0; row < bottom - y0; ++row) {
            uint32_t* const line = bits + static_cast<size_t>(row) * stride;
            for (const Span& g : gaps) {
                std::fill(line + g.from, line + g.to, kBlack);
            }
        }
    }
}

} // namespace ombrix
