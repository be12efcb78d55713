#pragma once
// The one door between Ombrix and the operating system. No Qt here: this library also builds
// with a Windows cross-compiler on its own.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ombrix
{

// A block of opaque pixels, 0xAARRGGBB each (alpha always 0xFF), rows top to bottom.
struct Pixels {
    int width = 0;
    int height = 0;
    // The pixels are here, or in memory that the platform lent (see Platform::lendsPixels);
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

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

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
};

// The profile file of our own reader and writer, for systems without a profile service.
std::unique_ptr<IniFile> openPortableIniFile(const std::string& path);

class Platform
{
public:
    virtual ~Platform() = default;

    // Copies the desktop block whose top-left corner is (x, y) in desktop coordinates into `into`,
    // which the caller has sized. Every pixel of `into` is written (the caller may pass a store
    // with stale content); pixels outside every display come out black. When the caller set
    // only the size (no store), the platform reads into memory of its own and lends it, or
    // makes the store itself.
    virtual void copyDesktop(int x, int y, Pixels& into) = 0;

    // Whether a block of this size is best read into memory that the platform lends (memory
    // it shares with the display server, which saves a copy of every pixel), so that the
    // caller should set only the block's size.
    virtual bool lendsPixels(int /*width*/, int /*height*/) { return false; }

    // Gives back memory that was lent for reads and has come back, once no read is under way.
    virtual void releaseSpareMemory() {}

    // Returns once the given top-level window (and any frame the window manager put around it)
    // is really off the screen.
    virtual void waitHidden(uintptr_t window) = 0;

    // Gives what the hidden window uncovered a moment to repaint itself; systems that hide a
    // window synchronously need none.
    virtual void settleDesktop() {}

    // Whether the key with this Windows virtual-key code is down now, whichever program has focus.
    virtual bool keyDown(int virtualKey) = 0;

    // A file descriptor that becomes readable when the keyboard's state may have changed, so
    // that a caller can sleep while no shortcut can be down; -1 where the state must be polled.
    virtual int keyWakeDescriptor() { return -1; }

    // Silences the system's warning beep for everyone, without saving it anywhere.
    virtual void switchBeepOff() = 0;

    virtual ShowCommand startShowCommand() = 0;

    // Puts a picture (rows top to bottom, 0xAARRGGBB, `stride` pixels a row) on the system
    // clipboard in the system's own bitmap format, replacing everything there. False when
    // this system leaves the clipboard to the toolkit.
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
