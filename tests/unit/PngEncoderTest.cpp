// Our PNG encoder, for the clipboard and for saved files: every pixel decodes back as it was,
// whatever the picture's shape and the settings, the file holds up to a strict reading of its
// chunks and its zlib stream, and a failed write is reported.

#include "PngEncoder.h"

#include <QBuffer>
#include <QImage>
#include <QSet>
#include <QTest>
#include <QThreadPool>
#include <QtEndian>

#include <zlib.h>

Q_DECLARE_METATYPE(PngSettings)

namespace
{

enum class Kind {
    Noise,         // every pixel random, opaque: nothing to compress, every Paeth case
    Smooth,        // the test desktop's gradients, opaque
    Screen,        // flat areas and a repeated motif, opaque: long matches across strips
    Translucent,   // every pixel random, alpha included
    OneClearPixel, // opaque but for the very last pixel
};

QImage makePicture(QSize size, Kind kind)
{
    QImage picture(size, QImage::Format_ARGB32);
    const quint32 motif[] = { 0xFFFFFFFFu, 0xFF202020u, 0xFF3366CCu };
    quint32 state = 7;
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<quint32*>(picture.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            state = state * 1664525u + 1013904223u;
            switch (kind) {
                case Kind::Noise:
                case Kind::OneClearPixel:
                    line[x] = 0xFF000000u | state >> 8;
                    break;
                case Kind::Smooth:
                    line[x] =
                      0xFF000000u | quint32((x & 255) << 16 | (y & 255) << 8 | (x + y) % 251);
                    break;
                case Kind::Screen:
                    line[x] = motif[((x / 7) ^ (y / 5)) % 3] ^ (y % 40 == 0 ? 0x00FF00u : 0);
                    break;
                case Kind::Translucent:
                    line[x] = state;
                    break;
            }
        }
    }
    if (kind == Kind::OneClearPixel) {
        picture.setPixel(size.width() - 1, size.height() - 1, 0x00123456u);
    }
    return picture;
}

struct Chunk {
    QByteArray type;
    qsizetype start; // of the data
    qsizetype length;
};

// The file's chunks, in order; empty if they do not add up to the file.
QList<Chunk> chunksOf(const QByteArray& png)
{
    QList<Chunk> chunks;
    qsizetype at = 8;
    while (at + 12 <= png.size()) {
        const qsizetype length = qFromBigEndian<quint32>(png.constData() + at);
        if (length > png.size() - at - 12) {
            return {};
        }
        chunks.push_back({ png.mid(at + 4, 4), at + 8, length });
        at += 12 + length;
    }
    return at == png.size() ? chunks : QList<Chunk>();
}

uLong crcOf(const QByteArray& png, const Chunk& c)
{
    return crc32(0L,
                 reinterpret_cast<const Bytef*>(png.constData() + c.start - 4),
                 static_cast<uInt>(c.length + 4));
}

struct Reading {
    QString problem; // empty when the file holds
    int colourType = -1;
    QSet<int> filters; // the rows' filter types
};

