#include "Rules.h"

#include <QTest>

class RulesTest : public QObject
{
    Q_OBJECT
private slots:
    void chooseDisplay_data();
    void chooseDisplay();
    void roundHalfEven_data();
    void roundHalfEven();
    void fullStop_data();
    void fullStop();
    void startPlacement_data();
    void startPlacement();
    void iniInteger_data();
    void iniInteger();
};

using Displays = std::vector<QRectF>;
Q_DECLARE_METATYPE(Displays)

void RulesTest::chooseDisplay_data()
{
    QTest::addColumn<Displays>("displays");
    QTest::addColumn<int>("frameLeft");
    QTest::addColumn<int>("expected");

    const Displays one{ { 0, 0, 1920, 1080 } };
    QTest::addRow("one display, frame at 0") << one << 0 << 0;
    QTest::addRow("one display, frame inside") << one << 700 << 0;
    QTest::addRow("one display, frame left of it") << one << -50 << 0;

    const Displays sideBySide{ { 0, 0, 1920, 1080 }, { 1920, 0, 1280, 1024 } };
    QTest::addRow("two, frame on the first") << sideBySide << 100 << 0;
    QTest::addRow("two, frame on the second") << sideBySide << 2000 << 1;
    QTest::addRow("two, left edge equal to the second's") << sideBySide << 1920 << 0;
    QTest::addRow("two, one pixel past the second's edge") << sideBySide << 1921 << 1;

    // Listed right to left: the last listed display left of the frame wins, not the nearest.
    const Displays outOfOrder{ { 1920, 0, 1280, 1024 }, { 0, 0, 1920, 1080 } };
    QTest::addRow("out of order, frame on the right one") << outOfOrder << 2500 << 1;
    QTest::addRow("out of order, frame on the left one") << outOfOrder << 500 << 1;

    const Displays negative{ { 0, 0, 1920, 1080 }, { -1280, -200, 1280, 1024 } };
    QTest::addRow("display left of the primary") << negative << -600 << 1;
    QTest::addRow("frame left of everything") << negative << -1280 << 0;

    QTest::addRow("no displays") << Displays{} << 10 << 0;
}

void RulesTest::chooseDisplay()
{
    QFETCH(Displays, displays);
    QFETCH(int, frameLeft);
    QFETCH(int, expected);
    QCOMPARE(rules::chooseDisplay(displays, frameLeft), expected);
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
