// Server image rows into opaque ARGB, the alpha-setting copy, and black where no monitor is:
// against hand-made rows and against the plain per-pixel definition.

#include "Check.h"
#include "pixel_rows.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>

using ombrix::PixelFormat;
using ombrix::Rect;

namespace
{

// Never a value the functions write: shows where they wrote what they should not.
constexpr uint32_t kUntouched = 0x12345678u;
constexpr uint32_t kBlack = 0xFF000000u;

std::string hex(uint32_t v)
{
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

// The first pixel that differs, with its place, so that a failure says which row went wrong.
void checkPixels(const std::vector<uint32_t>& actual,
                 const std::vector<uint32_t>& expected,
                 size_t stride,
                 const char* file,
                 int line)
{
    if (actual.size() != expected.size()) {
        check::report(false,
                      file,
                      line,
                      "got " + std::to_string(actual.size()) + " pixels, expected " +
                        std::to_string(expected.size()));
        return;
    }
    for (size_t i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i]) {
            check::report(false,
                          file,
                          line,
                          "pixel " + std::to_string(i % stride) + "," + std::to_string(i / stride) +
                            " is " + hex(actual[i]) + ", expected " + hex(expected[i]));
            return;
        }
    }
    check::report(true, file, line, "");
}
#define CHECK_PIXELS(actual, expected, stride)                                                     \
    checkPixels(actual, expected, stride, __FILE__, __LINE__)

// Pixel values as a server sends them, least or most significant byte first, then the row's
// spare bytes.
std::vector<unsigned char> row(std::initializer_list<uint32_t> pixels,
                               int bytesPerPixel,
                               bool msbFirst,
                               std::initializer_list<unsigned char> spare)
{
    std::vector<unsigned char> out;
    for (uint32_t p : pixels) {
        for (int i = 0; i < bytesPerPixel; ++i) {
            const int byte = msbFirst ? bytesPerPixel - 1 - i : i;
            out.push_back(static_cast<unsigned char>(p >> (8 * byte)));
        }
    }
    out.insert(out.end(), spare);
    return out;
}

