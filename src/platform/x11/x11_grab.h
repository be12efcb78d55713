#pragma once
// Reading the screen: blocks of the root window in device pixels, through memory shared with
// the server (MIT-SHM) where it offers it, in any TrueColor format; and the grab under one of
// our windows, which takes the window off the screen without unmapping it (its bounding shape
// emptied, so the window manager keeps its place, size and state) and waits until what it
// covered has been repainted (XDamage on the root: quiet for a moment).

#include "platform.h"
#include "wayland_screen.h"
#include "x11_screen.h"

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace ombrix::x11
{

// Shared-memory segments, some lent to pictures that keep them: a segment comes back when the
// last picture holding it goes, on whichever thread that happens.
class SegmentPool
{
public:
    struct Segment {
        XShmSegmentInfo info{};
        size_t bytes = 0;
        bool lent = false;
    };

    ~SegmentPool();
    void giveBack(const void* address);
    // Takes every segment not lent out of the pool.
    std::vector<std::unique_ptr<Segment>> removeFree();

    std::mutex mutex;
    std::vector<std::unique_ptr<Segment>> segments;
};

class Grabber
{
public:
    // Fills `into` (sized by the caller) with the block at `area`; black off every monitor.
    void read(Display* d, const ScreenLayout& screen, const Rect& area, Pixels& into);

    Rect windowArea(Display* d, Window window);

    // `pump` takes the events waiting on the connection and hands each to takeEvent().
    void grabUnder(Display* d,
                   const ScreenLayout& screen,
                   Window window,
                   const Rect& area,
                   Pixels& into,
                   GrabTimes* times,
                   const std::function<void()>& pump);

    // The same where a Wayland compositor draws the screen (under XWayland): the window is made
    // see-through and the picture is the compositor's, taken again until the window has gone
    // from it.
    void grabUnderCompositor(Display* d,
                             const ScreenLayout& screen,
                             Window window,
                             const Rect& area,
                             Pixels& into,
                             GrabTimes* times,
                             wayland::CompositorScreen& compositor);

    bool takeEvent(const XEvent& event);

    bool setShape(Display* d, Window window, const std::vector<Rect>& parts);

    // Gives up the segments that are not lent; with `keepOne`, all but one of the size of the
    // last large read, which the next grab of the same frame takes.
    void releaseSpare(Display* d, bool keepOne);

    // Forgets the connection's resources before it closes.
    void detach(Display* d);

private:
    // Asks once whether the server shapes windows and reports repaints.
    void queryExtensions(Display* d);
    bool shmUsable(Display* d);
    void stopSharing(const char* why);
    SegmentPool::Segment* takeSegment(Display* d, size_t bytes, bool* fresh = nullptr);
    void warmUp(Display* d,
                const ScreenLayout& screen,
                const Rect& area,
                SegmentPool::Segment& segment);
    bool readLent(Display* d, const Rect& inRoot, const Rect& area, Pixels& into);
    void readInto(Display* d, const Rect& inRoot, const Rect& area, uint32_t* bits);
    bool readScratch(Display* d, const Rect& part, uint32_t* out, size_t stride);
    // True when it ended on a quiet moment after repaints.
    bool waitSettled(Display* d,
                     const std::function<void()>& pump,
                     std::chrono::steady_clock::time_point until,
                     std::chrono::milliseconds nothingFor);

    int shm_ = -1; // whether the server shares memory with us; -1: not asked
    int damageEvent_ = -1;
    int damage_ = -1;
    int shape_ = -1;
    std::shared_ptr<SegmentPool> pool_ = std::make_shared<SegmentPool>();
    std::unique_ptr<SegmentPool::Segment> scratch_; // small and converted reads pass through it
    SegmentPool::Segment* prepared_ = nullptr;      // taken for the read to come
    size_t lastLentBytes_ = 0;

    // While a grab waits: the area it reads and the last repaint seen there.
    Rect watched_{};
    bool sawDamage_ = false;
    std::chrono::steady_clock::time_point lastDamage_{};
};

} // namespace ombrix::x11