// A strict reading, by zlib alone: signature, every chunk's CRC, the header, one zlib stream
// over the IDAT chunks that ends exactly at their end with the right Adler-32, and exactly one
// filtered row of the right length per picture row.
Reading readPng(const QByteArray& png)
{
    Reading r;
    if (!png.startsWith("\x89PNG\r\n\x1a\n")) {
        r.problem = "no signature";
        return r;
    }
    const QList<Chunk> chunks = chunksOf(png);
    if (chunks.size() < 3 || chunks.front().type != "IHDR" || chunks.back().type != "IEND") {
        r.problem = "chunks out of order or cut";
        return r;
    }
    QByteArray stream;
    for (const Chunk& c : chunks) {
        if (crcOf(png, c) != qFromBigEndian<quint32>(png.constData() + c.start + c.length)) {
            r.problem = "bad CRC in " + QString::fromLatin1(c.type);
            return r;
        }
        if (c.type == "IDAT") {
            stream += png.mid(c.start, c.length);
        }
    }
    const Chunk& header = chunks.front();
    const uchar* h = reinterpret_cast<const uchar*>(png.constData() + header.start);
    const quint32 width = qFromBigEndian<quint32>(h), height = qFromBigEndian<quint32>(h + 4);
    r.colourType = h[9];
    const int bpp = h[9] == 2 ? 3 : h[9] == 6 ? 4 : 0;
    if (header.length != 13 || h[8] != 8 || bpp == 0 || h[10] || h[11] || h[12] || !width ||
        !height) {
        r.problem = "bad header";
        return r;
    }

    const size_t rowBytes = 1 + size_t(width) * size_t(bpp);
    QByteArray raw(qsizetype(rowBytes * height) + 1, Qt::Uninitialized);
    z_stream z{};
    inflateInit(&z);
    z.next_in = reinterpret_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = reinterpret_cast<Bytef*>(raw.data());
    z.avail_out = static_cast<uInt>(raw.size());
    const int result = inflate(&z, Z_FINISH);
    const size_t produced = z.total_out;
    const uInt left = z.avail_in;
    inflateEnd(&z);
    if (result != Z_STREAM_END) {
        r.problem = QString("zlib stream: %1").arg(result);
    } else if (left != 0) {
        r.problem = "data after the zlib stream";
    } else if (produced != rowBytes * height) {
        r.problem = QString("%1 bytes of rows instead of %2").arg(produced).arg(rowBytes * height);
    }
    for (quint32 y = 0; y < height && r.problem.isEmpty(); ++y) {
        const int filter = uchar(raw[qsizetype(y * rowBytes)]);
        r.filters.insert(filter);
        if (filter > 4) {
            r.problem = QString("row %1: filter %2").arg(y).arg(filter);
        }
    }
    return r;
}

// Takes the first `room` bytes, then refuses.
class FullDevice : public QIODevice
{
public:
    explicit FullDevice(qint64 room)
      : room_(room)
    {
        open(QIODevice::WriteOnly);
    }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64 size) override
    {
        const qint64 taken = std::min(size, room_);
        room_ -= taken;
        return taken == size ? size : -1;
    }

private:
    qint64 room_;
};

const PngSettings kEveryFilter[] = {
    { PngSettings::Filter::None, 1, PngSettings::Deflate::Default },
    { PngSettings::Filter::Sub, 2, PngSettings::Deflate::Filtered },
    { PngSettings::Filter::Up, 3, PngSettings::Deflate::RunLength },
    { PngSettings::Filter::Average, 4, PngSettings::Deflate::Default },
    { PngSettings::Filter::Paeth, 6, PngSettings::Deflate::Default },
    { PngSettings::Filter::Adaptive, 9, PngSettings::Deflate::Filtered },
};

} // namespace

Q_DECLARE_METATYPE(Kind)

class PngEncoderTest : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void otherPixelFormats_data();
    void otherPixelFormats();
    void faultsAreCaught_data();
    void faultsAreCaught();
    void failedWritesAreReported_data();
    void failedWritesAreReported();
    void bytesDoNotDependOnTheThreads();
};

