// TForm1: the corner zoom. While a handle moves or resizes the frame, the four 50 x 50 corner
// blocks are copied from the screen as it is displayed into the zoom window's views.

#include "Unit1.h"

#include "Unit2.h"
#include "controls/ImageViewer.h"

#include <QCursor>
#include <QSize>
#include <QTimer>

#include <array>

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
    // The blocks are taken in device pixels, where the frame really stands on the screen.
    const std::array<QRect, 4> blocks = rules::zoomBlocks(Form1->size(), zoomHaba);
    ImageViewer* const views[] = { Form2->IViewTL, Form2->IViewTR, Form2->IViewBL, Form2->IViewBR };
    for (size_t i = 0; i < blocks.size(); ++i) {
        const ombrix::Rect block = Form1->deviceArea(blocks[i]);
        zoomX = block.x;
        zoomY = block.y;
        zoomBlock_ = QSize(block.width, block.height);
        zoom(this, views[i]);
    }
}

void TForm1::zoom(QObject*, ImageViewer* img)
{
    bmpSyokika(zoomBlock_.width(), zoomBlock_.height());
    // The frame stays on the screen: the blocks show what the user sees.
    ombrix::platform().copyDesktop(zoomX, zoomY, *gamenBmp);
    *tensoBmp = adoptPixels(*gamenBmp);
    // Shown at the size of a 50 x 50 block whatever the display's scale.
    tensoBmp->setDevicePixelRatio(static_cast<double>(zoomBlock_.width()) / zoomHaba);
    img->setBitmap(*tensoBmp);
    endSyori(this);
}
