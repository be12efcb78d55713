// X11 implementation of the platform layer: plain Xlib on a connection of its own, so that it
// does not depend on how the toolkit talks to the server. The screen, the grab and the keys
// each live in a file of their own; this one hands the connection's events to them.

#include "end_signals.h"
#include "grab.h"
#include "platform.h"
#include "portable_ini_file.h"
#include "wayland_screen.h"
#include "x11_connection.h"
#include "x11_hiders.h"
#include "x11_keys.h"
#include "x11_root_screen.h"
#include "x11_screen.h"

#include <X11/Xutil.h>

#include <cstdlib>
#include <string>
#include <utility>

namespace ombrix
{

namespace
{

class X11Platform final : public Platform
{
public:
    ~X11Platform() override
    {
        if (Display* d = x11::tryConnectionIfOpen()) {
            root_.detach(d);
        }
        x11::closeConnection();
    }

    void copyDesktop(int x, int y, Pixels& into) override
    {
        Display* d = x11::connection();
        pump(d);
        root_.read(d, screen_.layout(d), { x, y, into.width, into.height }, into);
        pump(d); // replies read off the socket may have brought events along
    }

    Rect windowArea(uintptr_t window) override
    {
        Display* d = x11::connection();
        return x11::windowArea(d, static_cast<Window>(window));
    }

    int windowBorder(uintptr_t window) override
    {
        Display* d = x11::tryConnection();
        return d ? x11::windowBorder(d, static_cast<Window>(window)) : 0;
    }

    bool sizeImposed(uintptr_t window) override
    {
        // The toolkit writes the size it asks for into the window's normal hints at every
        // request; a manager that tiles the window gives it another one.
        constexpr int kFarFrom = 8; // device pixels: a fractional scale rounds by one or two
        Display* d = x11::tryConnection();
        if (!d) {
            return false;
        }
        x11::ErrorTrap trap(d);
        XSizeHints hints{};
        long supplied = 0;
        const Rect now = x11::windowArea(d, static_cast<Window>(window));
        if (!XGetWMNormalHints(d, static_cast<Window>(window), &hints, &supplied) ||
            trap.failed() || !(hints.flags & (USSize | PSize)) || now.width <= 0) {
            return false;
        }
        return std::abs(now.width - hints.width) > kFarFrom ||
               std::abs(now.height - hints.height) > kFarFrom;
    }

    void grabUnder(uintptr_t window, const Rect& area, Pixels& into, GrabTimes* times) override
    {
        Display* d = x11::connection();
        pump(d);
        const x11::ScreenLayout layout = screen_.layout(d);
        const auto w = static_cast<Window>(window);
        if (screen_.xwayland(d)) {
            // XWayland's root holds the X windows' pixels only: the screen is the compositor's,
            // which knows nothing of X shapes.
            x11::SeeThroughHider hider(d, w, layout.root);
            grab::grabUnder(
              hider, compositorScreen(), area, into, times, wayland::CompositorScreen::policy());
        } else {
            // Without a compositing manager the server repaints at once: no telltales needed.
            // mutter (GNOME, and the desktops built on it) shows a window's new contents late,
            // and after its animations; its opacity it takes at once, and fades none.
            const bool composited = layout.composited && x11::extensions(d).damage;
            const std::string manager = composited ? x11::windowManagerName(d) : std::string();
            const bool mutter = manager.find("Mutter") != std::string::npos ||
                                manager.find("GNOME Shell") != std::string::npos;
            x11::ShapeHider hider(d, w, layout.root, composited, mutter);
            root_.use(d, layout, !into.lent && into.argb.empty());
            grab::grabUnder(hider, root_, area, into, times);
        }
        pump(d);
    }

    void releaseSpareMemory() override { root_.releaseSpare(x11::tryConnectionIfOpen(), true); }

    bool setWindowShape(uintptr_t window, const std::vector<Rect>& parts) override
    {
        Display* d = x11::tryConnection();
        if (!d) {
            return false;
        }
        const bool done = x11::setWindowShape(d, static_cast<Window>(window), parts);
        XFlush(d);
        return done;
    }

