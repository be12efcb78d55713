#include "x11_hiders.h"

#include "x11_connection.h"
#include "x11_image.h"

#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include <optional>
#include <utility>

namespace ombrix::x11
{

namespace
{

// The telltales read from a window: at most so many of its shape's rectangles, and pixels.
constexpr size_t kPartsAtMost = 32;
constexpr size_t kOpaqueAtMost = 1 << 16;

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

// The pixels inside the area that the window paints opaque (its shape's rectangles, read from
// the window itself): where the screen shows them, the window is on the screen.
std::vector<grab::Telltale> opaqueInside(Display* d,
                                         Window window,
                                         const Shape& shape,
                                         const Rect& at,
                                         const Rect& area)
{
    std::vector<grab::Telltale> pixels;
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
    const Look& window = look();
    if (!window.viewable || !extensions(d_).shape) {
        return {};
    }
    return opaqueInside(d_, window_, window.shape, windowArea(d_, window_), intersect(area, root_));
}

// The contents come back first, then the shapes, the window's before its frame's, as the
// members go.
ShapeHider::ShapeHider(Display* d, Window window, const Rect& root, bool composited)
  : WindowHider(d, window, root)
  , composited_(composited)
{
}

ShapeHider::~ShapeHider() = default;

std::vector<grab::Telltale> ShapeHider::telltales(const Rect& area)
{
    return composited_ ? WindowHider::telltales(area) : std::vector<grab::Telltale>{};
}

bool ShapeHider::hide()
{
    const Look& window = look();
    if (!window.viewable) {
        return false;
    }
    // Under a compositing manager a window with alpha is made see-through, and keeps its
    // shape: mutter paints a window whose shape went empty as it last saw it, see-through or
    // not, until the shape comes back.
    const bool seeThrough = composited_ && window.viewable->depth == 32;
    if (extensions(d_).shape) {
        // The frame first: shaped alone, the window would leave the window manager's frame
        // showing its background for a moment.
        const Window top = frameOf(d_, window_);
        if (top != window_) {
            frame_ = std::make_unique<HiddenShape>(d_, top, shapeOf(d_, top));
        }
        if (!seeThrough) {
            client_ = std::make_unique<HiddenShape>(d_, window_, window.shape);
        }
    }
    if (seeThrough) {
        contents_ = std::make_unique<SeeThroughWindow>(d_, window_, *window.viewable, false);
    }
    XSync(d_, False);
    return true;
}

void ShapeHider::show() noexcept
{
    contents_.reset();
    client_.reset();
    frame_.reset();
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
