#pragma once
// The text of a profile file: how its characters are laid out in bytes (UTF-8, or UTF-16 in
// either byte order) and how names compare. Neither direction fails: a byte that starts no valid
// UTF-8 sequence decodes to U+FFFD, and a lone surrogate encodes to U+FFFD in UTF-8; every
// other character comes back from an encode and a decode unchanged.

#include <cstddef>
#include <string>
#include <string_view>

namespace ombrix::profile
{

// What the profile service skips around names and values (0x1A is the old end-of-file mark).
inline bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\v' || c == u'\f' || c == 0x1A;
}

// Names match whatever the case of their ASCII letters; no other letter is folded.
inline char16_t foldCase(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

std::u16string_view trim(std::u16string_view s);
std::u16string folded(std::u16string_view s);
bool sameName(std::u16string_view a, std::u16string_view b);

// How the file's text is laid out in bytes: one byte a unit (UTF-8, decoded only where a
// character matters) or two (UTF-16 in either order).
struct UnitFormat {
    size_t size = 1;
    bool bigEndian = false;

    // The unit that starts at `p` (`size` bytes there).
    char16_t at(const char* p) const
    {
        const auto a = static_cast<unsigned char>(p[0]);
        if (size == 1) {
            return a;
        }
        const auto b = static_cast<unsigned char>(p[1]);
        return bigEndian ? static_cast<char16_t>((a << 8) | b)
                         : static_cast<char16_t>(a | (b << 8));
    }
};

// The UTF-16 units of a code point; returns how many (1 or 2).
size_t toUtf16(char32_t c, char16_t units[2]);

// The first character of UTF-8 bytes (not empty): its code point, and how many bytes it takes.
// A byte that starts no valid sequence stands for U+FFFD and takes one byte.
size_t decodeUtf8Char(std::string_view in, char32_t& out);

// Bytes of the file as text; an odd last byte of UTF-16 is left out.
std::u16string decode(std::string_view bytes, const UnitFormat& format);
// Text as the file's bytes.
std::string encode(std::u16string_view text, const UnitFormat& format);

} // namespace ombrix::profile
