// The corner zoom in-process: which blocks a refresh copies, when a tick refreshes, and how a
// view places and magnifies its picture.

#include "GuiFixture.h"
#include "Unit2.h"
#include "WindowShow.h"
#include "controls/ImageViewer.h"

#include <QCursor>
#include <QTest>
#include <QWheelEvent>

class ZoomGuiTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void zoomWindowLayout();
    void blocksAtTheFourCorners();
    void refreshOnlyWhenThePointerMovedAndTheWindowIsShown();
    void placementRule_data();
    void placementRule();
    void wheelRule_data();
    void wheelRule();
    void wheelCentresAndTheViewKeepsIt();

private:
    QStringList copies() const
    {
        QStringList c;
        for (const QString& e : fixture.fake->log) {
            if (e.startsWith("copy")) {
                c << e.mid(5);
            }
        }
        return c;
    }
    GuiFixture fixture;
};

void ZoomGuiTest::initTestCase()
{
    fixture.create();
    QVERIFY(QTest::qWaitForWindowExposed(fixture.form1.get()));
    fixture.form1->TtimKeyGet->stop();
}

void ZoomGuiTest::cleanupTestCase()
{
    fixture.destroy();
}

void ZoomGuiTest::init()
{
    fixture.form1->setGeometry(100, 100, 384, 246);
    QTRY_COMPARE(fixture.form1->geometry(), QRect(100, 100, 384, 246));
    fixture.fake->log.clear();
}

void ZoomGuiTest::zoomWindowLayout()
{
    TForm2* z = fixture.form2.get();
    QCOMPARE(z->size(), QSize(425, 426));
    const struct {
        ImageViewer* view;
        QRect place;
    } views[] = { { z->IViewTL, { 8, 8, 200, 200 } },
                  { z->IViewTR, { 216, 8, 200, 200 } },
                  { z->IViewBL, { 8, 216, 200, 200 } },
                  { z->IViewBR, { 216, 216, 200, 200 } } };
    for (const auto& v : views) {
        QCOMPARE(v.view->geometry(), v.place);
        QCOMPARE(v.view->bitmapScale(), 4.0);
        QCOMPARE(v.view->viewport(), QRect(2, 2, 196, 196));
        QCOMPARE(v.view->cursor().shape(), Qt::PointingHandCursor);
        QVERIFY(v.view->bitmap().isNull());
    }
    // Tab order: bottom-right, bottom-left, top-right, top-left.
    QCOMPARE(z->IViewBR->nextInFocusChain(), z->IViewBL);
    QCOMPARE(z->IViewBL->nextInFocusChain(), z->IViewTR);
    QCOMPARE(z->IViewTR->nextInFocusChain(), z->IViewTL);
    // The window's own colour, and the views' panel and border.
    const QImage shot = z->grab().toImage();
    QCOMPARE(shot.pixel(4, 4), 0xFF505050u);
    QCOMPARE(shot.pixel(8 + 100, 8 + 100), 0xFF404040u);
    QCOMPARE(shot.pixel(8 + 100, 8), 0xFF303030u);
}

void ZoomGuiTest::blocksAtTheFourCorners()
{
    TForm1* f = fixture.form1.get();
    f->zoomIn(f);
    QCOMPARE(copies(),
             QStringList({ "103,104 50x50", "432,104 50x50", "103,294 50x50", "432,294 50x50" }));
    TForm2* z = fixture.form2.get();
    const struct {
        ImageViewer* view;
        QPoint at;
    } blocks[] = { { z->IViewTL, { 103, 104 } },
                   { z->IViewTR, { 432, 104 } },
                   { z->IViewBL, { 103, 294 } },
                   { z->IViewBR, { 432, 294 } } };
    for (const auto& b : blocks) {
        QCOMPARE(b.view->bitmap().size(), QSize(50, 50));
        for (const QPoint p : { QPoint(0, 0), QPoint(49, 0), QPoint(0, 49), QPoint(49, 49) }) {
            QCOMPARE(b.view->bitmap().pixel(p),
                     FakePlatform::desktopPixel(b.at.x() + p.x(), b.at.y() + p.y()));
        }
    }
    // Not hidden for these: the blocks show the screen as it is displayed.
    QCOMPARE(fixture.fake->waits, 0);

    // A narrow, low frame: the blocks overlap and are copied in full all the same.
    f->setGeometry(300, 200, 80, 60);
    QTRY_COMPARE(f->size(), QSize(80, 60));
    fixture.fake->log.clear();
    f->zoomIn(f);
    QCOMPARE(copies(),
             QStringList({ "303,204 50x50", "328,204 50x50", "303,208 50x50", "328,208 50x50" }));
}