std::vector<unsigned char> rows(std::initializer_list<std::vector<unsigned char>> parts)
{
    std::vector<unsigned char> out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

const PixelFormat k565{ 16, 0xF800, 0x07E0, 0x001F, false };
const PixelFormat k565Msb{ 16, 0xF800, 0x07E0, 0x001F, true };
const PixelFormat k555{ 16, 0x7C00, 0x03E0, 0x001F, false };
const PixelFormat kArgb{};
const PixelFormat kArgbMsb{ 32, 0xFF0000, 0xFF00, 0xFF, true };
const PixelFormat kBgr32{ 32, 0xFF, 0xFF00, 0xFF0000, false };
const PixelFormat k30{ 32, 0x3FF00000, 0xFFC00, 0x3FF, false };
const PixelFormat k30Msb{ 32, 0x3FF00000, 0xFFC00, 0x3FF, true };
const PixelFormat kPacked24{ 24, 0xFF0000, 0xFF00, 0xFF, false };
const PixelFormat kPacked24Msb{ 24, 0xFF0000, 0xFF00, 0xFF, true };

struct ConvertCase {
    const char* label;
    PixelFormat format;
    int width, height;
    size_t bytesPerLine;
    std::vector<unsigned char> in;
    std::vector<uint32_t> expected; // width x height, packed
};

// Rows in every format we take. Each row's spare bytes are not pixels: a reader that took rows
// as `width` pixels apart would shift every row after the first.
std::vector<ConvertCase> convertCases()
{
    // 5-6-5 (red, green, blue):
    // row 0: (31,0,0) (0,63,0) (0,0,31)
    // row 1: (16,32,16) -> 132,130,132; (1,1,1) -> 8,4,8; (30,62,30) -> 247,251,247
    // row 2: all ones, all zeros, (8,16,24) -> 66,65,197
    const std::vector<uint32_t> expected565{
        0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF848284, 0xFF080408,
        0xFFF7FBF7, 0xFFFFFFFF, 0xFF000000, 0xFF4241C5,
    };
    // 10-10-10 (red, green, blue), the top two bits being no channel:
    // row 0: zeros with the top bits set; all 1023; (512,3,1021) -> 128,1,255
    // row 1: (1019,2,511) -> 254,0,127; (3,1022,2) -> 1,255,0; (4,0,1023), top bit -> 1,0,255
    const std::vector<uint32_t> expected30{
        0xFF000000, 0xFFFFFFFF, 0xFF8001FF, 0xFFFE007F, 0xFF01FF00, 0xFF0100FF,
    };
    const auto in30 = [](bool msb) {
        return rows({ row({ 0xC0000000, 0x3FFFFFFF, 0x20000FFD }, 4, msb, {}),
                      row({ 0x3FB009FF, 0x003FF802, 0x404003FF }, 4, msb, {}) });
    };
    const auto in24 = [](bool msb) {
        return rows({ row({ 0x123456, 0xABCDEF, 0x000001 }, 3, msb, { 0xAA, 0xBB, 0xCC }),
                      row({ 0xFFFFFF, 0x800000, 0x00FF00 }, 3, msb, { 0xDD, 0xEE, 0xFF }) });
    };
    const auto inArgb = [](bool msb) {
        return rows({ row({ 0x00112233, 0x5AFFFEFD }, 4, msb, { 0xEE, 0xEE, 0xEE, 0xEE }),
                      row({ 0x80000000, 0x00ABCDEF }, 4, msb, { 0x11, 0x22, 0x33, 0x44 }) });
    };
    const std::vector<uint32_t> expectedArgb{ 0xFF112233, 0xFFFFFEFD, 0xFF000000, 0xFFABCDEF };
    return {
        { "16 bits 5-6-5, odd width, 2 spare bytes a row",
          k565,
          3,
          3,
          8,
          {
            0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xAB, 0xCD, //
            0x10, 0x84, 0x21, 0x08, 0xDE, 0xF7, 0xAB, 0xCD, //
            0xFF, 0xFF, 0x00, 0x00, 0x18, 0x42, 0xAB, 0xCD, //
          },
          expected565 },
        { "16 bits 5-6-5, most significant byte first",
          k565Msb,
          3,
          3,
          8,
          {
            0xF8, 0x00, 0x07, 0xE0, 0x00, 0x1F, 0xAB, 0xCD, //
            0x84, 0x10, 0x08, 0x21, 0xF7, 0xDE, 0xAB, 0xCD, //
            0xFF, 0xFF, 0x00, 0x00, 0x42, 0x18, 0xAB, 0xCD, //
          },
          expected565 },
        // (31,0,16) with the unused top bit set -> 255,0,132; (0,31,1) -> 0,255,8
        { "16 bits 5-5-5",
          k555,
          1,
          2,
          4,
          { 0x10, 0xFC, 0xAB, 0xCD, 0xE1, 0x03, 0xAB, 0xCD },
          { 0xFFFF0084, 0xFF00FF08 } },
        { "32 bits, depth 24, plain, alpha byte ignored",
          kArgb,
          2,
          2,
          12,
          inArgb(false),
          expectedArgb },
        { "32 bits, depth 24, most significant byte first",
          kArgbMsb,
          2,
          2,
          12,
          inArgb(true),
          expectedArgb },
        { "32 bits, blue in the high byte",
          kBgr32,
          1,
          1,
          4,
          row({ 0x00332211 }, 4, false, {}),
          { 0xFF112233 } },
        { "32 bits, depth 30", k30, 3, 2, 12, in30(false), expected30 },
        { "32 bits, depth 30, most significant byte first",
          k30Msb,
          3,
          2,
          12,
          in30(true),
          expected30 },
        { "24 bits packed, rows padded to 4 bytes",
          kPacked24,
          3,
          2,
          12,
          in24(false),
          { 0xFF123456, 0xFFABCDEF, 0xFF000001, 0xFFFFFFFF, 0xFF800000, 0xFF00FF00 } },
        { "24 bits packed, most significant byte first",
          kPacked24Msb,
          3,
          2,
          12,
          in24(true),
          { 0xFF123456, 0xFFABCDEF, 0xFF000001, 0xFFFFFFFF, 0xFF800000, 0xFF00FF00 } },
    };
}

// A few pixels of a made-up picture, with all sorts of alpha bytes.
uint32_t noise(size_t i)
{
    uint32_t v = static_cast<uint32_t>(i) * 2654435761u + 0x9E3779B9u;
    v ^= v >> 15;
    v *= 0x85EBCA6Bu;
    v ^= v >> 13;
    return v;
}

} // namespace

