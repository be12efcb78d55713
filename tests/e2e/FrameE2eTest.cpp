// The real Ombrix on a real X server with a window manager: the frame's place and look, clicks
// that pass through it, the copy to the clipboard, minimise and close.

#include "E2e.h"
#include "Pattern.h"

#include <QScopeGuard>
#include <QTest>

using namespace e2e;

namespace
{

// Clicks "C", reads the clipboard as another program would, and dismisses the confirmation.
std::optional<QImage> copyByButton(const QRect& frame)
{
    clickControl(frame, kButtonC);
    const auto box = findWindow("^情報$");
    if (!box) {
        qWarning("no confirmation appeared");
        return std::nullopt;
    }
    auto picture = clipboardPng();
    if (!picture) {
        qWarning("no image/png on the clipboard");
    }
    if (!dismiss(*box)) {
        qWarning("the confirmation did not go away");
        return std::nullopt;
    }
    return picture;
}

} // namespace

class FrameE2eTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void startsAtThePlacementRule();
    void copiesExactlyTheFramedPixels_data();
    void copiesExactlyTheFramedPixels();
    void noPixelOfAnEarlierCopyReachesALaterOne();
    void copyShowsOtherWindowsButNeverTheFrame();
    void copyWaitsForALateCompositingManager();
    void clicksPassThroughTheFrameButNotItsButtons();
    void minimisesAndCloses();
    void secondaryWindowsFollowTheShowRule();

private:
    QProcess compositor;
};

void FrameE2eTest::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"),
             "these tests drive a real X server: run them through scripts/test");
    const Result r = run(testdeskBinary(), { "root" });
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());

    // The same steps again with a compositing manager drawing the screen.
    if (qEnvironmentVariableIsSet("OMBRIX_E2E_COMPOSITED")) {
        compositor.start("xcompmgr", {});
        QVERIFY(compositor.waitForStarted(5000));
        QVERIFY2(waitFor(composited), "xcompmgr did not take over the screen");
    }
}

void FrameE2eTest::cleanupTestCase()
{
    if (compositor.state() != QProcess::NotRunning) {
        compositor.terminate();
        compositor.waitForFinished(3000);
    }
}

void FrameE2eTest::startsAtThePlacementRule()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    const QRect frame = ombrix.geometry();

    // The top-left of a 738 x 427 window centred on the primary work area.
    const QRect wa = workArea();
    QVERIFY(wa.isValid());
    QCOMPARE(frame, QRect(centredIn(wa, QSize(738, 427)), QSize(384, 246)));

    // The look, read off the screen: white outermost ring, a transparent ring, the black ring;
    // the resize handle 30 x 30 at (350, 212), one transparent pixel from the black ring.
    QImage shot;
    const QRect handle(350, 212, 30, 30);
    const bool painted = waitFor([&] {
        shot = screenshot(frame);
        return shot.size() == frame.size() &&
               (shot.pixel(handle.center()) & 0xFFFFFF) !=
                 testdesk::patternRgb(frame.x() + handle.center().x(),
                                      frame.y() + handle.center().y());
    });
    QVERIFY2(painted, "the resize handle was not drawn at (350, 212)");
    auto desk = [&](int x, int y) { return testdesk::patternRgb(frame.x() + x, frame.y() + y); };
    for (int y = 40; y < 200; ++y) {
        QCOMPARE(shot.pixel(0, y) & 0xFFFFFF, 0xFFFFFFu);
        QCOMPARE(shot.pixel(1, y) & 0xFFFFFF, desk(1, y));
        QCOMPARE(shot.pixel(2, y) & 0xFFFFFF, 0x000000u);
        QCOMPARE(shot.pixel(3, y) & 0xFFFFFF, desk(3, y));
        QCOMPARE(shot.pixel(383, y) & 0xFFFFFF, 0xFFFFFFu);
        QCOMPARE(shot.pixel(381, y) & 0xFFFFFF, 0x000000u);
    }
    int covered = 0;
    qint64 brightness = 0;
    for (int y = handle.top(); y <= handle.bottom(); ++y) {
        QCOMPARE(shot.pixel(handle.left() - 1, y) & 0xFFFFFF, desk(handle.left() - 1, y));
        QCOMPARE(shot.pixel(handle.right() + 1, y) & 0xFFFFFF, desk(handle.right() + 1, y));
        for (int x = handle.left(); x <= handle.right(); ++x) {
            covered += (shot.pixel(x, y) & 0xFFFFFF) != desk(x, y);
            brightness += qGray(shot.pixel(x, y));
        }
    }
    // Without a compositing manager a half-transparent pixel would show dark: the handle is
    // drawn opaque there, a white picture with a black arrow, never a dark square.
    if (!composited()) {
        QVERIFY2(brightness / (30 * 30) > 170,
                 qPrintable(QString("mean grey %1 on the handle").arg(brightness / (30 * 30))));
    }
    const int least = 30 * 30 * 9 / 10;
    QVERIFY2(covered > least, qPrintable(QString("handle covers %1 pixels").arg(covered)));
    for (int x = handle.left(); x <= handle.right(); ++x) {
        QCOMPARE(shot.pixel(x, handle.bottom() + 1) & 0xFFFFFF, desk(x, handle.bottom() + 1));
    }
}

