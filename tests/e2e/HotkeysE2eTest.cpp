// The Ctrl+Alt+letter shortcuts with real key presses (XTEST), whichever window has the focus,
// and the corner zoom window filled during a real drag.

#include "E2e.h"
#include "ZoomViews.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>

using namespace e2e;

namespace
{

// Holds for `ms` milliseconds (many 10 ms ticks) and tells whether `condition` held throughout.
bool holdsFor(int ms, const std::function<bool()>& condition)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (!condition()) {
            return false;
        }
    }
    return condition();
}

} // namespace

class HotkeysE2eTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void heldCopyShortcutCopiesOncePerConfirmation();
    void ctrlOrAltAloneDoNothing();
    void zoomMinimiseAndCloseByShortcut();
    void zoomViewsShowTheCornersDuringADrag();
};

void HotkeysE2eTest::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"),
             "these tests drive a real X server: run them through scripts/test");
    QCOMPARE(run(testdeskBinary(), { "root" }).exitCode, 0);
}

void HotkeysE2eTest::cleanup()
{
    run("xdotool", { "keyup", "c", "x", "w", "s", "alt", "ctrl", "shift", "Return" });
}

void HotkeysE2eTest::heldCopyShortcutCopiesOncePerConfirmation()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(260, 240));
    const QRect frame = ombrix.geometry();
    setClipboardText("before");

    run("xdotool", { "keydown", "ctrl", "alt", "c" });
    const auto first = findWindow("^情報$");
    QVERIFY2(first, "no confirmation");
    // Thirty ticks later, still the one copy and the one confirmation.
    QVERIFY(holdsFor(300, [] { return countWindows("^情報$") == 1; }));
    const auto picture = clipboardPng();
    QVERIFY(picture);
    const QString diff = compareCopy(*picture, frame);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));

    // Dismissed with the keys still down: the next tick copies again.
    QVERIFY(dismiss(*first));
    QVERIFY(waitFor([&] {
        const auto next = findWindow("^情報$", 200);
        return next && *next != *first;
    }));
    run("xdotool", { "keyup", "c", "alt", "ctrl" });
    const auto second = findWindow("^情報$");
    QVERIFY(second);
    QVERIFY(dismiss(*second));
    QVERIFY(holdsFor(200, [] { return countWindows("^情報$") == 0; }));
}

void HotkeysE2eTest::ctrlOrAltAloneDoNothing()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    for (const char* modifier : { "ctrl", "alt" }) {
        run("xdotool", { "keydown", modifier, "c" });
        QVERIFY2(holdsFor(300, [] { return countWindows("^情報$") == 0; }), modifier);
        run("xdotool", { "keyup", "c", modifier });
    }
    // Shift does not count: Ctrl+Shift+Alt+C copies.
    run("xdotool", { "keydown", "ctrl", "shift", "alt", "c" });
    const auto box = findWindow("^情報$");
    QVERIFY(box);
    run("xdotool", { "keyup", "c", "alt", "shift", "ctrl" });
    QVERIFY(dismiss(*box));
}

void HotkeysE2eTest::zoomMinimiseAndCloseByShortcut()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY2(pressShortcut("w", [] { return countWindows("^Ombrix Zoom Window$") == 1; }),
             "no zoom window");
    QVERIFY2(pressShortcut("s", [&] { return minimised(ombrix.windowId()); }), "not minimised");

    // Minimised, and another window in front: the shortcut still closes, writing the settings.
    QVERIFY2(pressShortcut("x", [&] { return !ombrix.running(); }), "the program did not end");
    QCOMPARE(ombrix.iniBytes().value_or("<none>"), kDefaultIni);
}

void HotkeysE2eTest::zoomViewsShowTheCornersDuringADrag()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(100, 100));
    pressShortcut("w", [] { return countWindows("^Ombrix Zoom Window$") == 1; });
    const auto zoomWindow = findWindow("^Ombrix Zoom Window$");
    QVERIFY(zoomWindow);
    const QRect zoom = windowGeometry(*zoomWindow).value_or(QRect());
    QVERIFY(zoom.width() == 425 && zoom.left() > 600);

    // Drag the move handle by (40, 30); then nudge the pointer once on the handle, so that a
    // tick refreshes the views with the frame where it came to rest. Then it rests: the hint
    // that shows up later is on the screen, but no further refresh takes it in.
    const QPoint from = QPoint(100, 100) + kMoveHandle, to = from + QPoint(40, 30);
    drag(from, to);
    QVERIFY(waitFor([&] { return ombrix.geometry().topLeft() == QPoint(140, 130); }));
    const QRect frame = ombrix.geometry();

    QString mismatch;
    int nudge = 0;
    const bool shown = waitFor(
      [&] {
          run("xdotool",
              { "mousemove", QString::number(to.x() + (nudge++ % 2)), QString::number(to.y()) });
          QThread::msleep(150); // more than one tick of the zoom timer
          mismatch = zoomViewsMismatch(frame, screenshot(zoom));
          return mismatch.isEmpty();
      },
      3000);
    QVERIFY2(shown, qPrintable(mismatch));
}

QTEST_GUILESS_MAIN(HotkeysE2eTest)
#include "HotkeysE2eTest.moc"
