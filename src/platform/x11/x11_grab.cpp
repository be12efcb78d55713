#include "x11_grab.h"

#include "pixel_rows.h"
#include "x11_connection.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/shape.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

namespace ombrix::x11
{

namespace
{

using Clock = std::chrono::steady_clock;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Reads at least this many bytes go straight into a segment that the picture then keeps.
constexpr size_t kLendFrom = 1 << 20;

PixelFormat formatOf(const XImage* image)
{
    PixelFormat f;
    f.bitsPerPixel = image->bits_per_pixel;
    f.redMask = static_cast<uint32_t>(image->red_mask);
    f.greenMask = static_cast<uint32_t>(image->green_mask);
    f.blueMask = static_cast<uint32_t>(image->blue_mask);
    f.msbFirst = image->byte_order == MSBFirst;
    return f;
}

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

// Converts an image the server sent into our pixels at `out`, rows `stride` pixels apart.
void convertImage(const XImage* image, uint32_t* out, size_t stride)
{
    convertRows(reinterpret_cast<const unsigned char*>(image->data),
                static_cast<size_t>(image->bytes_per_line),
                formatOf(image),
                image->width,
                image->height,
                out,
                stride);
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

// The window and the window manager's frame around it: the ancestor just below the root.
Window frameOf(Display* d, Window window)
{
    Window current = window;
    for (int depth = 0; depth < 16; ++depth) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned int count = 0;
        ErrorTrap trap(d);
        const Status ok = XQueryTree(d, current, &root, &parent, &children, &count);
        if (children) {
            XFree(children);
        }
        if (!ok || trap.failed() || parent == root || parent == 0) {
            break;
        }
        current = parent;
    }
    return current;
}

// A window's bounding shape as the server holds it; `shaped` false: the window's own rectangle.
struct Shape {
    bool shaped = false;
    int ordering = Unsorted;
    std::vector<XRectangle> rects;
};

Shape shapeOf(Display* d, Window window)
{
    Shape shape;
    ErrorTrap trap(d);
    int bShaped = 0, cShaped = 0, x = 0, y = 0, cx = 0, cy = 0;
    unsigned int w = 0, h = 0, cw = 0, ch = 0;
    XShapeQueryExtents(d, window, &bShaped, &x, &y, &w, &h, &cShaped, &cx, &cy, &cw, &ch);
    shape.shaped = bShaped;
    if (shape.shaped) {
        int count = 0;
        XRectangle* rects = XShapeGetRectangles(d, window, ShapeBounding, &count, &shape.ordering);
        if (rects) {
            shape.rects.assign(rects, rects + count);
            XFree(rects);
        }
    }
    return shape;
}

// A window's bounding shape emptied while the window is off the screen, and put back after.
class HiddenShape
{
public:
    HiddenShape(Display* d, Window window, Shape kept)
      : d_(d)
      , window_(window)
      , kept_(std::move(kept))
    {
        ErrorTrap trap(d);
        XShapeCombineRectangles(d, window, ShapeBounding, 0, 0, nullptr, 0, ShapeSet, YXBanded);
        valid_ = !trap.failed();
    }

    ~HiddenShape()
    {
        if (!valid_) {
            return;
        }
        ErrorTrap trap(d_);
        if (kept_.shaped) {
            XShapeCombineRectangles(d_,
                                    window_,
                                    ShapeBounding,
                                    0,
                                    0,
                                    kept_.rects.data(),
                                    static_cast<int>(kept_.rects.size()),
                                    ShapeSet,
                                    kept_.ordering);
        } else {
            XShapeCombineMask(d_, window_, ShapeBounding, 0, 0, None, ShapeSet);
        }
    }