void FrameE2eTest::copiesExactlyTheFramedPixels_data()
{
    QTest::addColumn<QPoint>("place");
    const QRect screen = screenRect();
    QTest::addRow("middle") << QPoint(300, 200);
    QTest::addRow("top-left corner of the screen") << QPoint(0, 0);
    QTest::addRow("bottom-right corner of the screen")
      << QPoint(screen.width() - 384, screen.height() - 246);
    QTest::addRow("odd place past 256") << QPoint(777, 555);
    QTest::addRow("partly off the screen") << QPoint(screen.width() - 200, screen.height() - 100);
}

void FrameE2eTest::copiesExactlyTheFramedPixels()
{
    QFETCH(QPoint, place);
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    setClipboardText("earlier text");
    QVERIFY(ombrix.moveTo(place.x(), place.y()));
    const QRect frame = ombrix.geometry();

    const auto picture = copyByButton(frame);
    QVERIFY2(picture, "no confirmation, or no image/png on the clipboard");
    // What lies off every display comes out black.
    const QString diff = compareCopy(*picture, frame);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));

    // The picture replaced the text, and the frame is back where it was.
    QVERIFY(!clipboardTargets().contains("UTF8_STRING"));
    QCOMPARE(ombrix.geometry(), frame);
}

void FrameE2eTest::noPixelOfAnEarlierCopyReachesALaterOne()
{
    // One program, copies in turn: on the screen, then hanging off each side of it. Whatever
    // the grab's memory held from the copy before, the parts off the screen come out black.
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    const QRect screen = screenRect();
    const QPoint places[] = { { 500, 400 },
                              { -30, -12 }, // "C" still on the screen
                              { 600, 500 },
                              { screen.width() - 200, screen.height() - 100 },
                              { -40, screen.height() - 120 } };
    for (const QPoint& place : places) {
        QVERIFY2(ombrix.moveTo(place.x(), place.y()),
                 qPrintable(QString("move to %1,%2").arg(place.x()).arg(place.y())));
        const QRect frame = ombrix.geometry();
        const auto picture = copyByButton(frame);
        QVERIFY2(picture, qPrintable(QString("no copy at %1,%2").arg(place.x()).arg(place.y())));
        const QString diff = compareCopy(*picture, frame);
        QVERIFY2(diff.isEmpty(),
                 qPrintable(QString("at %1,%2: %3").arg(place.x()).arg(place.y()).arg(diff)));
    }
}

void FrameE2eTest::copyShowsOtherWindowsButNeverTheFrame()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(400, 300));
    const QRect frame = ombrix.geometry();

    // A window of another program lies under the frame's top-left lines, its handle and
    // its buttons, and another under its bottom-right corner.
    OtherWindow under, corner;
    QVERIFY(under.start(QRect(350, 250, 160, 120)));
    QVERIFY(corner.start(QRect(frame.right() - 60, frame.bottom() - 40, 100, 90)));
    const QRect w1 = under.geometry(), w2 = corner.geometry();

    for (int round = 0; round < 2; ++round) {
        const auto picture = copyByButton(frame);
        QVERIFY2(picture, qPrintable(QString("round %1").arg(round)));
        QCOMPARE(picture->size(), QSize(380, 242));
        const QString diff =
          comparePicture(*picture, frame.x() + 2, frame.y() + 3, [&](int x, int y) {
              return w1.contains(x, y) || w2.contains(x, y) ? testdesk::windowRgb(x, y)
                                                            : testdesk::patternRgb(x, y);
          });
        QVERIFY2(diff.isEmpty(), qPrintable(QString("round %1: %2").arg(round).arg(diff)));
    }
}

void FrameE2eTest::copyWaitsForALateCompositingManager()
{
    // A compositing manager that paints the frame back after it went, from an old picture,
    // and brings the desktop back only where the root is exposed (xcompmgr now and then; any
    // one on a busy machine): the copy must not take that frame.
    if (qEnvironmentVariableIsSet("OMBRIX_E2E_COMPOSITED")) {
        QSKIP("a compositing manager runs already");
    }
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(300, 250));
    const QRect frame = ombrix.geometry();
    pointerTo(frame.right() + 200, frame.bottom() + 200);

    // The stand-in must paint its old frame before the program reads the screen; on a busy
    // machine it can come too late, and then the copy is right without it: tried again, a few
    // times, until it has done its part.
    bool askedToRepaint = false;
    for (int attempt = 1; attempt <= 5 && !askedToRepaint; ++attempt) {
        QProcess late;
        const auto cleanUp = qScopeGuard([&] {
            if (late.state() != QProcess::NotRunning) {
                late.kill();
                late.waitForFinished(3000);
                run(testdeskBinary(), { "root" }); // no old frame left on the desktop
            }
        });
        late.start("nice",
                   { "-n",
                     "-10",
                     testdeskBinary(),
                     "late-compositor",
                     QString::number(frame.x()),
                     QString::number(frame.y()),
                     QString::number(frame.width()),
                     QString::number(frame.height()) });
        QVERIFY2(late.waitForReadyRead(10000) && late.readLine().trimmed() == "ready",
                 late.readAllStandardError().constData());

        setClipboardText("before");
        const QString problem = copyByShortcutProblem(frame);
        QVERIFY2(problem.isEmpty(),
                 qPrintable(QString("attempt %1: %2").arg(attempt).arg(problem)));
        // (waitForFinished() says false for a process that has ended already.)
        askedToRepaint = (late.state() == QProcess::NotRunning || late.waitForFinished(2000)) &&
                         late.readAllStandardOutput().contains("done");
    }
    // The stand-in did its part: it painted the old frame back and was asked to repaint.
    QVERIFY2(askedToRepaint, "the late compositing manager was never asked to repaint");
}

