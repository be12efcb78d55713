#include "Rules.h"

#include <QTest>

class RulesTest : public QObject
{
    Q_OBJECT
private slots:
    void toDevice_data();
    void toDevice();
    void pictureInsideTheFrameAtAnyScale();
    void zoomBlocks();
    void roundHalfEven_data();
    void roundHalfEven();
    void fullStop_data();
    void fullStop();
    void startPlacement_data();
    void startPlacement();
    void iniInteger_data();
    void iniInteger();
};

void RulesTest::toDevice_data()
{
    QTest::addColumn<QRect>("logical");
    QTest::addColumn<double>("scale");
    QTest::addColumn<QRect>("device");

    const QRect picture(2, 3, 380, 242);
    QTest::addRow("scale 1 changes nothing") << picture << 1.0 << picture;
    QTest::addRow("scale 2 doubles") << picture << 2.0 << QRect(4, 6, 760, 484);
    // Halves round away from zero: 3 x 1.5 = 4.5 -> 5.
    QTest::addRow("scale 1.5") << picture << 1.5 << QRect(3, 5, 570, 363);
    QTest::addRow("scale 1.25") << picture << 1.25 << QRect(3, 4, 475, 303);
    QTest::addRow("a one-pixel line at 1.5 is two pixels wide")
      << QRect(2, 2, 1, 100) << 1.5 << QRect(3, 3, 2, 150);
    QTest::addRow("a one-pixel line at 1.25 stays one pixel wide")
      << QRect(2, 2, 1, 100) << 1.25 << QRect(3, 3, 1, 125);
    QTest::addRow("negative corner") << QRect(-3, -1, 10, 10) << 1.5 << QRect(-5, -2, 15, 15);
}

void RulesTest::toDevice()
{
    QFETCH(QRect, logical);
    QFETCH(double, scale);
    QFETCH(QRect, device);
    QCOMPARE(rules::toDevice(logical, scale), device);
}

// At every scale the picture lies inside the frame's white ring and ends inside the window,
// and keeps the frame's own proportions: 4 logical pixels narrower and lower, scaled.
void RulesTest::pictureInsideTheFrameAtAnyScale()
{
    for (const double scale : { 1.0, 1.25, 1.5, 1.75, 2.0, 2.5, 3.0 }) {
        for (const QSize frame : { QSize(384, 246), QSize(37, 41), QSize(1920, 1080) }) {
            const QRect window(
              QPoint(0, 0), QSize(qRound(frame.width() * scale), qRound(frame.height() * scale)));
            const QRect white = rules::toDevice(QRect(0, 0, frame.width(), 1), scale);
            const QRect picture = rules::toDevice(rules::pictureRect(frame), scale);
            const QString where =
              QString("scale %1, frame %2x%3").arg(scale).arg(frame.width()).arg(frame.height());
            QVERIFY2(window.contains(picture), qPrintable(where));
            QVERIFY2(picture.top() > white.bottom(), qPrintable(where));
            QVERIFY2(picture.left() >= white.height(), qPrintable(where));
            QCOMPARE(picture.width(), qRound((frame.width() - 4) * scale));
            QCOMPARE(picture.height(), qRound((frame.height() - 4) * scale));
        }
    }
}

void RulesTest::zoomBlocks()
{
    // A frame of 384 x 246 at (100, 100) takes its blocks at (103, 104), (432, 104), (103, 294)
    // and (432, 294) on the desktop.
    const auto blocks = rules::zoomBlocks(QSize(384, 246), 50);
    const QRect expected[] = {
        { 3, 4, 50, 50 }, { 332, 4, 50, 50 }, { 3, 194, 50, 50 }, { 332, 194, 50, 50 }
    };
    for (size_t i = 0; i < blocks.size(); ++i) {
        QCOMPARE(blocks[i], expected[i]);
    }
    // The right-hand blocks end on the inner line's right column, W - 3.
    QCOMPARE(blocks[3].right(), 384 - 3);
    QCOMPARE(blocks[3].bottom(), 246 - 3);
}

void RulesTest::roundHalfEven_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");
    QTest::addRow("0.5") << 0.5 << 0;
    QTest::addRow("1.5") << 1.5 << 2;
    QTest::addRow("2.5") << 2.5 << 2;
    QTest::addRow("3.5") << 3.5 << 4;
    QTest::addRow("-0.5") << -0.5 << 0;
    QTest::addRow("-1.5") << -1.5 << -2;
    QTest::addRow("-2.5") << -2.5 << -2;
    QTest::addRow("1919.5") << 1919.5 << 1920;
    QTest::addRow("1080.4999") << 1080.4999 << 1080;
    QTest::addRow("1080.5001") << 1080.5001 << 1081;
    QTest::addRow("whole") << 1366.0 << 1366;
}

void RulesTest::roundHalfEven()
{
    QFETCH(double, value);
    QFETCH(int, expected);
    QCOMPARE(rules::roundHalfEven(value), expected);
}

