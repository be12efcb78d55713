#include "compositor_frame.h"

namespace ombrix::wayland
{

void placeFrame(const CompositorFrame& frame,
                const Rect& part,
                const Rect& area,
                int scale,
                Pixels& into)
{
    const Rect& shows = frame.shows;
    if (empty(part) || empty(shows) || frame.width <= 0 || frame.height <= 0) {
        return;
    }
    const int left = (part.x - area.x) * scale, top = (part.y - area.y) * scale;
    const int width = part.width * scale, height = part.height * scale;
    // Device pixels of the picture to the frame's, through the layout.
    const auto sourceOf = [scale](int offset, int i, int shown, int size) {
        return (static_cast<int64_t>(offset) * scale + i) * size /
               (static_cast<int64_t>(shown) * scale);
    };
    for (int y = 0; y < height; ++y) {
        int64_t from = sourceOf(part.y - shows.y, y, shows.height, frame.height);
        if (from < 0 || from >= frame.height) {
            continue;
        }
        if (frame.yInvert) {
            from = frame.height - 1 - from;
        }
        const auto* row = reinterpret_cast<const uint32_t*>(
          frame.pixels + from * static_cast<int64_t>(frame.stride));
        uint32_t* out = into.bits() + static_cast<size_t>(top + y) * into.width + left;
        for (int x = 0; x < width; ++x) {
            const int64_t at = sourceOf(part.x - shows.x, x, shows.width, frame.width);
            if (at < 0 || at >= frame.width) {
                continue;
            }
            uint32_t p = row[at];
            if (frame.redFirst) {
                p = (p & 0xFF00FF00u) | ((p >> 16) & 0xFFu) | ((p & 0xFFu) << 16);
            }
            out[x] = p | 0xFF000000u;
        }
    }
}

} // namespace ombrix::wayland