void PngEncoderTest::roundTrip_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<PngSettings>("settings");
    const struct {
        const char* name;
        PngSettings settings;
    } uses[] = { { "clipboard", kClipboardPng }, { "file", kFilePng } };
    for (const auto& use : uses) {
        const PngSettings& s = use.settings;
        QTest::addRow("%s: one pixel", use.name) << QSize(1, 1) << Kind::Noise << s;
        QTest::addRow("%s: one row", use.name) << QSize(301, 1) << Kind::Noise << s;
        QTest::addRow("%s: one column", use.name) << QSize(1, 257) << Kind::Noise << s;
        QTest::addRow("%s: small, smooth", use.name) << QSize(380, 242) << Kind::Smooth << s;
        QTest::addRow("%s: full screen, noisy", use.name) << QSize(1916, 1076) << Kind::Noise << s;
        QTest::addRow("%s: strips, smooth", use.name) << QSize(1023, 777) << Kind::Smooth << s;
        QTest::addRow("%s: strips, screen-like", use.name) << QSize(1001, 601) << Kind::Screen << s;
        // Rows longer than a strip: every strip one row, the one before as its dictionary.
        QTest::addRow("%s: rows wider than a strip", use.name)
          << QSize(90001, 3) << Kind::Screen << s;
        QTest::addRow("%s: translucent", use.name) << QSize(641, 480) << Kind::Translucent << s;
        QTest::addRow("%s: one clear pixel at the end", use.name)
          << QSize(333, 222) << Kind::OneClearPixel << s;
    }
    const char* const filterNames[] = { "None", "Sub", "Up", "Average", "Paeth", "Adaptive" };
    for (const PngSettings& s : kEveryFilter) {
        const char* name = filterNames[int(s.filter)];
        QTest::addRow("%s, level %d: noisy", name, s.level) << QSize(131, 67) << Kind::Noise << s;
        QTest::addRow("%s, level %d: translucent", name, s.level)
          << QSize(129, 71) << Kind::Translucent << s;
        QTest::addRow("%s, level %d: strips, smooth", name, s.level)
          << QSize(520, 300) << Kind::Smooth << s;
    }
}

void PngEncoderTest::roundTrip()
{
    QFETCH(QSize, size);
    QFETCH(Kind, kind);
    QFETCH(PngSettings, settings);
    const QImage picture = makePicture(size, kind);
    const QByteArray png = encodePng(picture, settings);

    const Reading reading = readPng(png);
    QVERIFY2(reading.problem.isEmpty(), qPrintable(reading.problem));
    const bool opaque = kind != Kind::Translucent && kind != Kind::OneClearPixel;
    QCOMPARE(reading.colourType, opaque ? 2 : 6);
    if (settings.filter != PngSettings::Filter::Adaptive) {
        QCOMPARE(reading.filters, QSet<int>{ int(settings.filter) });
    }

    QImage back;
    QVERIFY(back.loadFromData(png, "PNG"));
    QCOMPARE(back.size(), size);
    QCOMPARE(back.convertToFormat(QImage::Format_ARGB32), picture);

    // The file's way gives the same bytes.
    QBuffer file;
    file.open(QIODevice::WriteOnly);
    QVERIFY(writePng(file, picture, settings));
    QCOMPARE(file.data(), png);
}

void PngEncoderTest::otherPixelFormats_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<int>("colourType");
    QTest::addRow("RGB32") << int(QImage::Format_RGB32) << Kind::Noise << 2;
    QTest::addRow("RGB888") << int(QImage::Format_RGB888) << Kind::Smooth << 2;
    QTest::addRow("premultiplied, opaque")
      << int(QImage::Format_ARGB32_Premultiplied) << Kind::Noise << 2;
    QTest::addRow("premultiplied, translucent")
      << int(QImage::Format_ARGB32_Premultiplied) << Kind::Translucent << 6;
}

void PngEncoderTest::otherPixelFormats()
{
    QFETCH(int, format);
    QFETCH(Kind, kind);
    QFETCH(int, colourType);
    const QImage picture =
      makePicture(QSize(257, 131), kind).convertToFormat(QImage::Format(format));
    const QByteArray png = encodePng(picture, kFilePng);
    const Reading reading = readPng(png);
    QVERIFY2(reading.problem.isEmpty(), qPrintable(reading.problem));
    QCOMPARE(reading.colourType, colourType);
    QImage back;
    QVERIFY(back.loadFromData(png, "PNG"));
    QCOMPARE(back.convertToFormat(QImage::Format_ARGB32),
             picture.convertToFormat(QImage::Format_ARGB32));
}

