#include "grab.h"

#include <string>

namespace ombrix::grab
{

namespace
{

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// The window off the screen for as long as it lives.
class Hidden
{
public:
    explicit Hidden(WindowHider& hider)
      : hider_(hider)
      , hidden_(hider.hide())
    {
    }
    ~Hidden()
    {
        if (hidden_) {
            hider_.show();
        }
    }
    Hidden(const Hidden&) = delete;
    Hidden& operator=(const Hidden&) = delete;

    bool hidden() const { return hidden_; }

private:
    WindowHider& hider_;
    bool hidden_;
};

struct Finished {
    ScreenSource& source;
    ~Finished() { source.finished(); }
};

} // namespace

bool stillShown(const std::vector<Telltale>& telltales,
                const Rect& area,
                const Pixels& picture,
                int scale)
{
    // Most of the window's opaque pixels in its own colour: the picture shows the window. (A
    // desktop of the same colour under some of them does no harm: it is what the picture shows
    // either way.) A pixel outside the picture counts as not shown.
    size_t same = 0;
    for (const Telltale& t : telltales) {
        const int64_t x = static_cast<int64_t>(t.x - area.x) * scale;
        const int64_t y = static_cast<int64_t>(t.y - area.y) * scale;
        if (x < 0 || y < 0 || x >= picture.width || y >= picture.height) {
            continue;
        }
        const uint32_t now = picture.bits()[y * picture.width + x];
        same += (now & 0xFFFFFFu) == (t.rgb & 0xFFFFFFu);
    }
    return !telltales.empty() && 2 * same > telltales.size();
}

int grabUnder(WindowHider& hider,
              ScreenSource& source,
              const Rect& area,
              Pixels& into,
              GrabTimes* times,
              const Policy& policy)
{
    const Finished finished{ source };
    // What may ask the user comes while the window still shows.
    source.prepare(area, Clock::now() + policy.prepareAtMost);
    const std::vector<Telltale> telltales = hider.telltales(area);
    source.watch(area);
    int scale = 1;
    {
        const Hidden window(hider);
        const auto hiddenAt = Clock::now();
        if (times) {
            times->hidden = nowNs();
        }
        source.settle(window.hidden(), hiddenAt + policy.settleAtMost);
        if (times) {
            times->settled = nowNs();
        }
        scale = source.read(area, into, hiddenAt + policy.readAtMost);
        int reads = 1;
        // A compositor shows the change when its turn comes, which on a busy machine can be
        // after the screen seemed to have settled: while the picture shows the window, the
        // screen is asked again, a few times at most.
        const auto retryUntil = hiddenAt + policy.retryWithin;
        bool shown = window.hidden() && stillShown(telltales, area, into, scale);
        for (int round = 1; shown && round <= policy.retries && Clock::now() < retryUntil;
             ++round) {
            logFallback(LogArea::Capture,
                        "the window still shows in the picture: the screen is read again (round " +
                          std::to_string(round) + ")");
            if (!source.again(retryUntil)) {
                break; // nothing was repainted: the screen shows what it will show
            }
            if (times) {
                times->settled = nowNs();
            }
            scale = source.read(area, into, hiddenAt + policy.readAtMost);
            ++reads;
            shown = stillShown(telltales, area, into, scale);
        }
        if (shown) {
            // A picture with the window in it is not the desktop's: better none at all.
            throw PlatformError(Failure::ScreenUnreadable,
                                "the window still showed in the picture after " +
                                  std::to_string(reads) +
                                  " reads: the screen did not repaint what it covered");
        }
        if (times) {
            times->read = nowNs();
        }
    }
    if (times) {
        times->shown = nowNs();
    }
    return scale;
}

} // namespace ombrix::grab
