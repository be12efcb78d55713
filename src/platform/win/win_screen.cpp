#include "win_screen.h"

#include "win_text.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace ombrix::win
{

namespace
{

BOOL CALLBACK addMonitor(HMONITOR, HDC, LPRECT area, LPARAM list)
{
    reinterpret_cast<std::vector<RECT>*>(list)->push_back(*area);
    return TRUE;
}

bool inside(const RECT& r, int x, int y)
{
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

// What the desktop's device context gives outside the displays is undefined; it is not on any
// screen, so it comes out black.
void blackOutsideMonitors(int x, int y, Pixels& into)
{
    std::vector<RECT> monitors;
    EnumDisplayMonitors(nullptr, nullptr, addMonitor, reinterpret_cast<LPARAM>(&monitors));
    if (monitors.empty()) {
        return;
    }
    // The usual case: the whole block lies on one display.
    for (const RECT& m : monitors) {
        if (x >= m.left && y >= m.top && x + into.width <= m.right && y + into.height <= m.bottom) {
            return;
        }
    }
    for (int row = 0; row < into.height; ++row) {
        for (int col = 0; col < into.width; ++col) {
            const bool shown = std::any_of(monitors.begin(), monitors.end(), [&](const RECT& m) {
                return inside(m, x + col, y + row);
            });
            if (!shown) {
                into.argb[static_cast<size_t>(row) * into.width + col] = 0xFF000000u;
            }
        }
    }
}

// The desktop window manager's entry points, where it runs (Windows Vista and later; on 8 and
// later it always composes). Loaded at run time: Wine has the library with parts of it only.

struct Dwm {
    using FlushFn = HRESULT(WINAPI*)();
    using EnabledFn = HRESULT(WINAPI*)(BOOL*);
    FlushFn flush = nullptr;
    EnabledFn isCompositionEnabled = nullptr;

    static const Dwm& get()
    {
        static const Dwm dwm = [] {
            Dwm d;
            if (HMODULE lib = LoadLibraryW(L"dwmapi.dll")) {
                d.flush = reinterpret_cast<FlushFn>(
                  reinterpret_cast<void*>(GetProcAddress(lib, "DwmFlush")));
                d.isCompositionEnabled = reinterpret_cast<EnabledFn>(
                  reinterpret_cast<void*>(GetProcAddress(lib, "DwmIsCompositionEnabled")));
            }
            return d;
        }();
        return dwm;
    }

    bool composing() const
    {
        BOOL on = FALSE;
        return flush && isCompositionEnabled && SUCCEEDED(isCompositionEnabled(&on)) && on;
    }
};

bool samePixels(const Pixels& a, const Pixels& b)
{
    return a.width == b.width && a.height == b.height && a.argb == b.argb;
}

// Reads `area` into `into` until it differs from what showed with the window (`shown`), and then
// until two reads 10 ms apart agree, as what the window covered is repainted. A window that
// changes nothing there (invisible over the area) costs the cap, 300 ms.
void waitUntilChanged(const Rect& area, const Pixels& shown, Pixels& into)
{
    // Hands the change to the display (Wine sends it to the X server when the thread next
    // looks at its messages).
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
    const ULONGLONG start = GetTickCount64();
    bool changed = false;
    Pixels previous;
    for (;;) {
        copyDesktop(area.x, area.y, into);
        if (!changed) {
            changed = !samePixels(into, shown);
        } else if (samePixels(into, previous)) {
            return;
        }
        if (GetTickCount64() - start >= 300) {
            return;
        }
        if (changed) {
            previous = into;
        }
        Sleep(changed ? 10 : 2);
    }
}

} // namespace

void copyDesktop(int x, int y, Pixels& into)
{
    const int w = into.width;
    const int h = into.height;
    if (w <= 0 || h <= 0) {
        return;
    }
    if (into.lent || into.argb.size() != static_cast<size_t>(w) * static_cast<size_t>(h)) {
        into.lent.reset();
        into.argb.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h; // bottom row first, as a device bitmap keeps it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        throw PlatformError(Failure::ScreenUnreadable,
                            "CreateDIBSection failed: " + systemMessage(GetLastError()));
    }
    HDC memory = CreateCompatibleDC(nullptr);
    HGDIOBJ previous = memory ? SelectObject(memory, bitmap) : nullptr;
    if (!memory || !previous || previous == HGDI_ERROR) {
        const DWORD why = GetLastError();
        if (memory) {
            DeleteDC(memory);
        }
        DeleteObject(bitmap);
        throw PlatformError(Failure::ScreenUnreadable,
                            std::string(memory ? "SelectObject" : "CreateCompatibleDC") +
                              " for the desktop's copy failed: " + systemMessage(why));
    }

    // The copy fails where the desktop cannot be read (the secure desktop of a lock screen
    // or an elevation prompt): that is an error, not a picture of whatever the bitmap held.
    HDC desktop = GetWindowDC(GetDesktopWindow());
    const bool copied = desktop && BitBlt(memory, 0, 0, w, h, desktop, x, y, SRCCOPY);
    const DWORD why = copied ? 0 : GetLastError();
    if (desktop) {
        ReleaseDC(GetDesktopWindow(), desktop);
    }
    GdiFlush();
    if (!copied) {
        SelectObject(memory, previous);
        DeleteDC(memory);
        DeleteObject(bitmap);
        throw PlatformError(Failure::ScreenUnreadable,
                            std::string(desktop ? "BitBlt" : "GetWindowDC") +
                              " of the desktop failed: " + systemMessage(why));
    }

    const size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~static_cast<size_t>(3);
    const auto* base = static_cast<const unsigned char*>(bits);
    for (int row = 0; row < h; ++row) {
        const unsigned char* in = base + static_cast<size_t>(h - 1 - row) * stride;
        uint32_t* out = into.argb.data() + static_cast<size_t>(row) * w;
        for (int col = 0; col < w; ++col, in += 3) {
            out[col] = 0xFF000000u | (uint32_t{ in[2] } << 16) | (uint32_t{ in[1] } << 8) |
                       uint32_t{ in[0] };
        }
    }
    SelectObject(memory, previous);
    DeleteDC(memory);
    DeleteObject(bitmap);
    blackOutsideMonitors(x, y, into);
}

RegionHider::RegionHider(HWND window)
  : window_(window)
{
}

RegionHider::~RegionHider()
{
    show();
}

bool RegionHider::hide()
{
    saved_ = CreateRectRgn(0, 0, 0, 0);
    hadRegion_ = saved_ && GetWindowRgn(window_, saved_) != ERROR;
    // One pixel outside the window: nothing of it is left (an empty region is taken by some
    // systems as no region at all).
    HRGN none = CreateRectRgn(-1, -1, 0, 0);
    if (!none || !SetWindowRgn(window_, none, TRUE)) {
        const DWORD why = GetLastError();
        if (none) {
            DeleteObject(none);
        }
        if (saved_) {
            DeleteObject(saved_);
            saved_ = nullptr;
        }
        throw PlatformError(Failure::ScreenUnreadable,
                            "the window could not leave the screen: " + systemMessage(why));
    }
    hidden_ = true;
    return true;
}

void RegionHider::show() noexcept
{
    if (!hidden_) {
        return;
    }
    hidden_ = false;
    // The system owns a region once it is set; ours is freed only when it was not used.
    SetWindowRgn(window_, hadRegion_ ? saved_ : nullptr, TRUE);
    if (!hadRegion_ && saved_) {
        DeleteObject(saved_);
    }
    saved_ = nullptr;
}

void DesktopScreen::watch(const Rect& area)
{
    area_ = area;
    composing_ = Dwm::get().composing();
    if (!composing_) {
        shown_.width = std::max(area.width, 0);
        shown_.height = std::max(area.height, 0);
        copyDesktop(area.x, area.y, shown_);
    }
}

void DesktopScreen::settle(bool hidden, grab::Clock::time_point)
{
    if (!hidden) {
        return;
    }
    if (composing_) {
        // The next two compositions: the one under way may have begun before the change.
        Dwm::get().flush();
        Dwm::get().flush();
    } else {
        settled_.width = shown_.width;
        settled_.height = shown_.height;
        waitUntilChanged(area_, shown_, settled_);
    }
}

int DesktopScreen::read(const Rect& area, Pixels& into, grab::Clock::time_point)
{
    into.width = std::max(area.width, 0);
    into.height = std::max(area.height, 0);
    if (!settled_.argb.empty() && area.x == area_.x && area.y == area_.y &&
        settled_.width == into.width && settled_.height == into.height) {
        // The wait's last read is the first picture: the screen agreed with it twice already.
        into = std::move(settled_);
        settled_ = {};
    } else {
        copyDesktop(area.x, area.y, into);
    }
    return 1;
}

void DesktopScreen::finished() noexcept
{
    shown_ = {};
    settled_ = {};
}

} // namespace ombrix::win
