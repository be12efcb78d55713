#include "PngEncoder.h"

#include <QIODevice>
#include <QImage>
#include <QtConcurrent/QtConcurrentMap>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

const PngSettings kClipboardPng{ PngSettings::Filter::Sub, 1, PngSettings::Deflate::RunLength };
// Chosen by measuring full screens of gradients, noise, text and a photograph against Qt's
// writer. Paeth predicts gradients and flat areas alike: with Sub or Up, gradients come out 1.4
// to 2.8 times as large, and 3.4 times at levels 1 to 3. Level 4 suffices for screens; at level
// 5 the photograph, too, stays below Qt's size.
const PngSettings kFilePng{ PngSettings::Filter::Paeth, 5, PngSettings::Deflate::Default };

namespace
{

using Filter = PngSettings::Filter;

// Strips of about this many filtered bytes: enough of them to keep every core busy to the end,
// few enough that the joins cost nothing worth counting.
constexpr size_t kStripBytes = 256 * 1024;
// Deflate refers back this far at most. Each strip has the end of the strip before as its
// dictionary, so that cutting the picture into strips costs almost no compression.
constexpr size_t kWindow = 32 * 1024;
// The longest chunk PNG allows.
constexpr size_t kMaxChunk = 0x7FFFFFFF;

struct Strip {
    int first = 0; // rows [first, last)
    int last = 0;
    QByteArray deflated;
    uLong adler = 1; // of the filtered rows
    uLong crc = 0;   // of the deflated bytes
    bool ok = false;
};

bool isOpaque(const QImage& picture)
{
    for (int y = 0; y < picture.height(); ++y) {
        const auto* in = reinterpret_cast<const quint32*>(picture.constScanLine(y));
        quint32 all = 0xFFFFFFFFu;
        for (int x = 0; x < picture.width(); ++x) {
            all &= in[x];
        }
        if (all >> 24 != 0xFF) {
            return false;
        }
    }
    return true;
}

// One row of ARGB32 pixels as PNG's RGB or RGBA bytes.
void toBytes(const quint32* in, int width, int bpp, uchar* out)
{
    if (bpp == 3) {
        for (int x = 0; x < width; ++x, out += 3) {
            out[0] = static_cast<uchar>(in[x] >> 16);
            out[1] = static_cast<uchar>(in[x] >> 8);
            out[2] = static_cast<uchar>(in[x]);
        }
    } else {
        for (int x = 0; x < width; ++x, out += 4) {
            out[0] = static_cast<uchar>(in[x] >> 16);
            out[1] = static_cast<uchar>(in[x] >> 8);
            out[2] = static_cast<uchar>(in[x]);
            out[3] = static_cast<uchar>(in[x] >> 24);
        }
    }
}

// The row `cur` of n bytes filtered against the row above it, `prev`, into `out`.
void applyFilter(Filter filter, const uchar* cur, const uchar* prev, size_t n, int bpp, uchar* out)
{
    const size_t b = static_cast<size_t>(bpp);
    switch (filter) {
        case Filter::None:
        case Filter::Adaptive: // not a filter of its own: one of the others is chosen per row
            std::memcpy(out, cur, n);
            break;
        case Filter::Sub:
            std::memcpy(out, cur, b);
            for (size_t i = b; i < n; ++i) {
                out[i] = static_cast<uchar>(cur[i] - cur[i - b]);
            }
            break;
        case Filter::Up:
            for (size_t i = 0; i < n; ++i) {
                out[i] = static_cast<uchar>(cur[i] - prev[i]);
            }
            break;
        case Filter::Average:
            for (size_t i = 0; i < b; ++i) {
                out[i] = static_cast<uchar>(cur[i] - (prev[i] >> 1));
            }
            for (size_t i = b; i < n; ++i) {
                out[i] = static_cast<uchar>(cur[i] - ((cur[i - b] + prev[i]) >> 1));
            }
            break;
        case Filter::Paeth:
            for (size_t i = 0; i < b; ++i) {
                out[i] = static_cast<uchar>(cur[i] - prev[i]);
            }
            for (size_t i = b; i < n; ++i) {
                const int a = cur[i - b], up = prev[i], c = prev[i - b];
                const int pa = std::abs(up - c), pb = std::abs(a - c),
                          pc = std::abs(a + up - 2 * c);
                // Written without && so that it compiles without branches, which random pixels
                // would mispredict half of the time.
                const int upOrCorner = pb <= pc ? up : c;
                const int predicted = (pa <= pb) & (pa <= pc) ? a : upOrCorner;
                out[i] = static_cast<uchar>(cur[i] - predicted);
            }
            break;
    }
}

// How far a filtered row lies from all zeros, its bytes read as signed: libpng's measure.
size_t distanceFromZero(const uchar* row, size_t n)
{
    size_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        sum += static_cast<size_t>(std::abs(static_cast<int>(static_cast<signed char>(row[i]))));
    }
    return sum;
}

int levelBits(const PngSettings& settings)
{
    if (settings.level <= 1 || settings.deflate == PngSettings::Deflate::RunLength) {
        return 0;
    }
    if (settings.level <= 5) {
        return 1;
    }
    return settings.level == 6 ? 2 : 3;
}

