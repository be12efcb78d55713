#pragma once
// A frame of the screen as a Wayland compositor hands it out, and its placing into a picture of
// the layout: shared by the screen copy and the screen cast. Arithmetic on memory only.

#include "platform.h"

#include <cstdint>

namespace ombrix::wayland
{

// A frame from the compositor: 32-bit pixels, rows top to bottom unless `yInvert`.
struct CompositorFrame {
    const uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
    bool redFirst = false; // bytes red, green, blue rather than blue, green, red
    bool yInvert = false;
    Rect shows{}; // the part of the layout that the frame shows
};

// Puts the `part` of the layout that `frame` shows into `into`, a picture of `area` at `scale`
// device pixels per layout pixel: pixel for pixel where the frame has that many, the nearest
// pixel otherwise.
void placeFrame(const CompositorFrame& frame,
                const Rect& part,
                const Rect& area,
                int scale,
                Pixels& into);

} // namespace ombrix::wayland