TEST(convertsServerRows)
{
    for (const ConvertCase& c : convertCases()) {
        CASE(c.label);
        CHECK(c.in.size() == c.bytesPerLine * static_cast<size_t>(c.height));
        CHECK(ombrix::isConvertible(c.format));
        // Output rows wider than the picture: what lies right of it stays as it was.
        const size_t outStride = static_cast<size_t>(c.width) + 3;
        std::vector<uint32_t> out(outStride * static_cast<size_t>(c.height) + 2, kUntouched);
        std::vector<uint32_t> expected = out;
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                expected[static_cast<size_t>(y) * outStride + static_cast<size_t>(x)] =
                  c.expected[static_cast<size_t>(y * c.width + x)];
            }
        }
        ombrix::convertRows(
          c.in.data(), c.bytesPerLine, c.format, c.width, c.height, out.data(), outStride);
        CHECK_PIXELS(out, expected, outStride);
    }
}

// Every value of every channel, against rounding to the nearest of 255 steps (the channels'
// largest values are odd, so no value lies halfway).
TEST(scalesEveryValue)
{
    struct Row {
        const char* label;
        PixelFormat format;
    };
    const Row cases[] = {
        { "5-6-5", k565 },
        { "5-6-5, most significant byte first", k565Msb },
        { "5-5-5", k555 },
        { "5-6-5, red in the low bits", { 16, 0x001F, 0x07E0, 0xF800, false } },
        { "4-4-4", { 16, 0x0F00, 0x00F0, 0x000F, true } },
        { "10-10-10", k30 },
        { "10-10-10, most significant byte first", k30Msb },
        { "8-8-8 packed", kPacked24 },
        { "2-3-3 in 24 bits", { 24, 0xC00000, 0x3800, 0x7, false } },
    };
    const auto scaled = [](uint32_t pixel, uint32_t mask) -> uint32_t {
        if (mask == 0) {
            return 0;
        }
        uint32_t low = mask & ~(mask - 1);
        return static_cast<uint32_t>(
          std::lround((pixel & mask) / static_cast<double>(low) * 255.0 / (mask / low)));
    };
    for (const Row& c : cases) {
        CASE(c.label);
        const int bytes = c.format.bitsPerPixel / 8;
        const uint32_t all =
          c.format.bitsPerPixel == 32 ? 0xFFFFFFFFu : (1u << c.format.bitsPerPixel) - 1;
        // Every 16-bit pixel; for wider ones, made-up pixels in which each channel takes each of
        // its values many times.
        std::vector<uint32_t> pixels;
        for (uint32_t i = 0; i < 65536; ++i) {
            pixels.push_back(bytes == 2 ? i : noise(i) & all);
        }
        const int width = 256, height = 256;
        const size_t bytesPerLine = static_cast<size_t>(width * bytes) + 4;
        std::vector<unsigned char> in;
        std::vector<uint32_t> expected;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const uint32_t p = pixels[static_cast<size_t>(y * width + x)];
                const auto encoded = row({ p }, bytes, c.format.msbFirst, {});
                in.insert(in.end(), encoded.begin(), encoded.end());
                expected.push_back(kBlack | scaled(p, c.format.redMask) << 16 |
                                   scaled(p, c.format.greenMask) << 8 |
                                   scaled(p, c.format.blueMask));
            }
            in.insert(in.end(), 4, 0xA5);
        }
        std::vector<uint32_t> out(expected.size(), kUntouched);
        ombrix::convertRows(
          in.data(), bytesPerLine, c.format, width, height, out.data(), static_cast<size_t>(width));
        CHECK_PIXELS(out, expected, static_cast<size_t>(width));
    }
}