class Encoder
{
public:
    Encoder(const QImage& source, const PngSettings& settings)
      : settings_(settings)
    {
        if (source.format() == QImage::Format_RGB32 || source.format() == QImage::Format_ARGB32) {
            picture_ = source;
        } else {
            picture_ = source.convertToFormat(source.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                       : QImage::Format_RGB32);
        }
        // Format_RGB32 guarantees opaque pixels; an ARGB32 picture is looked at.
        bpp_ = picture_.format() == QImage::Format_RGB32 || isOpaque(picture_) ? 3 : 4;
        rowBytes_ = 1 + static_cast<size_t>(picture_.width()) * static_cast<size_t>(bpp_);
    }

    bool run()
    {
        const int h = picture_.height();
        if (picture_.isNull() || h <= 0 || picture_.width() <= 0) {
            return false;
        }
        const int rowsPerStrip =
          static_cast<int>(std::clamp<size_t>(kStripBytes / rowBytes_, 1, static_cast<size_t>(h)));
        for (int first = 0; first < h; first += rowsPerStrip) {
            Strip s;
            s.first = first;
            s.last = std::min(h, first + rowsPerStrip);
            strips_.push_back(std::move(s));
        }
        QtConcurrent::blockingMap(strips_, [this](Strip& s) { makeStrip(s); });
        return std::all_of(strips_.begin(), strips_.end(), [](const Strip& s) { return s.ok; });
    }

    // Hands the file's bytes, in order, to write(const char*, qsizetype) -> bool.
    template<typename Write>
    bool writeTo(Write write) const
    {
        if (!write("\x89PNG\r\n\x1a\n", 8)) {
            return false;
        }
        uchar header[13] = {};
        qToBigEndian<quint32>(static_cast<quint32>(picture_.width()), header);
        qToBigEndian<quint32>(static_cast<quint32>(picture_.height()), header + 4);
        header[8] = 8;                 // bits per channel
        header[9] = bpp_ == 3 ? 2 : 6; // RGB or RGBA
        if (!writeChunk(write, "IHDR", { Piece::of(header, sizeof header) })) {
            return false;
        }

        // zlib's header: deflate with a 32 kB window, and how hard it tried in two bits, as
        // zlib sets them; the check bits make the pair a multiple of 31.
        uchar zlibHeader[2] = { 0x78, static_cast<uchar>(levelBits(settings_) << 6) };
        zlibHeader[1] = static_cast<uchar>(zlibHeader[1] + 31 - ((0x78 << 8 | zlibHeader[1]) % 31));
        uLong adler = 1;
        std::vector<Piece> pieces{ Piece::of(zlibHeader, 2) };
        for (const Strip& s : strips_) {
            adler = adler32_combine(
              adler,
              s.adler,
              static_cast<z_off_t>(rowBytes_ * static_cast<size_t>(s.last - s.first)));
            pieces.push_back(
              { s.deflated.constData(), static_cast<size_t>(s.deflated.size()), s.crc });
        }
        uchar zlibTrailer[4];
        qToBigEndian<quint32>(static_cast<quint32>(adler), zlibTrailer);
        pieces.push_back(Piece::of(zlibTrailer, 4));

        // As few IDAT chunks as a chunk's length allows.
        for (size_t i = 0; i < pieces.size();) {
            size_t length = 0, end = i;
            while (end < pieces.size() && length + pieces[end].size <= kMaxChunk) {
                length += pieces[end++].size;
            }
            if (end == i ||
                !writeChunk(write,
                            "IDAT",
                            std::vector<Piece>(pieces.begin() + static_cast<ptrdiff_t>(i),
                                               pieces.begin() + static_cast<ptrdiff_t>(end)))) {
                return false;
            }
            i = end;
        }
        return writeChunk(write, "IEND", {});
    }

private:
    struct Piece {
        const char* data;
        size_t size;
        uLong crc;
        static Piece of(const uchar* data, size_t size)
        {
            return { reinterpret_cast<const char*>(data), size, crc32_z(0, data, size) };
        }
    };

    template<typename Write>
    static bool writeChunk(Write write, const char type[4], const std::vector<Piece>& pieces)
    {
        size_t length = 0;
        uLong crc = crc32_z(0, reinterpret_cast<const Bytef*>(type), 4);
        for (const Piece& p : pieces) {
            length += p.size;
            crc = crc32_combine(crc, p.crc, static_cast<z_off_t>(p.size));
        }
        uchar lengthBytes[4], crcBytes[4];
        qToBigEndian<quint32>(static_cast<quint32>(length), lengthBytes);
        qToBigEndian<quint32>(static_cast<quint32>(crc), crcBytes);
        if (!write(reinterpret_cast<const char*>(lengthBytes), 4) || !write(type, 4)) {
            return false;
        }
        for (const Piece& p : pieces) {
            if (!write(p.data, static_cast<qsizetype>(p.size))) {
                return false;
            }
        }
        return write(reinterpret_cast<const char*>(crcBytes), 4);
    }

