// The two handles of the real frame, in-process: which press does what, the opacity of the
// controls around a press, the zoom timer, and maximise and restore.

#include "GuiFixture.h"
#include "controls/GlowButton.h"
#include "controls/HandleImage.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QTest>
#include <QThread>

namespace
{

enum Handle { MoveHandle, ResizeHandle };

// What a press turned out to do, as seen from outside.
QString observe(TForm1* frame,
                FakePlatform* fake,
                HandleImage* handle,
                Qt::MouseButton button,
                Qt::MouseButtons held,
                Qt::KeyboardModifiers modifiers)
{
    const QRect before = frame->geometry();
    const int copies = fake->copies;
    ModalAnswerer answer;
    const QString& modal = answer.seen;
    const QPoint local(15, 15);
    const QPoint global = handle->mapToGlobal(local);
    QCursor::setPos(global);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, button, held | button, modifiers);
    QApplication::sendEvent(handle, &press);
    // Then the pointer moves by (7, 5) with the buttons held, and they are released.
    const QPoint to = global + QPoint(7, 5);
    QMouseEvent moveEvent(
      QEvent::MouseMove, handle->mapFromGlobal(to), to, Qt::NoButton, held | button, modifiers);
    QApplication::sendEvent(handle, &moveEvent);
    QMouseEvent release(
      QEvent::MouseButtonRelease, handle->mapFromGlobal(to), to, button, held, modifiers);
    QApplication::sendEvent(handle, &release);

    const QRect after = frame->geometry();
    QString what = "nothing";
    if (modal.startsWith("MessageBox") && fake->copies == copies + 1) {
        what = "copy";
    } else if (modal.startsWith("QFileDialog") && fake->copies == copies + 1) {
        what = "save";
    } else if (after.size() != before.size() && after.topLeft() == before.topLeft()) {
        what = after.size() == before.size() + QSize(7, 5) ? "resize" : "resize by another amount";
    } else if (after.topLeft() != before.topLeft() && after.size() == before.size()) {
        what =
          after.topLeft() == before.topLeft() + QPoint(7, 5) ? "move" : "move by another amount";
    } else if (after != before) {
        what = frame->maximised() ? "maximise" : "changed otherwise";
    }
    if (!modal.isEmpty() && what == "nothing") {
        what = "unexpected " + modal;
    }
    return what;
}

} // namespace

class HandlesGuiTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void pressTables_data();
    void pressTables();
    void opacityAroundAPress();
    void zoomTimerRunsFromAMoveUntilTheHandleIsLeft();
    void secondPressLeavesTheZoomTimerUndisturbed();
    void rightClickDuringAResizeLeavesNoSizingPointer();
    void maximiseThenRestoreReturnsTheExactGeometry();
    void resizeNeverLosesTheFrame();
    void aDragEndsWhereTheButtonGoesUp_data();
    void aDragEndsWhereTheButtonGoesUp();

private:
    HandleImage* handle(int which) const
    {
        return which == MoveHandle ? fixture.form1->imgContIdou : fixture.form1->imgContSaiz;
    }
    QList<double> opacities() const
    {
        TForm1* f = fixture.form1.get();
        return { f->imgContIdou->opacity(),  f->imgContSaiz->opacity(), f->btnCopi->opacity(),
                 f->btnFilSave->opacity(),   f->btnZoom->opacity(),     f->btnHelp->opacity(),
                 f->btnSaisyouka->opacity(), f->btnClose->opacity() };
    }
    static QList<double> all(double value) { return QList<double>(8, value); }

    GuiFixture fixture;
    const QRect home{ 200, 150, 384, 246 };
};

void HandlesGuiTest::initTestCase()
{
    fixture.create();
    QVERIFY(QTest::qWaitForWindowExposed(fixture.form1.get()));
}

void HandlesGuiTest::cleanupTestCase()
{
    fixture.destroy();
}

void HandlesGuiTest::init()
{
    fixture.form1->BotanTomeidoSet(0.5f);
    fixture.form1->timZoom->stop();
    fixture.form1->setGeometry(home);
    QTRY_COMPARE(fixture.form1->geometry(), home);
}

