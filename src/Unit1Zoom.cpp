// TForm1: the corner zoom. While a handle moves or resizes the frame, the four 50 x 50 corner
// blocks are copied from the screen as it is displayed into the zoom window's views.

#include "Unit1.h"

#include "Unit2.h"
#include "controls/ImageViewer.h"

#include <QCursor>
#include <QTimer>

void TForm1::timZoomTimer(QObject*)
{
    const QPoint pointer = QCursor::pos();
    const auto x = static_cast<float>(pointer.x());
    const auto y = static_cast<float>(pointer.y());
    if (x == maeMouseX && y == maeMouseY) {
        return;
    }
    maeMouseX = x;
    maeMouseY = y;
    if (Form2->isVisible()) {
        zoomIn(this);
    }
}

void TForm1::zoomIn(QObject*)
{
    const auto left = [] { return Form1->geometry().left(); };
    const auto top = [] { return Form1->geometry().top(); };
    zoomX = left() + 3;
    zoomY = top() + 4;
    zoom(this, Form2->IViewTL);
    zoomX = left() + Form1->width() - 52;
    zoomY = top() + 4;
    zoom(this, Form2->IViewTR);
    zoomX = left() + 3;
    zoomY = top() + Form1->height() - 52;
    zoom(this, Form2->IViewBL);
    zoomX = left() + Form1->width() - 52;
    zoomY = top() + Form1->height() - 52;
    zoom(this, Form2->IViewBR);
}

void TForm1::zoom(QObject*, ImageViewer* img)
{
    bmpSyokika(zoomHaba, zoomTaka);
    // The frame stays on the screen: the blocks show what the user sees.
    ombrix::platform().copyDesktop(zoomX, zoomY, *gamenBmp);
    *tensoBmp = adoptPixels(*gamenBmp);
    img->setBitmap(*tensoBmp);
    endSyori(this);
}
