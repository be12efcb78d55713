#pragma once
// The one door between Ombrix and the operating system. No Qt here: this library also builds
// with a Windows cross-compiler on its own.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ombrix
{

// A block of opaque pixels, 0xAARRGGBB each (alpha always 0xFF), rows top to bottom.
struct Pixels {
    int width = 0;
    int height = 0;
    // The pixels are here, or in memory that the platform lent (see Platform::copyDesktop);
    // dropping the last reference to `lent` gives that memory back.
    std::vector<uint32_t> argb;
    std::shared_ptr<uint32_t> lent;

    uint32_t* bits() { return lent ? lent.get() : argb.data(); }
    const uint32_t* bits() const { return lent ? lent.get() : argb.data(); }

    void resize(int w, int h)
    {
        width = w;
        height = h;
        lent.reset();
        argb.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0xFF000000u);
    }
};

// What a platform call could not do, in the program's terms: the interface says it to the user
// in its own words.
enum class Failure {
    NoDisplay,        // no connection to the display server
    ScreenUnreadable, // the desktop's pixels could not be read
    ClipboardRefused, // the clipboard did not take the picture
};

// A platform call that failed: what failed, and the system's reason in plain English (what()),
// for the log.
class PlatformError : public std::runtime_error
{
public:
    PlatformError(Failure failure, const std::string& reason)
      : std::runtime_error(reason)
      , failure_(failure)
    {
    }
    Failure failure() const { return failure_; }

private:
    Failure failure_;
};

// Where the platform's notes for the log come from (each its own logging category).
enum class LogArea {
    Capture, // reading the screen
    Keys,    // the keyboard's state
};

// The platform's log of the fallbacks it takes, in plain English (its failures are thrown as
// PlatformError). Nothing is recorded until the program sets a sink.
using LogSink = void (*)(LogArea area, const std::string& text);
void setLogSink(LogSink sink);
void logFallback(LogArea area, const std::string& text);

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

inline bool empty(const Rect& r)
{
    return r.width <= 0 || r.height <= 0;
}

// The part that two rectangles share; empty() when none.
inline Rect intersect(const Rect& a, const Rect& b)
{
    const int x0 = a.x > b.x ? a.x : b.x, y0 = a.y > b.y ? a.y : b.y;
    const int x1 = a.x + a.width < b.x + b.width ? a.x + a.width : b.x + b.width;
    const int y1 = a.y + a.height < b.y + b.height ? a.y + a.height : b.y + b.height;
    return { x0, y0, x1 > x0 ? x1 - x0 : 0, y1 > y0 ? y1 - y0 : 0 };
}

// When each step of a grab ended, in nanoseconds of std::chrono::steady_clock (for the
// benchmarks).
struct GrabTimes {
    int64_t hidden = 0;  // the window is off the screen
    int64_t settled = 0; // what it covered has been repainted
    int64_t read = 0;
    int64_t shown = 0; // the window is back
};

// The Windows virtual-key codes of the modifiers, which keyDown() takes on every system.
namespace vk
{
constexpr int Shift = 0x10;
constexpr int Control = 0x11;
constexpr int Menu = 0x12; // Alt
} // namespace vk

// How the system asked the program to show its main window at start.
enum class ShowCommand {
    Normal,
    Maximized,
    MinimizedNoActivate,
};

// A profile file (".ini") opened for one series of reads and writes.
class IniFile
{
public:
    virtual ~IniFile() = default;
    // The value, or `fallback` when the file, the section or the key is missing.
    virtual std::u16string readString(std::u16string_view section,
                                      std::u16string_view key,
                                      std::u16string_view fallback) = 0;
    // False when the value cannot be written.
    virtual bool writeString(std::u16string_view section,
                             std::u16string_view key,
                             std::u16string_view value) = 0;
    // Puts what was written on disk; false when that fails.
    virtual bool flush() = 0;
    // Why the last read, write or flush failed, in plain English (for the log).
    virtual std::string lastError() const { return {}; }
};

class Platform
{
public:
    virtual ~Platform() = default;