void HandlesGuiTest::pressTables_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<Qt::MouseButtons>("held");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("expected");

    const auto none = Qt::KeyboardModifiers();
    const auto shift = Qt::KeyboardModifiers(Qt::ShiftModifier);
    const auto ctrl = Qt::KeyboardModifiers(Qt::ControlModifier);
    const auto alt = Qt::KeyboardModifiers(Qt::AltModifier);
    const auto nothingHeld = Qt::MouseButtons();
    const auto leftHeld = Qt::MouseButtons(Qt::LeftButton);

    // The move handle: Shift+Left resize, Ctrl+Left maximise, Left move, Right copy,
    // Middle save.
    QTest::addRow("move: left") << int(MoveHandle) << Qt::LeftButton << nothingHeld << none
                                << "move";
    QTest::addRow("move: shift+left")
      << int(MoveHandle) << Qt::LeftButton << nothingHeld << shift << "resize";
    QTest::addRow("move: ctrl+shift+left, row 1 first")
      << int(MoveHandle) << Qt::LeftButton << nothingHeld << (ctrl | shift) << "resize";
    QTest::addRow("move: ctrl+left")
      << int(MoveHandle) << Qt::LeftButton << nothingHeld << ctrl << "maximise";
    QTest::addRow("move: alt+left")
      << int(MoveHandle) << Qt::LeftButton << nothingHeld << alt << "move";
    QTest::addRow("move: right") << int(MoveHandle) << Qt::RightButton << nothingHeld << none
                                 << "copy";
    QTest::addRow("move: ctrl+right")
      << int(MoveHandle) << Qt::RightButton << nothingHeld << ctrl << "copy";
    QTest::addRow("move: middle") << int(MoveHandle) << Qt::MiddleButton << nothingHeld << none
                                  << "save";
    QTest::addRow("move: shift+middle")
      << int(MoveHandle) << Qt::MiddleButton << nothingHeld << shift << "save";
    QTest::addRow("move: right with left held")
      << int(MoveHandle) << Qt::RightButton << leftHeld << none << "move";
    QTest::addRow("move: middle with left held")
      << int(MoveHandle) << Qt::MiddleButton << leftHeld << none << "move";
    QTest::addRow("move: right with left held and shift")
      << int(MoveHandle) << Qt::RightButton << leftHeld << shift << "resize";
    QTest::addRow("move: back button")
      << int(MoveHandle) << Qt::BackButton << nothingHeld << none << "nothing";

    // The resize handle: Shift+Left move, Left resize, Right copy, Middle save; no maximise.
    QTest::addRow("resize: left") << int(ResizeHandle) << Qt::LeftButton << nothingHeld << none
                                  << "resize";
    QTest::addRow("resize: shift+left")
      << int(ResizeHandle) << Qt::LeftButton << nothingHeld << shift << "move";
    QTest::addRow("resize: ctrl+left")
      << int(ResizeHandle) << Qt::LeftButton << nothingHeld << ctrl << "resize";
    QTest::addRow("resize: right")
      << int(ResizeHandle) << Qt::RightButton << nothingHeld << none << "copy";
    QTest::addRow("resize: middle")
      << int(ResizeHandle) << Qt::MiddleButton << nothingHeld << none << "save";
    QTest::addRow("resize: middle with left held")
      << int(ResizeHandle) << Qt::MiddleButton << leftHeld << none << "resize";
    QTest::addRow("resize: back button")
      << int(ResizeHandle) << Qt::BackButton << nothingHeld << none << "nothing";
}

void HandlesGuiTest::pressTables()
{
    QFETCH(int, which);
    QFETCH(Qt::MouseButton, button);
    QFETCH(Qt::MouseButtons, held);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, expected);
    TForm1* frame = fixture.form1.get();
    QCOMPARE(observe(frame, fixture.fake, handle(which), button, held, modifiers), expected);
    QVERIFY(!syoriChu);
    if (frame->wakuSaidaiNow()) {
        // A second Ctrl+Left puts it back.
        QCOMPARE(
          observe(frame, fixture.fake, frame->imgContIdou, Qt::LeftButton, {}, Qt::ControlModifier),
          QString("changed otherwise"));
        QCOMPARE(frame->geometry(), home);
    }
}

