// A stand-in desktop for the end-to-end tests.
//   testdesk root                      paints the pattern as the root window's background
//   testdesk noise                     paints random pixels instead (for the benchmarks)
//   testdesk window X Y W H            an ordinary, undecorated window at (X, Y) showing the
//                                      inverted pattern in desktop coordinates; prints
//                                      "ready", then "press X Y" (desktop) for each button press
//   testdesk desktop                   a desktop window (as a file manager's) over the whole
//                                      screen, below the others, showing the pattern; prints
//                                      "ready" once it is painted
//   testdesk composited                exit status 0 when a compositing manager runs
//   testdesk managed                   exit status 0 when a window manager runs
//   testdesk close WINDOW              asks the window to close, as its close box does
//   testdesk late-compositor X Y W H   a compositing manager that repaints late and too little:
//                                      once the screen in (X, Y, W, H) has been quiet for a
//                                      moment it keeps a picture of it and prints "ready"; when
//                                      a window leaves the area it paints that picture back, and
//                                      only a later expose of the root there brings the desktop
//                                      back; then it prints "done" and ends

#include "Pattern.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace
{

enum class Fill {
    Pattern,
    Inverted, // what an ordinary window of the test desk shows
    Noise,
};

// Where each value of one colour channel (8 bits) goes in a visual's mask, widened or narrowed
// to the mask's bits.
struct ChannelTable {
    unsigned long value[256] = {};

    explicit ChannelTable(unsigned long mask)
    {
        if (mask == 0) {
            return;
        }
        const int shift = __builtin_ctzl(mask);
        const int bits = __builtin_popcountl(mask);
        for (unsigned long v = 0; v < 256; ++v) {
            unsigned long c = v;
            if (bits <= 8) {
                c >>= 8 - bits;
            } else {
                // 0xFF must become all ones (at depth 30, 0x3FF): the low bits repeat the high.
                unsigned long wide = 0;
                for (int filled = 0; filled < bits; filled += 8) {
                    wide = (wide << 8) | v;
                }
                c = wide >> ((bits + 7) / 8 * 8 - bits);
            }
            value[v] = c << shift;
        }
    }
};

// The picture of desktop pixels (x0, y0) to (x0 + w, y0 + h) in the screen's own pixel format:
// any TrueColor depth (16, 24, 30), whatever the number of bits a pixel takes in memory.
XImage* makeImage(Display* d, int x0, int y0, int w, int h, Fill fill)
{
    const int screen = DefaultScreen(d);
    Visual* visual = DefaultVisual(d, screen);
    XImage* image =
      XCreateImage(d, visual, DefaultDepth(d, screen), ZPixmap, 0, nullptr, w, h, BitmapPad(d), 0);
    if (!image) {
        return nullptr;
    }
    image->data = static_cast<char*>(std::malloc(static_cast<size_t>(image->bytes_per_line) * h));
    if (!image->data) {
        XDestroyImage(image);
        return nullptr;
    }
    const ChannelTable red(visual->red_mask), green(visual->green_mask), blue(visual->blue_mask);
    // 32 bits a pixel in this machine's byte order, the usual case, is written directly.
    const uint32_t one = 1;
    const bool hostOrder =
      (*reinterpret_cast<const unsigned char*>(&one) == 1) == (image->byte_order == LSBFirst);
    const bool direct = image->bits_per_pixel == 32 && hostOrder;
    uint32_t state = 12345; // the noise has a fixed seed, so that runs compare
    for (int y = 0; y < h; ++y) {
        auto* row =
          reinterpret_cast<uint32_t*>(image->data + static_cast<size_t>(y) * image->bytes_per_line);
        for (int x = 0; x < w; ++x) {
            uint32_t rgb = 0;
            switch (fill) {
                case Fill::Pattern:
                    rgb = testdesk::patternRgb(x0 + x, y0 + y);
                    break;
                case Fill::Inverted:
                    rgb = testdesk::windowRgb(x0 + x, y0 + y);
                    break;
                case Fill::Noise:
                    state = state * 1664525u + 1013904223u;
                    rgb = state >> 8;
                    break;
            }
            const unsigned long pixel = red.value[(rgb >> 16) & 0xFF] |
                                        green.value[(rgb >> 8) & 0xFF] | blue.value[rgb & 0xFF];
            if (direct) {
                row[x] = static_cast<uint32_t>(pixel);
            } else {
                XPutPixel(image, x, y, pixel);
            }
        }
    }
    return image;
}

bool trueColor(Display* d)
{
    XVisualInfo want{};
    want.visualid = XVisualIDFromVisual(DefaultVisual(d, DefaultScreen(d)));
    int count = 0;
    XVisualInfo* info = XGetVisualInfo(d, VisualIDMask, &want, &count);
    const bool ok = info && count > 0 && info->c_class == TrueColor;
    if (info) {
        XFree(info);
    }
    return ok;
}

// The pixmap that the last "testdesk root" left as the background, if that is what the root
// still shows (the convention of desktop-background setters: both properties name it).
Pixmap earlierBackground(Display* d, Window root)
{
    Pixmap found[2] = { None, None };
    const char* names[2] = { "_XROOTPMAP_ID", "ESETROOT_PMAP_ID" };
    for (int i = 0; i < 2; ++i) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(d,
                               root,
                               XInternAtom(d, names[i], False),
                               0,
                               1,
                               False,
                               XA_PIXMAP,
                               &type,
                               &format,
                               &count,
                               &after,
                               &data) == Success &&
            type == XA_PIXMAP && format == 32 && count == 1) {
            found[i] = *reinterpret_cast<Pixmap*>(data);
        }
        if (data) {
            XFree(data);
        }
    }
    return found[0] == found[1] ? found[0] : None;
}

