#include "profile_text.h"

namespace ombrix::profile
{

namespace
{

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Only used to read names and values: lines the program does not change keep their own bytes.
std::u16string decodeUtf8(std::string_view in)
{
    std::u16string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        char32_t c = 0;
        i += decodeUtf8Char(in.substr(i), c);
        char16_t units[2];
        out.append(units, toUtf16(c, units));
    }
    return out;
}

} // namespace

std::u16string_view trim(std::u16string_view s)
{
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::u16string folded(std::u16string_view s)
{
    std::u16string out(s);
    for (char16_t& c : out) {
        c = foldCase(c);
    }
    return out;
}

bool sameName(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (foldCase(a[i]) != foldCase(b[i])) {
            return false;
        }
    }
    return true;
}

size_t toUtf16(char32_t c, char16_t units[2])
{
    if (c < 0x10000) {
        units[0] = static_cast<char16_t>(c);
        return 1;
    }
    c -= 0x10000;
    units[0] = static_cast<char16_t>(0xD800 + (c >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    return 2;
}

size_t decodeUtf8Char(std::string_view in, char32_t& out)
{
    const auto b = static_cast<unsigned char>(in[0]);
    size_t extra = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (b < 0x80) {
        out = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        extra = 1, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        extra = 2, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        extra = 3, c = b & 0x07, min = 0x10000;
    } else {
        out = 0xFFFD;
        return 1;
    }
    bool ok = extra < in.size();
    for (size_t k = 1; ok && k <= extra; ++k) {
        const auto cont = static_cast<unsigned char>(in[k]);
        if ((cont & 0xC0) != 0x80) {
            ok = false;
        } else {
            c = (c << 6) | (cont & 0x3F);
        }
    }
    if (!ok || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        out = 0xFFFD;
        return 1;
    }
    out = c;
    return extra + 1;
}

std::u16string decode(std::string_view bytes, const UnitFormat& format)
{
    if (format.size == 1) {
        return decodeUtf8(bytes);
    }
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (size_t p = 0; p + 1 < bytes.size(); p += 2) {
        out += format.at(bytes.data() + p);
    }
    return out;
}

std::string encode(std::u16string_view text, const UnitFormat& format)
{
    std::string out;
    if (format.size == 2) {
        out.reserve(text.size() * 2);
        for (char16_t c : text) {
            const auto lo = static_cast<char>(c & 0xFF);
            const auto hi = static_cast<char>(c >> 8);
            if (format.bigEndian) {
                out += hi, out += lo;
            } else {
                out += lo, out += hi;
            }
        }
        return out;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out;
}

} // namespace ombrix::profile
