// TForm1: the screen grab and the clipboard copy.

#include "Unit1.h"

#include "ClipboardPicture.h"
#include "MessageBox.h"
#include "Rules.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QToolTip>

#include <chrono>
#include <cstring>
#include <memory>

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

} // namespace

QImage adoptPixels(ombrix::Pixels& pixels)
{
    const int w = pixels.width, h = pixels.height;
    if (pixels.lent) {
        auto* lent = new std::shared_ptr<uint32_t>(std::move(pixels.lent));
        pixels = ombrix::Pixels{};
        return QImage(
          reinterpret_cast<uchar*>(lent->get()),
          w,
          h,
          w * 4,
          QImage::Format_RGB32,
          [](void* p) { delete static_cast<std::shared_ptr<uint32_t>*>(p); },
          lent);
    }
    auto* owned = new std::vector<uint32_t>(std::move(pixels.argb));
    pixels = ombrix::Pixels{};
    if (owned->empty()) {
        delete owned;
        return QImage(w, h, QImage::Format_RGB32);
    }
    return QImage(
      reinterpret_cast<uchar*>(owned->data()),
      w,
      h,
      w * 4,
      QImage::Format_RGB32,
      [](void* p) { delete static_cast<std::vector<uint32_t>*>(p); },
      owned);
}

qint64 profileClock()
{
    static const auto origin = std::chrono::steady_clock::now();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                origin)
      .count();
}

void TForm1::btnCopiClick(QObject*)
{
    clipCopi(this);
}

void TForm1::gamenGetModo(QObject*)
{
    syoriChu = true;
    lastGrab = {};
    lastGrab.start = profileClock();

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
    lastGrab.prepared = profileClock();
    // Our own hint window would otherwise be in the picture.
    QToolTip::hideText();
    setVisible(false);
    ombrix::platform().waitHidden(static_cast<uintptr_t>(winId()));
    lastGrab.hidden = profileClock();
    ombrix::platform().settleDesktop();
    lastGrab.settled = profileClock();
    ombrix::platform().copyDesktop(left + 2, top + 3, *gamenBmp);
    lastGrab.read = profileClock();
    *tensoBmp = adoptPixels(*gamenBmp);
    Image1 = *tensoBmp;
    setVisible(true);
    lastGrab.shown = profileClock();
    recovery.disarm();
    endSyori(this);
}

void TForm1::gazoCopy(QObject*)
{
    const int w = std::max(rules::roundHalfEven(width() - 4), 0);
    const int h = std::max(rules::roundHalfEven(height() - 4), 0);
    const int cw = std::min(w, Image1.width());
    const int ch = std::min(h, Image1.height());
    // The grab is opaque RGB32, whose pixels are ARGB32 pixels with alpha 0xFF.
    if (cw == w && ch == h && w > 0 && h > 0) {
        // Every pixel comes from the grab, from its top-left corner on: the picture is a view
        // of the grab's own rows, which it keeps alive, rather than a copy of them.
        auto* grab = new QImage(Image1);
        *gazoBmp = QImage(
          grab->constBits(),
          w,
          h,
          grab->bytesPerLine(),
          QImage::Format_ARGB32,
          [](void* p) { delete static_cast<QImage*>(p); },
          grab);
        return;
    }
    if (gazoBmp->width() != w || gazoBmp->height() != h) {
        *gazoBmp = QImage(w, h, QImage::Format_ARGB32);
        gazoBmp->fill(Qt::transparent);
    }
    for (int y = 0; y < ch; ++y) {
        std::memcpy(gazoBmp->scanLine(y), Image1.constScanLine(y), static_cast<size_t>(cw) * 4);
    }
}

void TForm1::bmpSyokika(int haba, int taka)
{
    gamenBmp = std::make_unique<ombrix::Pixels>();
    tensoBmp = std::make_unique<QImage>();
    haba = std::max(haba, 0);
    taka = std::max(taka, 0);
    if (ombrix::platform().lendsPixels(haba, taka)) {
        // The read brings its own store: no memory to clear here, and no copy there.
        gamenBmp->width = haba;
        gamenBmp->height = taka;
    } else {
        gamenBmp->resize(haba, taka);
    }
}

void TForm1::endSyori(QObject*)
{
    gamenBmp.reset();
    tensoBmp.reset();
}

void TForm1::clipCopi(QObject*)
{
    ClearsBusyFlag busy;
    gamenGetModo(this);
    gazoCopy(this);
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        const auto* pixels = reinterpret_cast<const uint32_t*>(gazoBmp->constBits());
        if (!ombrix::platform().setClipboardPicture(
              gazoBmp->width(), gazoBmp->height(), pixels, gazoBmp->bytesPerLine() / 4)) {
            // The clipboard keeps its picture for as long as we own the selection, and a view
            // would keep the whole display-sized grab with it, past the next grab. A picture
            // of less than half the grab gets rows of its own there (a fraction of a
            // millisecond); a larger one shares the grab's, which costs little more.
            const qint64 area = qint64(gazoBmp->width()) * gazoBmp->height();
            const bool small = 2 * area < qint64(Image1.width()) * Image1.height();
            putPictureOnClipboard(clipboard, small ? gazoBmp->copy() : *gazoBmp);
        }
        lastGrab.clipboard = profileClock();
        // The earlier grab is free now. Its memory goes once the message is up, out of the way
        // of the first requests for the picture, rather than at the message's dismissal.
        QTimer::singleShot(0, this, [] { ombrix::platform().releaseSpareMemory(); });
        MessageBox::show(QMessageBox::Information,
                         QStringLiteral("情報"),
                         QStringLiteral("クリップボードにコピーしました"));
    }
    setVisible(true);
}
