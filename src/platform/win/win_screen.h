#pragma once
// The Win32 desktop as the grab's source (BitBlt from the desktop's device context), and our
// window off the screen through a window region that shows none of it, rather than by hiding
// it, which would change its state (and its place in the task bar).

#include "grab.h"
#include "platform.h"

#include "win32.h"

namespace ombrix::win
{

// The desktop block whose top-left pixel is (x, y), sized by `into`; black off every monitor.
// Throws PlatformError where the desktop cannot be read (the secure desktop of a lock screen).
void copyDesktop(int x, int y, Pixels& into);

class RegionHider final : public grab::WindowHider
{
public:
    explicit RegionHider(HWND window);
    ~RegionHider() override;

    bool hide() override;
    void show() noexcept override;

private:
    HWND window_;
    HRGN saved_ = nullptr;
    bool hadRegion_ = false;
    bool hidden_ = false;
};

// With the desktop window manager composing, the change shows from its next composition on;
// without it (and under Wine) some time after the call: what the screen showed with the window
// tells when.
class DesktopScreen final : public grab::ScreenSource
{
public:
    void watch(const Rect& area) override;
    void settle(bool hidden, grab::Clock::time_point until) override;
    int read(const Rect& area, Pixels& into, grab::Clock::time_point until) override;
    void finished() noexcept override;

private:
    Rect area_{};
    bool composing_ = false;
    Pixels shown_;   // the screen with the window, where nothing composes
    Pixels settled_; // the screen once it changed and settled, there
};

} // namespace ombrix::win
