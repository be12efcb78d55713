#include "x11_root_screen.h"

#include "x11_connection.h"
#include "x11_image.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

namespace ombrix::x11
{

namespace
{

using Clock = std::chrono::steady_clock;

// Reads at least this many bytes go straight into a segment that the picture then keeps.
constexpr size_t kLendFrom = 1 << 20;

// While a grab waits for what the window covered to be repainted.
constexpr auto kQuiet = std::chrono::milliseconds(10); // no repaint for this long: done
// The same under a compositing manager: more than one frame at 60 Hz, since one that paints at
// most once a frame (mutter) may show a change only at its frame after next.
constexpr auto kQuietComposited = std::chrono::milliseconds(25);
constexpr auto kNothingFor = std::chrono::milliseconds(60); // no repaint at all: done
// Before a grab under a compositing manager: how long its repaints under way are waited out.
constexpr auto kCatchUpAtMost = std::chrono::milliseconds(300);
// After the area was exposed again: how soon a repaint must begin.
constexpr auto kRepaintWithin = std::chrono::milliseconds(150);

XImage* shmImage(Display* d, SegmentPool::Segment& segment, int w, int h)
{
    const int screen = DefaultScreen(d);
    return XShmCreateImage(d,
                           DefaultVisual(d, screen),
                           static_cast<unsigned>(DefaultDepth(d, screen)),
                           ZPixmap,
                           segment.info.shmaddr,
                           &segment.info,
                           static_cast<unsigned>(w),
                           static_cast<unsigned>(h));
}

void dropImage(XImage* image)
{
    if (image) {
        image->data = nullptr; // the segment's memory is not the image's to free
        XDestroyImage(image);
    }
}

std::unique_ptr<SegmentPool::Segment> newSegment(Display* d, size_t bytes)
{
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
    // The pages are made ready now, not when the server's copy first touches them.
    std::memset(address, 0, bytes);
    ErrorTrap trap(d);
    const bool attached = XShmAttach(d, &segment->info);
    if (!attached || trap.failed()) {
        shmdt(address);
        return nullptr;
    }
    return segment;
}

void giveUp(Display* d, const std::vector<std::unique_ptr<SegmentPool::Segment>>& segments)
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

} // namespace

SegmentPool::~SegmentPool()
{
    for (const auto& segment : segments) {
        shmdt(segment->info.shmaddr);
    }
}

void SegmentPool::giveBack(const void* address)
{
    std::lock_guard lock(mutex);
    for (const auto& segment : segments) {
        if (segment->info.shmaddr == address) {
            segment->lent = false;
        }
    }
}

std::vector<std::unique_ptr<SegmentPool::Segment>> SegmentPool::removeFree()
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

void RootScreen::detach(Display* d)
{
    {
        std::lock_guard lock(pool_->mutex);
        for (const auto& segment : pool_->segments) {
            XShmDetach(d, &segment->info);
        }
    }
    if (scratch_) {
        XShmDetach(d, &scratch_->info);
        shmdt(scratch_->info.shmaddr);
        scratch_.reset();
    }
}

bool RootScreen::shmUsable(Display* d)
{
    if (shm_ < 0) {
        shm_ = XShmQueryExtension(d) ? 1 : 0;
        if (shm_ == 0) {
            logFallback(LogArea::Capture,
                        "the X server shares no memory (MIT-SHM): the screen is read through "
                        "the connection");
        }
    }
    return shm_ == 1;
}

void RootScreen::stopSharing(const char* why)
{
    shm_ = 0; // the server refused once; do not ask again
    logFallback(LogArea::Capture,
                std::string("shared memory switched off (") + why +
                  "): the screen is read through the connection from now on");
}

SegmentPool::Segment* RootScreen::takeSegment(Display* d, size_t bytes, bool* fresh)
{
    // A free segment of exactly this size, or a new one. Free segments of other sizes, and any
    // beyond the one taken, are given up: the pool holds one spare at most.
    SegmentPool::Segment* chosen = nullptr;
    auto free = pool_->removeFree();
    for (auto& segment : free) {
        if (segment->bytes == bytes) {
            segment->lent = true;
            chosen = segment.get();
            std::lock_guard lock(pool_->mutex);
            pool_->segments.push_back(std::move(segment));
            break;
        }
    }
    giveUp(d, free);
    if (chosen) {
        return chosen;
    }
    auto segment = newSegment(d, bytes);
    if (!segment) {
        return nullptr;
    }
    if (fresh) {
        *fresh = true;
    }
    segment->lent = true;
    std::lock_guard lock(pool_->mutex);
    pool_->segments.push_back(std::move(segment));
    return pool_->segments.back().get();
}

void RootScreen::read(Display* d, const ScreenLayout& screen, const Rect& area, Pixels& into)
{
    into.width = std::max(area.width, 0);
    into.height = std::max(area.height, 0);
    const size_t count = static_cast<size_t>(into.width) * static_cast<size_t>(into.height);
    const Rect inRoot = intersect(area, screen.root);
    std::vector<Rect> shown;
    for (const Rect& m : screen.monitors) {
        const Rect r = intersect(m, screen.root);
        if (!empty(r)) {
            shown.push_back(r);
        }
    }
    SegmentPool::Segment* prepared = prepared_;
    prepared_ = nullptr;
    const bool ownStore = into.lent || into.argb.size() == count;
    if (!ownStore) {
        if (prepared && prepared->bytes != count * 4) {
            pool_->giveBack(prepared->info.shmaddr);
            prepared = nullptr;
        }
        prepared_ = prepared;
        if (!empty(inRoot) && count * 4 >= kLendFrom && readLent(d, inRoot, area, into)) {
            blackOutside(shown, area.x, area.y, into.width, into.height, into.bits(), into.width);
            return;
        }
        if (prepared_) {
            pool_->giveBack(prepared_->info.shmaddr);
            prepared_ = nullptr;
        }
        into.lent.reset();
        into.argb.resize(count);
    } else if (prepared) {
        pool_->giveBack(prepared->info.shmaddr);
    }
    if (!empty(inRoot)) {
        readInto(d, inRoot, area, into.bits());
    }
    blackOutside(shown, area.x, area.y, into.width, into.height, into.bits(), into.width);
}

bool RootScreen::readLent(Display* d, const Rect& inRoot, const Rect& area, Pixels& into)
{
    if (!shmUsable(d)) {
        return false;
    }
    const size_t stride = static_cast<size_t>(area.width);
    const size_t bytes = stride * static_cast<size_t>(area.height) * 4;
    SegmentPool::Segment* segment = prepared_;
    prepared_ = nullptr;
    if (!segment) {
        segment = takeSegment(d, bytes);
    }
    if (!segment) {
        return false;
    }
    XImage* image = shmImage(d, *segment, inRoot.width, inRoot.height);
    // The rows arrive packed at the segment's start, which only a plain 32-bit format allows
    // to be spread out in place.
    bool ok = image && isPlainArgb(formatOf(image)) &&
              image->bytes_per_line == static_cast<int>(inRoot.width) * 4;
    if (ok) {
        ErrorTrap trap(d);
        ok = XShmGetImage(d, DefaultRootWindow(d), image, inRoot.x, inRoot.y, AllPlanes) &&
             !trap.failed();
        if (!ok) {
            stopSharing("XShmGetImage into a lent segment failed");
        }
    }
    dropImage(image);
    if (!ok) {
        pool_->giveBack(segment->info.shmaddr);
        return false;
    }
    // Spread the packed rows out from the last one up, so that no row lands on one not yet
    // moved.
    auto* bits = reinterpret_cast<uint32_t*>(segment->info.shmaddr);
    const int dx = inRoot.x - area.x;
    const int dy = inRoot.y - area.y;
    for (int row = inRoot.height - 1; row >= 0; --row) {
        moveOpaque(bits + static_cast<size_t>(row) * inRoot.width,
                   bits + static_cast<size_t>(dy + row) * stride + dx,
                   static_cast<size_t>(inRoot.width));
    }
    lastLentBytes_ = bytes;
    into.argb.clear();
    into.argb.shrink_to_fit();
    into.lent = std::shared_ptr<uint32_t>(bits, [pool = pool_](uint32_t* p) { pool->giveBack(p); });
    return true;
}

void RootScreen::readInto(Display* d, const Rect& inRoot, const Rect& area, uint32_t* bits)
{
    const size_t stride = static_cast<size_t>(area.width);
    uint32_t* out = bits + static_cast<size_t>(inRoot.y - area.y) * stride + (inRoot.x - area.x);
    if (shmUsable(d) && readScratch(d, inRoot, out, stride)) {
        return;
    }
    ErrorTrap trap(d);
    XImage* image = XGetImage(d,
                              DefaultRootWindow(d),
                              inRoot.x,
                              inRoot.y,
                              static_cast<unsigned>(inRoot.width),
                              static_cast<unsigned>(inRoot.height),
                              AllPlanes,
                              ZPixmap);
    if (trap.failed() || !image) {
        if (image) {
            XDestroyImage(image);
        }
        throw PlatformError(Failure::ScreenUnreadable,
                            "XGetImage of the root at " + std::to_string(inRoot.x) + "," +
                              std::to_string(inRoot.y) + " (" + std::to_string(inRoot.width) + "x" +
                              std::to_string(inRoot.height) + ") failed");
    }
    convertImage(image, out, stride);
    XDestroyImage(image);
}

bool RootScreen::readScratch(Display* d, const Rect& part, uint32_t* out, size_t stride)
{
    XShmSegmentInfo probe{};
    const int screen = DefaultScreen(d);
    XImage* image = XShmCreateImage(d,
                                    DefaultVisual(d, screen),
                                    static_cast<unsigned>(DefaultDepth(d, screen)),
                                    ZPixmap,
                                    nullptr,
                                    &probe,
                                    static_cast<unsigned>(part.width),
                                    static_cast<unsigned>(part.height));
    if (!image) {
        return false;
    }
    // The server pads every row (to 32 bits, say): the image tells how far apart rows lie.
    const size_t needed = static_cast<size_t>(image->bytes_per_line) * part.height;
    XDestroyImage(image);
    if (!scratch_ || scratch_->bytes < needed) {
        if (scratch_) {
            XShmDetach(d, &scratch_->info);
            shmdt(scratch_->info.shmaddr);
        }
        scratch_ = newSegment(d, needed);
        if (!scratch_) {
            stopSharing("no shared memory segment could be made or attached");
            return false;
        }
    }
    image = shmImage(d, *scratch_, part.width, part.height);
    if (!image) {
        return false;
    }
    ErrorTrap trap(d);
    const bool ok =
      XShmGetImage(d, DefaultRootWindow(d), image, part.x, part.y, AllPlanes) && !trap.failed();
    if (ok) {
        convertImage(image, out, stride);
    } else {
        stopSharing("XShmGetImage failed");
    }
    dropImage(image);
    return ok;
}

void RootScreen::warmUp(Display* d,
                        const ScreenLayout& screen,
                        const Rect& area,
                        SegmentPool::Segment& segment)
{
    // The server's first copy into a new segment waits for its own view of every page: one read
    // now, while the screen repaints anyway, saves that wait in the real read. What it reads does
    // not matter.
    const Rect part = intersect(area, screen.root);
    if (empty(part)) {
        return;
    }
    XImage* image = shmImage(d, segment, part.width, part.height);
    if (image && static_cast<size_t>(image->bytes_per_line) * part.height <= segment.bytes) {
        ErrorTrap trap(d);
        XShmGetImage(d, DefaultRootWindow(d), image, part.x, part.y, AllPlanes);
    }
    dropImage(image);
}

RootScreen::RootScreen(std::function<void()> pump)
  : pump_(std::move(pump))
{
}

void RootScreen::use(Display* d, const ScreenLayout& screen, bool lend)
{
    d_ = d;
    screen_ = screen;
    lend_ = lend;
}

void RootScreen::prepare(const Rect& area, Clock::time_point until)
{
    // A compositing manager may still be showing an older look of our window (mutter holds a
    // window's new contents back until the program has answered a resize, and plays its
    // animations), and the window's telltales, read next from the screen, must be what it shows
    // once it has caught up: a repaint under way is waited out, briefly.
    if (!screen_.composited || !extensions(d_).damage) {
        return;
    }
    watch(area);
    waitSettled(std::min(until, Clock::now() + kCatchUpAtMost), kQuietComposited);
}

void RootScreen::watch(const Rect& area)
{
    watched_ = area;
    sawDamage_ = false;
    if (extensions(d_).damage && damage_ == 0) {
        // Every repaint of the screen from now on, the compositor's included.
        damage_ = XDamageCreate(d_, DefaultRootWindow(d_), XDamageReportRawRectangles);
    }
}

void RootScreen::settle(bool hidden, Clock::time_point until)
{
    // The read's memory is made ready while what the window covered repaints.
    const Rect& area = watched_;
    const size_t bytes =
      static_cast<size_t>(std::max(area.width, 0)) * std::max(area.height, 0) * 4;
    if (lend_ && bytes >= kLendFrom && shmUsable(d_) && !prepared_) {
        bool fresh = false;
        prepared_ = takeSegment(d_, bytes, &fresh);
        if (prepared_ && fresh) {
            warmUp(d_, screen_, area, *prepared_);
        }
    }
    if (!hidden) {
        return;
    }
    if (damage_ != 0) {
        waitSettled(until, kNothingFor);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool RootScreen::again(Clock::time_point until)
{
    // A compositing manager repaints when its turn comes, which on a busy machine can be after
    // the quiet that follows the server's own repaint; a repaint it had begun before the window
    // went shows the window; and one (xcompmgr) sometimes repaints less than the window
    // covered. The area is exposed on the root, which most compositing managers repaint in turn
    // after the window's change, and a repaint is waited for.
    if (damage_ == 0) {
        return false;
    }
    const Rect shown = intersect(watched_, screen_.root);
    if (empty(shown)) {
        return false;
    }
    XClearArea(d_,
               DefaultRootWindow(d_),
               shown.x,
               shown.y,
               static_cast<unsigned>(shown.width),
               static_cast<unsigned>(shown.height),
               True);
    XFlush(d_);
    sawDamage_ = false;
    return waitSettled(until, kRepaintWithin);
}

int RootScreen::read(const Rect& area, Pixels& into, Clock::time_point)
{
    read(d_, screen_, area, into);
    return 1;
}

void RootScreen::finished() noexcept
{
    if (prepared_) {
        pool_->giveBack(prepared_->info.shmaddr);
        prepared_ = nullptr;
    }
    if (damage_ != 0) {
        XDamageDestroy(d_, damage_);
        damage_ = 0;
    }
    if (d_) {
        XFlush(d_);
        pump_();
    }
}

bool RootScreen::takeEvent(const XEvent& event)
{
    const int damageEvent = d_ ? extensions(d_).damageEvent : -1;
    if (damageEvent < 0 || event.type != damageEvent + XDamageNotify) {
        return false;
    }
    const auto& notify = reinterpret_cast<const XDamageNotifyEvent&>(event);
    const Rect r{ notify.area.x, notify.area.y, notify.area.width, notify.area.height };
    if (!empty(intersect(r, watched_))) {
        sawDamage_ = true;
        lastDamage_ = Clock::now();
    }
    return true;
}

bool RootScreen::waitSettled(Clock::time_point until, std::chrono::milliseconds nothingFor)
{
    // What the window covered is repainted by the server (the root's background), by the
    // programs beneath (on an expose) or by the compositor: wait until the repaints over the
    // area have stopped for a moment. Nothing at all repainting means nothing was shown there.
    const auto start = Clock::now();
    for (;;) {
        pump_();
        const auto now = Clock::now();
        if (sawDamage_ && now - lastDamage_ >= (screen_.composited ? kQuietComposited : kQuiet)) {
            return true;
        }
        if ((!sawDamage_ && now - start >= nothingFor) || now >= until) {
            return sawDamage_;
        }
        pollfd fd{ ConnectionNumber(d_), POLLIN, 0 };
        poll(&fd, 1, 1);
    }
}

void RootScreen::releaseSpare(Display* d, bool keepOne)
{
    auto spare = pool_->removeFree();
    if (keepOne) {
        // One free segment of the last large read's size stays: a new one costs far more than
        // the read itself (the pages are made ready on both sides: 0.2 s for a 4K screen).
        for (auto& segment : spare) {
            if (segment->bytes == lastLentBytes_) {
                std::lock_guard lock(pool_->mutex);
                pool_->segments.push_back(std::move(segment));
                break;
            }
        }
    }
    giveUp(d, spare);
    if (d && !spare.empty()) {
        XFlush(d);
    }
}

} // namespace ombrix::x11
