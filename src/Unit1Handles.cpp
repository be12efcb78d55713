// TForm1: the two handles. Moving, resizing, maximising, and copy or save with the mouse.

#include "Unit1.h"

#include "Errors.h"
#include "controls/GlowButton.h"
#include "controls/HandleImage.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace
{
// The frame never gets smaller than this, so that it always frames at least one pixel and a
// drag can always grow it again.
constexpr int kMinimumSide = 5;

rules::ShiftState shiftStateOf(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers)
{
    rules::ShiftState s;
    s.shift = modifiers & Qt::ShiftModifier;
    s.alt = modifiers & Qt::AltModifier;
    s.ctrl = modifiers & Qt::ControlModifier;
    s.left = buttons & Qt::LeftButton;
    s.right = buttons & Qt::RightButton;
    s.middle = buttons & Qt::MiddleButton;
    return s;
}
} // namespace

void TForm1::connectHandle(HandleImage* handle)
{
    connect(handle,
            &HandleImage::pressed,
            this,
            [this](QObject* s,
                   Qt::MouseButton b,
                   Qt::MouseButtons bs,
                   Qt::KeyboardModifiers m,
                   QPointF p,
                   QPointF global) { guarded([&] { handlePressed(s, b, bs, m, p, global); }); });
    connect(
      handle,
      &HandleImage::released,
      this,
      [this](QObject* s, Qt::MouseButton, Qt::MouseButtons, Qt::KeyboardModifiers, QPointF p) {
          guarded([&] { handleReleased(s, p); });
      });
    connect(handle, &HandleImage::dragged, this, [this](QPointF p) {
        guarded([&] { handleDragged(p); });
    });
    connect(handle, &HandleImage::mouseEntered, this, [this, handle](QObject* s) {
        if (handle == enteredByShape_) {
            // The handle came back into the window's shape under a pointer that never moved.
            enteredByShape_ = nullptr;
            return;
        }
        guarded([&] {
            if (handle == imgContIdou) {
                imgContIdouMouseEnter(s);
            } else {
                imgContSaizMouseEnter(s);
            }
        });
    });
    connect(handle, &HandleImage::mouseLeft, this, [this, handle](QObject* s) {
        if (!composited_ && underPointer(handle)) {
            // The handle left the window's shape, not the pointer the handle (the toolkit may
            // tell so only at the release that follows): dimWatch_ tells when the pointer
            // really goes.
            return;
        }
        guarded([&] {
            if (handle == imgContIdou) {
                imgContIdouMouseLeave(s);
            } else {
                imgContSaizMouseLeave(s);
            }
        });
    });
}

void TForm1::handlePressed(QObject* sender,
                           Qt::MouseButton button,
                           Qt::MouseButtons buttons,
                           Qt::KeyboardModifiers modifiers,
                           QPointF position,
                           QPointF globalPosition)
{
    const rules::ShiftState shift = shiftStateOf(buttons | button, modifiers);
    // Sizes from now on are the user's (see resizeEvent).
    sinceShown_.invalidate();
    // A move or resize follows the pointer from where this press happened: as the event has
    // it, which the toolkit's idea of where the window stands may not match (see
    // placeOverBorder).
    dragPressed_ = globalPosition;
    const auto x = static_cast<float>(position.x());
    const auto y = static_cast<float>(position.y());
    if (sender == imgContIdou) {
        imgContIdouMouseDown(sender, button, shift, x, y);
    } else {
        imgContSaizMouseDown(sender, button, shift, x, y);
    }
}

void TForm1::imgContIdouMouseDown(QObject*, Qt::MouseButton, rules::ShiftState Shift, float, float)
{
    BotanTomeidoSet(0.01f);
    runPressAction(rules::moveHandlePress(Shift));
}

void TForm1::imgContSaizMouseDown(QObject*, Qt::MouseButton, rules::ShiftState Shift, float, float)
{
    BotanTomeidoSet(0.01f);
    runPressAction(rules::resizeHandlePress(Shift));
}

