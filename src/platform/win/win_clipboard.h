#pragma once
// A picture on the Windows clipboard, as one 32-bit CF_DIB.

#include <cstdint>

namespace ombrix::win
{

// Rows top to bottom, 0xAARRGGBB, `stride` pixels a row. Throws PlatformError
// (Failure::ClipboardRefused) when the clipboard refused the picture.
void setClipboardPicture(int width, int height, const uint32_t* argb, int stride);

} // namespace ombrix::win