void HandlesGuiTest::opacityAroundAPress()
{
    TForm1* frame = fixture.form1.get();
    HandleImage* h = frame->imgContIdou;
    const QPoint local(15, 15), global = h->mapToGlobal(local);
    QCursor::setPos(global);
    QCOMPARE(opacities(), all(0.5));

    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(h, &press);
    QCOMPARE(opacities(), all(0.01f));

    // Released over the handle: all eight at rest, the handle included (not lit).
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, {}, {});
    QApplication::sendEvent(h, &release);
    QCOMPARE(opacities(), all(0.5));

    // Entering a handle lights it alone; leaving puts all eight at rest.
    QEnterEvent enter(local, local, global);
    QApplication::sendEvent(frame->imgContSaiz, &enter);
    QList<double> expected = all(0.5);
    expected[1] = 1.0;
    QCOMPARE(opacities(), expected);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(frame->imgContSaiz, &leave);
    QCOMPARE(opacities(), all(0.5));

    // Released away from every handle (a resize held at the smallest size while the pointer
    // went on): they stay dim until a handle is left.
    HandleImage* sizer = frame->imgContSaiz;
    const QPoint sizerGlobal = sizer->mapToGlobal(local);
    QMouseEvent sizerPress(
      QEvent::MouseButtonPress, local, sizerGlobal, Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(sizer, &sizerPress);
    const QPoint away = sizerGlobal - QPoint(500, 400);
    QMouseEvent farRelease(
      QEvent::MouseButtonRelease, sizer->mapFromGlobal(away), away, Qt::LeftButton, {}, {});
    QApplication::sendEvent(sizer, &farRelease);
    QVERIFY(!QRect(sizer->mapToGlobal(QPoint(0, 0)), sizer->size()).contains(away));
    QCOMPARE(opacities(), all(0.01f));
    QApplication::sendEvent(sizer, &leave);
    QCOMPARE(opacities(), all(0.5));
}

void HandlesGuiTest::zoomTimerRunsFromAMoveUntilTheHandleIsLeft()
{
    TForm1* frame = fixture.form1.get();
    QVERIFY(!frame->timZoom->isActive());
    QCOMPARE(frame->timZoom->interval(), 100);
    HandleImage* h = frame->imgContSaiz;
    const QPoint local(15, 15), global = h->mapToGlobal(local);
    QCursor::setPos(global);

    // A copy starts no timer.
    ModalAnswerer answer;
    const QString& modal = answer.seen;
    QMouseEvent right(
      QEvent::MouseButtonPress, local, global, Qt::RightButton, Qt::RightButton, {});
    QApplication::sendEvent(h, &right);
    QVERIFY(modal.startsWith("MessageBox"));
    QVERIFY(!frame->timZoom->isActive());

    // A resize starts it and records the pointer; the release leaves it running.
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(h, &press);
    QVERIFY(frame->timZoom->isActive());
    QCOMPARE(maeMouseX, float(global.x()));
    QCOMPARE(maeMouseY, float(global.y()));
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, {}, {});
    QApplication::sendEvent(h, &release);
    QVERIFY(frame->timZoom->isActive());

    // Leaving either handle stops it.
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(frame->imgContIdou, &leave);
    QVERIFY(!frame->timZoom->isActive());
}

// A press that starts a move or resize while the timer runs must not restart its period: the
// views refresh every 100 ms however often the user presses.
void HandlesGuiTest::secondPressLeavesTheZoomTimerUndisturbed()
{
    TForm1* frame = fixture.form1.get();
    HandleImage* h = frame->imgContIdou;
    const QPoint local(15, 15), global = h->mapToGlobal(local);
    QCursor::setPos(global);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, {});
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, {}, {});
    QApplication::sendEvent(h, &press);
    QApplication::sendEvent(h, &release);
    QVERIFY(frame->timZoom->isActive());
    // Time passes with no event handled, so that nothing else touches the timer meanwhile.
    QThread::msleep(60);
    const int before = frame->timZoom->remainingTime();
    QVERIFY(before >= 0 && before <= 45);
    QApplication::sendEvent(h, &press);
    QApplication::sendEvent(h, &release);
    QVERIFY(frame->timZoom->isActive());
    // A restarted timer would have its whole 100 ms ahead again.
    QVERIFY2(frame->timZoom->remainingTime() <= before,
             qPrintable(QString("%1 ms left after the second press, %2 before")
                          .arg(frame->timZoom->remainingTime())
                          .arg(before)));
}

// Left held on the resize handle, a right click, then the left release: one resize, one
// sizing pointer, and none left behind.
void HandlesGuiTest::rightClickDuringAResizeLeavesNoSizingPointer()
{
    TForm1* frame = fixture.form1.get();
    HandleImage* h = frame->imgContSaiz;
    const QPoint local(15, 15), global = h->mapToGlobal(local);
    QCursor::setPos(global);
    QVERIFY(!QGuiApplication::overrideCursor());
    QMouseEvent left(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(h, &left);
    QVERIFY(QGuiApplication::overrideCursor());
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::SizeFDiagCursor);
    // With the left button down the right press falls under the left rows: a resize again.
    QMouseEvent right(QEvent::MouseButtonPress,
                      local,
                      global,
                      Qt::RightButton,
                      Qt::LeftButton | Qt::RightButton,
                      {});
    QApplication::sendEvent(h, &right);
    QMouseEvent rightUp(
      QEvent::MouseButtonRelease, local, global, Qt::RightButton, Qt::LeftButton, {});
    QApplication::sendEvent(h, &rightUp);
    QMouseEvent leftUp(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, {}, {});
    QApplication::sendEvent(h, &leftUp);
    QVERIFY2(!QGuiApplication::overrideCursor(), "the sizing pointer stayed on the program");
}