    HiddenShape(const HiddenShape&) = delete;
    HiddenShape& operator=(const HiddenShape&) = delete;

private:
    Display* d_;
    Window window_;
    Shape kept_;
    bool valid_ = false;
};

// The window's attributes while it is on the screen (mapped, and its parents too); none
// otherwise, or when it has gone.
std::optional<XWindowAttributes> viewableAttributes(Display* d, Window window)
{
    ErrorTrap trap(d);
    XWindowAttributes attributes;
    if (XGetWindowAttributes(d, window, &attributes) && !trap.failed() &&
        attributes.map_state == IsViewable) {
        return attributes;
    }
    return std::nullopt;
}

// A window made wholly see-through for a moment, for a display server that draws it as its
// pixels say (XWayland under a Wayland compositor, which knows nothing of its shape): its
// contents are kept aside and put back after. Nothing changes for the window manager, which
// would place a window that had been unmapped afresh. A window without alpha is unmapped
// instead: it can only be ours and override-redirect there, which no manager places.
class SeeThroughWindow
{
public:
    SeeThroughWindow(Display* d, Window window, const XWindowAttributes& attributes)
      : d_(d)
      , window_(window)
    {
        ErrorTrap trap(d);
        if (attributes.width <= 0 || attributes.height <= 0) {
            return;
        }
        if (attributes.depth != 32) {
            XUnmapWindow(d, window);
            unmapped_ = !trap.failed();
            return;
        }
        const auto w = static_cast<unsigned>(attributes.width);
        const auto h = static_cast<unsigned>(attributes.height);
        kept_ = XCreatePixmap(d, window, w, h, 32);
        gc_ = XCreateGC(d, kept_, 0, nullptr);
        XCopyArea(d, window, kept_, gc_, 0, 0, w, h, 0, 0);
        XSetForeground(d, gc_, 0); // no colour and no alpha
        XFillRectangle(d, window, gc_, 0, 0, w, h);
        width_ = w;
        height_ = h;
        if (trap.failed()) {
            release();
        }
    }

    ~SeeThroughWindow()
    {
        ErrorTrap trap(d_);
        if (unmapped_) {
            XMapWindow(d_, window_);
        } else if (kept_ != None) {
            XCopyArea(d_, kept_, window_, gc_, 0, 0, width_, height_, 0, 0);
        }
        release();
    }

    SeeThroughWindow(const SeeThroughWindow&) = delete;
    SeeThroughWindow& operator=(const SeeThroughWindow&) = delete;

private:
    void release()
    {
        if (gc_) {
            XFreeGC(d_, gc_);
            gc_ = nullptr;
        }
        if (kept_ != None) {
            XFreePixmap(d_, kept_);
            kept_ = None;
        }
    }

