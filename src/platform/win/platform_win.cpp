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

// The system's words for an error code, in English where the system has them.
std::string systemMessage(DWORD code)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr,
      code,
      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
      reinterpret_cast<char*>(&text),
      0,
      nullptr);
    std::string message = "error " + std::to_string(code);
    if (length && text) {
        message += ": " + std::string(text, length);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
            message.pop_back();
        }
    }
    LocalFree(text);
    return message;
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
        if (WritePrivateProfileStringW(
              wide(section).c_str(), wide(key).c_str(), wide(value).c_str(), path_.c_str())) {
            return true;
        }
        error_ = systemMessage(GetLastError());
        return false;
    }

    bool flush() override
    {
        // Its result is no verdict on the writes (Wine answers FALSE even when all went well);
        // each write has already told its own failure.
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, path_.c_str());
        flushed_ = true;
        return true;
    }

    std::string lastError() const override { return error_; }

private:
    std::wstring path_;
    bool flushed_ = false;
    std::string error_;
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

// Opens the clipboard, waiting up to half a second while another program has it open.
bool openClipboard()
{
    const ULONGLONG start = GetTickCount64();
    while (!OpenClipboard(nullptr)) {
        if (GetTickCount64() - start > 500) {
            return false;
        }
        Sleep(10);
    }
    return true;
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
            throw PlatformError(Failure::ScreenUnreadable,
                                "CreateDIBSection failed: " + systemMessage(GetLastError()));
        }
        HDC memory = CreateCompatibleDC(nullptr);
        HGDIOBJ previous = SelectObject(memory, bitmap);

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
    void grabUnder(uintptr_t window, const Rect& area, Pixels& into, GrabTimes*) override
    {
        const HWND hwnd = reinterpret_cast<HWND>(window);
        const bool composing = Dwm::get().composing();
        into.width = std::max(area.width, 0);
        into.height = std::max(area.height, 0);
        into.lent.reset();
        into.argb.resize(static_cast<size_t>(into.width) * static_cast<size_t>(into.height));
        // Without composition the change reaches the screen some time after the call (under
        // Wine, once the X server has it): what the screen shows with the window tells when.
        Pixels shown;
        if (!composing) {
            shown.width = into.width;
            shown.height = into.height;
            copyDesktop(area.x, area.y, shown);
        }

        HRGN saved = CreateRectRgn(0, 0, 0, 0);
        const bool hadRegion = GetWindowRgn(hwnd, saved) != ERROR;
        // One pixel outside the window: nothing of it is left (an empty region is taken by
        // some systems as no region at all).
        SetWindowRgn(hwnd, CreateRectRgn(-1, -1, 0, 0), TRUE);
        auto restore = [&] {
            // The system owns a region once it is set; ours is freed only when it was not used.
            SetWindowRgn(hwnd, hadRegion ? saved : nullptr, TRUE);
            if (!hadRegion) {
                DeleteObject(saved);
            }
        };
        try {
            if (composing) {
                // The next two compositions: the one under way may have begun before the change.
                Dwm::get().flush();
                Dwm::get().flush();
                copyDesktop(area.x, area.y, into);
            } else {
                waitUntilChanged(area, shown, into);
            }
        } catch (...) {
            restore();
            throw;
        }
        restore();
    }

    // The physical state, whichever program has the focus. GetKeyState would follow only the
    // key messages that this thread has taken from its queue, which never sees keys typed into
    // another program: the shortcuts would work only while Ombrix has the focus.
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
        // the block once SetClipboardData takes it. Another program may hold the clipboard open
        // for a moment (clipboard managers do after every change), so the opening is retried
        // for a while before the copy is reported as failed.
        bool taken = false;
        std::string why = "another program kept the clipboard open for 0.5 s";
        if (openClipboard()) {
            EmptyClipboard();
            taken = SetClipboardData(CF_DIB, block) != nullptr;
            if (!taken) {
                why = "SetClipboardData failed: " + systemMessage(GetLastError());
            }
            CloseClipboard();
        }
        if (!taken) {
            GlobalFree(block);
            throw PlatformError(Failure::ClipboardRefused, why);
        }
        return true;
    }

    std::unique_ptr<IniFile> openIniFile(const std::string& path) override
    {
        return std::make_unique<WinIniFile>(fromUtf8(path));
    }

private:
    // Reads `area` into `into` until it differs from what showed with the window (`shown`), and
    // then until two reads 10 ms apart agree, as what the window covered is repainted. A window
    // that changes nothing there (invisible over the area) costs the cap, 300 ms.
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
};

} // namespace

std::unique_ptr<Platform> createNativePlatform()
{
    return std::make_unique<WinPlatform>();
}

void prepareProcess() {}

} // namespace ombrix
