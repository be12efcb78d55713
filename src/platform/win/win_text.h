#pragma once
// Text between the program's UTF-8 and UTF-16 and the wide Win32 calls, and the system's words
// for its error codes.

#include "win32.h"

#include <string>
#include <string_view>

namespace ombrix::win
{

// Paths come in UTF-8 from the toolkit; the wide calls want UTF-16.
std::wstring fromUtf8(const std::string& utf8);

// wchar_t is a UTF-16 unit on Windows: a copy unit by unit is exact, and adds the null.
std::wstring wide(std::u16string_view text);

// The system's words for an error code, in English where the system has them.
std::string systemMessage(DWORD code);

} // namespace ombrix::win
