// The About panel and the shortcut key settings window with real input: a new glow colour and
// a new copy letter take effect at once, are saved at the close, and hold after a restart.

#include "E2e.h"

#include <QTest>

using namespace e2e;

namespace
{

// Ctrl+Alt+letter held until a confirmation shows (or `ms` pass), which is then dismissed;
// true if one showed.
bool copyByShortcut(const char* letter, int ms)
{
    const auto box = pressShortcut(letter, "^情報$", ms);
    return box && dismiss(*box);
}

QPoint clientOrigin(const QString& window)
{
    return windowGeometry(window).value_or(QRect()).topLeft();
}

} // namespace

class PanelsE2eTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void newColourAndLetterTakeEffectAndAreKept();
};

void PanelsE2eTest::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"),
             "these tests drive a real X server: run them through scripts/test");
    QCOMPARE(run(testdeskBinary(), { "root" }).exitCode, 0);
}

void PanelsE2eTest::newColourAndLetterTakeEffectAndAreKept()
{
    QByteArray saved;
    {
        Ombrix ombrix;
        QVERIFY(ombrix.start());
        QVERIFY(ombrix.moveTo(80, 80));
        const QRect frame = ombrix.geometry();

        // "A", then "Red" from the colour box: the glows turn red at once.
        clickControl(frame, kButtonA);
        const auto about = findWindow("^About Ombrix$");
        QVERIFY(about);
        QVERIFY(waitFor([&] { return windowGeometry(*about).value_or(QRect()).width() == 602; }));
        const QPoint a = clientOrigin(*about);
        // A click drops the list down; Escape folds it back, leaving the box with the keyboard
        // focus; typing a name then picks that colour.
        const QRect below(a.x() + 427, a.y() + 35, 167, 120);
        const QImage before = screenshot(below);
        click(a.x() + 427 + 80, a.y() + 5 + 12);
        QVERIFY(waitFor([&] { return screenshot(below) != before; }));
        key("Escape");
        QVERIFY(waitFor([&] { return screenshot(below) == before; }));
        run("xdotool", { "type", "--delay", "30", "red" });
        QVERIFY2(waitFor([&] { return isRed(glowOnScreen(frame)); }),
                 qPrintable("the glow is " + glowOnScreen(frame).name()));

        // "ショートカットキー変更", the copy action, then Q.
        click(a.x() + 427 + 67, a.y() + 35 + 12);
        const auto keys = findWindow("ショートカットキー設定$");
        QVERIFY(keys);
        QVERIFY(waitFor([&] { return windowGeometry(*keys).value_or(QRect()).width() == 350; }));
        const QPoint k = clientOrigin(*keys);
        click(k.x() + 17 + 7 + 8, k.y() + 33 + 40 + 9);     // rbtn1
        click(k.x() + 17 + 10 + 12, k.y() + 242 + 10 + 12); // Q

        // Both closed with their close boxes; the new letter works, the old one no more.
        run(testdeskBinary(), { "close", *keys });
        run(testdeskBinary(), { "close", *about });
        QVERIFY(windowGone("^About Ombrix$"));
        QVERIFY(copyByShortcut("q", 5000));
        QVERIFY2(!copyByShortcut("c", 300), "Ctrl+Alt+C still copies");

        clickControl(frame, kButtonX);
        QVERIFY(ombrix.waitFinished());
        saved = ombrix.iniBytes().value_or("");
        QVERIFY2(saved.contains("color=-65536\r\n"), saved.constData());
        QVERIFY2(saved.contains("copi=Q\r\n"), saved.constData());
    }

    // After a restart: red glows, and Q copies.
    Ombrix again;
    StartOptions options;
    options.ini = saved;
    QVERIFY(again.start(options));
    const QRect frame = again.geometry();
    QVERIFY(waitFor([&] { return isRed(glowOnScreen(frame)); }));
    QVERIFY(copyByShortcut("q", 5000));
}

QTEST_GUILESS_MAIN(PanelsE2eTest)
#include "PanelsE2eTest.moc"
