#include "x11_hiders.h"

#include "x11_connection.h"
#include "x11_image.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace ombrix::x11
{

namespace
{

// The telltales read from a window: at most so many of its shape's rectangles, and pixels.
constexpr size_t kPartsAtMost = 32;
constexpr size_t kOpaqueAtMost = 1 << 16;
// Where a window has no shape: the blocks at the area's corners that are looked at.
constexpr int kCornerWidth = 128;
constexpr int kCornerHeight = 64;

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

// Where to look for the window inside the area: its shape's rectangles; a window without a
// shape, near the area's corners, where a frame's controls stand (a whole maximised window would
// cost a read of megabytes).
std::vector<Rect> placesToLook(const Shape& shape, const Rect& at, const Rect& area)
{
    std::vector<Rect> parts;
    if (shape.shaped) {
        for (const XRectangle& r : shape.rects) {
            const Rect part = intersect(Rect{ at.x + r.x, at.y + r.y, r.width, r.height }, area);
            if (!empty(part) && parts.size() < kPartsAtMost) {
                parts.push_back(part);
            }
        }
        return parts;
    }
    const Rect inside = intersect(at, area);
    const int w = std::min(inside.width, kCornerWidth), h = std::min(inside.height, kCornerHeight);
    const int right = inside.x + inside.width - w, bottom = inside.y + inside.height - h;
    for (const Rect& corner : { Rect{ inside.x, inside.y, w, h },
                                Rect{ right, inside.y, w, h },
                                Rect{ inside.x, bottom, w, h },
                                Rect{ right, bottom, w, h } }) {
        // Corners of a small area overlap: each pixel is looked at once.
        Rect part = corner;
        if (corner.x == right && right < inside.x + w) {
            part = intersect(part, Rect{ inside.x + w, part.y, part.width, part.height });
        }
        if (corner.y == bottom && bottom < inside.y + h) {
            part = intersect(part, Rect{ part.x, inside.y + h, part.width, part.height });
        }
        if (!empty(part)) {
            parts.push_back(part);
        }
    }
    return parts;
}

// Whether the screen's pixel can be the window's (its colour premultiplied by `alpha`, as X
// windows with alpha hold it) blended over some desktop: every channel between the window's
// own and that plus what the window leaves through. One that cannot tells of a compositing
// manager still showing an older look of the window there, and is no telltale.
bool showsWindow(uint32_t screen, uint32_t own, int alpha)
{
    constexpr int kSlack = 2; // the manager's rounding
    const int through = 0xFF - alpha;
    for (const int shift : { 0, 8, 16 }) {
        const int s = static_cast<int>((screen >> shift) & 0xFF);
        const int c = static_cast<int>((own >> shift) & 0xFF);
        if (s < c - kSlack || s > c + through + kSlack) {
            return false;
        }
    }
    return true;
}

// An image of `part` (root coordinates) of `drawable`, which stands at `at`; null when the
// server refuses it or sends what we cannot read.
XImage* imageOf(Display* d, Drawable drawable, const Rect& at, const Rect& part)
{
    ErrorTrap trap(d);
    XImage* image = XGetImage(d,
                              drawable,
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
        return nullptr;
    }
    return image;
}

// The telltales of a window inside the area, the pixels by which a picture shows it:
//   - fromScreen false: where it paints opaque, its own colours (read from the window itself:
//     under XWayland the root holds nothing else);
//   - fromScreen true: wherever it paints at all, even half see-through, what the screen shows
//     there now (a compositing manager blends the window over the desktop: those pixels change
//     once it has gone, whatever the window's own colours).
std::vector<grab::Telltale> telltalesInside(Display* d,
                                            Window window,
                                            const Shape& shape,
                                            const Rect& at,
                                            const Rect& area,
                                            bool fromScreen)
{
    std::vector<grab::Telltale> pixels;
    if (!shape.shaped && !fromScreen) {
        return pixels; // the whole window, opaque: nothing tells it from what it covers
    }
    std::vector<uint32_t> rgb, ownRgb;
    for (const Rect& part : placesToLook(shape, at, area)) {
        if (pixels.size() >= kOpaqueAtMost) {
            break;
        }
        XImage* own = imageOf(d, window, at, part);
        if (!own) {
            continue;
        }
        XImage* screen = fromScreen ? imageOf(d, DefaultRootWindow(d), Rect{}, part) : own;
        if (!screen) {
            XDestroyImage(own);
            continue;
        }
        const size_t count = static_cast<size_t>(part.width) * part.height;
        rgb.resize(count);
        convertImage(screen, rgb.data(), static_cast<size_t>(part.width));
        ownRgb.resize(count);
        convertImage(own, ownRgb.data(), static_cast<size_t>(part.width));
        // Bits outside the colour masks carry the alpha of a window with one.
        const unsigned long colour = own->red_mask | own->green_mask | own->blue_mask;
        const unsigned long alphaMask = own->depth == 32 ? ~colour & 0xFFFFFFFFul : 0ul;
        const int alphaShift = alphaMask ? __builtin_ctzl(alphaMask) : 0;
        for (int y = 0; y < part.height; ++y) {
            for (int x = 0; x < part.width; ++x) {
                const size_t i = static_cast<size_t>(y) * part.width + x;
                const unsigned long raw = XGetPixel(own, x, y);
                const int alpha =
                  alphaMask ? static_cast<int>((raw & alphaMask) >> alphaShift) & 0xFF : 0xFF;
                const bool keep =
                  fromScreen ? alpha != 0 && showsWindow(rgb[i], ownRgb[i], alpha) : alpha == 0xFF;
                if (keep) {
                    pixels.push_back({ part.x + x, part.y + y, rgb[i] & 0xFFFFFFu });
                }
            }
        }
        if (screen != own) {
            XDestroyImage(screen);
        }
        XDestroyImage(own);
    }
    return pixels;
}

} // namespace

Rect windowArea(Display* d, Window window)
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

int windowBorder(Display* d, Window window)
{
    ErrorTrap trap(d);
    Window root = 0;
    int x = 0, y = 0;
    unsigned int w = 0, h = 0, border = 0, depth = 0;
    if (!XGetGeometry(d, window, &root, &x, &y, &w, &h, &border, &depth) || trap.failed()) {
        return 0;
    }
    return static_cast<int>(border);
}

bool setWindowShape(Display* d, Window window, const std::vector<Rect>& parts)
{
    if (!extensions(d).shape) {
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

// A window's bounding shape emptied while the window is off the screen, and put back after.
class ShapeHider::HiddenShape
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

// A window made wholly see-through for a moment, for whoever draws it as its pixels say: a
// Wayland compositor under XWayland, which knows nothing of X shapes, and a compositing manager
// that paints windows by their contents whatever their shape (mutter). Its contents are kept
// aside and put back after. Nothing changes for the window manager, which would place a window
// that had been unmapped afresh, nor for a compositing manager that fades a window whose
// opacity changes. A window without alpha cannot be made see-through: it is unmapped instead
// where `unmapWithoutAlpha` allows (under XWayland it can only be ours and override-redirect,
// which no manager places), and left as it is otherwise.
class SeeThroughWindow
{
public:
    SeeThroughWindow(Display* d,
                     Window window,
                     const XWindowAttributes& attributes,
                     bool unmapWithoutAlpha)
      : d_(d)
      , window_(window)
    {
        ErrorTrap trap(d);
        if (attributes.width <= 0 || attributes.height <= 0) {
            return;
        }
        if (attributes.depth != 32) {
            if (!unmapWithoutAlpha) {
                return;
            }
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

// A window made wholly transparent through the property by which compositing managers fade
// windows (_NET_WM_WINDOW_OPACITY), and its opacity put back after. mutter takes a window off
// its picture so within a frame, even while it holds back the window's new contents (during its
// animations, or until the program answers a resize); a manager that fades a change of opacity
// would leave half a window in the picture, so it is not for every manager.
class HiddenOpacity
{
public:
    HiddenOpacity(Display* d, Window window)
      : d_(d)
      , window_(window)
      , atom_(XInternAtom(d, "_NET_WM_WINDOW_OPACITY", False))
    {
        ErrorTrap trap(d);
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(
              d, window, atom_, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
              Success &&
            data && format == 32 && count == 1) {
            kept_ = *reinterpret_cast<unsigned long*>(data);
        }
        if (data) {
            XFree(data);
        }
        const unsigned long none = 0;
        XChangeProperty(d,
                        window,
                        atom_,
                        XA_CARDINAL,
                        32,
                        PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&none),
                        1);
    }

    ~HiddenOpacity()
    {
        ErrorTrap trap(d_);
        if (kept_) {
            XChangeProperty(d_,
                            window_,
                            atom_,
                            XA_CARDINAL,
                            32,
                            PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&*kept_),
                            1);
        } else {
            XDeleteProperty(d_, window_, atom_);
        }
    }

    HiddenOpacity(const HiddenOpacity&) = delete;
    HiddenOpacity& operator=(const HiddenOpacity&) = delete;

private:
    Display* d_;
    Window window_;
    Atom atom_;
    std::optional<unsigned long> kept_;
};

struct WindowHider::Look {
    std::optional<XWindowAttributes> viewable;
    Shape shape;
};

WindowHider::WindowHider(Display* d, Window window, const Rect& root)
  : d_(d)
  , window_(window)
  , root_(root)
{
}

WindowHider::~WindowHider() = default;

const WindowHider::Look& WindowHider::look()
{
    if (!look_) {
        look_ = std::make_unique<Look>();
        look_->viewable = viewableAttributes(d_, window_);
        if (look_->viewable && extensions(d_).shape) {
            look_->shape = shapeOf(d_, window_);
        }
    }
    return *look_;
}

std::vector<grab::Telltale> WindowHider::telltales(const Rect& area)
{
    return telltalesOf(area, false);
}

std::vector<grab::Telltale> WindowHider::telltalesOf(const Rect& area, bool fromScreen)
{
    const Look& window = look();
    if (!window.viewable || !extensions(d_).shape) {
        return {};
    }
    return telltalesInside(
      d_, window_, window.shape, windowArea(d_, window_), intersect(area, root_), fromScreen);
}

// What was hidden comes back in the reverse order.
ShapeHider::ShapeHider(Display* d, Window window, const Rect& root, bool composited, bool byOpacity)
  : WindowHider(d, window, root)
  , composited_(composited)
  , byOpacity_(composited && byOpacity)
{
}

ShapeHider::~ShapeHider() = default;

std::vector<grab::Telltale> ShapeHider::telltales(const Rect& area)
{
    return composited_ ? telltalesOf(area, true) : std::vector<grab::Telltale>{};
}

bool ShapeHider::hide()
{
    const Look& window = look();
    if (!window.viewable) {
        return false;
    }
    // Under a compositing manager a window with alpha is made see-through as well (some paint a
    // window by its contents whatever its shape), its contents kept aside while it still has
    // its shape: a window without one has no contents to keep where nobody composites.
    if (composited_ && window.viewable->depth == 32) {
        contents_ = std::make_unique<SeeThroughWindow>(d_, window_, *window.viewable, false);
    }
    if (extensions(d_).shape) {
        // The frame first: shaped alone, the window would leave the window manager's frame
        // showing its background for a moment.
        const Window top = frameOf(d_, window_);
        if (top != window_) {
            frame_ = std::make_unique<HiddenShape>(d_, top, shapeOf(d_, top));
        }
        client_ = std::make_unique<HiddenShape>(d_, window_, window.shape);
    }
    if (byOpacity_) {
        opacity_ = std::make_unique<HiddenOpacity>(d_, window_);
    }
    XSync(d_, False);
    return true;
}

void ShapeHider::show() noexcept
{
    // In the reverse order: the contents go back once the window has its shape again.
    opacity_.reset();
    client_.reset();
    frame_.reset();
    contents_.reset();
    XFlush(d_);
}

// The window's contents come back as the member goes.
SeeThroughHider::SeeThroughHider(Display* d, Window window, const Rect& root)
  : WindowHider(d, window, root)
{
}

SeeThroughHider::~SeeThroughHider() = default;

bool SeeThroughHider::hide()
{
    const Look& window = look();
    if (!window.viewable) {
        return false;
    }
    hidden_ = std::make_unique<SeeThroughWindow>(d_, window_, *window.viewable, true);
    XSync(d_, False);
    return true;
}

void SeeThroughHider::show() noexcept
{
    hidden_.reset();
    XFlush(d_);
}

} // namespace ombrix::x11
