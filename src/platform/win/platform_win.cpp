// Windows implementation of the platform layer: the Win32 calls themselves, no toolkit between.
// The screen and the grab's parts, the clipboard and the settings file each live in a file of
// their own; this one puts them together.

#include "grab.h"
#include "platform.h"
#include "win_clipboard.h"
#include "win_ini_file.h"
#include "win_screen.h"
#include "win_text.h"

#include <memory>

namespace ombrix
{

namespace
{

class WinPlatform final : public Platform
{
public:
    void copyDesktop(int x, int y, Pixels& into) override { win::copyDesktop(x, y, into); }

    Rect windowArea(uintptr_t window) override
    {
        RECT r{};
        if (!GetWindowRect(reinterpret_cast<HWND>(window), &r)) {
            return {};
        }
        return { r.left, r.top, r.right - r.left, r.bottom - r.top };
    }

    // The window leaves the screen through a window region that shows none of it, rather than
    // by hiding it, which would change its state (and its place in the task bar).

    void grabUnder(uintptr_t window, const Rect& area, Pixels& into, GrabTimes* times) override
    {
        win::RegionHider hider(reinterpret_cast<HWND>(window));
        win::DesktopScreen screen;
        grab::grabUnder(hider, screen, area, into, times);
    }

    bool keyDown(int virtualKey) override { return (GetAsyncKeyState(virtualKey) & 0x8000) != 0; }

    // Broadcast to every window but not written to the user's profile.
    void switchBeepOff() override
    {
        SystemParametersInfoW(SPI_SETBEEP, 0, nullptr, SPIF_SENDCHANGE);
    }

    ShowCommand startShowCommand() override
    {
        STARTUPINFOW info{};
        info.cb = sizeof info;
        GetStartupInfoW(&info);
        // Without the flag the field means nothing and the window shows the default way.
        const WORD show =
          (info.dwFlags & STARTF_USESHOWWINDOW) ? info.wShowWindow : WORD{ SW_SHOWDEFAULT };
        switch (show) {
            case SW_SHOWMAXIMIZED:
                return ShowCommand::Maximized;
            case SW_SHOWMINNOACTIVE:
                return ShowCommand::MinimizedNoActivate;
            default:
                return ShowCommand::Normal;
        }
    }

    bool setClipboardPicture(int width, int height, const uint32_t* argb, int stride) override
    {
        win::setClipboardPicture(width, height, argb, stride);
        return true;
    }

    std::unique_ptr<IniFile> openIniFile(const std::string& path) override
    {
        return win::openProfileServiceFile(path);
    }
};

} // namespace

std::unique_ptr<Platform> createNativePlatform()
{
    return std::make_unique<WinPlatform>();
}

void prepareProcess() {}

} // namespace ombrix
