// TForm1: the screen grab and the clipboard copy.

#include "Unit1.h"

#include "ClipboardPicture.h"
#include "MessageBox.h"
#include "Rules.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTimer>
#include <QToolTip>

#include <chrono>
#include <cstring>
#include <memory>

namespace
{

// Frees the grab's buffers if a grab stops part-way.
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
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

ombrix::Rect TForm1::deviceArea(const QRect& logical)
{
    // Where the window really stands on the screen, in device pixels: the toolkit's own idea of
    // it is in logical pixels, and is not told where the window manager put the window.
    const double scale = devicePixelRatioF();
    ombrix::Rect window = ombrix::platform().windowArea(static_cast<uintptr_t>(winId()));
    if (window.width <= 0 || window.height <= 0) {
        const QRect known = rules::toDevice(geometry(), scale);
        window = { known.x(), known.y(), known.width(), known.height() };
    }
    const QRect part = rules::toDevice(logical, scale);
    return { window.x + part.x(), window.y + part.y(), part.width(), part.height() };
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

    // Only the framed area is read, in device pixels: the memory and the time of a grab
    // follow the frame, not the display.
    const ombrix::Rect area = deviceArea(rules::pictureRect(size()));
    bmpSyokika(area.width, area.height);

    GrabRecovery recovery(this);
    lastGrab.prepared = profileClock();
    // Our own hint window would otherwise be in the picture.
    QToolTip::hideText();
    ombrix::GrabTimes times;
    ombrix::platform().grabUnder(static_cast<uintptr_t>(winId()), area, *gamenBmp, &times);
    lastGrab.hidden = times.hidden;
    lastGrab.settled = times.settled;
    lastGrab.read = times.read;
    lastGrab.shown = times.shown;
    *tensoBmp = adoptPixels(*gamenBmp);
    Image1 = *tensoBmp;
    recovery.disarm();
    endSyori(this);
}

void TForm1::gazoCopy(QObject*)
{
    // The grab is the framed area itself, in device pixels.
    const int w = Image1.width();
    const int h = Image1.height();
    if (w > 0 && h > 0) {
        // The picture is a view of the grab's own rows, which it keeps alive, rather than a
        // copy of them. The grab is opaque RGB32, whose pixels are ARGB32 pixels with alpha 0xFF.
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
    *gazoBmp = QImage(std::max(w, 0), std::max(h, 0), QImage::Format_ARGB32);
}

void TForm1::bmpSyokika(int haba, int taka)
{
    gamenBmp = std::make_unique<ombrix::Pixels>();
    tensoBmp = std::make_unique<QImage>();
    // Only the size: the read brings its own store, which may be memory shared with the
    // display server that the picture then keeps (no copy).
    gamenBmp->width = std::max(haba, 0);
    gamenBmp->height = std::max(taka, 0);
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
            putPictureOnClipboard(clipboard, *gazoBmp);
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
