// The grab procedure with a scripted window hider and screen source: the order of its steps, the
// reads again while the picture shows the window (and their caps), the scale of the picture, and
// that every way out of it, a failed step's included, puts the window back and ends the source's
// watch. Runs without a display, on every system.

#include "grab.h"
#include "Check.h"

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace
{

using ombrix::Pixels;
using ombrix::PlatformError;
using ombrix::Rect;
using namespace ombrix::grab;
using namespace std::chrono_literals;

constexpr uint32_t kWindow = 0x123456; // the window's colour
const Rect kArea{ 100, 50, 40, 30 };

uint32_t desktopRgb(int x, int y)
{
    return (static_cast<uint32_t>(x & 0xFF) << 16) | (static_cast<uint32_t>(y & 0xFF) << 8) | 0x80;
}

// Everything the fakes were asked, in order, as words: "hide", "read", ...
using Log = std::vector<std::string>;

struct FakeHider final : WindowHider {
    Log& log;
    bool onScreen = true;
    bool hideThrows = false;
    bool hidden = false;
    explicit FakeHider(Log& l)
      : log(l)
    {
    }
    // The window's border over the area's top row: 40 pixels of its colour.
    std::vector<Telltale> telltales(const Rect& area) override
    {
        log.push_back("telltales");
        std::vector<Telltale> t;
        for (int x = area.x; x < area.x + area.width; ++x) {
            t.push_back({ x, area.y, kWindow });
        }
        return t;
    }
    bool hide() override
    {
        log.push_back("hide");
        if (hideThrows) {
            throw PlatformError(ombrix::Failure::ScreenUnreadable, "hide refused");
        }
        hidden = onScreen;
        return onScreen;
    }
    void show() noexcept override
    {
        log.push_back("show");
        hidden = false;
    }
};

// A screen whose pictures show the window for the first `showsFor` reads after the hide (a
// compositor that is late), at `scale` device pixels per desktop pixel.
struct FakeScreen final : ScreenSource {
    Log& log;
    int showsFor = 0;
    int scale = 1;
    int throwOnRead = 0; // the read of this number throws (1: the first)
    bool prepareThrows = false;
    bool repaints = true; // whether again() sees a repaint
    std::chrono::milliseconds readTakes{ 0 };
    int reads = 0;
    int watching = 0; // watches begun and not ended: must be 0 after every grab
    explicit FakeScreen(Log& l)
      : log(l)
    {
    }
    void prepare(const Rect&, Clock::time_point) override
    {
        log.push_back("prepare");
        if (prepareThrows) {
            throw PlatformError(ombrix::Failure::ScreenUnreadable, "the user said no");
        }
    }
    void watch(const Rect&) override
    {
        log.push_back("watch");
        ++watching;
    }
    void settle(bool hidden, Clock::time_point) override
    {
        log.push_back(hidden ? "settle" : "settle-not-hidden");
    }
    bool again(Clock::time_point) override
    {
        log.push_back("again");
        return repaints;
    }
    int read(const Rect& area, Pixels& into, Clock::time_point) override
    {
        log.push_back("read");
        ++reads;
        if (reads == throwOnRead) {
            throw PlatformError(ombrix::Failure::ScreenUnreadable, "read failed");
        }
        std::this_thread::sleep_for(readTakes);
        into.resize(area.width * scale, area.height * scale);
        for (int y = 0; y < into.height; ++y) {
            for (int x = 0; x < into.width; ++x) {
                const int dx = area.x + x / scale, dy = area.y + y / scale;
                const bool window = reads <= showsFor && dy == area.y;
                into.bits()[y * into.width + x] =
                  0xFF000000u | (window ? kWindow : desktopRgb(dx, dy));
            }
        }
        return scale;
    }
    void finished() noexcept override
    {
        log.push_back("finished");
        watching = 0;
    }
};

std::string join(const Log& log)
{
    std::string out;
    for (const auto& step : log) {
        out += (out.empty() ? "" : " ") + step;
    }
    return out;
}

// The desktop without the window, pixel for pixel, at the picture's scale.
bool showsDesktop(const Pixels& p, int scale)
{
    if (p.width != kArea.width * scale || p.height != kArea.height * scale) {
        return false;
    }
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            if (p.bits()[y * p.width + x] !=
                (0xFF000000u | desktopRgb(kArea.x + x / scale, kArea.y + y / scale))) {
                return false;
            }
        }
    }
    return true;
}

struct Row {
    const char* name;
    std::function<void(FakeHider&, FakeScreen&, Policy&)> setUp;
    const char* steps; // what the fakes were asked, in order
    bool throws;
    bool desktop; // the picture is the desktop without the window
};