// Rows read into the start of a buffer are spread out to their places in that same buffer, as
// a reader into memory shared with the server does; the result is that of a separate output.
TEST(convertsInPlace)
{
    struct Row {
        const char* label;
        PixelFormat format;
        int width, height;
        size_t bytesPerLine;
        size_t outStride;
        size_t outOffset; // pixels from the buffer's start
    };
    const Row cases[] = {
        { "16 bits, same start, odd width", k565, 5, 4, 12, 5, 0 },
        { "16 bits, wider rows, moved down", k565, 5, 4, 12, 9, 2 * 9 + 3 },
        { "16 bits, most significant byte first", k565Msb, 33, 3, 68, 40, 7 },
        { "24 bits packed, same start", kPacked24, 7, 5, 24, 7, 0 },
        { "24 bits packed, moved down", kPacked24Msb, 7, 5, 24, 10, 13 },
        { "32 bits plain, long rows moved down", kArgb, 37, 6, 37 * 4, 45, 45 + 5 },
        { "32 bits plain, same place", kArgb, 20, 3, 80, 20, 0 },
        { "32 bits depth 30, moved down", k30, 19, 4, 76, 23, 1 },
    };
    for (const Row& c : cases) {
        CASE(c.label);
        const size_t inBytes = c.bytesPerLine * static_cast<size_t>(c.height);
        std::vector<unsigned char> in(inBytes);
        for (size_t i = 0; i < inBytes; ++i) {
            in[i] = static_cast<unsigned char>(noise(i));
        }
        const size_t size = c.outOffset + c.outStride * static_cast<size_t>(c.height);
        std::vector<uint32_t> apart(size, kUntouched);
        ombrix::convertRows(in.data(),
                            c.bytesPerLine,
                            c.format,
                            c.width,
                            c.height,
                            apart.data() + c.outOffset,
                            c.outStride);

        std::vector<uint32_t> shared(size, kUntouched);
        std::memcpy(shared.data(), in.data(), inBytes);
        ombrix::convertRows(reinterpret_cast<const unsigned char*>(shared.data()),
                            c.bytesPerLine,
                            c.format,
                            c.width,
                            c.height,
                            shared.data() + c.outOffset,
                            c.outStride);
        // Only the picture's pixels count: what lies between its rows is the input's leftovers.
        std::vector<uint32_t> got, want;
        for (size_t y = 0; y < static_cast<size_t>(c.height); ++y) {
            const size_t start = c.outOffset + y * c.outStride;
            got.insert(got.end(), shared.begin() + start, shared.begin() + start + c.width);
            want.insert(want.end(), apart.begin() + start, apart.begin() + start + c.width);
        }
        CHECK_PIXELS(got, want, static_cast<size_t>(c.width));
    }
}

TEST(tellsFormatsApart)
{
    struct Row {
        const char* label;
        PixelFormat format;
        bool plain, convertible;
    };
    const Row cases[] = {
        { "32 bits, 8-8-8, least significant byte first", kArgb, true, true },
        { "most significant byte first", kArgbMsb, false, true },
        { "blue in the high byte", kBgr32, false, true },
        { "depth 30", k30, false, true },
        { "24 bits packed", kPacked24, false, true },
        { "16 bits", k565, false, true },
        { "8 bits a pixel", { 8, 0xE0, 0x1C, 0x03, false }, false, false },
        { "15 bits a pixel", { 15, 0x7C00, 0x03E0, 0x001F, false }, false, false },
        { "a mask outside a 16-bit pixel", { 16, 0x1F0000, 0x07E0, 0x001F, false }, false, false },
        { "a mask in two pieces", { 32, 0xFF0000, 0xF00F, 0xFF, false }, false, false },
        { "a channel of 17 bits", { 32, 0x7F, 0xFFFF80, 0xFF000000, false }, false, false },
        { "no blue", { 32, 0xFF0000, 0xFF00, 0, false }, false, true },
    };
    unsigned char in[8] = {};
    uint32_t out[2] = {};
    for (const Row& c : cases) {
        CASE(c.label);
        CHECK(ombrix::isPlainArgb(c.format) == c.plain);
        CHECK(ombrix::isConvertible(c.format) == c.convertible);
        bool refused = false;
        try {
            ombrix::convertRows(in, 8, c.format, 1, 1, out, 1);
        } catch (const std::invalid_argument&) {
            refused = true;
        }
        CHECK(refused == !c.convertible);
    }

    CASE("rows shorter than their pixels");
    bool refused = false;
    try {
        ombrix::convertRows(in, 5, k565, 3, 2, out, 3);
    } catch (const std::invalid_argument&) {
        refused = true;
    }
    CHECK(refused);
}