int paintRoot(Display* d, bool noise)
{
    if (!trueColor(d)) {
        std::fprintf(stderr, "testdesk: the screen is not TrueColor\n");
        return 2;
    }
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    // Asked again at every run, so that a run after the screen changed size covers all of it.
    const int w = DisplayWidth(d, screen), h = DisplayHeight(d, screen);
    const Pixmap earlier = earlierBackground(d, root);
    Pixmap pm = XCreatePixmap(d, root, w, h, DefaultDepth(d, screen));
    XImage* image = makeImage(d, 0, 0, w, h, noise ? Fill::Noise : Fill::Pattern);
    if (!image) {
        std::fprintf(stderr, "testdesk: no memory for a %d x %d picture\n", w, h);
        return 2;
    }
    GC gc = XCreateGC(d, pm, 0, nullptr);
    XPutImage(d, pm, gc, image, 0, 0, 0, 0, w, h);
    XSetWindowBackgroundPixmap(d, root, pm);
    // Compositing managers paint the desktop from this property, not from the root's
    // background; the pixmap must outlive us, as desktop-background setters keep theirs.
    for (const char* name : { "_XROOTPMAP_ID", "ESETROOT_PMAP_ID" }) {
        XChangeProperty(d,
                        root,
                        XInternAtom(d, name, False),
                        XA_PIXMAP,
                        32,
                        PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&pm),
                        1);
    }
    XClearWindow(d, root);
    XFreeGC(d, gc);
    XDestroyImage(image);
    // The earlier run's pixmap (and whatever else that run kept) goes, so that repainting after
    // every change of the screen's size does not pile up whole-screen pixmaps in the server.
    if (earlier != None && earlier != pm) {
        XKillClient(d, earlier);
    }
    XSetCloseDownMode(d, RetainPermanent);
    XSync(d, False);
    return 0;
}

