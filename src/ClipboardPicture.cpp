#include "ClipboardPicture.h"

#include "PngEncoder.h"

#include <QAbstractNativeEventFilter>
#include <QClipboard>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFuture>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#if QT_CONFIG(xcb)
// Last: Xlib's macros (None, Bool, Status...) would clash with Qt's headers.
#include <X11/Xlib.h>
#include <xcb/xcb.h>
#endif

namespace
{

class PictureMimeData final : public QMimeData
{
public:
    explicit PictureMimeData(const QImage& picture) { setImageData(picture); }

    // Started once the clipboard holds us, so that the encoding does not hold up the copy.
    void startEncoding() { png_ = QtConcurrent::run(encodeFastPng, imageData().value<QImage>()); }

    // From now on the picture is offered as its PNG alone. A clipboard manager keeps every
    // format it is offered, and each of the others would be encoded for it on the spot (a
    // full-screen XPM or BMP takes seconds to make and to pass), while the program is ending.
    void offerPngOnly()
    {
        if (png_.isValid()) {
            png_.waitForFinished();
            pngOnly_ = true;
        }
    }

    QStringList formats() const override
    {
        return pngOnly_ ? QStringList{ QStringLiteral("image/png") } : QMimeData::formats();
    }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override
    {
        if (mimeType == QLatin1String("image/png") && png_.isValid()) {
            return png_.result();
        }
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    QFuture<QByteArray> png_;
    bool pngOnly_ = false;
};

#if QT_CONFIG(xcb)

// A clipboard manager that answers a request to keep the clipboard (SAVE_TARGETS) asks for the
// clipboard's content at once, and goes on until it has it all. One that has asked for nothing
// for this long will not answer: xfce4-clipman's, say, takes copies of its own as each new
// content comes (it may still be taking one), and never answers.
constexpr int kQuietMs = 150;
// How long a manager that is taking the clipboard's content may take in all.
constexpr int kAnswerMs = 3000;

// Watches the toolkit's X events for the clipboard manager's answer to our request, and for its
// requests for the clipboard's content in the meantime (the toolkit answers those itself). Only
// the requests of the manager's own window count: others may be asking for the content too.
class ManagerAnswer final : public QAbstractNativeEventFilter
{
public:
    ManagerAnswer(QEventLoop& loop, Window requestor, Window manager)
      : loop_(loop)
      , requestor_(requestor)
      , manager_(manager)
    {
        quiet_.start();
    }

    // Since the request, or since the manager last asked for a part of the clipboard's content.
    qint64 quietMs() const { return quiet_.elapsed(); }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override
    {
        if (eventType != "xcb_generic_event_t") {
            return false;
        }
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        switch (event->response_type & 0x7F) {
            case XCB_SELECTION_NOTIFY:
                if (reinterpret_cast<const xcb_selection_notify_event_t*>(event)->requestor ==
                    requestor_) {
                    loop_.quit();
                }
                break;
            case XCB_SELECTION_REQUEST:
                if (reinterpret_cast<const xcb_selection_request_event_t*>(event)->requestor ==
                    manager_) {
                    quiet_.restart();
                }
                break;
            case XCB_PROPERTY_NOTIFY: {
                // A large content goes in parts, each asked for by deleting the last one.
                const auto* change = reinterpret_cast<const xcb_property_notify_event_t*>(event);
                if (change->window == manager_ && change->state == XCB_PROPERTY_DELETE) {
                    quiet_.restart();
                }
                break;
            }
        }
        return false;
    }

private:
    QEventLoop& loop_;
    const Window requestor_;
    const Window manager_;
    QElapsedTimer quiet_;
};

// Asks the clipboard manager to keep what the clipboard holds, and serves it what it asks for
// until it says it has it, or until it is plain that it will not answer. The request goes out
// on the toolkit's own connection: the manager's taking of the clipboard then reaches the
// toolkit before its answer does, so that the toolkit knows it no longer holds the clipboard
// when this returns.
void askManagerToKeep(Display* display, Atom manager, Window managerWindow)
{
    const Window requestor =
      XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    QEventLoop loop;
    ManagerAnswer answer(loop, requestor, managerWindow);
    QCoreApplication::instance()->installNativeEventFilter(&answer);
    QElapsedTimer whole;
    whole.start();
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (answer.quietMs() > kQuietMs || whole.elapsed() > kAnswerMs) {
            loop.quit();
        }
    });
    check.start(10);
    XConvertSelection(display,
                      manager,
                      XInternAtom(display, "SAVE_TARGETS", False),
                      XInternAtom(display, "_OMBRIX_SAVE_TARGETS", False),
                      requestor,
                      CurrentTime);
    XFlush(display);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    QCoreApplication::instance()->removeNativeEventFilter(&answer);
    XDestroyWindow(display, requestor);
    XFlush(display);
}

#endif

} // namespace

void putPictureOnClipboard(QClipboard* clipboard, const QImage& picture)
{
    auto* data = new PictureMimeData(picture);
    clipboard->setMimeData(data);
    data->startEncoding();
}

void handOverClipboard(QClipboard* clipboard)
{
#if QT_CONFIG(xcb)
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11 ? x11->display() : nullptr;
    if (!display || (!clipboard->ownsClipboard() && !clipboard->ownsSelection())) {
        return;
    }
    const Atom manager = XInternAtom(display, "CLIPBOARD_MANAGER", False);
    const Window managerWindow = XGetSelectionOwner(display, manager);
    if (managerWindow == None) {
        return;
    }
    if (clipboard->ownsClipboard()) {
        if (auto* picture =
              dynamic_cast<PictureMimeData*>(const_cast<QMimeData*>(clipboard->mimeData()))) {
            picture->offerPngOnly();
        }
        askManagerToKeep(display, manager, managerWindow);
    }
    // What no manager took would end with the program anyway. Given up now, it leaves the
    // toolkit nothing to hand over as the program ends, where it would wait up to 5 s for a
    // manager that never answers; and a manager that keeps copies of its own puts its copy
    // back at once.
    if (clipboard->ownsClipboard()) {
        clipboard->clear(QClipboard::Clipboard);
    }
    if (clipboard->ownsSelection()) {
        clipboard->clear(QClipboard::Selection);
    }
#else
    Q_UNUSED(clipboard);
#endif
}