void RulesTest::fullStop_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::addRow("letter") << "Access denied"
                            << "Access denied.";
    QTest::addRow("already a full stop") << "Done."
                                         << "Done.";
    QTest::addRow("space") << "Trailing "
                           << "Trailing ";
    QTest::addRow("exclamation") << "Stop!"
                                 << "Stop!";
    QTest::addRow("closing parenthesis") << "Failed (C:\\x.bmp)"
                                         << "Failed (C:\\x.bmp)";
    QTest::addRow("digit") << "Code 5"
                           << "Code 5.";
    QTest::addRow("slash sorts after the full stop") << "a/"
                                                     << "a/.";
    QTest::addRow("comma sorts before it") << "a,"
                                           << "a,";
    QTest::addRow("Japanese full stop")
      << QString::fromUtf8("失敗しました。") << QString::fromUtf8("失敗しました。.");
    QTest::addRow("Japanese text") << QString::fromUtf8("/x/Ombrix.ini に書き込めません")
                                   << QString::fromUtf8("/x/Ombrix.ini に書き込めません.");
    QTest::addRow("empty") << ""
                           << "";
}

void RulesTest::fullStop()
{
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QCOMPARE(rules::withFullStop(message), shown);
}

void RulesTest::startPlacement_data()
{
    QTest::addColumn<QRectF>("workArea");
    QTest::addColumn<QRectF>("desktop");
    QTest::addColumn<QPoint>("expected");
    const QRectF fullHd(0, 0, 1920, 1080);
    // (1040 - 427) / 2 = 306.5: halves go to the even neighbour.
    QTest::addRow("1920 wide from 0") << QRectF(0, 0, 1920, 1040) << fullHd << QPoint(591, 306);
    QTest::addRow("task bar on the left")
      << QRectF(60, 0, 1860, 1080) << fullHd << QPoint(621, 326);
    // (1367 - 738) / 2 = 314.5 rounds to the even 314.
    QTest::addRow("half rounds to even")
      << QRectF(0, 0, 1367, 768) << QRectF(0, 0, 1367, 768) << QPoint(314, 170);
    QTest::addRow("smaller than the window: kept on the desktop")
      << QRectF(0, 0, 640, 400) << QRectF(0, 0, 640, 400) << QPoint(0, 0);
}

void RulesTest::startPlacement()
{
    QFETCH(QRectF, workArea);
    QFETCH(QRectF, desktop);
    QFETCH(QPoint, expected);
    QCOMPARE(rules::centredTopLeft(workArea, QSizeF(738, 427), desktop), expected);
}

void RulesTest::iniInteger_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("fallback");
    QTest::addColumn<uint>("expected"); // the bit pattern
    const int blue = static_cast<int>(0xFF0000FFu);
    const int gold = static_cast<int>(0xFFFFD700u);
    QTest::addRow("$FF0000FF") << "$FF0000FF" << gold << 0xFF0000FFu;
    QTest::addRow("0xff0000ff") << "0xff0000ff" << gold << 0xFF0000FFu;
    QTest::addRow("0Xff0000ff") << "0Xff0000ff" << gold << 0xFF0000FFu;
    QTest::addRow("xFF") << "xFF" << gold << 0xFFu;
    QTest::addRow("XfF") << "XfF" << gold << 0xFFu;
    QTest::addRow("-16776961") << "-16776961" << gold << 0xFF0000FFu;
    QTest::addRow("4278190335 out of range, colour") << "4278190335" << blue << 0xFF0000FFu;
    QTest::addRow("4278190335 out of range, font colour") << "4278190335" << gold << 0xFFFFD700u;
    QTest::addRow("12abc") << "12abc" << blue << 0xFF0000FFu;
    QTest::addRow("blue") << "blue" << blue << 0xFF0000FFu;
    QTest::addRow("empty") << "" << blue << 0xFF0000FFu;
    QTest::addRow("+5") << "+5" << blue << 5u;
    QTest::addRow("leading spaces") << "   7" << blue << 7u;
    QTest::addRow("-$10") << "-$10" << blue << static_cast<uint>(-16);
    QTest::addRow("-0x10") << "-0x10" << blue << static_cast<uint>(-16);
    QTest::addRow("-65536") << "-65536" << blue << 0xFFFF0000u;
    QTest::addRow("largest") << "2147483647" << blue << 0x7FFFFFFFu;
    QTest::addRow("smallest") << "-2147483648" << blue << 0x80000000u;
    QTest::addRow("one past the largest") << "2147483648" << blue << 0xFF0000FFu;
    QTest::addRow("one past the smallest") << "-2147483649" << blue << 0xFF0000FFu;
    QTest::addRow("33 bits of hex") << "$1FFFFFFFF" << blue << 0xFF0000FFu;
    QTest::addRow("leading zeros") << "$000000000FF" << blue << 0xFFu;
    QTest::addRow("sign only") << "-" << blue << 0xFF0000FFu;
    QTest::addRow("prefix only") << "$" << blue << 0xFF0000FFu;
    QTest::addRow("0x only") << "0x" << blue << 0xFF0000FFu;
    QTest::addRow("trailing space") << "5 " << blue << 0xFF0000FFu;
    QTest::addRow("space after sign") << "- 5" << blue << 0xFF0000FFu;
    QTest::addRow("two signs") << "--5" << blue << 0xFF0000FFu;
    QTest::addRow("hex digits without prefix") << "FF" << blue << 0xFF0000FFu;
    QTest::addRow("full-width digits") << QString::fromUtf8("１２") << blue << 0xFF0000FFu;
    QTest::addRow("zero") << "0" << blue << 0u;
}

void RulesTest::iniInteger()
{
    QFETCH(QString, text);
    QFETCH(int, fallback);
    QFETCH(uint, expected);
    QCOMPARE(static_cast<uint>(rules::iniInteger(text, fallback)), expected);
}

QTEST_APPLESS_MAIN(RulesTest)
#include "RulesTest.moc"