int showWindow(Display* d, int x, int y, int w, int h, Fill fill = Fill::Inverted)
{
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    const Window win = XCreateSimpleWindow(d, root, x, y, w, h, 0, 0, 0);
    XSetWindowBackgroundPixmap(d, win, None);
    XStoreName(d, win, fill == Fill::Inverted ? "testdesk-window" : "testdesk-desktop");
    if (fill != Fill::Inverted) {
        const Atom desktop = XInternAtom(d, "_NET_WM_WINDOW_TYPE_DESKTOP", False);
        XChangeProperty(d,
                        win,
                        XInternAtom(d, "_NET_WM_WINDOW_TYPE", False),
                        XA_ATOM,
                        32,
                        PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&desktop),
                        1);
    }
    XSizeHints hints{};
    hints.flags = USPosition | USSize | PPosition | PSize;
    hints.x = x;
    hints.y = y;
    hints.width = w;
    hints.height = h;
    XSetWMNormalHints(d, win, &hints);
    // No decorations, so the window stands exactly where asked.
    const Atom motif = XInternAtom(d, "_MOTIF_WM_HINTS", False);
    const long motifHints[5] = { 2, 0, 0, 0, 0 };
    XChangeProperty(d,
                    win,
                    motif,
                    motif,
                    32,
                    PropModeReplace,
                    reinterpret_cast<const unsigned char*>(motifHints),
                    5);
    XSelectInput(d, win, ExposureMask | ButtonPressMask | StructureNotifyMask);
    XMapWindow(d, win);
    GC gc = XCreateGC(d, win, 0, nullptr);
    bool announced = false;
    for (;;) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == Expose) {
            // Paint the exposed part from where the window really is on the desktop.
            int rx = 0, ry = 0;
            Window child;
            XTranslateCoordinates(d, win, root, 0, 0, &rx, &ry, &child);
            const auto& ex = e.xexpose;
            XImage* image = makeImage(d, rx + ex.x, ry + ex.y, ex.width, ex.height, fill);
            if (!image) {
                return 2;
            }
            XPutImage(d, win, gc, image, 0, 0, ex.x, ex.y, ex.width, ex.height);
            XDestroyImage(image);
            XFlush(d);
            if (!announced && ex.count == 0) {
                std::printf("ready %lu\n", static_cast<unsigned long>(win));
                std::fflush(stdout);
                announced = true;
            }
        } else if (e.type == ButtonPress) {
            std::printf("press %d %d\n", e.xbutton.x_root, e.xbutton.y_root);
            std::fflush(stdout);
        }
    }
}

long long nowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool overlaps(const XRectangle& a, int x, int y, int w, int h)
{
    return a.x < x + w && x < a.x + a.width && a.y < y + h && y < a.y + a.height;
}

// Stands in for a compositing manager that lags behind the windows: what a window covered is
// painted again from an old picture, as one does that repaints from what it last knew, and the
// desktop comes back only where the root is exposed.
int lateCompositor(Display* d, int x, int y, int w, int h)
{
    int damageEvent = 0, damageError = 0;
    if (!XDamageQueryExtension(d, &damageEvent, &damageError)) {
        std::fprintf(stderr, "testdesk: no DAMAGE extension\n");
        return 2;
    }
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    const Window owner = XCreateSimpleWindow(d, root, -10, -10, 1, 1, 0, 0, 0);
    const std::string cm = "_NET_WM_CM_S" + std::to_string(screen);
    XSetSelectionOwner(d, XInternAtom(d, cm.c_str(), False), owner, CurrentTime);
    XSelectInput(d, root, ExposureMask);
    XDamageCreate(d, root, XDamageReportRawRectangles);
    XSync(d, False);

    // Waits for the next event until `deadline` (ms on the monotonic clock); false at the end.
    const auto next = [&](XEvent& e, long long deadline) {
        while (!XPending(d)) {
            const long long left = deadline - nowMs();
            if (left <= 0) {
                return false;
            }
            pollfd fd{ ConnectionNumber(d), POLLIN, 0 };
            poll(&fd, 1, static_cast<int>(left));
        }
        XNextEvent(d, &e);
        return true;
    };
    const auto repaintHere = [&](const XEvent& e) {
        if (e.type != damageEvent + XDamageNotify) {
            return false;
        }
        return overlaps(reinterpret_cast<const XDamageNotifyEvent&>(e).area, x, y, w, h);
    };
    const auto exposedHere = [&](const XEvent& e) {
        return e.type == Expose && e.xexpose.window == root &&
               overlaps(XRectangle{ static_cast<short>(e.xexpose.x),
                                    static_cast<short>(e.xexpose.y),
                                    static_cast<unsigned short>(e.xexpose.width),
                                    static_cast<unsigned short>(e.xexpose.height) },
                        x,
                        y,
                        w,
                        h);
    };

    // Windows answer a compositing manager's start by drawing themselves anew: the picture is
    // taken once that has stopped.
    long long quietSince = nowMs();
    XEvent e;
    while (nowMs() - quietSince < 300) {
        if (next(e, quietSince + 300) && repaintHere(e)) {
            quietSince = nowMs();
        }
    }
    const Pixmap old = XCreatePixmap(d, root, w, h, DefaultDepth(d, screen));
    XGCValues values{};
    values.subwindow_mode = IncludeInferiors;
    GC gc = XCreateGC(d, root, GCSubwindowMode, &values);
    XCopyArea(d, root, old, gc, x, y, w, h, 0, 0);
    XSync(d, False);
    while (XPending(d)) {
        XNextEvent(d, &e);
    }
    std::printf("ready\n");
    std::fflush(stdout);

    // A window leaving the area exposes the root there: the old picture is painted at once,
    // and what was asked until then counts as done.
    const long long giveUp = nowMs() + 60000;
    while (next(e, giveUp) && !exposedHere(e)) {
    }
    XCopyArea(d, old, root, gc, 0, 0, w, h, x, y);
    XSync(d, False);
    while (XPending(d)) {
        XNextEvent(d, &e);
    }
    bool asked = false;
    while (!asked && next(e, giveUp)) {
        asked = exposedHere(e);
    }
    if (asked) {
        XClearArea(d, root, x, y, w, h, False);
        std::printf("done\n");
    } else {
        std::fprintf(stderr, "testdesk: nothing happened in a minute\n");
    }
    XFreeGC(d, gc);
    XFreePixmap(d, old);
    XSync(d, False);
    std::fflush(stdout);
    return asked ? 0 : 1;
}

