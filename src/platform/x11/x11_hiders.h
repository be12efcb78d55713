#pragma once
// Our windows off the screen for a grab, without the window manager noticing: no unmap, which
// would have it place the window afresh or lose its state.
//   - ShapeHider: the window's bounding shape emptied, and the window manager's frame around
//     it too (an X server that draws what the shapes say);
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

    Display* d_;
    Window window_;

private:
    Rect root_;
    std::unique_ptr<Look> look_;
};

class ShapeHider final : public WindowHider
{
public:
    // `root`: the root's area (pixels beyond it are never read). `telltales`: whether to read
    // them at all (only a compositing manager can show the window after its shape went).
    ShapeHider(Display* d, Window window, const Rect& root, bool telltales);
    ~ShapeHider() override;

    std::vector<grab::Telltale> telltales(const Rect& area) override;
    bool hide() override;
    void show() noexcept override;

private:
    class HiddenShape;
    bool telltales_;
    std::unique_ptr<HiddenShape> frame_, client_; // put back in the reverse order
};

class SeeThroughHider final : public WindowHider
{
public:
    SeeThroughHider(Display* d, Window window, const Rect& root);
    ~SeeThroughHider() override;

    bool hide() override;
    void show() noexcept override;

private:
    class SeeThroughWindow;
    std::unique_ptr<SeeThroughWindow> hidden_;
};

} // namespace ombrix::x11