TEST(movesOpaque)
{
    // Lengths around the 16-pixel blocks the copy may take at once.
    const size_t lengths[] = { 0, 1, 3, 15, 16, 17, 31, 32, 33, 47, 100 };

    for (size_t n : lengths) {
        CASE("apart, " + std::to_string(n) + " pixels");
        std::vector<uint32_t> in(n);
        for (size_t i = 0; i < n; ++i) {
            in[i] = noise(i);
        }
        std::vector<uint32_t> out(n + 6, kUntouched);
        std::vector<uint32_t> expected = out;
        for (size_t i = 0; i < n; ++i) {
            expected[3 + i] = in[i] | kBlack;
        }
        ombrix::moveOpaque(in.data(), out.data() + 3, n);
        CHECK_PIXELS(out, expected, out.size());
    }

    // Within one buffer, the output a little further on: each block overlaps the next.
    for (size_t n : lengths) {
        for (size_t shift : std::initializer_list<size_t>{ 0, 1, 5, 16, 17 }) {
            CASE("overlapping, " + std::to_string(n) + " pixels moved by " + std::to_string(shift));
            std::vector<uint32_t> buffer(n + shift + 4);
            for (size_t i = 0; i < buffer.size(); ++i) {
                buffer[i] = noise(i);
            }
            std::vector<uint32_t> expected = buffer;
            for (size_t i = 0; i < n; ++i) {
                expected[shift + i] = buffer[i] | kBlack;
            }
            ombrix::moveOpaque(buffer.data(), buffer.data() + shift, n);
            CHECK_PIXELS(buffer, expected, buffer.size());
        }
    }

    // Packed rows at the start of a buffer spread to a wider stride, last row first.
    struct Spread {
        size_t width, height, stride, dx, dy;
    };
    const Spread spreads[] = {
        { 1, 5, 3, 0, 0 },   { 7, 4, 9, 2, 1 },   { 16, 3, 16, 0, 0 },
        { 16, 4, 20, 4, 0 }, { 33, 5, 40, 1, 2 }, { 47, 6, 64, 17, 3 },
    };
    for (const Spread& s : spreads) {
        CASE("rows of " + std::to_string(s.width) + " spread to " + std::to_string(s.stride) +
             " at " + std::to_string(s.dx) + "," + std::to_string(s.dy));
        std::vector<uint32_t> buffer((s.dy + s.height) * s.stride, kUntouched);
        for (size_t i = 0; i < s.width * s.height; ++i) {
            buffer[i] = noise(i);
        }
        const std::vector<uint32_t> before = buffer;
        for (size_t r = s.height; r-- > 0;) {
            ombrix::moveOpaque(
              buffer.data() + r * s.width, buffer.data() + (s.dy + r) * s.stride + s.dx, s.width);
        }
        bool same = true;
        for (size_t r = 0; r < s.height; ++r) {
            for (size_t c = 0; c < s.width; ++c) {
                same = same && buffer[(s.dy + r) * s.stride + s.dx + c] ==
                                 (before[r * s.width + c] | kBlack);
            }
        }
        CHECK(same);
    }
}