    void rowBytes(int y, uchar* out) const
    {
        toBytes(
          reinterpret_cast<const quint32*>(picture_.constScanLine(y)), picture_.width(), bpp_, out);
    }

    // Rows [first, last) filtered, into `out`.
    void filterRows(int first, int last, uchar* out) const
    {
        const size_t n = rowBytes_ - 1;
        std::vector<uchar> above(n, 0), current(n);
        std::vector<uchar> trial;
        if (settings_.filter == Filter::Adaptive) {
            trial.resize(n * 5);
        }
        if (first > 0) {
            rowBytes(first - 1, above.data());
        }
        for (int y = first; y < last; ++y, out += rowBytes_) {
            rowBytes(y, current.data());
            if (settings_.filter == Filter::Adaptive) {
                size_t best = 0, bestDistance = SIZE_MAX;
                for (size_t f = 0; f < 5; ++f) {
                    applyFilter(static_cast<Filter>(f),
                                current.data(),
                                above.data(),
                                n,
                                bpp_,
                                trial.data() + f * n);
                    const size_t d = distanceFromZero(trial.data() + f * n, n);
                    if (d < bestDistance) {
                        best = f;
                        bestDistance = d;
                    }
                }
                out[0] = static_cast<uchar>(best);
                std::memcpy(out + 1, trial.data() + best * n, n);
            } else {
                out[0] = static_cast<uchar>(settings_.filter);
                applyFilter(settings_.filter, current.data(), above.data(), n, bpp_, out + 1);
            }
            above.swap(current);
        }
    }

    void makeStrip(Strip& s) const
    {
        // The rows before the strip that deflate may refer back to, filtered again here so that
        // each strip is made on its own, in memory of its own.
        const int back = static_cast<int>(
          std::min((kWindow + rowBytes_ - 1) / rowBytes_, static_cast<size_t>(s.first)));
        const size_t before = rowBytes_ * static_cast<size_t>(back);
        const size_t n = rowBytes_ * static_cast<size_t>(s.last - s.first);
        const std::unique_ptr<uchar[]> rows(new (std::nothrow) uchar[before + n]);
        if (!rows) {
            return;
        }
        filterRows(s.first - back, s.last, rows.get());
        const uchar* in = rows.get() + before;
        s.adler = adler32_z(1L, in, n);

        const bool final = &s == &strips_.back();
        const int strategy = settings_.deflate == PngSettings::Deflate::RunLength ? Z_RLE
                             : settings_.deflate == PngSettings::Deflate::Filtered
                               ? Z_FILTERED
                               : Z_DEFAULT_STRATEGY;
        z_stream z{};
        if (n > UINT_MAX ||
            deflateInit2(&z, settings_.level, Z_DEFLATED, -15, 8, strategy) != Z_OK) {
            return;
        }
        const size_t dictionary = std::min(kWindow, before);
        if (dictionary > 0) {
            deflateSetDictionary(&z, in - dictionary, static_cast<uInt>(dictionary));
        }
        // Room for the worst case, so that one call almost always does it all.
        s.deflated.resize(static_cast<qsizetype>(deflateBound(&z, static_cast<uLong>(n)) + 64));
        z.next_in = const_cast<Bytef*>(in);
        z.avail_in = static_cast<uInt>(n);
        size_t used = 0;
        for (;;) {
            z.next_out = reinterpret_cast<Bytef*>(s.deflated.data()) + used;
            z.avail_out = static_cast<uInt>(static_cast<size_t>(s.deflated.size()) - used);
            const int result = deflate(&z, final ? Z_FINISH : Z_SYNC_FLUSH);
            used = static_cast<size_t>(s.deflated.size()) - z.avail_out;
            if (result == Z_STREAM_END || (!final && z.avail_in == 0 && z.avail_out > 0)) {
                s.ok = true;
                break;
            }
            if ((result != Z_OK && result != Z_BUF_ERROR) || z.avail_out > 0) {
                break;
            }
            s.deflated.resize(s.deflated.size() * 2);
        }
        deflateEnd(&z);
        s.deflated.resize(static_cast<qsizetype>(used));
        s.crc = crc32_z(0, reinterpret_cast<const Bytef*>(s.deflated.constData()), used);
    }

    PngSettings settings_;
    QImage picture_;
    int bpp_ = 3;
    size_t rowBytes_ = 0;
    std::vector<Strip> strips_;
};

} // namespace

QByteArray encodePng(const QImage& picture, const PngSettings& settings)
{
    Encoder encoder(picture, settings);
    if (!encoder.run()) {
        return {};
    }
    // Counted first, so that the bytes are put in place once rather than moved at each growth.
    qsizetype total = 0;
    encoder.writeTo([&total](const char*, qsizetype size) {
        total += size;
        return true;
    });
    QByteArray out;
    out.reserve(total);
    encoder.writeTo([&out](const char* data, qsizetype size) {
        out.append(data, size);
        return true;
    });
    return out;
}

bool writePng(QIODevice& device, const QImage& picture, const PngSettings& settings)
{
    Encoder encoder(picture, settings);
    return encoder.run() && encoder.writeTo([&device](const char* data, qsizetype size) {
        return device.write(data, size) == size;
    });
}