void TForm1::runPressAction(rules::PressAction action)
{
    switch (action) {
        case rules::PressAction::Move:
        case rules::PressAction::Resize: {
            const QPoint pointer = QCursor::pos();
            maeMouseX = static_cast<float>(pointer.x());
            maeMouseY = static_cast<float>(pointer.y());
            // A timer that runs already keeps its period undisturbed.
            if (!timZoom->isActive()) {
                timZoom->start();
            }
            if (action == rules::PressAction::Move) {
                StartWindowDrag();
            } else {
                StartWindowResize();
            }
            break;
        }
        case rules::PressAction::MaximiseOrRestore:
            if (!wakuSaidai) {
                fmKeijoKiok(this);
                setMaximised(true);
                wakuSaidai = true;
            } else {
                setMaximised(false);
                fmKeijoModos(this);
                wakuSaidai = false;
            }
            break;
        case rules::PressAction::Copy:
            clipCopi(this);
            break;
        case rules::PressAction::Save:
            failseibu(this);
            break;
        case rules::PressAction::Nothing:
            break;
    }
}

void TForm1::StartWindowDrag()
{
    drag_ = Drag::Move;
    dragStart_ = geometry();
    dragStartPosition_ = pos();
    takeDragStart();
    if (sizingCursor_) {
        QGuiApplication::restoreOverrideCursor();
        sizingCursor_ = false;
    }
}

void TForm1::StartWindowResize()
{
    drag_ = Drag::Resize;
    dragStart_ = geometry();
    takeDragStart();
    // A second press while the first resize still runs (another button with the left one held)
    // must not stack a second pointer that the one release would leave behind.
    if (!sizingCursor_) {
        QGuiApplication::setOverrideCursor(Qt::SizeFDiagCursor);
        sizingCursor_ = true;
    }
}

void TForm1::handleDragged(QPointF globalPosition)
{
    const QPoint offset = (globalPosition - dragPressed_).toPoint();
    const double scale = devicePixelRatioF();
    const auto id = static_cast<uintptr_t>(winId());
    if (drag_ == Drag::Move) {
        // Where the window manager drew a border on the window, in device pixels through the
        // platform (see placeOverBorder).
        ombrix::Rect to = dragStartDevice_;
        to.x += qRound(offset.x() * scale);
        to.y += qRound(offset.y() * scale);
        if (dragBordered_ && ombrix::platform().placeWindow(id, to)) {
            return;
        }
        // The pressed point stays under the pointer. A move asks for the position of the
        // window manager's frame (its title bar, its border), which pos() is, where geometry()
        // is the window's own: the two differ by that frame (awesome's 22 pixels).
        move(dragStartPosition_ + offset);
    } else if (drag_ == Drag::Resize) {
        // The top-left corner stays; the bottom-right corner follows the pointer.
        const QSize size(std::max(kMinimumSide, dragStart_.width() + offset.x()),
                         std::max(kMinimumSide, dragStart_.height() + offset.y()));
        ombrix::Rect to = dragStartDevice_;
        to.width = qRound(size.width() * scale);
        to.height = qRound(size.height() * scale);
        if (dragBordered_ && ombrix::platform().placeWindow(id, to)) {
            return;
        }
        resize(size);
    }
}

void TForm1::takeDragStart()
{
    // Asked once a drag, not at every move of the pointer: both are round trips to the server.
    const auto id = static_cast<uintptr_t>(winId());
    dragStartDevice_ = ombrix::platform().windowArea(id);
    dragBordered_ = dragStartDevice_.width > 0 && ombrix::platform().windowBorder(id) > 0;
}

void TForm1::handleReleased(QObject*, QPointF globalPosition)
{
    // The drag ends where the button went up: a system that merges the last movements into the
    // release (Wine does, now and then) would otherwise leave the frame short of the pointer.
    handleDragged(globalPosition);
    if (sizingCursor_) {
        QGuiApplication::restoreOverrideCursor();
        sizingCursor_ = false;
    }
    drag_ = Drag::None;
    // The release belongs to the control under the pointer, if it is one of the handles.
    const QPoint at = globalPosition.toPoint();
    for (HandleImage* handle : { imgContIdou, imgContSaiz }) {
        if (QRect(handle->mapToGlobal(QPoint(0, 0)), handle->size()).contains(at)) {
            if (handle == imgContIdou) {
                imgContIdouMouseUp(handle);
            } else {
                imgContSaizMouseUp(handle);
            }
            return;
        }
    }
}

void TForm1::imgContIdouMouseUp(QObject*)
{
    BotanTomeidoSet(0.5f);
}

void TForm1::imgContSaizMouseUp(QObject*)
{
    BotanTomeidoSet(0.5f);
}

