#pragma once
// The grab: the desktop under one of our windows, as it shows without the window. One procedure
// for every system, over two small parts that each system (or desktop) supplies:
//   - a window hider takes the window off the screen for a moment without the window manager
//     noticing (X11: an empty shape; XWayland: see-through contents; Win32: an empty region),
//     and puts it back;
//   - a screen source reads the screen (the X11 root through shared memory, a Wayland
//     compositor's screen copy or the desktop portal's screen cast, Win32 BitBlt) and knows how
//     its screen tells that it has been repainted.
// The procedure: hide, wait until what the window covered has been repainted, read, read again
// while the picture still shows the window, put the window back.

#include "platform.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace ombrix::grab
{

using Clock = std::chrono::steady_clock;

// A pixel that the window paints opaque, in desktop coordinates, and its colour (0xRRGGBB): where
// a picture shows it there, the picture shows the window.
struct Telltale {
    int x = 0;
    int y = 0;
    uint32_t rgb = 0;
};

class WindowHider
{
public:
    virtual ~WindowHider() = default;

    // Pixels inside `area` (desktop coordinates) by which the window is known in a picture, read
    // from the window itself while it shows; none where the system has no cheap look at them.
    virtual std::vector<Telltale> telltales(const Rect& /*area*/) { return {}; }

    // Takes the window off the screen, keeping its place, size and state, once the display has
    // the change. False when the window was not on the screen (nothing to hide, nothing to wait
    // for). Throws PlatformError, leaving the window as it was, when it cannot.
    virtual bool hide() = 0;

    // Puts the window back as it was after a hide() that returned true; never throws.
    virtual void show() noexcept = 0;
};

class ScreenSource
{
public:
    virtual ~ScreenSource() = default;

    // Before the window leaves the screen: what may ask the user or take a while (a portal's
    // choice of monitors). Throws PlatformError.
    virtual void prepare(const Rect& /*area*/, Clock::time_point /*until*/) {}

    // Starts watching the repaints over `area`, just before the window leaves the screen.
    virtual void watch(const Rect& /*area*/) {}

    // After the hide: waits, at most until `until`, until what the window covered has been
    // repainted. `hidden` false: the window was not on the screen.
    virtual void settle(bool /*hidden*/, Clock::time_point /*until*/) {}

    // The picture still shows the window: asks the screen for a repaint where that helps and
    // waits for one, at most until `until`. False when the screen will show nothing new (no
    // point in reading again).
    virtual bool again(Clock::time_point /*until*/) { return true; }

    // Fills `into` with what the screen shows over `area`, black off every monitor. Returns the
    // picture's scale: its pixels per desktop pixel each way (1 where the desktop's pixels are
    // the device's; `into` is then area.width x area.height). Throws PlatformError, also when
    // the screen has not answered by `until`.
    virtual int read(const Rect& area, Pixels& into, Clock::time_point until) = 0;

    // The grab is over, whichever way it ended (a prepare() that threw included): the watch
    // ends, what was opened for the grab is closed. Never throws.
    virtual void finished() noexcept {}
};

// How long the procedure gives each step, counted from the moment the window left the screen
// (prepare: from the start).
struct Policy {
    std::chrono::milliseconds prepareAtMost{ 2000 };
    std::chrono::milliseconds settleAtMost{ 300 };
    std::chrono::milliseconds readAtMost{ 2000 };
    // Reads again while the picture still shows the window: at most this many times, and none
    // begun later than retryWithin after the hide.
    int retries = 3;
    std::chrono::milliseconds retryWithin{ 500 };
};

// Whether `picture`, of `area` at `scale`, shows one of the telltales.
bool stillShown(const std::vector<Telltale>& telltales,
                const Rect& area,
                const Pixels& picture,
                int scale);

// The desktop under the window that `hider` hides, over `area`, into `into`. The window is back
// and the source finished when this returns or throws. Returns the picture's scale.
int grabUnder(WindowHider& hider,
              ScreenSource& source,
              const Rect& area,
              Pixels& into,
              GrabTimes* times,
              const Policy& policy = {});

} // namespace ombrix::grab
