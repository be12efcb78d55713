#include "Unit2.h"

#include "Globals.h"
#include "WindowShow.h"
#include "controls/ImageViewer.h"

namespace
{
constexpr int kViewSize = 200;
// The four views, in tab order (bottom-right first).
struct ViewPlace {
    ImageViewer* TForm2::*field;
    int x, y;
};
const ViewPlace kViews[] = {
    { &TForm2::IViewBR, 216, 216 },
    { &TForm2::IViewBL, 8, 216 },
    { &TForm2::IViewTR, 216, 8 },
    { &TForm2::IViewTL, 8, 8 },
};
} // namespace

TForm2::TForm2()
{
    Form2 = this;
    makeToolWindow(this, "Ombrix Zoom Window", 425, 426);
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral("TForm2 { background-color: #505050; }"));
    QWidget* previous = nullptr;
    for (const ViewPlace& v : kViews) {
        auto* view = new ImageViewer(this);
        view->setGeometry(v.x, v.y, kViewSize, kViewSize);
        view->setFocusPolicy(Qt::StrongFocus);
        this->*(v.field) = view;
        if (previous) {
            setTabOrder(previous, view);
        }
        previous = view;
    }
}