void TForm1::imgContIdouMouseEnter(QObject* Sender)
{
    if (auto* handle = qobject_cast<HandleImage*>(Sender)) {
        handle->setOpacity(1.0);
    }
    if (!composited_) {
        updateShape();
    }
}

void TForm1::imgContSaizMouseEnter(QObject* Sender)
{
    imgContIdouMouseEnter(Sender);
}

void TForm1::imgContIdouMouseLeave(QObject*)
{
    BotanTomeidoSet(0.5f);
    timZoom->stop();
}

void TForm1::imgContSaizMouseLeave(QObject* Sender)
{
    imgContIdouMouseLeave(Sender);
}

void TForm1::BotanTomeidoSet(float tomeido)
{
    const bool wasFaint = imgContIdou->opacity() < 0.1;
    imgContIdou->setOpacity(tomeido);
    imgContSaiz->setOpacity(tomeido);
    for (GlowButton* b : { btnCopi, btnFilSave, btnZoom, btnHelp, btnSaisyouka, btnClose }) {
        b->setOpacity(tomeido);
    }
    if (composited_) {
        return;
    }
    // Without a compositing manager faint controls leave the window's shape, and with it the
    // pointer's reach: the server reports no leave for a handle that is not there, so one is
    // watched for here.
    const bool faint = tomeido < 0.1;
    if (faint) {
        dimWatch_->start();
    } else {
        dimWatch_->stop();
        if (wasFaint) {
            for (HandleImage* h : { imgContIdou, imgContSaiz }) {
                if (underPointer(h)) {
                    enteredByShape_ = h;
                }
            }
        }
    }
    updateShape();
}

bool TForm1::underPointer(const QWidget* control) const
{
    return QRect(control->mapToGlobal(QPoint(0, 0)), control->size()).contains(QCursor::pos());
}

void TForm1::dimWatchTimer()
{
    if (drag_ != Drag::None || underPointer(imgContIdou) || underPointer(imgContSaiz)) {
        return;
    }
    dimWatch_->stop();
    imgContIdouMouseLeave(imgContIdou);
}

void TForm1::fmKeijoKiok(QObject*)
{
    fmKeijo.top = geometry().top();
    fmKeijo.left = geometry().left();
    fmKeijo.width = width();
    fmKeijo.height = height();
    fmKeijoDevice_ = ombrix::platform().windowArea(static_cast<uintptr_t>(winId()));
}

void TForm1::fmKeijoModos(QObject*)
{
    // At a fractional scale the toolkit's whole logical pixels cannot name every device pixel
    // (at 150 % device x 100 is logical 66.67): the frame goes back to the device pixels it
    // left, where the platform can place it so.
    const double scale = devicePixelRatioF();
    const QRect stored(fmKeijo.left, fmKeijo.top, fmKeijo.width, fmKeijo.height);
    const QRect known = rules::toDevice(stored, scale);
    const ombrix::Rect& d = fmKeijoDevice_;
    const bool exact =
      scale == std::floor(scale) || d.width <= 0 || QRect(d.x, d.y, d.width, d.height) == known;
    const bool bordered = ombrix::platform().windowBorder(static_cast<uintptr_t>(winId())) > 0;
    if ((exact && !bordered) ||
        !ombrix::platform().placeWindow(static_cast<uintptr_t>(winId()), fmKeijoDevice_)) {
        setGeometry(stored);
    }
}

void TForm1::setMaximised(bool on)
{
    sinceShown_.invalidate();
    if (on == maximised_) {
        return;
    }
    maximised_ = on;
    if (on) {
        // A borderless window maximised fills its whole display, task bar included: on X11
        // the window manager's maximise would leave the panels out, so we set the size.
        QScreen* display = screen() ? screen() : QGuiApplication::primaryScreen();
        if (!placeOverBorder(display->geometry())) {
            setGeometry(display->geometry());
        }
    }
}

bool TForm1::placeOverBorder(const QRect& logical)
{
    // A window manager that draws a border on the window itself (bspwm, xmonad) takes the
    // toolkit's requests for the border's corner, and the toolkit's idea of where the window is
    // drifts by the border at each one: there the platform places the frame, in device pixels.
    const auto id = static_cast<uintptr_t>(winId());
    if (ombrix::platform().windowBorder(id) <= 0) {
        return false;
    }
    const QRect device = rules::toDevice(logical, devicePixelRatioF());
    return ombrix::platform().placeWindow(
      id, { device.x(), device.y(), device.width(), device.height() });
}