    // The window manager takes the request as it takes the toolkit's, in root coordinates: for
    // the corner of a border that it drew on the window itself (bspwm, xmonad), which lies that
    // far up and left of the window's own.
    bool placeWindow(uintptr_t window, const Rect& area) override
    {
        Display* d = x11::tryConnection();
        if (!d || area.width <= 0 || area.height <= 0) {
            return false;
        }
        const int border = x11::windowBorder(d, static_cast<Window>(window));
        XMoveResizeWindow(d,
                          static_cast<Window>(window),
                          area.x - border,
                          area.y - border,
                          static_cast<unsigned>(area.width),
                          static_cast<unsigned>(area.height));
        XFlush(d);
        return true;
    }

    bool underWayland() override
    {
        Display* d = x11::tryConnection();
        return d && screen_.xwayland(d);
    }

    bool compositing() override
    {
        Display* d = x11::tryConnection();
        if (!d) {
            return true;
        }
        pump(d);
        return screen_.compositing(d);
    }

    bool keyDown(int virtualKey) override
    {
        Display* d = x11::tryConnection();
        if (!d) {
            return false;
        }
        pump(d);
        return keys_.down(d, virtualKey);
    }

    int keyWakeDescriptor() override
    {
        Display* d = x11::tryConnection();
        if (!d || !keys_.watching(d)) {
            return -1;
        }
        // Anything already read off the socket into the queue is taken in first.
        pump(d);
        return ConnectionNumber(d);
    }

    int endRequestDescriptor() override { return posix::endRequestDescriptor(); }

    void switchBeepOff() override
    {
        Display* d = x11::tryConnection();
        if (!d) {
            return;
        }
        XKeyboardControl control{};
        control.bell_percent = 0;
        XChangeKeyboardControl(d, KBBellPercent, &control);
        XFlush(d);
    }

    ShowCommand startShowCommand() override { return ShowCommand::Normal; }

    // X11 clipboards are served by their owner on request: the toolkit does that.
    bool setClipboardPicture(int, int, const uint32_t*, int) override { return false; }

    std::unique_ptr<IniFile> openIniFile(const std::string& path) override
    {
        return openPortableIniFile(path);
    }

private:
    // Hands every event waiting on our connection to whoever it concerns.
    void pump(Display* d)
    {
        keys_.watching(d);
        screen_.watch(d);
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            bool changed = false;
            if (keys_.take(d, event) || root_.takeEvent(event)) {
                continue;
            }
            if (screen_.take(d, event, changed) && changed) {
                // Spare memory was sized for the screen as it was.
                root_.releaseSpare(d, false);
            }
        }
    }

    // Under XWayland: the compositor's own copy of an output where it offers one (wlroots),
    // otherwise the desktop portal's screen cast. OMBRIX_WAYLAND_SCREEN=portal or screencopy
    // asks for one of them. Throws when none can be had: no picture at all is better than the
    // root's black called a copy.
    wayland::CompositorScreen& compositorScreen()
    {
        const char* asked = std::getenv("OMBRIX_WAYLAND_SCREEN");
        const std::pair<const char*, wayland::CompositorScreen*> sources[] = {
            { "screencopy", &screenCopy_ },
            { "portal", &portalScreen_ },
        };
        std::string why = "the X server is XWayland, whose root window holds none of the Wayland "
                          "windows' pixels";
        for (const auto& [name, source] : sources) {
            if (asked && *asked && std::string(asked) != name) {
                continue;
            }
            std::string unavailable;
            if (source->available(unavailable)) {
                return *source;
            }
            why += "; " + unavailable;
        }
        throw PlatformError(Failure::ScreenUnreadable, why);
    }

    x11::Screen screen_;
    x11::RootScreen root_{ [this] {
        if (Display* d = x11::tryConnectionIfOpen()) {
            pump(d);
        }
    } };
    x11::KeyState keys_;
    wayland::ScreenCopy screenCopy_;
    wayland::PortalScreen portalScreen_{ [this] {
        Display* d = x11::tryConnectionIfOpen();
        return d ? screen_.layout(d).monitors : std::vector<Rect>{};
    } };
};

} // namespace

std::unique_ptr<Platform> createNativePlatform()
{
    return std::make_unique<X11Platform>();
}

void prepareProcess()
{
    // A logout or a kill ends the program as its close does, settings written.
    posix::watchEndSignals();
    // Wayland sessions run us through XWayland: the grab and the key state need an X server.
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    posix::quietBrokenPipes();
}

} // namespace ombrix
