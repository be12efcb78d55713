// TForm1: the screen grab and the clipboard copy.

#include "Unit1.h"

#include "MessageBox.h"
#include "Rules.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QScreen>
#include <QToolTip>

namespace
{

// Puts the frame back on the screen and frees the grab's buffers if a grab stops part-way:
// a user must never be left without the frame.
class GrabRecovery
{
public:
    explicit GrabRecovery(TForm1* form)
      : form_(form)
    {
    }
    ~GrabRecovery()
    {
        if (armed_) {
            form_->setVisible(true);
            form_->endSyori(form_);
        }
    }
    void disarm() { armed_ = false; }

private:
    TForm1* form_;
    bool armed_ = true;
};

// Clears the busy flag when an operation ends, normally or by an error, so that the shortcuts
// are never left dead.
class BusyFlag
{
public:
    ~BusyFlag() { syoriChu = false; }
};

} // namespace

void TForm1::btnCopiClick(QObject*)
{
    clipCopi(this);
}

void TForm1::gamenGetModo(QObject*)
{
    syoriChu = true;

    std::vector<QRectF> displays;
    for (QScreen* s : QGuiApplication::screens()) {
        displays.push_back(QRectF(s->geometry()));
    }
    const int left = geometry().left();
    const int top = geometry().top();
    int haba = 0, taka = 0;
    if (!displays.empty()) {
        const QRectF& chosen = displays[rules::chooseDisplay(displays, left)];
        haba = rules::roundHalfEven(chosen.width());
        taka = rules::roundHalfEven(chosen.height());
    }
    bmpSyokika(haba, taka);

    GrabRecovery recovery(this);
    // Our own hint window would otherwise be in the picture.
    QToolTip::hideText();
    setVisible(false);
    ombrix::platform().waitHidden(static_cast<uintptr_t>(winId()));
    ombrix::platform().copyDesktop(left + 2, top + 3, *gamenBmp);
    // The pixels are opaque, 8 bits a channel: the same layout as an RGB32 image.
    *tensoBmp = QImage(reinterpret_cast<const uchar*>(gamenBmp->argb.data()),
                       gamenBmp->width,
                       gamenBmp->height,
                       gamenBmp->width * 4,
                       QImage::Format_RGB32)
                  .copy();
    Image1 = *tensoBmp;
    setVisible(true);
    recovery.disarm();
    endSyori(this);
}

void TForm1::gazoCopy(QObject*)
{
    const int w = rules::roundHalfEven(width() - 4);
    const int h = rules::roundHalfEven(height() - 4);
    if (gazoBmp->width() != w || gazoBmp->height() != h) {
        *gazoBmp = QImage(std::max(w, 0), std::max(h, 0), QImage::Format_ARGB32);
        gazoBmp->fill(Qt::transparent);
    }
    const int cw = std::min({ w, Image1.width(), gazoBmp->width() });
    const int ch = std::min({ h, Image1.height(), gazoBmp->height() });
    const QImage source = Image1.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < ch; ++y) {
        std::memcpy(gazoBmp->scanLine(y), source.constScanLine(y), static_cast<size_t>(cw) * 4);
    }
}

void TForm1::bmpSyokika(int haba, int taka)
{
    gamenBmp = std::make_unique<ombrix::Pixels>();
    tensoBmp = std::make_unique<QImage>();
    gamenBmp->resize(std::max(haba, 0), std::max(taka, 0));
}

void TForm1::endSyori(QObject*)
{
    gamenBmp.reset();
    tensoBmp.reset();
}

void TForm1::clipCopi(QObject*)
{
    BusyFlag busy;
    gamenGetModo(this);
    gazoCopy(this);
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        const auto* pixels = reinterpret_cast<const uint32_t*>(gazoBmp->constBits());
        if (!ombrix::platform().setClipboardPicture(gazoBmp->width(), gazoBmp->height(), pixels,
                                                    gazoBmp->bytesPerLine() / 4)) {
            clipboard->setImage(*gazoBmp);
        }
        MessageBox::show(QMessageBox::Information,
                         QStringLiteral("情報"),
                         QStringLiteral("クリップボードにコピーしました"));
    }
    setVisible(true);
}