void FrameE2eTest::clicksPassThroughTheFrameButNotItsButtons()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(200, 200));
    const QRect frame = ombrix.geometry();
    OtherWindow below;
    QVERIFY(below.start(QRect(150, 150, 500, 400)));

    // Inside the frame, on its transparent ring, and in the gap beside the resize handle.
    const QList<QPoint> through = { frame.topLeft() + QPoint(200, 120),
                                    frame.topLeft() + QPoint(1, 100),
                                    frame.topLeft() +
                                      QPoint(frame.width() - 4, frame.height() - 20) };
    for (const QPoint& p : through) {
        click(p);
        const QString expected = QString("%1 %2").arg(p.x()).arg(p.y());
        QVERIFY2(waitFor([&] { return below.presses().contains(expected); }),
                 qPrintable("the click at " + expected + " did not reach the window below"));
    }

    // A click on "A" belongs to the frame: the About panel opens, and the window below sees
    // nothing of it.
    const int before = below.presses().size();
    clickControl(frame, kButtonA);
    QVERIFY(findWindow("^About Ombrix$"));
    QCOMPARE(below.presses().size(), before);
}

void FrameE2eTest::minimisesAndCloses()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(50, 50));
    const QRect frame = ombrix.geometry();

    // The About panel is open: "S" takes it to the task bar with the frame.
    clickControl(frame, kButtonA);
    const auto about = findWindow("^About Ombrix$");
    QVERIFY(about);
    clickControl(frame, kButtonS);
    QVERIFY2(waitFor([&] { return minimised(ombrix.windowId()); }), "the frame did not minimise");
    QVERIFY2(waitFor([&] { return minimised(*about); }), "the About panel stayed on the screen");

    // Back from the task bar, both where they were; then "X" ends the program.
    run("xdotool", { "windowactivate", "--sync", ombrix.windowId() });
    QVERIFY(waitFor([&] { return !minimised(ombrix.windowId()) && !minimised(*about); }));
    QVERIFY(waitFor([&] { return ombrix.geometry() == frame; }));
    clickControl(frame, kButtonX);
    QVERIFY2(ombrix.waitFinished(5000), "the program did not end");
    QCOMPARE(ombrix.exitCode(), 0);
}

void FrameE2eTest::secondaryWindowsFollowTheShowRule()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    const QRect frame = ombrix.geometry();
    const auto clickA = [&] { clickControl(frame, kButtonA); };

    // First showing: placed by the start-up rule, at its own size, on the primary work area.
    clickA();
    const auto about = findWindow("^About Ombrix$");
    QVERIFY(about);
    QRect shown;
    QVERIFY(waitFor([&] {
        shown = windowGeometry(*about).value_or(QRect());
        return shown.size() == QSize(602, 637) && frameExtents(*about).top() > 0;
    }));
    const QMargins frameAround = frameExtents(*about);
    const QRect screen = screenRect();
    const QPoint topLeft = shown.topLeft() - QPoint(frameAround.left(), frameAround.top());
    QCOMPARE(topLeft, centredIn(screen, QSize(602, 637)));

    // The user moves it away and activates the frame; "A" brings it to the front, unmoved.
    run("xdotool", { "windowmove", "--sync", *about, "150", "120" });
    QRect moved;
    QVERIFY(waitFor([&] {
        moved = windowGeometry(*about).value_or(QRect());
        return moved.topLeft() != shown.topLeft();
    }));
    run("xdotool", { "windowactivate", "--sync", ombrix.windowId() });
    QVERIFY(waitFor([&] { return activeWindow() != *about; }));
    clickA();
    QVERIFY2(waitFor([&] { return activeWindow() == *about; }), "the panel was not activated");
    QCOMPARE(windowGeometry(*about).value_or(QRect()), moved);

    // Its close box hides it; "A" brings it back where it was.
    run(testdeskBinary(), { "close", *about });
    QVERIFY(windowGone("^About Ombrix$"));
    QVERIFY(ombrix.running());
    clickA();
    const auto again = findWindow("^About Ombrix$");
    QVERIFY(again);
    QVERIFY(waitFor([&] { return windowGeometry(*again).value_or(QRect()) == moved; }));
}

QTEST_GUILESS_MAIN(FrameE2eTest)
#include "FrameE2eTest.moc"
