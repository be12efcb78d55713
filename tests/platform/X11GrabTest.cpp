// The grab's X11 parts on a real X server (the test session's Xvfb): the picture under a shaped
// window is the root's, and whichever way the grab ends, a failed read's included, the window
// has its shape back (or is mapped again), and no damage object of ours watches the root.

#include "Check.h"
#include "grab.h"
#include "x11_connection.h"
#include "x11_hiders.h"
#include "x11_root_screen.h"
#include "x11_screen.h"

#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace
{

using namespace ombrix;

constexpr unsigned long kDesktop = 0x204080; // the root's colour
constexpr unsigned long kWindow = 0xFFFFFF;
const Rect kAt{ 50, 60, 200, 100 };

// The root screen, failing at the read of a given number.
class FailingRead final : public grab::ScreenSource
{
public:
    FailingRead(x11::RootScreen& root, int failAt)
      : root_(root)
      , failAt_(failAt)
    {
    }
    void prepare(const Rect& a, grab::Clock::time_point u) override { root_.prepare(a, u); }
    void watch(const Rect& a) override
    {
        root_.watch(a);
        watchedDuring = root_.watching();
    }
    void settle(bool h, grab::Clock::time_point u) override { root_.settle(h, u); }
    bool again(grab::Clock::time_point u) override { return root_.again(u); }
    int read(const Rect& a, Pixels& into, grab::Clock::time_point u) override
    {
        if (++reads == failAt_) {
            throw PlatformError(Failure::ScreenUnreadable, "the read failed");
        }
        return root_.read(a, into, u);
    }
    void finished() noexcept override { root_.finished(); }

    bool watchedDuring = false;
    int reads = 0;

private:
    x11::RootScreen& root_;
    int failAt_;
};

std::vector<XRectangle> shapeOf(Display* d, Window w)
{
    int count = 0, ordering = 0;
    XRectangle* rects = XShapeGetRectangles(d, w, ShapeBounding, &count, &ordering);
    std::vector<XRectangle> out(rects, rects + (rects ? count : 0));
    if (rects) {
        XFree(rects);
    }
    return out;
}

bool sameShape(const std::vector<XRectangle>& a, const std::vector<XRectangle>& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].x != b[i].x || a[i].y != b[i].y || a[i].width != b[i].width ||
            a[i].height != b[i].height) {
            return false;
        }
    }
    return true;
}

// The picture of `area` is the root's plain colour all over.
bool showsDesktop(const Pixels& picture, const Rect& area)
{
    bool desktop = picture.width == area.width && picture.height == area.height;
    for (int i = 0; desktop && i < area.width * area.height; ++i) {
        desktop = (picture.bits()[i] & 0xFFFFFFu) == kDesktop;
    }
    return desktop;
}

bool viewable(Display* d, Window w)
{
    XWindowAttributes a;
    return XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
}

template<typename Done>
bool waitUntil(Done done)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(grabPartsLeaveNothingBehind)
{
    Display* d = x11::connection();
    const Window root = DefaultRootWindow(d);
    XSetWindowBackground(d, root, kDesktop);
    XClearWindow(d, root);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True; // placed where asked: no window manager needed
    attributes.background_pixel = kWindow;
    const Window w = XCreateWindow(d,
                                   root,
                                   kAt.x,
                                   kAt.y,
                                   kAt.width,
                                   kAt.height,
                                   0,
                                   CopyFromParent,
                                   InputOutput,
                                   CopyFromParent,
                                   CWOverrideRedirect | CWBackPixel,
                                   &attributes);
    XMapRaised(d, w);
    // A ring, as the frame's outline is: two bands.
    x11::setWindowShape(d, w, { { 0, 0, kAt.width, 4 }, { 0, kAt.height - 4, kAt.width, 4 } });
    XSync(d, False);
    CHECK(waitUntil([&] { return viewable(d, w); }));
    const std::vector<XRectangle> shape = shapeOf(d, w);
    CHECK(shape.size() == 2);

    x11::Screen screen;
    x11::RootScreen source([d] {
        while (XPending(d) > 0) {
            XEvent e;
            XNextEvent(d, &e);
        }
    });
    struct Case {
        const char* name;
        int failAt;
        bool seeThrough;
    };
    const Case cases[] = {
        { "the shape emptied, read", 0, false },
        { "the shape emptied, the read fails", 1, false },
        { "the window unmapped (no alpha under XWayland), read", 0, true },
        { "the window unmapped, the read fails", 1, true },
    };
    const Rect area{ kAt.x, kAt.y, kAt.width, kAt.height };
    for (const Case& c : cases) {
        CASE(c.name);
        source.use(d, screen.layout(d), true);
        FailingRead failing(source, c.failAt);
        Pixels picture;
        bool threw = false;
        try {
            if (c.seeThrough) {
                x11::SeeThroughHider hider(d, w, screen.layout(d).root);
                grab::grabUnder(hider, failing, area, picture, nullptr);
            } else {
                x11::ShapeHider hider(d, w, screen.layout(d).root, true);
                grab::grabUnder(hider, failing, area, picture, nullptr);
            }
        } catch (const PlatformError&) {
            threw = true;
        }
        XSync(d, False);
        CHECK(threw == (c.failAt > 0));
        CHECK(failing.watchedDuring);
        CHECK(!source.watching());
        CHECK(sameShape(shapeOf(d, w), shape));
        CHECK(waitUntil([&] { return viewable(d, w); }));
        if (!threw) {
            CHECK(showsDesktop(picture, area));
        }
    }
    XDestroyWindow(d, w);
    XSync(d, False);
}

