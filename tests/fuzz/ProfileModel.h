#pragma once
// The profile-file rules applied to a file held whole in memory, split into decoded lines: the
// plain way to do what ProfileFile does while it reads only as far as it must. The fuzzer holds
// ProfileFile to it, read for read and byte for byte.

#include <string>
#include <string_view>
#include <vector>

namespace model
{

inline bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\v' || c == u'\f' || c == 0x1A;
}

inline std::u16string_view trim(std::u16string_view s)
{
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

inline bool sameName(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    const auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

inline bool sectionName(std::u16string_view line, std::u16string_view& name)
{
    const std::u16string_view t = trim(line);
    if (t.empty() || t.front() != u'[') {
        return false;
    }
    const size_t close = t.rfind(u']');
    if (close == std::u16string_view::npos || close == 0) {
        return false;
    }
    name = trim(t.substr(1, close - 1));
    return true;
}

class Profile
{
public:
    // The file's bytes; `exists` false for no file.
    Profile(const std::string& data, bool exists)
      : exists_(exists)
    {
        size_t start = 0;
        if (data.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            start = 3;
        } else if (data.compare(0, 2, "\xFF\xFE") == 0) {
            unit_ = 2, start = 2;
        } else if (data.compare(0, 2, "\xFE\xFF") == 0) {
            unit_ = 2, bigEndian_ = true, start = 2;
        }
        const size_t end = start + (data.size() - start) / unit_ * unit_;
        bool newlineSeen = false;
        size_t lineStart = start;
        for (size_t pos = start; pos < end;) {
            const char16_t c = unitAt(data, pos);
            if (c != u'\r' && c != u'\n') {
                pos += unit_;
                continue;
            }
            size_t after = pos + unit_;
            std::string ending(1, static_cast<char>(c));
            if (c == u'\r' && after < end && unitAt(data, after) == u'\n') {
                after += unit_;
                ending += '\n';
            }
            if (!newlineSeen) {
                newline_ = ending;
                newlineSeen = true;
            }
            lines_.push_back({ decode(data.substr(lineStart, pos - lineStart)),
                               data.substr(lineStart, after - lineStart),
                               after - pos });
            lineStart = pos = after;
        }
        if (lineStart < end) {
            const std::string rest = data.substr(lineStart, end - lineStart);
            lines_.push_back({ decode(rest), rest, 0 });
        }
        bom_ = data.substr(0, start);
        trailing_ = data.substr(end);
    }

    std::u16string read(std::u16string_view section,
                        std::u16string_view key,
                        std::u16string_view fallback) const
    {
        std::u16string result(fallback);
        const Position p = find(section, key);
        if (p.key != kNone) {
            const std::u16string_view line = lines_[p.key].text;
            const size_t eq = line.find(u'=');
            if (eq != std::u16string_view::npos) {
                std::u16string_view v = trim(line.substr(eq + 1));
                if (v.size() > 1 && (v.front() == u'"' || v.front() == u'\'') &&
                    v.back() == v.front()) {
                    v = v.substr(1, v.size() - 2);
                }
                result = v;
            }
        }
        if (result.size() > 2047) {
            result.resize(2047);
            if (result.back() >= 0xD800 && result.back() <= 0xDBFF) {
                result.pop_back();
            }
        }
        return result;
    }

    bool write(std::u16string_view section, std::u16string_view key, std::u16string_view value)
    {
        if (value.find_first_of(u"\r\n") != std::u16string_view::npos ||
            section.find_first_of(u"\r\n]") != std::u16string_view::npos ||
            key.find_first_of(u"\r\n=") != std::u16string_view::npos) {
            return false;
        }
        const Position p = find(section, key);
        const std::u16string entry = std::u16string(key) + u'=' + std::u16string(value);
        if (p.section == kNone) {
            if (!lines_.empty()) {
                ensureLineEnd(lines_.size() - 1);
            }
            lines_.push_back(newLine(u"[" + std::u16string(section) + u"]"));
            lines_.push_back(newLine(entry));
        } else if (p.key != kNone) {
            Line& line = lines_[p.key];
            const std::string ending = line.raw.substr(line.raw.size() - line.endBytes);
            const size_t eq = line.text.find(u'=');
            std::string prefix;
            if (eq == std::u16string::npos) {
                prefix = line.raw.substr(0, line.raw.size() - ending.size()) + encode(u"=");
                line.text += u'=' + std::u16string(value);
            } else {
                size_t valueStart = eq + 1;
                while (valueStart < line.text.size() && isBlank(line.text[valueStart])) {
                    ++valueStart;
                }
                if (unit_ == 2) {
                    prefix = line.raw.substr(0, valueStart * 2);
                } else {
                    prefix = line.raw.substr(0, line.raw.find('=') + 1 + (valueStart - eq - 1));
                }
                line.text = line.text.substr(0, valueStart) + std::u16string(value);
            }
            line.raw = prefix + encode(value) + ending;
        } else {
            ensureLineEnd(p.sectionEnd - 1);
            lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(p.sectionEnd),
                          newLine(entry));
        }
        changed_ = true;
        return true;
    }

    // What the file holds after a flush; no file when nothing was written to a missing one.
    bool exists() const { return exists_ || changed_; }
    std::string bytes() const
    {
        std::string out = bom_;
        for (const Line& line : lines_) {
            out += line.raw;
        }
        return out + trailing_;
    }

private:
    struct Line {
        std::u16string text;
        std::string raw;
        size_t endBytes = 0;
    };
    static constexpr size_t kNone = static_cast<size_t>(-1);
    struct Position {
        size_t section = kNone, sectionEnd = kNone, key = kNone;
    };

    char16_t unitAt(const std::string& data, size_t pos) const
    {
        const auto a = static_cast<unsigned char>(data[pos]);
        if (unit_ == 1) {
            return a;
        }
        const auto b = static_cast<unsigned char>(data[pos + 1]);
        return bigEndian_ ? char16_t((a << 8) | b) : char16_t(a | (b << 8));
    }

    static void append(std::u16string& out, char32_t c)
    {
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        }
    }

    std::u16string decode(const std::string& in) const
    {
        std::u16string out;
        if (unit_ == 2) {
            for (size_t p = 0; p + 1 < in.size(); p += 2) {
                out += unitAt(in, p);
            }
            return out;
        }
        size_t i = 0;
        while (i < in.size()) {
            const auto b = static_cast<unsigned char>(in[i]);
            size_t extra = 0;
            char32_t c = 0, min = 0;
            if (b < 0x80) {
                out += static_cast<char16_t>(b);
                ++i;
                continue;
            } else if ((b & 0xE0) == 0xC0) {
                extra = 1, c = b & 0x1F, min = 0x80;
            } else if ((b & 0xF0) == 0xE0) {
                extra = 2, c = b & 0x0F, min = 0x800;
            } else if ((b & 0xF8) == 0xF0) {
                extra = 3, c = b & 0x07, min = 0x10000;
            } else {
                out += u'\uFFFD';
                ++i;
                continue;
            }
            bool ok = i + extra < in.size();
            for (size_t k = 1; ok && k <= extra; ++k) {
                const auto cont = static_cast<unsigned char>(in[i + k]);
                ok = (cont & 0xC0) == 0x80;
                c = (c << 6) | (cont & 0x3F);
            }
            if (!ok || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
                out += u'\uFFFD';
                ++i;
                continue;
            }
            append(out, c);
            i += extra + 1;
        }
        return out;
    }

    std::string encode(std::u16string_view text) const
    {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (unit_ == 2) {
                const auto lo = static_cast<char>(text[i] & 0xFF);
                const auto hi = static_cast<char>(text[i] >> 8);
                out += bigEndian_ ? hi : lo;
                out += bigEndian_ ? lo : hi;
                continue;
            }
            char32_t c = text[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                c = 0xFFFD;
            }
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
        return out;
    }

    std::string newlineBytes() const
    {
        std::u16string nl;
        for (char c : newline_) {
            nl += static_cast<char16_t>(c);
        }
        return encode(nl);
    }

    Line newLine(const std::u16string& text) const
    {
        const std::string nl = newlineBytes();
        return { text, encode(text) + nl, nl.size() };
    }

    void ensureLineEnd(size_t index)
    {
        if (lines_[index].endBytes == 0) {
            const std::string nl = newlineBytes();
            lines_[index].raw += nl;
            lines_[index].endBytes = nl.size();
        }
    }

    Position find(std::u16string_view section, std::u16string_view key) const
    {
        Position p;
        bool inSection = false;
        for (size_t i = 0; i < lines_.size(); ++i) {
            std::u16string_view name;
            if (sectionName(lines_[i].text, name)) {
                if (inSection) {
                    break;
                }
                if (sameName(name, section)) {
                    inSection = true;
                    p.section = i;
                    p.sectionEnd = i + 1;
                }
                continue;
            }
            if (!inSection) {
                continue;
            }
            if (!trim(lines_[i].text).empty()) {
                p.sectionEnd = i + 1;
            }
            if (p.key == kNone) {
                const std::u16string_view line = lines_[i].text;
                const size_t eq = line.find(u'=');
                const std::u16string_view k = trim(line.substr(0, eq));
                if (!k.empty() && sameName(k, key)) {
                    p.key = i;
                }
            }
        }
        return p;
    }

    bool exists_ = false;
    bool changed_ = false;
    size_t unit_ = 1;
    bool bigEndian_ = false;
    std::string newline_ = "\r\n";
    std::string bom_;
    std::string trailing_;
    std::vector<Line> lines_;
};

} // namespace model
