#include "PngEncoder.h"

#include <QImage>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace
{

void appendChunk(QByteArray& out, const char type[4], const QByteArray& data)
{
    uchar length[4];
    qToBigEndian<quint32>(static_cast<quint32>(data.size()), length);
    out.append(reinterpret_cast<const char*>(length), 4);
    const qsizetype start = out.size();
    out.append(type, 4);
    out.append(data);
    const uLong crc = crc32(0L,
                            reinterpret_cast<const Bytef*>(out.constData() + start),
                            static_cast<uInt>(out.size() - start));
    uchar sum[4];
    qToBigEndian<quint32>(static_cast<quint32>(crc), sum);
    out.append(reinterpret_cast<const char*>(sum), 4);
}

// Rows [first, last) filtered and deflated as raw deflate blocks; the last part of the picture
// ends the stream, the others end on a byte boundary so that the parts can be joined.
struct Part {
    std::vector<Bytef> filtered;
    std::vector<Bytef> deflated;
    uLong adler = 0;
};

void makePart(const QImage& picture, int first, int last, bool final, Part& part)
{
    const int w = picture.width();
    const size_t rowBytes = 1 + static_cast<size_t>(w) * 3;
    part.filtered.resize(rowBytes * static_cast<size_t>(last - first));
    Bytef* out = part.filtered.data();
    for (int y = first; y < last; ++y) {
        const auto* in = reinterpret_cast<const quint32*>(picture.constScanLine(y));
        *out++ = 1; // Sub: each byte less the same byte of the pixel to its left
        quint32 left = 0;
        for (int x = 0; x < w; ++x) {
            const quint32 p = in[x];
            out[0] = static_cast<Bytef>(((p >> 16) - (left >> 16)) & 0xFF);
            out[1] = static_cast<Bytef>(((p >> 8) - (left >> 8)) & 0xFF);
            out[2] = static_cast<Bytef>((p - left) & 0xFF);
            out += 3;
            left = p;
        }
    }
    part.adler = adler32(1L, part.filtered.data(), static_cast<uInt>(part.filtered.size()));

    z_stream z{};
    deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, -15, 8, Z_RLE);
    part.deflated.resize(deflateBound(&z, part.filtered.size()) + 16);
    z.next_in = part.filtered.data();
    z.avail_in = static_cast<uInt>(part.filtered.size());
    z.next_out = part.deflated.data();
    z.avail_out = static_cast<uInt>(part.deflated.size());
    deflate(&z, final ? Z_FINISH : Z_FULL_FLUSH);
    part.deflated.resize(part.deflated.size() - z.avail_out);
    deflateEnd(&z);
}

} // namespace

QByteArray encodeFastPng(const QImage& source)
{
    const QImage picture =
      source.format() == QImage::Format_ARGB32 || source.format() == QImage::Format_RGB32
        ? source
        : source.convertToFormat(QImage::Format_RGB32);
    const int w = picture.width(), h = picture.height();
    QByteArray out("\x89PNG\r\n\x1a\n", 8);
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(static_cast<quint32>(w), header.data());
    qToBigEndian<quint32>(static_cast<quint32>(h), header.data() + 4);
    header[8] = 8; // bits per channel
    header[9] = 2; // RGB
    appendChunk(out, "IHDR", header);

    const int parts =
      std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, std::max(1, h / 64));
    std::vector<Part> done(static_cast<size_t>(parts));
    std::vector<std::thread> workers;
    for (int i = 0; i < parts; ++i) {
        const int first = h * i / parts, last = h * (i + 1) / parts;
        const bool final = i == parts - 1;
        if (i == parts - 1) {
            makePart(picture, first, last, final, done[static_cast<size_t>(i)]);
        } else {
            workers.emplace_back(makePart,
                                 std::cref(picture),
                                 first,
                                 last,
                                 final,
                                 std::ref(done[static_cast<size_t>(i)]));
        }
    }
    for (std::thread& t : workers) {
        t.join();
    }

    QByteArray stream("\x78\x01", 2); // zlib header: deflate, fastest
    uLong adler = 1L;
    for (const Part& p : done) {
        stream.append(reinterpret_cast<const char*>(p.deflated.data()),
                      static_cast<qsizetype>(p.deflated.size()));
        adler = adler32_combine(adler, p.adler, static_cast<z_off_t>(p.filtered.size()));
    }
    uchar sum[4];
    qToBigEndian<quint32>(static_cast<quint32>(adler), sum);
    stream.append(reinterpret_cast<const char*>(sum), 4);
    appendChunk(out, "IDAT", stream);
    appendChunk(out, "IEND", QByteArray());
    return out;
}
