#pragma once
// Our windows off the screen for a grab, without the window manager noticing: no unmap, which
// would have it place the window afresh or lose its state.
//   - ShapeHider: the window's bounding shape emptied, and the window manager's frame around
//     it too (an X server that draws what the shapes say); under a compositing manager its
//     contents are made see-through as well, since some (mutter) paint a window whatever its
//     shape;
//   - SeeThroughHider: the window's contents made wholly transparent (XWayland, whose Wayland
//     compositor knows nothing of X shapes).
// Both read the window's telltale pixels from the window itself before it goes.

#include "grab.h"
#include "platform.h"

#include <X11/Xlib.h>

#include <memory>
#include <vector>

namespace ombrix::x11
{

// Where a window stands on the root; empty when the server cannot tell.
Rect windowArea(Display* d, Window window);
// The width of the border on the window itself (one that a window manager drew); 0 when the
// server cannot tell.
int windowBorder(Display* d, Window window);

// A window's contents made see-through, and its opacity 0, while it is off the screen.
class SeeThroughWindow;
class HiddenOpacity;

// Sets the part of a window that is drawn and takes the mouse; false without the SHAPE
// extension.
bool setWindowShape(Display* d, Window window, const std::vector<Rect>& parts);

// What both hiders share: the window as it was read once, before it left the screen (whether
// it is on the screen, and its shape), and its telltales.
class WindowHider : public grab::WindowHider
{
public:
    ~WindowHider() override;
    std::vector<grab::Telltale> telltales(const Rect& area) override;

protected:
    struct Look;
    WindowHider(Display* d, Window window, const Rect& root);
    // Read from the server at the first call, the same for the rest of the grab.
    const Look& look();
    // The window's own opaque colours, or (`fromScreen`) what the screen shows wherever the
    // window paints at all.
    std::vector<grab::Telltale> telltalesOf(const Rect& area, bool fromScreen);

    Display* d_;
    Window window_;

private:
    Rect root_;
    std::unique_ptr<Look> look_;
};

class ShapeHider final : public WindowHider
{
public:
    // `root`: the root's area (pixels beyond it are never read). `composited`: a compositing
    // manager paints the screen. Only then are the telltales read (the server itself takes a
    // window off the screen at once), and the contents made see-through. `byOpacity`: under a
    // compositing manager that shows windows late (mutter), the window's opacity is set to 0
    // as well.
    ShapeHider(Display* d,
               Window window,
               const Rect& root,
               bool composited,
               bool byOpacity = false);
    ~ShapeHider() override;

    std::vector<grab::Telltale> telltales(const Rect& area) override;
    bool hide() override;
    void show() noexcept override;

private:
    class HiddenShape;
    bool composited_;
    bool byOpacity_;
    // Put back in the reverse order: the opacity, the shapes, then the contents.
    std::unique_ptr<SeeThroughWindow> contents_;
    std::unique_ptr<HiddenShape> frame_, client_;
    std::unique_ptr<HiddenOpacity> opacity_;
};

class SeeThroughHider final : public WindowHider
{
public:
    SeeThroughHider(Display* d, Window window, const Rect& root);
    ~SeeThroughHider() override;

    bool hide() override;
    void show() noexcept override;

private:
    std::unique_ptr<SeeThroughWindow> hidden_;
};

} // namespace ombrix::x11