// Under a compositing manager a window with alpha leaves the picture by its contents too, which
// turn see-through while the screen is read (some managers paint a window whatever its shape):
// and after the grab, a failed read's included, its contents are back pixel for pixel and its
// shape as it was.
TEST(aWindowWithAlphaTurnsSeeThroughAndComesBack)
{
    Display* d = x11::connection();
    const Window root = DefaultRootWindow(d);
    XSetWindowBackground(d, root, kDesktop);
    XClearWindow(d, root);
    XVisualInfo visual{};
    if (!XMatchVisualInfo(d, DefaultScreen(d), 32, TrueColor, &visual)) {
        std::printf("  (no 32-bit visual on this server: skipped)\n");
        return;
    }
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.colormap = XCreateColormap(d, root, visual.visual, AllocNone);
    attributes.border_pixel = 0;
    attributes.background_pixel = 0xFF000000u | kWindow;
    const Window w = XCreateWindow(d,
                                   root,
                                   kAt.x,
                                   kAt.y,
                                   kAt.width,
                                   kAt.height,
                                   0,
                                   32,
                                   InputOutput,
                                   visual.visual,
                                   CWOverrideRedirect | CWColormap | CWBorderPixel | CWBackPixel,
                                   &attributes);
    XMapRaised(d, w);
    x11::setWindowShape(d, w, { { 0, 0, kAt.width, 4 }, { 0, kAt.height - 4, kAt.width, 4 } });
    CHECK(waitUntil([&] { return viewable(d, w); }));
    // A few pixels of their own, that a repaint from the background would not give back.
    GC gc = XCreateGC(d, w, 0, nullptr);
    XSetForeground(d, gc, 0xFF00C000u);
    XFillRectangle(d, w, gc, 10, 0, 30, 4);
    XSync(d, False);
    const auto contents = [&] {
        std::vector<unsigned long> pixels;
        XImage* image = XGetImage(d, w, 0, 0, kAt.width, 4, AllPlanes, ZPixmap);
        for (int y = 0; image && y < 4; ++y) {
            for (int x = 0; x < kAt.width; ++x) {
                pixels.push_back(XGetPixel(image, x, y));
            }
        }
        if (image) {
            XDestroyImage(image);
        }
        return pixels;
    };
    const std::vector<unsigned long> before = contents();
    CHECK(before.size() == static_cast<size_t>(kAt.width) * 4);
    const std::vector<XRectangle> shape = shapeOf(d, w);

    x11::Screen screen;
    x11::RootScreen source([d] {
        while (XPending(d) > 0) {
            XEvent e;
            XNextEvent(d, &e);
        }
    });
    // What the window held while the screen was read.
    class Peek final : public grab::ScreenSource
    {
    public:
        Peek(FailingRead& read, std::function<std::vector<unsigned long>()> contents)
          : read_(read)
          , contents_(std::move(contents))
        {
        }
        void watch(const Rect& a) override { read_.watch(a); }
        void settle(bool h, grab::Clock::time_point u) override { read_.settle(h, u); }
        bool again(grab::Clock::time_point u) override { return read_.again(u); }
        int read(const Rect& a, Pixels& into, grab::Clock::time_point u) override
        {
            during = contents_();
            return read_.read(a, into, u);
        }
        void finished() noexcept override { read_.finished(); }
        std::vector<unsigned long> during;

    private:
        FailingRead& read_;
        std::function<std::vector<unsigned long>()> contents_;
    };
    const Rect area{ kAt.x, kAt.y, kAt.width, kAt.height };
    for (const int failAt : { 0, 1 }) {
        CASE(failAt ? "the read fails" : "read");
        source.use(d, screen.layout(d), true);
        FailingRead failing(source, failAt);
        Peek peek(failing, contents);
        Pixels picture;
        bool threw = false;
        try {
            x11::ShapeHider hider(d, w, screen.layout(d).root, true);
            grab::grabUnder(hider, peek, area, picture, nullptr);
        } catch (const PlatformError&) {
            threw = true;
        }
        XSync(d, False);
        CHECK(threw == (failAt > 0));
        CHECK(peek.during == std::vector<unsigned long>(before.size(), 0ul));
        CHECK(sameShape(shapeOf(d, w), shape));
        CHECK(contents() == before);
        if (!threw) {
            CHECK(showsDesktop(picture, area));
        }
    }
    XFreeGC(d, gc);
    XDestroyWindow(d, w);
    XFreeColormap(d, attributes.colormap);
    XSync(d, False);
}

} // namespace

int main()
{
    if (!x11::tryConnection()) {
        std::printf("X11GrabTest needs an X server (scripts/xsession)\n");
        return 1;
    }
    return check::runAll();
}