int run(Display* d, int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "root") == 0) {
        return paintRoot(d, false);
    }
    if (argc == 2 && std::strcmp(argv[1], "noise") == 0) {
        return paintRoot(d, true);
    }
    if (argc == 2 && std::strcmp(argv[1], "composited") == 0) {
        // Exit status 0 when a compositing manager runs on this screen.
        const Atom cm = XInternAtom(d, "_NET_WM_CM_S0", False);
        return XGetSelectionOwner(d, cm) != None ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "managed") == 0) {
        // Only one client may manage the root's children: a window manager has when we cannot.
        static bool refused = false;
        refused = false;
        const auto previous = XSetErrorHandler([](Display*, XErrorEvent* e) {
            refused = refused || e->error_code == BadAccess;
            return 0;
        });
        XSelectInput(d, DefaultRootWindow(d), SubstructureRedirectMask);
        XSync(d, False);
        XSelectInput(d, DefaultRootWindow(d), NoEventMask);
        XSync(d, False);
        XSetErrorHandler(previous);
        return refused ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "desktop") == 0) {
        const int screen = DefaultScreen(d);
        return showWindow(
          d, 0, 0, DisplayWidth(d, screen), DisplayHeight(d, screen), Fill::Pattern);
    }
    if (argc == 3 && std::strcmp(argv[1], "close") == 0) {
        // What a window manager's close box does: ask the window to close itself.
        const Window w = static_cast<Window>(std::strtoul(argv[2], nullptr, 0));
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = w;
        e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
        e.xclient.data.l[1] = CurrentTime;
        XSendEvent(d, w, False, NoEventMask, &e);
        XSync(d, False);
        return 0;
    }
    if (argc == 6 && std::strcmp(argv[1], "window") == 0) {
        return showWindow(
          d, std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    }
    if (argc == 6 && std::strcmp(argv[1], "late-compositor") == 0) {
        return lateCompositor(
          d, std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    }
    std::fprintf(stderr,
                 "usage: testdesk root | noise | window X Y W H | desktop | composited | managed | "
                 "close WINDOW | "
                 "late-compositor X Y W H\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "testdesk: no X display\n");
        return 2;
    }
    const int status = run(d, argc, argv);
    // The root's pixmap stays (RetainPermanent); the connection and its memory go.
    XCloseDisplay(d);
    return status;
}
