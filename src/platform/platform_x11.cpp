// X11 implementation of the platform layer: plain Xlib on a connection of its own, so that it
// does not depend on how the toolkit talks to the server.

#include "platform.h"
#include "virtual_keys.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ombrix
{

namespace
{

Display* g_display = nullptr;
int g_lastError = 0;
XErrorHandler g_previousHandler = nullptr;

// Errors on our own connection are expected (a window that vanished while we looked at it) and
// are recorded, never fatal; errors on anybody else's connection go to whoever handled them before.
int onXError(Display* display, XErrorEvent* event)
{
    if (display == g_display) {
        g_lastError = event->error_code;
        return 0;
    }
    return g_previousHandler ? g_previousHandler(display, event) : 0;
}

XIOErrorHandler g_previousIoHandler = nullptr;

// Our connection broke: the X server went away, and every window of the program with it.
// Xlib's way out, exit(), would run destructors that talk to the dead server (ours among them),
// and when the toolkit has begun an exit of its own on losing its connection, call exit() a
// second time inside it: we end at once instead. A break of any other connection goes to
// whoever handled it before (the toolkit).
int onXIOError(Display* display)
{
    if (display == g_display) {
        static const char kMessage[] = "Ombrix: the connection to the X server was lost\n";
        if (::write(STDERR_FILENO, kMessage, sizeof kMessage - 1) < 0) {
            // Nothing more to tell anyone.
        }
        ::_exit(1);
    }
    return g_previousIoHandler ? g_previousIoHandler(display) : 0;
}

struct Box {
    int x0, y0, x1, y1; // half-open
    bool empty() const { return x1 <= x0 || y1 <= y0; }
};

// Copies n pixels of a 32-bit TrueColor row with the alpha byte set, to another place or to a
// place no earlier in memory that may overlap the row: from its end backwards, every block is
// read before it is written.
void moveOpaqueUp(const uint32_t* in, uint32_t* out, size_t n)
{
    size_t i = n;
#if defined(__SSE2__)
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    while (i >= 16) {
        i -= 16;
        const auto* src = reinterpret_cast<const __m128i*>(in + i);
        auto* dst = reinterpret_cast<__m128i*>(out + i);
        const __m128i a = _mm_loadu_si128(src);
        const __m128i b = _mm_loadu_si128(src + 1);
        const __m128i c = _mm_loadu_si128(src + 2);
        const __m128i d = _mm_loadu_si128(src + 3);
        _mm_storeu_si128(dst + 3, _mm_or_si128(d, alpha));
        _mm_storeu_si128(dst + 2, _mm_or_si128(c, alpha));
        _mm_storeu_si128(dst + 1, _mm_or_si128(b, alpha));
        _mm_storeu_si128(dst, _mm_or_si128(a, alpha));
    }
#endif
    while (i > 0) {
        --i;
        out[i] = in[i] | 0xFF000000u;
    }
}

// Display-sized reads go straight into memory shared with the server, and the picture keeps
// that memory: no copy of the pixels, and no fresh memory to clear for every grab. A segment
// comes back when the last picture holding it goes, on whichever thread that happens.
class SegmentPool
{
public:
    struct Segment {
        XShmSegmentInfo info{};
        size_t bytes = 0;
        bool lent = false;
    };

    ~SegmentPool()
    {
        for (const auto& segment : segments) {
            shmdt(segment->info.shmaddr);
        }
    }

    void giveBack(const void* address)
    {
        std::lock_guard lock(mutex);
        for (const auto& segment : segments) {
            if (segment->info.shmaddr == address) {
                segment->lent = false;
            }
        }
    }

    // Takes every segment not lent out of the pool.
    std::vector<std::unique_ptr<Segment>> removeFree()
    {
        std::vector<std::unique_ptr<Segment>> free;
        std::lock_guard lock(mutex);
        for (auto it = segments.begin(); it != segments.end();) {
            if ((*it)->lent) {
                ++it;
            } else {
                free.push_back(std::move(*it));
                it = segments.erase(it);
            }
        }
        return free;
    }

    std::mutex mutex;
    std::vector<std::unique_ptr<Segment>> segments;
};

Box intersect(const Box& a, const Box& b)
{
    return {
        std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)
    };
}

class X11Platform final : public Platform
{
public:
    X11Platform() = default;

    ~X11Platform() override
    {
        releaseShm();
        if (display_) {
            std::lock_guard lock(pool_->mutex);
            for (const auto& segment : pool_->segments) {
                XShmDetach(display_, &segment->info);
            }
        }
        if (display_) {
            XCloseDisplay(display_);
            g_display = nullptr;
        }
    }

    void copyDesktop(int x, int y, Pixels& into) override
    {
        Display* d = display();
        const Window root = DefaultRootWindow(d);
        const Box request{ x, y, x + into.width, y + into.height };
        const Box rootBox{
            0, 0, DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d))
        };
        const Box area = intersect(request, rootBox);
        const size_t count = static_cast<size_t>(into.width) * static_cast<size_t>(into.height);
        if (!into.lent && into.argb.size() != count) {
            if (!area.empty() && readLent(d, root, area, x, y, into)) {
                blackOutsideMonitors(d, root, x, y, into);
                if (keyWatch_) {
                    updateKeys(d);
                }
                return;
            }
            into.argb.resize(count);
        }
        uint32_t* const bits = into.bits();
        if (area.empty()) {
            std::fill(bits, bits + count, 0xFF000000u);
            return;
        }
        // Off the screen is black: the rows above and below the area, and each row's ends.
        for (int row = 0; row < into.height; ++row) {
            uint32_t* line = bits + static_cast<size_t>(row) * into.width;
            const int py = y + row;
            if (py < area.y0 || py >= area.y1) {
                std::fill(line, line + into.width, 0xFF000000u);
            } else {
                std::fill(line, line + (area.x0 - x), 0xFF000000u);
                std::fill(line + (area.x1 - x), line + into.width, 0xFF000000u);
            }
        }
        const int w = area.x1 - area.x0;
        const int h = area.y1 - area.y0;

        XImage* image = readRoot(d, root, area.x0, area.y0, w, h);
        if (!image) {
            throw std::runtime_error("画面の画像を読み取れません");
        }
        const int dx = area.x0 - x;
        const int dy = area.y0 - y;
        const bool fast = image->bits_per_pixel == 32 && image->red_mask == 0xFF0000 &&
                          image->green_mask == 0xFF00 && image->blue_mask == 0xFF &&
                          image->byte_order == LSBFirst;
        for (int row = 0; row < h; ++row) {
            uint32_t* out = bits + static_cast<size_t>(dy + row) * into.width + dx;
            if (fast) {
                const auto* in =
                  reinterpret_cast<const uint32_t*>(image->data + row * image->bytes_per_line);
                moveOpaqueUp(in, out, static_cast<size_t>(w));
            } else {
                for (int col = 0; col < w; ++col) {
                    out[col] = toArgb(image, XGetPixel(image, col, row));
                }
            }
        }
        if (image != shmImage_) {
            XDestroyImage(image);
        }
        blackOutsideMonitors(d, root, x, y, into);
        if (keyWatch_) {
            updateKeys(d); // replies read off the socket may have brought key events along
        }
    }

    void waitHidden(uintptr_t windowId) override
    {
        Display* d = display();
        const Window window = static_cast<Window>(windowId);
        hideStarted_ = std::chrono::steady_clock::now();
        const auto deadline = hideStarted_ + std::chrono::milliseconds(500);
        XSync(d, False);
        while (std::chrono::steady_clock::now() < deadline) {
            if (offScreen(d, window)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (keyWatch_) {
            updateKeys(d);
        }
    }

    void settleDesktop() override
    {
        // What lay beneath needs a moment to repaint itself (or the compositor to redraw it):
        // 20 ms from the moment the window went, which is when the server starts uncovering it.
        // Confirming the unmap took part of that time already, since the server answers only
        // after it has painted what the window uncovered.
        // The memory for the read is made ready meanwhile: a new segment's pages are touched here,
        // so that neither the server's copy nor ours waits for the system to supply them.
        if (lendBytes_ && !prepared_ && display_ && useShm_ && XShmQueryExtension(display_)) {
            bool fresh = false;
            prepared_ = takeSegment(display_, lendBytes_, &fresh);
            if (prepared_ && fresh) {
                warmUp(display_, *prepared_);
            }
        }
        lendBytes_ = 0;
        std::this_thread::sleep_until(hideStarted_ + std::chrono::milliseconds(20));
    }

    bool keyDown(int virtualKey) override
    {
        Display* d = tryDisplay();
        if (!d) {
            return false;
        }
        const auto syms = keysymsForVirtualKey(virtualKey);
        if (syms.empty()) {
            return false;
        }
        updateKeys(d);
        for (unsigned long sym : syms) {
            const KeyCode code = XKeysymToKeycode(d, sym);
            if (code != 0 && (keys_[code / 8] & (1 << (code % 8)))) {
                return true;
            }
        }
        return false;
    }

    int keyWakeDescriptor() override
    {
        Display* d = tryDisplay();
        if (!d) {
            return -1;
        }
        if (!keyWatchTried_) {
            updateKeys(d);
        }
        // Key events reach our connection only while raw key events are watched; anything
        // already read off the socket into the queue is taken in first.
        if (!keyWatch_) {
            return -1;
        }
        updateKeys(d);
        return ConnectionNumber(d);
    }

    void switchBeepOff() override
    {
        Display* d = tryDisplay();
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
    // The keyboard's state is kept from the server's raw key events (XInput 2.1 and later,
    // delivered whichever window has the focus), so that asking costs no round trip; without
    // them every question asks the server.
    void updateKeys(Display* d)
    {
        if (!keyWatchTried_) {
            keyWatchTried_ = true;
            keyWatch_ = watchRawKeys(d);
            XQueryKeymap(d, keys_);
            return;
        }
        if (!keyWatch_) {
            XQueryKeymap(d, keys_);
            return;
        }
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
                continue;
            }
            if (event.type != GenericEvent || event.xcookie.extension != xiOpcode_ ||
                !XGetEventData(d, &event.xcookie)) {
                continue;
            }
            const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
            const int code = raw->detail;
            if (code > 0 && code < 256) {
                const char bit = static_cast<char>(1 << (code % 8));
                if (event.xcookie.evtype == XI_RawKeyPress) {
                    keys_[code / 8] = static_cast<char>(keys_[code / 8] | bit);
                } else if (event.xcookie.evtype == XI_RawKeyRelease) {
                    keys_[code / 8] = static_cast<char>(keys_[code / 8] & ~bit);
                }
            }
            XFreeEventData(d, &event.xcookie);
        }
    }

    bool watchRawKeys(Display* d)
    {
        int event = 0, error = 0;
        if (!XQueryExtension(d, "XInputExtension", &xiOpcode_, &event, &error)) {
            return false;
        }
        int major = 2, minor = 1; // raw events reach the root whatever the grabs since 2.1
        if (XIQueryVersion(d, &major, &minor) != Success || major < 2 ||
            (major == 2 && minor < 1)) {
            return false;
        }
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
        XIEventMask mask{};
        mask.deviceid = XIAllMasterDevices;
        mask.mask_len = sizeof bits;
        mask.mask = bits;
        g_lastError = 0;
        XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
        XSync(d, False);
        return g_lastError == 0;
    }

    Display* tryDisplay()
    {
        if (!display_) {
            display_ = XOpenDisplay(nullptr);
            if (display_) {
                g_display = display_;
                g_previousHandler = XSetErrorHandler(onXError);
                g_previousIoHandler = XSetIOErrorHandler(onXIOError);
            }
        }
        return display_;
    }

    Display* display()
    {
        Display* d = tryDisplay();
        if (!d) {
            throw std::runtime_error("X サーバーに接続できません");
        }
        return d;
    }

    // True once neither the window nor the window manager's frame around it is viewable.
    bool offScreen(Display* d, Window window)
    {
        g_lastError = 0;
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(d, window, &attributes) || g_lastError) {
            return true; // gone altogether
        }
        if (attributes.map_state == IsViewable) {
            return false;
        }
        // The frame is the ancestor just below the root; a reparenting window manager may
        // unmap it a little after the window itself.
        Window current = window;
        for (int depth = 0; depth < 16; ++depth) {
            Window rootReturn = 0, parent = 0, *children = nullptr;
            unsigned int count = 0;
            g_lastError = 0;
            if (!XQueryTree(d, current, &rootReturn, &parent, &children, &count) || g_lastError) {
                return true;
            }
            if (children) {
                XFree(children);
            }
            if (parent == rootReturn || parent == 0) {
                break;
            }
            current = parent;
        }
        if (current == window) {
            return true;
        }
        g_lastError = 0;
        if (!XGetWindowAttributes(d, current, &attributes) || g_lastError) {
            return true;
        }
        return attributes.map_state != IsViewable;
    }

    bool lendsPixels(int width, int height) override
    {
        // Small blocks (the corner zoom's) are read through the one scratch segment.
        constexpr size_t kLendFrom = 1 << 20;
        const size_t bytes =
          static_cast<size_t>(std::max(width, 0)) * static_cast<size_t>(std::max(height, 0)) * 4;
        if (!useShm_ || bytes < kLendFrom) {
            return false;
        }
        lendBytes_ = bytes; // made ready while the screen settles
        lendWidth_ = width;
        lendHeight_ = height;
        return true;
    }

    void releaseSpareMemory() override
    {
        auto spare = pool_->removeFree();
        giveUp(display_, spare);
        if (display_ && !spare.empty()) {
            XFlush(display_);
        }
    }

    static void giveUp(Display* d,
                       const std::vector<std::unique_ptr<SegmentPool::Segment>>& segments)
    {
        for (const auto& segment : segments) {
            if (!segment) {
                continue;
            }
            if (d) {
                XShmDetach(d, &segment->info);
            }
            shmdt(segment->info.shmaddr);
        }
    }

    // Reads the area into a segment of the pool, moves its rows to their places in the block
    // and paints the rest black, and lends the segment to `into`. False when that way is
    // closed; nothing is lent then.
    bool readLent(Display* d, Window root, const Box& area, int x, int y, Pixels& into)
    {
        if (!useShm_ || !XShmQueryExtension(d)) {
            return false;
        }
        const size_t count = static_cast<size_t>(into.width) * static_cast<size_t>(into.height);
        SegmentPool::Segment* segment = prepared_;
        prepared_ = nullptr;
        if (segment && segment->bytes != count * 4) {
            pool_->giveBack(segment->info.shmaddr);
            segment = nullptr;
        }
        if (!segment) {
            segment = takeSegment(d, count * 4);
        }
        if (!segment) {
            return false;
        }
        const int w = area.x1 - area.x0;
        const int h = area.y1 - area.y0;
        const int screen = DefaultScreen(d);
        XImage* image = XShmCreateImage(d,
                                        DefaultVisual(d, screen),
                                        static_cast<unsigned>(DefaultDepth(d, screen)),
                                        ZPixmap,
                                        segment->info.shmaddr,
                                        &segment->info,
                                        static_cast<unsigned>(w),
                                        static_cast<unsigned>(h));
        bool ok = image && image->bits_per_pixel == 32 && image->red_mask == 0xFF0000 &&
                  image->green_mask == 0xFF00 && image->blue_mask == 0xFF &&
                  image->byte_order == LSBFirst && image->bytes_per_line == w * 4;
        if (ok) {
            g_lastError = 0;
            ok = XShmGetImage(d, root, image, area.x0, area.y0, AllPlanes) && !g_lastError;
            if (!ok) {
                useShm_ = false; // the server refused once; do not ask again
            }
        }
        if (image) {
            image->data = nullptr;
            XDestroyImage(image);
        }
        if (!ok) {
            pool_->giveBack(segment->info.shmaddr);
            return false;
        }
        // The area came in packed rows at the start; spread them out from the last one up, so
        // that no row lands on one not yet moved, then paint what lies off the screen.
        auto* bits = reinterpret_cast<uint32_t*>(segment->info.shmaddr);
        const int dx = area.x0 - x;
        const int dy = area.y0 - y;
        const auto stride = static_cast<size_t>(into.width);
        for (int row = h - 1; row >= 0; --row) {
            moveOpaqueUp(bits + static_cast<size_t>(row) * w,
                         bits + static_cast<size_t>(dy + row) * stride + dx,
                         static_cast<size_t>(w));
        }
        for (int row = 0; row < into.height; ++row) {
            uint32_t* line = bits + static_cast<size_t>(row) * stride;
            if (row < dy || row >= dy + h) {
                std::fill(line, line + stride, 0xFF000000u);
            } else {
                std::fill(line, line + dx, 0xFF000000u);
                std::fill(line + dx + w, line + stride, 0xFF000000u);
            }
        }
        into.argb.clear();
        into.lent =
          std::shared_ptr<uint32_t>(bits, [pool = pool_](uint32_t* p) { pool->giveBack(p); });
        return true;
    }

    // The server's first copy into a new segment also waits for its own view of each page: one
    // read of the screen into it, made while the screen settles anyway, saves that later.
    void warmUp(Display* d, SegmentPool::Segment& segment)
    {
        const int screen = DefaultScreen(d);
        const int w = std::min(lendWidth_, DisplayWidth(d, screen));
        const int h = std::min(lendHeight_, DisplayHeight(d, screen));
        if (w <= 0 || h <= 0) {
            return;
        }
        XImage* image = XShmCreateImage(d,
                                        DefaultVisual(d, screen),
                                        static_cast<unsigned>(DefaultDepth(d, screen)),
                                        ZPixmap,
                                        segment.info.shmaddr,
                                        &segment.info,
                                        static_cast<unsigned>(w),
                                        static_cast<unsigned>(h));
        if (!image) {
            return;
        }
        if (static_cast<size_t>(image->bytes_per_line) * h <= segment.bytes) {
            g_lastError = 0;
            XShmGetImage(d, DefaultRootWindow(d), image, 0, 0, AllPlanes);
            g_lastError = 0; // what it read does not matter
        }
        image->data = nullptr;
        XDestroyImage(image);
    }

    // A free segment of exactly this size, or a new one. Free segments of other sizes, and
    // any beyond the one taken, are given up: the pool holds one spare at most.
    SegmentPool::Segment* takeSegment(Display* d, size_t bytes, bool* fresh = nullptr)
    {
        SegmentPool::Segment* chosen = nullptr;
        auto surplus = pool_->removeFree();
        for (auto& segment : surplus) {
            if (segment->bytes == bytes) {
                segment->lent = true;
                chosen = segment.get();
                std::lock_guard lock(pool_->mutex);
                pool_->segments.push_back(std::move(segment));
                break;
            }
        }
        giveUp(d, surplus);
        if (chosen) {
            return chosen;
        }
        auto segment = std::make_unique<SegmentPool::Segment>();
        segment->bytes = bytes;
        segment->info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (segment->info.shmid < 0) {
            return nullptr;
        }
        void* address = shmat(segment->info.shmid, nullptr, 0);
        // Marked for removal now, so that the segment goes away with the process whatever happens.
        shmctl(segment->info.shmid, IPC_RMID, nullptr);
        if (address == reinterpret_cast<void*>(-1)) {
            return nullptr;
        }
        segment->info.shmaddr = static_cast<char*>(address);
        segment->info.readOnly = False;
        std::memset(address, 0, bytes);
        g_lastError = 0;
        const bool attached = XShmAttach(d, &segment->info);
        XSync(d, False);
        if (!attached || g_lastError) {
            shmdt(address);
            return nullptr;
        }
        segment->lent = true;
        if (fresh) {
            *fresh = true;
        }
        std::lock_guard lock(pool_->mutex);
        pool_->segments.push_back(std::move(segment));
        return pool_->segments.back().get();
    }

    XImage* readRoot(Display* d, Window root, int x, int y, int w, int h)
    {
        if (useShm_ && ensureShm(d, w, h)) {
            // The shared image may be larger than this read: describe the part we want.
            shmImage_->width = w;
            shmImage_->height = h;
            shmImage_->bytes_per_line = w * (shmImage_->bits_per_pixel / 8);
            g_lastError = 0;
            if (XShmGetImage(d, root, shmImage_, x, y, AllPlanes) && !g_lastError) {
                return shmImage_;
            }
            useShm_ = false; // the server refused once; do not ask again
            releaseShm();
        }
        g_lastError = 0;
        XImage* image = XGetImage(
          d, root, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h), AllPlanes, ZPixmap);
        return g_lastError ? nullptr : image;
    }

    bool ensureShm(Display* d, int w, int h)
    {
        if (!XShmQueryExtension(d)) {
            useShm_ = false;
            return false;
        }
        const size_t needed = static_cast<size_t>(w) * static_cast<size_t>(h);
        if (shmImage_ && needed <= shmCapacity_) {
            return true;
        }
        releaseShm();
        const int screen = DefaultScreen(d);
        shmImage_ = XShmCreateImage(d,
                                    DefaultVisual(d, screen),
                                    static_cast<unsigned>(DefaultDepth(d, screen)),
                                    ZPixmap,
                                    nullptr,
                                    &shmInfo_,
                                    static_cast<unsigned>(w),
                                    static_cast<unsigned>(h));
        if (!shmImage_) {
            return false;
        }
        const size_t bytes = static_cast<size_t>(shmImage_->bytes_per_line) * h;
        shmInfo_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (shmInfo_.shmid < 0) {
            XDestroyImage(shmImage_);
            shmImage_ = nullptr;
            return false;
        }
        shmInfo_.shmaddr = shmImage_->data = static_cast<char*>(shmat(shmInfo_.shmid, nullptr, 0));
        shmInfo_.readOnly = False;
        g_lastError = 0;
        const bool attached = XShmAttach(d, &shmInfo_);
        XSync(d, False);
        // Marked for removal now, so that the segment goes away with the process whatever happens.
        shmctl(shmInfo_.shmid, IPC_RMID, nullptr);
        if (!attached || g_lastError) {
            shmdt(shmInfo_.shmaddr);
            shmImage_->data = nullptr;
            XDestroyImage(shmImage_);
            shmImage_ = nullptr;
            return false;
        }
        shmAttached_ = true;
        shmCapacity_ = needed;
        return true;
    }

    void releaseShm()
    {
        if (!shmImage_) {
            return;
        }
        if (shmAttached_ && display_) {
            XShmDetach(display_, &shmInfo_);
            XSync(display_, False);
        }
        shmdt(shmInfo_.shmaddr);
        shmImage_->data = nullptr;
        XDestroyImage(shmImage_);
        shmImage_ = nullptr;
        shmAttached_ = false;
        shmCapacity_ = 0;
    }

    static uint32_t toArgb(const XImage* image, unsigned long pixel)
    {
        auto channel = [pixel](unsigned long mask) -> uint32_t {
            if (!mask) {
                return 0;
            }
            int shift = 0;
            while (!((mask >> shift) & 1)) {
                ++shift;
            }
            const unsigned long max = mask >> shift;
            return static_cast<uint32_t>(((pixel & mask) >> shift) * 255 / max);
        };
        return 0xFF000000u | (channel(image->red_mask) << 16) | (channel(image->green_mask) << 8) |
               channel(image->blue_mask);
    }

    // The root window may be larger than the union of the monitors (two displays of different
    // heights); what lies outside every monitor is not on any screen and is returned black.
    void blackOutsideMonitors(Display* d, Window root, int x, int y, Pixels& into)
    {
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        if (!XRRQueryExtension(d, &eventBase, &errorBase) || !XRRQueryVersion(d, &major, &minor) ||
            (major == 1 && minor < 5)) {
            return;
        }
        int count = 0;
        XRRMonitorInfo* monitors = XRRGetMonitors(d, root, True, &count);
        if (!monitors || count == 0) {
            if (monitors) {
                XRRFreeMonitors(monitors);
            }
            return;
        }
        std::vector<Box> boxes;
        for (int i = 0; i < count; ++i) {
            boxes.push_back({ monitors[i].x,
                              monitors[i].y,
                              monitors[i].x + monitors[i].width,
                              monitors[i].y + monitors[i].height });
        }
        XRRFreeMonitors(monitors);
        const Box request{ x, y, x + into.width, y + into.height };
        const Box rootBox{
            0, 0, DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d))
        };
        // The usual case: one monitor covers the whole root, or the block lies on one monitor.
        for (const Box& b : boxes) {
            const Box i = intersect(request, b);
            const Box r = intersect(rootBox, b);
            if ((i.x0 == request.x0 && i.y0 == request.y0 && i.x1 == request.x1 &&
                 i.y1 == request.y1) ||
                (r.x0 == 0 && r.y0 == 0 && r.x1 == rootBox.x1 && r.y1 == rootBox.y1)) {
                return;
            }
        }
        // Row by row: black everything that no monitor covers.
        std::vector<std::pair<int, int>> spans;
        for (int row = 0; row < into.height; ++row) {
            const int py = y + row;
            spans.clear();
            for (const Box& b : boxes) {
                if (py >= b.y0 && py < b.y1) {
                    spans.emplace_back(std::max(b.x0, request.x0), std::min(b.x1, request.x1));
                }
            }
            std::sort(spans.begin(), spans.end());
            uint32_t* line = into.bits() + static_cast<size_t>(row) * into.width;
            int covered = request.x0;
            for (const auto& [from, to] : spans) {
                if (from > covered) {
                    std::fill(line + (covered - x), line + (from - x), 0xFF000000u);
                }
                covered = std::max(covered, to);
            }
            if (covered < request.x1) {
                std::fill(line + (covered - x), line + into.width, 0xFF000000u);
            }
        }
    }

    Display* display_ = nullptr;
    int monitorsKnown_ = -1; // whether the server lists its monitors (RandR 1.5); -1: not asked
    bool keyWatchTried_ = false;
    bool keyWatch_ = false;
    int xiOpcode_ = 0;
    char keys_[32] = {};
    bool useShm_ = true;
    XImage* shmImage_ = nullptr;
    XShmSegmentInfo shmInfo_{};
    std::shared_ptr<SegmentPool> pool_ = std::make_shared<SegmentPool>();
    size_t lendBytes_ = 0; // the size of the read to come
    int lendWidth_ = 0, lendHeight_ = 0;
    SegmentPool::Segment* prepared_ = nullptr; // lent to that read already
    std::chrono::steady_clock::time_point hideStarted_{};
    bool shmAttached_ = false;
    size_t shmCapacity_ = 0;
};

} // namespace

std::unique_ptr<Platform> createNativePlatform()
{
    return std::make_unique<X11Platform>();
}

void prepareProcess()
{
    // Wayland sessions run us through XWayland: the grab and the key state need an X server.
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    // A write to the X server's socket after the server has gone raises SIGPIPE, which would
    // end the program before the loss of the connection is handled as such: the write fails
    // instead. A handler that does nothing, rather than ignoring the signal, is not passed on
    // to programs started from here.
    struct sigaction quiet = {};
    quiet.sa_handler = [](int) {};
    quiet.sa_flags = SA_RESTART;
    sigemptyset(&quiet.sa_mask);
    sigaction(SIGPIPE, &quiet, nullptr);
}

} // namespace ombrix
