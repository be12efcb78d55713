#include "win_text.h"

namespace ombrix::win
{

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

std::wstring wide(std::u16string_view text)
{
    return std::wstring(text.begin(), text.end());
}

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

} // namespace ombrix::win