void PngEncoderTest::faultsAreCaught_data()
{
    QTest::addColumn<QByteArray>("chunk");
    // The byte to change: from the chunk's data on, or, below 0, from the end of its CRC.
    QTest::addColumn<int>("at");
    QTest::addColumn<bool>("fixCrc");
    QTest::addRow("IHDR's CRC") << QByteArray("IHDR") << -4 << false;
    QTest::addRow("IDAT's CRC") << QByteArray("IDAT") << -1 << false;
    QTest::addRow("IEND's CRC") << QByteArray("IEND") << -2 << false;
    QTest::addRow("deflate data") << QByteArray("IDAT") << 100 << false;
    // Faults that only the zlib stream shows, as a wrong joining of the strips would make.
    QTest::addRow("deflate data, CRC to match") << QByteArray("IDAT") << 100 << true;
    QTest::addRow("Adler-32, CRC to match") << QByteArray("IDAT") << -5 << true;
}

// The decoders used above catch a damaged file, so that a round trip cannot pass with one.
void PngEncoderTest::faultsAreCaught()
{
    QFETCH(QByteArray, chunk);
    QFETCH(int, at);
    QFETCH(bool, fixCrc);
    const QImage picture = makePicture(QSize(700, 500), Kind::Screen);
    QByteArray png = encodePng(picture, kFilePng);
    QVERIFY(readPng(png).problem.isEmpty());
    QImage back;
    QVERIFY(back.loadFromData(png, "PNG"));

    const QList<Chunk> chunks = chunksOf(png);
    const auto c =
      std::find_if(chunks.begin(), chunks.end(), [&](const Chunk& k) { return k.type == chunk; });
    QVERIFY(c != chunks.end() && c->length > at);
    const qsizetype where = c->start + (at >= 0 ? at : c->length + 4 + at);
    png[where] = char(png[where] ^ 0x24);
    if (fixCrc) {
        qToBigEndian<quint32>(static_cast<quint32>(crcOf(png, *c)),
                              png.data() + c->start + c->length);
    }
    QVERIFY(!readPng(png).problem.isEmpty());
    QVERIFY(!back.loadFromData(png, "PNG"));
}

void PngEncoderTest::failedWritesAreReported_data()
{
    QTest::addColumn<qint64>("room");
    QTest::addRow("nothing written") << qint64(0);
    QTest::addRow("in the header") << qint64(20);
    QTest::addRow("in the picture's data") << qint64(5000);
    QTest::addRow("all but the last byte") << qint64(-1);
}

void PngEncoderTest::failedWritesAreReported()
{
    QFETCH(qint64, room);
    const QImage picture = makePicture(QSize(640, 480), Kind::Noise);
    const QByteArray png = encodePng(picture, kFilePng);
    FullDevice device(room >= 0 ? room : png.size() - 1);
    QVERIFY(!writePng(device, picture, kFilePng));

    FullDevice enough(png.size());
    QVERIFY(writePng(enough, picture, kFilePng));
    // Nothing to encode is a failure too, as it is for Qt's writers.
    QVERIFY(encodePng(QImage(), kFilePng).isEmpty());
    QVERIFY(!writePng(enough, QImage(), kFilePng));
}

// The strips are cut by size, not by the number of cores: a picture always makes the same file.
void PngEncoderTest::bytesDoNotDependOnTheThreads()
{
    const QImage picture = makePicture(QSize(1500, 900), Kind::Screen);
    QThreadPool* pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    pool->setMaxThreadCount(1);
    const QByteArray few = encodePng(picture, kFilePng);
    pool->setMaxThreadCount(8);
    const QByteArray many = encodePng(picture, kFilePng);
    pool->setMaxThreadCount(threads);
    QVERIFY(!few.isEmpty());
    QCOMPARE(few, many);
}

QTEST_APPLESS_MAIN(PngEncoderTest)
#include "PngEncoderTest.moc"
