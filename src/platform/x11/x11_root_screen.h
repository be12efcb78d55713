#pragma once
// The X11 screen as the grab's source: blocks of the root window in device pixels, through
// memory shared with the server (MIT-SHM) where it offers it, in any TrueColor format; repaints
// of the root reported by XDamage tell when what a window covered has been repainted.

#include "grab.h"
#include "platform.h"
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

class RootScreen final : public grab::ScreenSource
{
public:
    // `pump` takes the events waiting on the connection and hands each to takeEvent().
    explicit RootScreen(std::function<void()> pump);

    // The connection and the screen that the next grab reads; `lend`: its picture has no store
    // of its own yet, so that shared memory may be lent to it.
    void use(Display* d, const ScreenLayout& screen, bool lend);

    // Fills `into` (sized by the caller) with the block at `area`; black off every monitor.
    void read(Display* d, const ScreenLayout& screen, const Rect& area, Pixels& into);

    // The grab's steps: repaints watched through a damage object on the root for the grab's
    // length; the area exposed again when the picture still shows the window.
    void prepare(const Rect& area, std::chrono::steady_clock::time_point until) override;
    void watch(const Rect& area) override;
    void settle(bool hidden, std::chrono::steady_clock::time_point until) override;
    bool again(std::chrono::steady_clock::time_point until) override;
    int read(const Rect& area, Pixels& into, std::chrono::steady_clock::time_point until) override;
    void finished() noexcept override;

    // Whether a damage object of ours watches the root now (during a grab).
    bool watching() const { return damage_ != 0; }

    bool takeEvent(const XEvent& event);

    // Gives up the segments that are not lent; with `keepOne`, all but one of the size of the
    // last large read, which the next grab of the same frame takes.
    void releaseSpare(Display* d, bool keepOne);

    // Forgets the connection's resources before it closes.
    void detach(Display* d);

private:
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
    bool waitSettled(std::chrono::steady_clock::time_point until,
                     std::chrono::milliseconds nothingFor);

    std::function<void()> pump_;
    Display* d_ = nullptr;
    ScreenLayout screen_;
    bool lend_ = false;

    int shm_ = -1; // whether the server shares memory with us; -1: not asked
    std::shared_ptr<SegmentPool> pool_ = std::make_shared<SegmentPool>();
    std::unique_ptr<SegmentPool::Segment> scratch_; // small and converted reads pass through it
    SegmentPool::Segment* prepared_ = nullptr;      // taken for the read to come
    size_t lastLentBytes_ = 0;

    // While a grab waits: the damage object, the area it reads and the last repaint seen there.
    unsigned long damage_ = 0;
    Rect watched_{};
    bool sawDamage_ = false;
    std::chrono::steady_clock::time_point lastDamage_{};
};

} // namespace ombrix::x11
