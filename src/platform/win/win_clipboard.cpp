#include "win_clipboard.h"

#include "platform.h"
#include "win_text.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace ombrix::win
{

namespace
{

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

} // namespace

void setClipboardPicture(int width, int height, const uint32_t* argb, int stride)
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
    if (!data) {
        const DWORD why = GetLastError();
        GlobalFree(block);
        throw PlatformError(Failure::ClipboardRefused,
                            "the clipboard's memory could not be locked: " + systemMessage(why));
    }
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
}

} // namespace ombrix::win