    Display* d_;
    Window window_;
    Pixmap kept_ = None;
    GC gc_ = nullptr;
    unsigned width_ = 0, height_ = 0;
    bool unmapped_ = false;
};

// While a grab waits for what the window covered to be repainted.
constexpr auto kQuiet = std::chrono::milliseconds(10);      // no repaint for this long: done
constexpr auto kNothingFor = std::chrono::milliseconds(60); // no repaint at all: done
constexpr auto kSettledAtMost = std::chrono::milliseconds(300);
// While the window's opaque pixels are still on the screen.
constexpr int kStillShownRounds = 3;
constexpr auto kRepaintWithin = std::chrono::milliseconds(150);
constexpr auto kStillShownAtMost = std::chrono::milliseconds(500);
constexpr size_t kPartsAtMost = 32;
// A Wayland compositor's copies: rounds, the time between two, and how long one may take.
constexpr int kCompositorRounds = 30;
constexpr auto kCompositorFrame = std::chrono::milliseconds(8);
constexpr auto kCompositorAtMost = std::chrono::milliseconds(2000);
constexpr size_t kOpaqueAtMost = 1 << 16;

// A pixel that the window covers wholly, in root coordinates, and its colour.
struct OpaquePixel {
    int x = 0;
    int y = 0;
    uint32_t rgb = 0;
};

// The pixels inside the area that the window paints opaque (its shape's rectangles, read from
// the window itself): where the screen shows them, the window is on the screen.
std::vector<OpaquePixel> opaqueInside(Display* d,
                                      Window window,
                                      const Shape& shape,
                                      const Rect& at,
                                      const Rect& area)
{
    std::vector<OpaquePixel> pixels;
    if (!shape.shaped) {
        return pixels; // the whole window: no cheap look at it
    }
    size_t parts = 0;
    std::vector<uint32_t> rgb;
    for (const XRectangle& r : shape.rects) {
        const Rect part = intersect(Rect{ at.x + r.x, at.y + r.y, r.width, r.height }, area);
        if (empty(part)) {
            continue;
        }
        if (++parts > kPartsAtMost || pixels.size() >= kOpaqueAtMost) {
            break;
        }
        ErrorTrap trap(d);
        XImage* image = XGetImage(d,
                                  window,
                                  part.x - at.x,
                                  part.y - at.y,
                                  static_cast<unsigned>(part.width),
                                  static_cast<unsigned>(part.height),
                                  AllPlanes,
                                  ZPixmap);
        if (trap.failed() || !image || !isConvertible(formatOf(image))) {
            if (image) {
                XDestroyImage(image);
            }
            continue;
        }
        rgb.resize(static_cast<size_t>(part.width) * part.height);
        convertImage(image, rgb.data(), static_cast<size_t>(part.width));
        // Bits outside the colour masks carry the alpha of a window with one.
        const unsigned long colour = image->red_mask | image->green_mask | image->blue_mask;
        const unsigned long alpha = image->depth == 32 ? ~colour & 0xFFFFFFFFul : 0ul;
        for (int y = 0; y < part.height; ++y) {
            for (int x = 0; x < part.width; ++x) {
                if ((XGetPixel(image, x, y) & alpha) == alpha) {
                    pixels.push_back({ part.x + x,
                                       part.y + y,
                                       rgb[static_cast<size_t>(y) * part.width + x] & 0xFFFFFFu });
                }
            }
        }
        XDestroyImage(image);
    }
    return pixels;
}

// Whether the screen, as read into `into` at `area`, still shows the window: most of its opaque
// pixels there are its own colour. (A desktop of the same colour under some of them does no
// harm: it is what the picture shows either way.)
// A picture at `scale` has `scale` x `scale` device pixels for each root pixel.
bool stillShown(const std::vector<OpaquePixel>& opaque,
                const Rect& area,
                const Pixels& into,
                int scale = 1)
{
    size_t same = 0;
    for (const OpaquePixel& p : opaque) {
        const uint32_t now = into.bits()[static_cast<size_t>(p.y - area.y) * scale * into.width +
                                         static_cast<size_t>(p.x - area.x) * scale];
        same += (now & 0xFFFFFFu) == p.rgb;
    }
    return !opaque.empty() && 2 * same > opaque.size();
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

void Grabber::detach(Display* d)
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

bool Grabber::shmUsable(Display* d)
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

void Grabber::stopSharing(const char* why)
{
    shm_ = 0; // the server refused once; do not ask again
    logFallback(LogArea::Capture,
                std::string("shared memory switched off (") + why +
                  "): the screen is read through the connection from now on");
}

SegmentPool::Segment* Grabber::takeSegment(Display* d, size_t bytes, bool* fresh)
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

void Grabber::read(Display* d, const ScreenLayout& screen, const Rect& area, Pixels& into)
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

bool Grabber::readLent(Display* d, const Rect& inRoot, const Rect& area, Pixels& into)
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

void Grabber::readInto(Display* d, const Rect& inRoot, const Rect& area, uint32_t* bits)
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

bool Grabber::readScratch(Display* d, const Rect& part, uint32_t* out, size_t stride)
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

void Grabber::warmUp(Display* d,
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

Rect Grabber::windowArea(Display* d, Window window)
{
    ErrorTrap trap(d);
    Window root = 0, child = 0;
    int x = 0, y = 0, rx = 0, ry = 0;
    unsigned int w = 0, h = 0, border = 0, depth = 0;
    if (!XGetGeometry(d, window, &root, &x, &y, &w, &h, &border, &depth) ||
        !XTranslateCoordinates(d, window, root, 0, 0, &rx, &ry, &child) || trap.failed()) {
        return {};
    }
    return { rx, ry, static_cast<int>(w), static_cast<int>(h) };
}

void Grabber::queryExtensions(Display* d)
{
    if (shape_ < 0) {
        int event = 0, error = 0;
        shape_ = XShapeQueryExtension(d, &event, &error) ? 1 : 0;
        damage_ = XDamageQueryExtension(d, &damageEvent_, &error) ? 1 : 0;
    }
}

void Grabber::grabUnder(Display* d,
                        const ScreenLayout& screen,
                        Window window,
                        const Rect& area,
                        Pixels& into,
                        GrabTimes* times,
                        const std::function<void()>& pump)
{
    queryExtensions(d);
    const bool viewable = viewableAttributes(d, window).has_value();
    Damage damage = None;
    if (viewable && damage_ == 1) {
        // Every repaint of the screen from now on, the compositor's included.
        damage = XDamageCreate(d, DefaultRootWindow(d), XDamageReportRawRectangles);
    }
    watched_ = area;
    sawDamage_ = false;
    {
        std::vector<OpaquePixel> opaque;
        std::unique_ptr<HiddenShape> frame, client; // put back in the reverse order
        if (viewable && shape_ == 1) {
            Shape own = shapeOf(d, window);
            if (damage != None && screen.composited) {
                opaque =
                  opaqueInside(d, window, own, windowArea(d, window), intersect(area, screen.root));
            }
            // The frame first: shaped alone, the window would leave the window manager's
            // frame showing its background for a moment.
            const Window top = frameOf(d, window);
            if (top != window) {
                frame = std::make_unique<HiddenShape>(d, top, shapeOf(d, top));
            }
            client = std::make_unique<HiddenShape>(d, window, std::move(own));
        }
        XSync(d, False);
        const auto hiddenAt = Clock::now();
        if (times) {
            times->hidden = nowNs();
        }
        // The read's memory is made ready while what the window covered repaints.
        const size_t bytes =
          static_cast<size_t>(std::max(area.width, 0)) * std::max(area.height, 0) * 4;
        if (!into.lent && into.argb.empty() && bytes >= kLendFrom && shmUsable(d) && !prepared_) {
            bool fresh = false;
            prepared_ = takeSegment(d, bytes, &fresh);
            if (prepared_ && fresh) {
                warmUp(d, screen, area, *prepared_);
            }
        }
        if (viewable) {
            if (damage != None) {
                waitSettled(d, pump, hiddenAt + kSettledAtMost, kNothingFor);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        if (times) {
            times->settled = nowNs();
        }
        read(d, screen, area, into);
        // A compositing manager repaints when its turn comes, which on a busy machine can be
        // after the quiet that follows the server's own repaint; a repaint it had begun before
        // the window went shows the window; and one (xcompmgr) sometimes repaints less than the
        // window covered. While the window's opaque pixels are on the screen, the area is
        // exposed on the root (which most compositing managers repaint, in turn after the
        // window's change) and a repaint is waited for, a few times at most: a desktop of the
        // window's colour there looks the same.
        for (int round = 0; round < kStillShownRounds && stillShown(opaque, area, into) &&
                            Clock::now() < hiddenAt + kStillShownAtMost;
             ++round) {
            logFallback(LogArea::Capture,
                        "the window still shows after the repaints stopped: the area is exposed "
                        "for the compositing manager (round " +
                          std::to_string(round + 1) + ")");
            const Rect shown = intersect(area, screen.root);
            XClearArea(d,
                       DefaultRootWindow(d),
                       shown.x,
                       shown.y,
                       static_cast<unsigned>(shown.width),
                       static_cast<unsigned>(shown.height),
                       True);
            XFlush(d);
            sawDamage_ = false;
            if (!waitSettled(d, pump, hiddenAt + kStillShownAtMost, kRepaintWithin)) {
                break; // nothing repainted there: the screen shows what it will show
            }
            if (times) {
                times->settled = nowNs();
            }
            read(d, screen, area, into);
        }
        if (times) {
            times->read = nowNs();
        }
        // The shapes come back here, the window's before its frame's.
    }
    if (damage != None) {
        XDamageDestroy(d, damage);
    }
    XFlush(d);
    pump();
    if (times) {
        times->shown = nowNs();
    }
}

void Grabber::grabUnderCompositor(Display* d,
                                  const ScreenLayout& screen,
                                  Window window,
                                  const Rect& area,
                                  Pixels& into,
                                  GrabTimes* times,
                                  wayland::CompositorScreen& compositor)
{
    // What may ask the user (which monitors to share) comes while the window still shows.
    compositor.prepare(screen.monitors, Clock::now() + kCompositorAtMost);
    struct Finish {
        wayland::CompositorScreen& source;
        ~Finish() { source.finished(); }
    } finish{ compositor };
    queryExtensions(d);
    const std::optional<XWindowAttributes> viewable = viewableAttributes(d, window);
    std::vector<OpaquePixel> opaque;
    if (viewable && shape_ == 1) {
        opaque = opaqueInside(d, window, shapeOf(d, window), windowArea(d, window), area);
    }
    {
        std::optional<SeeThroughWindow> hidden;
        if (viewable) {
            hidden.emplace(d, window, *viewable);
        }
        XSync(d, False);
        const auto hiddenAt = Clock::now();
        if (times) {
            times->hidden = nowNs();
            times->settled = times->hidden;
        }
        // The compositor shows the window's change when XWayland has passed it on and an output
        // frame has been drawn since; a copy taken before that still shows the window. Frames
        // come some 16 ms apart.
        const int scale = compositor.scaleOver(area);
        compositor.read(area, into, hiddenAt + kCompositorAtMost);
        for (int round = 0; round < kCompositorRounds && stillShown(opaque, area, into, scale) &&
                            Clock::now() < hiddenAt + kStillShownAtMost;
             ++round) {
            std::this_thread::sleep_for(kCompositorFrame);
            if (times) {
                times->settled = nowNs();
            }
            compositor.read(area, into, hiddenAt + kCompositorAtMost);
        }
        if (stillShown(opaque, area, into, scale)) {
            logFallback(LogArea::Capture,
                        "the Wayland compositor still showed the window half a second after it "
                        "was hidden");
        }
        if (times) {
            times->read = nowNs();
        }
    }
    XFlush(d);
    if (times) {
        times->shown = nowNs();
    }
}

bool Grabber::takeEvent(const XEvent& event)
{
    if (damageEvent_ < 0 || event.type != damageEvent_ + XDamageNotify) {
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

bool Grabber::waitSettled(Display* d,
                          const std::function<void()>& pump,
                          std::chrono::steady_clock::time_point until,
                          std::chrono::milliseconds nothingFor)
{
    // What the window covered is repainted by the server (the root's background), by the
    // programs beneath (on an expose) or by the compositor: wait until the repaints over the
    // area have stopped for a moment. Nothing at all repainting means nothing was shown there.
    const auto start = Clock::now();
    for (;;) {
        pump();
        const auto now = Clock::now();
        if (sawDamage_ && now - lastDamage_ >= kQuiet) {
            return true;
        }
        if ((!sawDamage_ && now - start >= nothingFor) || now >= until) {
            return sawDamage_;
        }
        pollfd fd{ ConnectionNumber(d), POLLIN, 0 };
        poll(&fd, 1, 1);
    }
}

bool Grabber::setShape(Display* d, Window window, const std::vector<Rect>& parts)
{
    queryExtensions(d);
    if (shape_ != 1) {
        return false;
    }
    std::vector<XRectangle> rects;
    rects.reserve(parts.size());
    for (const Rect& r : parts) {
        if (r.width > 0 && r.height > 0) {
            rects.push_back({ static_cast<short>(r.x),
                              static_cast<short>(r.y),
                              static_cast<unsigned short>(r.width),
                              static_cast<unsigned short>(r.height) });
        }
    }
    // No wait for the server's answer: the window is ours and alive, and the shape changes with
    // every hover where no compositing manager runs.
    XShapeCombineRectangles(d,
                            window,
                            ShapeBounding,
                            0,
                            0,
                            rects.data(),
                            static_cast<int>(rects.size()),
                            ShapeSet,
                            Unsorted);
    return true;
}

void Grabber::releaseSpare(Display* d, bool keepOne)
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
