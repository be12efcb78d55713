// A stand-in desktop for the end-to-end tests.
//   testdesk root                      paints the pattern as the root window's background
//   testdesk noise                     paints random pixels instead (for the benchmarks)
//   testdesk window X Y W H            an ordinary, undecorated window at (X, Y) showing the
//                                      inverted pattern in desktop coordinates; prints
//                                      "ready", then "press X Y" (desktop) for each button press
//   testdesk composited                exit status 0 when a compositing manager runs
//   testdesk close WINDOW              asks the window to close, as its close box does

#include "Pattern.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

XImage* makeImage(Display* d, int x0, int y0, int w, int h, bool inverted)
{
    auto* data = static_cast<char*>(std::malloc(static_cast<size_t>(w) * h * 4));
    auto* px = reinterpret_cast<uint32_t*>(data);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            px[static_cast<size_t>(y) * w + x] =
              inverted ? testdesk::windowRgb(x0 + x, y0 + y) : testdesk::patternRgb(x0 + x, y0 + y);
        }
    }
    const int screen = DefaultScreen(d);
    return XCreateImage(
      d, DefaultVisual(d, screen), DefaultDepth(d, screen), ZPixmap, 0, data, w, h, 32, 0);
}

int paintRoot(Display* d, bool noise)
{
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    const int w = DisplayWidth(d, screen), h = DisplayHeight(d, screen);
    Pixmap pm = XCreatePixmap(d, root, w, h, DefaultDepth(d, screen));
    XImage* image = makeImage(d, 0, 0, w, h, false);
    if (noise) {
        // A busy desktop: every pixel random (a fixed seed, so that runs compare).
        uint32_t state = 12345;
        auto* px = reinterpret_cast<uint32_t*>(image->data);
        for (size_t i = 0; i < static_cast<size_t>(w) * h; ++i) {
            state = state * 1664525u + 1013904223u;
            px[i] = state >> 8;
        }
    }
    GC gc = XCreateGC(d, pm, 0, nullptr);
    XPutImage(d, pm, gc, image, 0, 0, 0, 0, w, h);
    XSetWindowBackgroundPixmap(d, root, pm);
    // Compositing managers paint the desktop from this property, not from the root's
    // background; the pixmap must outlive us, as desktop-background setters keep theirs.
    const Atom rootPmap = XInternAtom(d, "_XROOTPMAP_ID", False);
    XChangeProperty(d,
                    root,
                    rootPmap,
                    XA_PIXMAP,
                    32,
                    PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pm),
                    1);
    XClearWindow(d, root);
    XFreeGC(d, gc);
    XDestroyImage(image);
    XSetCloseDownMode(d, RetainPermanent);
    XSync(d, False);
    return 0;
}

int showWindow(Display* d, int x, int y, int w, int h)
{
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    const Window win = XCreateSimpleWindow(d, root, x, y, w, h, 0, 0, 0);
    XSetWindowBackgroundPixmap(d, win, None);
    XStoreName(d, win, "testdesk-window");
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
            XImage* image = makeImage(d, rx + ex.x, ry + ex.y, ex.width, ex.height, true);
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
    std::fprintf(stderr,
                 "usage: testdesk root | noise | window X Y W H | composited | close WINDOW\n");
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