namespace
{

struct Layout {
    const char* label;
    std::vector<Rect> monitors;
    std::vector<Rect> blocks; // besides the sweep of small blocks over the whole layout
};

bool shows(const std::vector<Rect>& monitors, int64_t x, int64_t y)
{
    for (const Rect& m : monitors) {
        if (x >= m.x && x < int64_t{ m.x } + m.width && y >= m.y && y < int64_t{ m.y } + m.height) {
            return true;
        }
    }
    return false;
}

// Runs blackOutside on a block filled with a made-up picture and compares it with the
// definition: a pixel is black if and only if no monitor contains it; the rest is untouched,
// and so is what lies between the block's rows.
void checkBlock(const std::string& label, const std::vector<Rect>& monitors, const Rect& block)
{
    const size_t stride = static_cast<size_t>(block.width) + 2;
    std::vector<uint32_t> bits(stride * static_cast<size_t>(block.height), kUntouched);
    for (size_t r = 0; r < static_cast<size_t>(block.height); ++r) {
        for (size_t c = 0; c < static_cast<size_t>(block.width); ++c) {
            bits[r * stride + c] = noise(r * stride + c) | kBlack | 1; // never black
        }
    }
    std::vector<uint32_t> expected = bits;
    for (int r = 0; r < block.height; ++r) {
        for (int c = 0; c < block.width; ++c) {
            if (!shows(monitors, int64_t{ block.x } + c, int64_t{ block.y } + r)) {
                expected[static_cast<size_t>(r) * stride + static_cast<size_t>(c)] = kBlack;
            }
        }
    }
    CASE(label + ", block " + std::to_string(block.x) + "," + std::to_string(block.y) + " " +
         std::to_string(block.width) + "x" + std::to_string(block.height));
    ombrix::blackOutside(
      monitors, block.x, block.y, block.width, block.height, bits.data(), stride);
    CHECK_PIXELS(bits, expected, stride);
}

} // namespace

TEST(blacksOutOnlyWhatNoMonitorShows)
{
    const Layout layouts[] = {
        { "one monitor", { { 0, 0, 32, 18 } }, { { 2, 3, 20, 10 }, { 0, 0, 32, 18 } } },
        { "side by side, the right one shorter",
          { { 0, 0, 20, 12 }, { 20, 0, 14, 9 } },
          { { 0, 0, 34, 12 }, { 15, 5, 15, 7 }, { 21, 8, 10, 4 } } },
        { "side by side, same height: covered by two together",
          { { 0, 0, 20, 12 }, { 20, 0, 14, 12 } },
          { { 10, 2, 20, 8 } } },
        { "an L", { { 0, 0, 16, 8 }, { 0, 8, 8, 8 } }, { { 0, 0, 16, 16 }, { 4, 4, 10, 10 } } },
        { "a gap between", { { 0, 0, 10, 10 }, { 14, 0, 10, 10 } }, { { 0, 0, 24, 10 } } },
        { "listed right to left, with gaps",
          { { 22, 0, 8, 10 }, { 10, 0, 10, 10 }, { 0, 0, 8, 10 } },
          { { 0, 0, 30, 10 } } },
        { "one above the other, offset",
          { { 0, 0, 12, 6 }, { 5, 6, 12, 6 } },
          { { 0, 0, 17, 12 } } },
        { "at negative coordinates",
          { { -10, -5, 10, 10 }, { 0, 0, 12, 12 } },
          { { -6, -8, 14, 16 }, { -12, -7, 26, 21 } } },
        { "overlapping",
          { { 0, 0, 10, 10 }, { 5, 5, 10, 10 }, { 2, 3, 4, 4 }, { 12, -2, 3, 20 } },
          { { -2, -3, 19, 20 } } },
        { "rectangles of no size", { { 0, 0, 0, 10 }, { 3, 3, 6, -2 } }, { { 0, 0, 6, 6 } } },
        { "no monitor", {}, { { -3, -3, 9, 9 } } },
        { "near the end of int",
          { { INT_MAX - 6, 0, 100, 5 } },
          { { INT_MAX - 10, 0, 8, 7 }, { INT_MAX - 4, 1, 4, 2 } } },
    };
    for (const Layout& layout : layouts) {
        for (const Rect& block : layout.blocks) {
            checkBlock(layout.label, layout.monitors, block);
        }
        if (layout.monitors.empty() || layout.monitors[0].x > INT_MAX / 2) {
            continue;
        }
        // Small blocks at every place over the layout and its border: every edge and corner.
        int64_t left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;
        for (const Rect& m : layout.monitors) {
            left = std::min<int64_t>(left, m.x);
            top = std::min<int64_t>(top, m.y);
            right = std::max<int64_t>(right, int64_t{ m.x } + m.width);
            bottom = std::max<int64_t>(bottom, int64_t{ m.y } + m.height);
        }
        for (int64_t by = top - 3; by < bottom; ++by) {
            for (int64_t bx = left - 4; bx < right; ++bx) {
                checkBlock(layout.label,
                           layout.monitors,
                           { static_cast<int>(bx), static_cast<int>(by), 5, 4 });
            }
        }
    }
}

int main()
{
    return check::runAll();
}