void ZoomGuiTest::refreshOnlyWhenThePointerMovedAndTheWindowIsShown()
{
    TForm1* f = fixture.form1.get();
    TForm2* z = fixture.form2.get();
    z->hide();
    const QPoint p = QCursor::pos();
    maeMouseX = static_cast<float>(p.x());
    maeMouseY = static_cast<float>(p.y());

    // The pointer has not moved: nothing.
    showWindow(z);
    f->timZoomTimer(f);
    QVERIFY(copies().isEmpty());

    // Moved, but the window hidden: the position is recorded, nothing copied.
    z->hide();
    QCursor::setPos(p + QPoint(3, 2));
    QTRY_COMPARE(QCursor::pos(), p + QPoint(3, 2));
    f->timZoomTimer(f);
    QVERIFY(copies().isEmpty());
    QCOMPARE(maeMouseX, float(p.x() + 3));
    QCOMPARE(maeMouseY, float(p.y() + 2));

    // Moved and shown: one refresh of the four.
    showWindow(z);
    QCursor::setPos(p + QPoint(5, 5));
    QTRY_COMPARE(QCursor::pos(), p + QPoint(5, 5));
    f->timZoomTimer(f);
    QCOMPARE(copies().size(), 4);
    f->timZoomTimer(f);
    QCOMPARE(copies().size(), 4);
    z->hide();
}

void ZoomGuiTest::placementRule_data()
{
    QTest::addColumn<double>("picture");
    QTest::addColumn<double>("viewport");
    QTest::addColumn<double>("offset");
    QTest::addRow("magnification 4: larger, at the start") << 200.0 << 196.0 << 0.0;
    QTest::addRow("same size: centred, no offset") << 196.0 << 196.0 << 0.0;
    QTest::addRow("smaller: centred") << 100.0 << 196.0 << 48.0;
    QTest::addRow("smaller by an odd amount: rounded") << 101.0 << 196.0 << 48.0;
    QTest::addRow("magnification 3.96") << 198.0 << 196.0 << 0.0;
    QTest::addRow("magnification 3.92") << 196.0 << 196.0 << 0.0;
    QTest::addRow("magnification 1") << 50.0 << 196.0 << 73.0;
}

void ZoomGuiTest::placementRule()
{
    QFETCH(double, picture);
    QFETCH(double, viewport);
    QFETCH(double, offset);
    QCOMPARE(ImageViewer::placedOffset(picture, viewport), offset);
}

void ZoomGuiTest::wheelRule_data()
{
    QTest::addColumn<double>("scale");
    QTest::addColumn<int>("delta");
    QTest::addColumn<double>("expected");
    QTest::addRow("one notch up") << 4.0 << 120 << 4.04;
    QTest::addRow("one notch down") << 4.0 << -120 << 3.96;
    QTest::addRow("three notches") << 4.0 << 360 << 4.12;
    QTest::addRow("half a notch") << 4.0 << 60 << 4.02;
    QTest::addRow("top limit") << 9.99 << 120 << 10.0;
    QTest::addRow("bottom limit") << 0.03 << -120 << 0.01;
    QTest::addRow("far past the bottom") << 1.0 << -12000 << 0.01;
}

void ZoomGuiTest::wheelRule()
{
    QFETCH(double, scale);
    QFETCH(int, delta);
    QFETCH(double, expected);
    QVERIFY(qFuzzyCompare(ImageViewer::wheeledScale(scale, delta), expected));
}

void ZoomGuiTest::wheelCentresAndTheViewKeepsIt()
{
    ImageViewer view;
    view.resize(200, 200);
    QImage picture(50, 50, QImage::Format_RGB32);
    picture.fill(Qt::red);
    view.setBitmap(picture);
    QCOMPARE(view.pictureOffset(), QPointF(0, 0));

    const auto wheel = [&](int delta) {
        QWheelEvent e(QPointF(100, 100),
                      QPointF(100, 100),
                      QPoint(),
                      QPoint(0, delta),
                      Qt::NoButton,
                      Qt::NoModifier,
                      Qt::NoScrollPhase,
                      false);
        QApplication::sendEvent(&view, &e);
    };
    // Two notches down: 3.92, the 196-pixel picture centred exactly.
    wheel(-240);
    QVERIFY(qFuzzyCompare(view.bitmapScale(), 3.92));
    QCOMPARE(view.pictureOffset(), QPointF(0, 0));
    // One notch up from there: 3.96, larger than the viewport yet centred (not at the start).
    wheel(120);
    QCOMPARE(view.pictureOffset(), QPointF(-1, -1));
    // A new picture keeps magnification and position.
    view.setBitmap(picture);
    QVERIFY(qFuzzyCompare(view.bitmapScale(), 3.96));
    QCOMPARE(view.pictureOffset(), QPointF(-1, -1));
    // At the limit the wheel changes nothing, so nothing is centred either.
    ImageViewer atLimit;
    atLimit.resize(200, 200);
    atLimit.setBitmap(picture);
    atLimit.setBitmapScale(10.0);
    QWheelEvent up(QPointF(100, 100),
                   QPointF(100, 100),
                   QPoint(),
                   QPoint(0, 120),
                   Qt::NoButton,
                   Qt::NoModifier,
                   Qt::NoScrollPhase,
                   false);
    QApplication::sendEvent(&atLimit, &up);
    QCOMPARE(atLimit.bitmapScale(), 10.0);
    QCOMPARE(atLimit.pictureOffset(), QPointF(0, 0));

    // Through hiding and showing the zoom window, a view keeps its magnification.
    TForm2* z = fixture.form2.get();
    z->IViewTL->setBitmapScale(2.0);
    showWindow(z);
    z->hide();
    showWindow(z);
    QCOMPARE(z->IViewTL->bitmapScale(), 2.0);
    z->IViewTL->setBitmapScale(4.0);
    z->hide();
}

QTEST_MAIN(ZoomGuiTest)
#include "ZoomGuiTest.moc"