    // Copies the desktop block whose top-left pixel is (x, y), in device pixels of the desktop,
    // into `into`, which the caller has sized. Every pixel of `into` is written (the caller may
    // pass a store with stale content); pixels outside every display come out black. When the
    // caller set only the size (no store), the platform makes the store, or lends memory of its
    // own (shared with the display server, which saves a copy of every pixel).
    virtual void copyDesktop(int x, int y, Pixels& into) = 0;

    // Where a top-level window of ours stands on the desktop, in device pixels; an empty
    // rectangle when the system cannot tell.
    virtual Rect windowArea(uintptr_t window) = 0;

    // The width of a border that the window manager drew on a top-level window of ours itself
    // (bspwm, xmonad), in device pixels; 0 when it has none. A request to move the window
    // places the border's outer corner, not the window's.
    virtual int windowBorder(uintptr_t /*window*/) { return 0; }

    // Whether the window manager gave a top-level window of ours a size far from the one the
    // toolkit last asked for (a tiling manager's tile); false where the system cannot tell.
    virtual bool sizeImposed(uintptr_t /*window*/) { return false; }

    // The desktop under a top-level window of ours, as it shows without the window: `area` (device
    // pixels of the desktop, like copyDesktop's) is read once the window, and any frame the
    // window manager put around it, is off the screen and what it covered has been repainted.
    // The window is back as it was when this returns: same place, size and state, never
    // re-placed, resized or minimised by the window manager. `into` is filled as by copyDesktop.
    virtual void grabUnder(uintptr_t window, const Rect& area, Pixels& into, GrabTimes* times) = 0;

    // Moves and sizes a top-level window of ours to `area`, in device pixels of the desktop;
    // false when the toolkit is to do it (then nothing was changed).
    virtual bool placeWindow(uintptr_t /*window*/, const Rect& /*area*/) { return false; }

    // Whether we run in a Wayland session, through XWayland: the compositor places our managed
    // windows as it likes, whatever they ask (it centres or tiles them, afresh when one comes
    // back), and the keyboard reaches us only while one of our windows has the focus.
    virtual bool underWayland() { return false; }

    // Gives back memory that was lent for reads and has come back, once no read is under way
    // (all but what the next grab of the same size would take at once).
    virtual void releaseSpareMemory() {}

    // Sets the part of a top-level window that is drawn and takes the mouse, in device pixels of
    // the window; false when the toolkit is to do it (then nothing was changed).
    virtual bool setWindowShape(uintptr_t /*window*/, const std::vector<Rect>& /*parts*/)
    {
        return false;
    }

    // Whether a compositing manager blends see-through windows with what lies beneath; where
    // none does, a half-transparent pixel shows as a dark one.
    virtual bool compositing() { return true; }

    // Whether the key with this Windows virtual-key code is down now, whichever program has focus.
    virtual bool keyDown(int virtualKey) = 0;

    // A file descriptor that becomes readable when the keyboard's state may have changed, so
    // that a caller can sleep while no shortcut can be down; -1 where the state must be polled.
    virtual int keyWakeDescriptor() { return -1; }

    // A file descriptor that becomes readable when the system asks the program to end (the
    // session's end or a kill: SIGTERM, SIGHUP, SIGINT), so that it can save and end cleanly;
    // -1 where the toolkit tells of the session's end on its own.
    virtual int endRequestDescriptor() { return -1; }

    // Silences the system's warning beep for everyone, without saving it anywhere.
    virtual void switchBeepOff() = 0;

    virtual ShowCommand startShowCommand() = 0;

    // Puts a picture (rows top to bottom, 0xAARRGGBB, `stride` pixels a row) on the system
    // clipboard in the system's own bitmap format, replacing everything there. False when
    // this system leaves the clipboard to the toolkit; throws PlatformError
    // (Failure::ClipboardRefused) when the clipboard refused the picture.
    virtual bool setClipboardPicture(int width, int height, const uint32_t* argb, int stride) = 0;

    // The profile file at `path` (UTF-8); touches no file until it is read or written.
    virtual std::unique_ptr<IniFile> openIniFile(const std::string& path) = 0;
};

// The platform in use. The first call creates the native one unless a test has set another.
Platform& platform();
void setPlatform(std::unique_ptr<Platform> replacement);
std::unique_ptr<Platform> createNativePlatform();

// Runs before the toolkit starts: settings the process needs from its environment.
void prepareProcess();

} // namespace ombrix