void HandlesGuiTest::maximiseThenRestoreReturnsTheExactGeometry()
{
    TForm1* frame = fixture.form1.get();
    const QRect display = frame->screen()->geometry();
    QCOMPARE(
      observe(frame, fixture.fake, frame->imgContIdou, Qt::LeftButton, {}, Qt::ControlModifier),
      QString("maximise"));
    QTRY_COMPARE(frame->geometry(), display);
    QCOMPARE(frame->imgContSaiz->pos(), QPoint(display.width() - 34, display.height() - 34));

    // Moved and resized while maximised: the next Ctrl+Left still restores the stored shape.
    frame->setGeometry(50, 60, 700, 500);
    QTRY_COMPARE(frame->geometry(), QRect(50, 60, 700, 500));
    observe(frame, fixture.fake, frame->imgContIdou, Qt::LeftButton, {}, Qt::ControlModifier);
    QTRY_COMPARE(frame->geometry(), home);
    QVERIFY(!frame->wakuSaidaiNow());
}

void HandlesGuiTest::resizeNeverLosesTheFrame()
{
    TForm1* frame = fixture.form1.get();
    HandleImage* h = frame->imgContSaiz;
    const QPoint local(15, 15), global = h->mapToGlobal(local);
    QCursor::setPos(global);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(h, &press);
    // Far past the fixed top-left corner.
    for (const QPoint to :
         { global - QPoint(300, 100), global - QPoint(1000, 1000), global - QPoint(379, 241) }) {
        QMouseEvent moveEvent(
          QEvent::MouseMove, h->mapFromGlobal(to), to, Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(h, &moveEvent);
        QTRY_VERIFY(frame->width() >= 5 && frame->height() >= 5);
        QCOMPARE(frame->geometry().topLeft(), home.topLeft());
    }
    QTRY_COMPARE(frame->size(), QSize(5, 5));
    // And back out again: it grows with the pointer.
    const QPoint back = global + QPoint(10, 20);
    QMouseEvent moveBack(
      QEvent::MouseMove, h->mapFromGlobal(back), back, Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(h, &moveBack);
    QTRY_COMPARE(frame->size(), home.size() + QSize(10, 20));
    QMouseEvent release(
      QEvent::MouseButtonRelease, h->mapFromGlobal(back), back, Qt::LeftButton, {}, {});
    QApplication::sendEvent(h, &release);

    // A 5 x 5 frame still takes a 1 x 1 picture.
    frame->resize(5, 5);
    QTRY_COMPARE(frame->size(), QSize(5, 5));
    frame->gamenGetModo(frame);
    frame->gazoCopy(frame);
    syoriChu = false;
    QCOMPARE(gazoBmp->size(), QSize(1, 1));
}

void HandlesGuiTest::aDragEndsWhereTheButtonGoesUp_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QRect>("expected"); // from the frame at home, the pointer 30 right, 20 down
    QTest::addRow("move handle") << int(MoveHandle) << home.translated(30, 20);
    QTest::addRow("resize handle")
      << int(ResizeHandle) << QRect(home.topLeft(), home.size() + QSize(30, 20));
}

void HandlesGuiTest::aDragEndsWhereTheButtonGoesUp()
{
    // The last movement seen is halfway; the release comes at the end of the way.
    QFETCH(int, which);
    QFETCH(QRect, expected);
    TForm1* frame = fixture.form1.get();
    QCOMPARE(frame->geometry(), home);
    HandleImage* h = handle(which);
    const QPoint local(15, 15);
    const QPoint global = h->mapToGlobal(local);
    QMouseEvent press(
      QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(h, &press);
    const QPoint halfway = global + QPoint(15, 10);
    QMouseEvent move(QEvent::MouseMove,
                     h->mapFromGlobal(halfway),
                     halfway,
                     Qt::NoButton,
                     Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(h, &move);
    const QPoint end = global + QPoint(30, 20);
    QMouseEvent release(
      QEvent::MouseButtonRelease, h->mapFromGlobal(end), end, Qt::LeftButton, {}, Qt::NoModifier);
    QApplication::sendEvent(h, &release);
    QTRY_COMPARE(frame->geometry(), expected);
}

QTEST_MAIN(HandlesGuiTest)
#include "HandlesGuiTest.moc"
