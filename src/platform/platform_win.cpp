// Windows implementation of the platform layer: the Win32 calls themselves, no toolkit between.

#include "platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace ombrix
{

namespace
{

// Paths come in UTF-8 from the toolkit; the wide calls want UTF-16.
std::wstring fromUtf8(const std::string& utf8)
{
    if (utf8.empty()) {
        return {};
    }
    const int size = static_cast<int>(utf8.size());
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring out(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), units);
    return out;
}

// wchar_t is a UTF-16 unit on Windows: a copy unit by unit is exact, and adds the null.
std::wstring wide(std::u16string_view text)
{
    return std::wstring(text.begin(), text.end());
}

class WinIniFile final : public IniFile
{
public:
    explicit WinIniFile(std::wstring path)
      : path_(std::move(path))
    {
    }

    // The profile service may keep the file in a cache of its own; releasing the object is the
    // moment it must be on disk.
    ~WinIniFile() override
    {
        if (!flushed_) {
            flush();
        }
    }

    std::u16string readString(std::u16string_view section,
                              std::u16string_view key,
                              std::u16string_view fallback) override
    {
        flushed_ = false;
        std::array<wchar_t, 2048> buffer{};
        const DWORD count = GetPrivateProfileStringW(wide(section).c_str(),
                                                     wide(key).c_str(),
                                                     wide(fallback).c_str(),
                                                     buffer.data(),
                                                     static_cast<DWORD>(buffer.size()),
                                                     path_.c_str());
        return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), count);
    }

    bool writeString(std::u16string_view section,
                     std::u16string_view key,
                     std::u16string_view value) override
    {
        flushed_ = false;
        return WritePrivateProfileStringW(
                 wide(section).c_str(), wide(key).c_str(), wide(value).c_str(), path_.c_str()) != 0;
    }

    bool flush() override
    {
        // Its result is no verdict on the writes (Wine answers FALSE even when all went well);
        // each write has already told its own failure.
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, path_.c_str());
        flushed_ = true;
        return true;
    }

private:
    std::wstring path_;
    bool flushed_ = false;
};

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

// Waits for the desktop window manager's next two compositions, so that a change of a window
// has reached the screen; where it does not run, a change shows at once.
void waitForComposition()
{
    using DwmFlushFn = HRESULT(WINAPI*)();
    static const auto flush = [] {
        HMODULE dwm = LoadLibraryW(L"dwmapi.dll");
        return dwm ? reinterpret_cast<DwmFlushFn>(
                       reinterpret_cast<void*>(GetProcAddress(dwm, "DwmFlush")))
                   : nullptr;
    }();
    if (flush) {
        flush();
        flush();
    } else {
        GdiFlush();
    }
}

class WinPlatform final : public Platform
{
public:
    void copyDesktop(int x, int y, Pixels& into) override
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
            throw std::runtime_error("画面の画像を読み取れません");
        }
        HDC memory = CreateCompatibleDC(nullptr);
        HGDIOBJ previous = SelectObject(memory, bitmap);

        HDC desktop = GetWindowDC(GetDesktopWindow());
        BitBlt(memory, 0, 0, w, h, desktop, x, y, SRCCOPY);
        ReleaseDC(GetDesktopWindow(), desktop);
        GdiFlush();

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

    Rect windowArea(uintptr_t window) override
    {
        RECT r{};
        if (!GetWindowRect(reinterpret_cast<HWND>(window), &r)) {
            return {};
        }
        return { r.left, r.top, r.right - r.left, r.bottom - r.top };
    }

    // The window leaves the screen through an empty window region rather than by hiding it,
    // which would change its state; the desktop window manager shows the change at its next
    // composition, which DwmFlush waits for.
    void grabUnder(uintptr_t window, const Rect& area, Pixels& into, GrabTimes*) override
    {
        const HWND hwnd = reinterpret_cast<HWND>(window);
        HRGN saved = CreateRectRgn(0, 0, 0, 0);
        const bool hadRegion = GetWindowRgn(hwnd, saved) != ERROR;
        SetWindowRgn(hwnd, CreateRectRgn(0, 0, 0, 0), TRUE);
        waitForComposition();
        into.width = area.width;
        into.height = area.height;
        into.lent.reset();
        into.argb.resize(static_cast<size_t>(std::max(area.width, 0)) *
                         static_cast<size_t>(std::max(area.height, 0)));
        try {
            copyDesktop(area.x, area.y, into);
        } catch (...) {
            SetWindowRgn(hwnd, hadRegion ? saved : nullptr, TRUE);
            throw;
        }
        // The system owns a region once it is set; ours is freed only when it was not used.
        SetWindowRgn(hwnd, hadRegion ? saved : nullptr, TRUE);
        if (!hadRegion) {
            DeleteObject(saved);
        }
    }

    bool keyDown(int virtualKey) override { return GetKeyState(virtualKey) < 0; }

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
        const size_t w = static_cast<size_t>(std::max(width, 0));
        const size_t h = static_cast<size_t>(std::max(height, 0));
        BITMAPINFOHEADER header{};
        header.biSize = sizeof header;
        header.biWidth = static_cast<LONG>(w);
        header.biHeight = static_cast<LONG>(h); // positive: bottom row first
        header.biPlanes = 1;
        header.biBitCount = 32;
        header.biCompression = BI_RGB;
        header.biSizeImage = static_cast<DWORD>(4 * w * h);

        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, sizeof header + header.biSizeImage);
        if (!block) {
            throw std::bad_alloc();
        }
        auto* data = static_cast<unsigned char*>(GlobalLock(block));
        std::memcpy(data, &header, sizeof header);
        unsigned char* out = data + sizeof header;
        for (size_t row = 0; row < h; ++row) {
            const uint32_t* in = argb + (h - 1 - row) * static_cast<size_t>(stride);
            for (size_t col = 0; col < w; ++col, out += 4) {
                out[0] = static_cast<unsigned char>(in[col]);
                out[1] = static_cast<unsigned char>(in[col] >> 8);
                out[2] = static_cast<unsigned char>(in[col] >> 16);
                out[3] = 0xFF;
            }
        }
        GlobalUnlock(block);

        // No owner window: the picture is data, nobody renders it later. The clipboard keeps
        // the block once SetClipboardData takes it.
        bool taken = false;
        if (OpenClipboard(nullptr)) {
            EmptyClipboard();
            taken = SetClipboardData(CF_DIB, block) != nullptr;
            CloseClipboard();
        }
        if (!taken) {
            GlobalFree(block);
        }
        return true;
    }

    std::unique_ptr<IniFile> openIniFile(const std::string& path) override
    {
        return std::make_unique<WinIniFile>(fromUtf8(path));
    }
};

} // namespace

std::unique_ptr<Platform> createNativePlatform()
{
    return std::make_unique<WinPlatform>();
}

void prepareProcess() {}

} // namespace ombrix