TEST(stepsOfTheGrab)
{
    const Row rows[] = {
        { "a screen repainted at once",
          [](FakeHider&, FakeScreen&, Policy&) {},
          "prepare telltales watch hide settle read show finished",
          false,
          true },
        { "a late repaint: the picture shows the window once, then not",
          [](FakeHider&, FakeScreen& s, Policy&) { s.showsFor = 1; },
          "prepare telltales watch hide settle read again read show finished",
          false,
          true },
        { "a compositor late by two frames, at scale 2",
          [](FakeHider&, FakeScreen& s, Policy&) {
              s.showsFor = 2;
              s.scale = 2;
          },
          "prepare telltales watch hide settle read again read again read show finished",
          false,
          true },
        { "a screen that never calms: three reads again at most, then an error, never the window",
          [](FakeHider&, FakeScreen& s, Policy&) { s.showsFor = 1000; },
          "prepare telltales watch hide settle read again read again read again read show "
          "finished",
          true,
          false },
        { "a screen that never calms: no read again begun after the time is up",
          [](FakeHider&, FakeScreen& s, Policy& p) {
              s.showsFor = 1000;
              s.readTakes = 30ms;
              p.retryWithin = 50ms;
          },
          "prepare telltales watch hide settle read again read show finished",
          true,
          false },
        { "nothing repainted after the area was exposed: no read again, an error",
          [](FakeHider&, FakeScreen& s, Policy&) {
              s.showsFor = 1000;
              s.repaints = false;
          },
          "prepare telltales watch hide settle read again show finished",
          true,
          false },
        { "a window that was not on the screen: nothing to wait for, nothing to put back",
          [](FakeHider& h, FakeScreen& s, Policy&) {
              h.onScreen = false;
              s.showsFor = 1000; // a desktop that looks like the window is no reason to wait
          },
          "prepare telltales watch hide settle-not-hidden read finished",
          false,
          false },
        { "the first read fails: the window is back and the watch ended",
          [](FakeHider&, FakeScreen& s, Policy&) { s.throwOnRead = 1; },
          "prepare telltales watch hide settle read show finished",
          true,
          false },
        { "a read again fails",
          [](FakeHider&, FakeScreen& s, Policy&) {
              s.showsFor = 1;
              s.throwOnRead = 2;
          },
          "prepare telltales watch hide settle read again read show finished",
          true,
          false },
        { "the hide fails: nothing to put back, the watch ended",
          [](FakeHider& h, FakeScreen&, Policy&) { h.hideThrows = true; },
          "prepare telltales watch hide finished",
          true,
          false },
        { "the user refuses the source before the window moved",
          [](FakeHider&, FakeScreen& s, Policy&) { s.prepareThrows = true; },
          "prepare finished",
          true,
          false },
    };
    for (const Row& row : rows) {
        CASE(row.name);
        Log log;
        FakeHider hider(log);
        FakeScreen screen(log);
        Policy policy;
        row.setUp(hider, screen, policy);
        Pixels picture;
        ombrix::GrabTimes times;
        bool threw = false;
        int scale = 0;
        try {
            scale = grabUnder(hider, screen, kArea, picture, &times, policy);
        } catch (const PlatformError&) {
            threw = true;
        }
        CHECK(threw == row.throws);
        CHECK_EQ_BYTES(join(log), std::string(row.steps));
        CHECK(!hider.hidden);
        CHECK(screen.watching == 0);
        if (!threw) {
            CHECK(scale == screen.scale);
            CHECK(showsDesktop(picture, scale) == row.desktop);
            CHECK(times.hidden > 0 && times.hidden <= times.settled &&
                  times.settled <= times.read && times.read <= times.shown);
        }
    }
}

TEST(stillShownLooksAtThePictureAtItsScale)
{
    const std::vector<Telltale> border = { { 100, 50, kWindow }, { 139, 50, kWindow } };
    struct Case {
        const char* name;
        int scale;
        int windowRow; // the picture's row that shows the window's colour
        bool shown;
    };
    const Case cases[] = {
        { "scale 1, the window in the picture", 1, 0, true },
        { "scale 1, the window gone", 1, 5, false },
        { "scale 2, the window's pixels at twice their place", 2, 0, true },
        { "scale 2, a row of device pixels below them does not count", 2, 1, false },
    };
    for (const Case& c : cases) {
        CASE(c.name);
        Pixels p;
        p.resize(kArea.width * c.scale, kArea.height * c.scale);
        for (int x = 0; x < p.width; ++x) {
            p.bits()[c.windowRow * p.width + x] = 0xFF000000u | kWindow;
        }
        CHECK(stillShown(border, kArea, p, c.scale) == c.shown);
    }
    CASE("a picture smaller than its scale says: no read past its end");
    Pixels small;
    small.resize(10, 10);
    CHECK(!stillShown({ { 139, 79, kWindow } }, kArea, small, 2));
    CASE("no telltales: never shown");
    CHECK(!stillShown({}, kArea, small, 1));
}

} // namespace

int main()
{
    return check::runAll();
}
