// The clipboard's PNG: every pixel decodes back as it was, whatever the picture's shape.

#include "PngEncoder.h"

#include <QImage>
#include <QTest>

class PngEncoderTest : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
};

void PngEncoderTest::roundTrip_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("noisy");
    QTest::addRow("one pixel") << QSize(1, 1) << true;
    QTest::addRow("one row") << QSize(301, 1) << true;
    QTest::addRow("one column") << QSize(1, 257) << true;
    QTest::addRow("small, smooth") << QSize(380, 242) << false;
    QTest::addRow("rows split among workers, noisy") << QSize(1916, 1076) << true;
    QTest::addRow("rows split among workers, smooth") << QSize(1023, 777) << false;
}

void PngEncoderTest::roundTrip()
{
    QFETCH(QSize, size);
    QFETCH(bool, noisy);
    QImage picture(size, QImage::Format_ARGB32);
    quint32 state = 7;
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<quint32*>(picture.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            state = state * 1664525u + 1013904223u;
            line[x] =
              0xFF000000u |
              (noisy ? state >> 8 : quint32((x & 255) << 16 | (y & 255) << 8 | ((x + y) & 255)));
        }
    }
    const QByteArray png = encodeFastPng(picture);
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    QImage back;
    QVERIFY(back.loadFromData(png, "PNG"));
    QCOMPARE(back.size(), size);
    QCOMPARE(back.convertToFormat(QImage::Format_ARGB32), picture);
}

QTEST_APPLESS_MAIN(PngEncoderTest)
#include "PngEncoderTest.moc"
