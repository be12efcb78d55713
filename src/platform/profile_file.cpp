#include "profile_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace ombrix
{

namespace
{

bool isBlank(char16_t c)
{
    // What the profile service skips around names and values (0x1A is the old end-of-file mark).
    return c == u' ' || c == u'\t' || c == u'\v' || c == u'\f' || c == 0x1A;
}

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

char16_t foldCase(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
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

// A section header: "[" after optional blanks, the name up to the last "]" on the line.
bool sectionName(std::u16string_view line, std::u16string_view& name)
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

struct KeyLine {
    std::u16string_view name;
    std::u16string_view value;
    bool hasValue = false;
};

KeyLine keyLine(std::u16string_view line)
{
    KeyLine k;
    const size_t eq = line.find(u'=');
    if (eq == std::u16string_view::npos) {
        k.name = trim(line);
        return k;
    }
    k.name = trim(line.substr(0, eq));
    k.value = trim(line.substr(eq + 1));
    k.hasValue = true;
    return k;
}

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

void appendUtf16(std::u16string& out, char32_t c)
{
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

// Decodes UTF-8; a byte that starts no valid sequence stands for U+FFFD. Only used to read
// names and values: lines the program does not change keep their own bytes.
std::u16string decodeUtf8(std::string_view in)
{
    std::u16string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        const auto b = static_cast<unsigned char>(in[i]);
        int extra = 0;
        char32_t c = 0;
        char32_t min = 0;
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
        bool ok = i + static_cast<size_t>(extra) < in.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const auto cont = static_cast<unsigned char>(in[i + k]);
            if ((cont & 0xC0) != 0x80) {
                ok = false;
            } else {
                c = (c << 6) | (cont & 0x3F);
            }
        }
        if (!ok || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        appendUtf16(out, c);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

std::string describe(const std::error_code& ec)
{
    return ec.message();
}

} // namespace

ProfileFile::ProfileFile(std::string path)
  : path_(std::move(path))
{
}

void ProfileFile::load()
{
    if (loaded_) {
        return;
    }
    loaded_ = true;
    std::error_code ec;
    const fs::file_status st = fs::status(path_, ec);
    if (ec || !fs::exists(st)) {
        exists_ = false;
        return;
    }
    exists_ = true;
    if (fs::is_directory(st)) {
        unreadable_ = true;
        error_ = "is a folder";
        return;
    }
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        unreadable_ = true;
        error_ = std::strerror(errno);
        return;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        unreadable_ = true;
        error_ = std::strerror(errno);
        return;
    }
    const std::string data = buffer.str();

    size_t start = 0;
    if (data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        encoding_ = Encoding::Utf8Bom;
        start = 3;
    } else if (data.size() >= 2 && data.compare(0, 2, "\xFF\xFE") == 0) {
        encoding_ = Encoding::Utf16LE;
        start = 2;
    } else if (data.size() >= 2 && data.compare(0, 2, "\xFE\xFF") == 0) {
        encoding_ = Encoding::Utf16BE;
        start = 2;
    }

    const size_t unit = unitSize();
    auto unitAt = [&](size_t pos) -> char16_t {
        if (unit == 1) {
            return static_cast<unsigned char>(data[pos]);
        }
        const auto a = static_cast<unsigned char>(data[pos]);
        const auto b = static_cast<unsigned char>(data[pos + 1]);
        return encoding_ == Encoding::Utf16LE ? static_cast<char16_t>(a | (b << 8))
                                              : static_cast<char16_t>((a << 8) | b);
    };
    auto decode = [&](std::string_view bytes) {
        if (unit == 1) {
            return decodeUtf8(bytes);
        }
        std::u16string out;
        out.reserve(bytes.size() / 2);
        for (size_t p = 0; p + 1 < bytes.size(); p += 2) {
            const auto a = static_cast<unsigned char>(bytes[p]);
            const auto b = static_cast<unsigned char>(bytes[p + 1]);
            out += encoding_ == Encoding::Utf16LE ? static_cast<char16_t>(a | (b << 8))
                                                  : static_cast<char16_t>((a << 8) | b);
        }
        return out;
    };

    const size_t end = start + (data.size() - start) / unit * unit;
    bool newlineSeen = false;
    size_t lineStart = start;
    size_t pos = start;
    while (pos < end) {
        const char16_t c = unitAt(pos);
        if (c != u'\r' && c != u'\n') {
            pos += unit;
            continue;
        }
        size_t after = pos + unit;
        std::u16string ending(1, c);
        if (c == u'\r' && after < end && unitAt(after) == u'\n') {
            after += unit;
            ending += u'\n';
        }
        if (!newlineSeen) {
            newline_.clear();
            for (char16_t e : ending) {
                newline_ += static_cast<char>(e); // ASCII; encoded when used
            }
            newlineSeen = true;
        }
        Line line;
        line.text = decode(std::string_view(data).substr(lineStart, pos - lineStart));
        line.raw = data.substr(lineStart, after - lineStart);
        line.endBytes = after - pos;
        lines_.push_back(std::move(line));
        lineStart = pos = after;
    }
    if (lineStart < end) {
        Line line;
        line.text = decode(std::string_view(data).substr(lineStart, end - lineStart));
        line.raw = data.substr(lineStart, end - lineStart);
        lines_.push_back(std::move(line));
    }
    bom_ = data.substr(0, start);
    // An odd byte at the end of a UTF-16 file is no character: it is kept, after every line,
    // so that lines added before it stay whole.
    trailing_ = data.substr(end);
}

std::u16string ProfileFile::readString(std::u16string_view section,
                                       std::u16string_view key,
                                       std::u16string_view fallback)
{
    load();
    std::u16string result(fallback);
    const Position p = find(section, key);
    if (p.key != kNone) {
        const KeyLine k = keyLine(lines_[p.key].text);
        if (k.hasValue) {
            std::u16string_view v = k.value;
            if (v.size() > 1 && (v.front() == u'"' || v.front() == u'\'') &&
                v.back() == v.front()) {
                v = v.substr(1, v.size() - 2);
            }
            result = v;
        }
    }
    if (result.size() > kMaxValueUnits) {
        result.resize(kMaxValueUnits);
        // Do not leave half of a surrogate pair at the end.
        if (result.back() >= 0xD800 && result.back() <= 0xDBFF) {
            result.pop_back();
        }
    }
    return result;
}

ProfileFile::Position ProfileFile::find(std::u16string_view section, std::u16string_view key) const
{
    Position p;
    bool inSection = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
        std::u16string_view name;
        if (sectionName(lines_[i].text, name)) {
            if (inSection) {
                break; // only the first section of that name counts
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
            const KeyLine k = keyLine(lines_[i].text);
            if (!k.name.empty() && sameName(k.name, key)) {
                p.key = i;
            }
        }
    }
    return p;
}

bool ProfileFile::checkWritable()
{
    if (writableChecked_) {
        return writable_;
    }
    writableChecked_ = true;
    load();
    if (unreadable_) {
        // Writing would throw away what we could not read.
        return writable_ = false;
    }
    if (exists_) {
        std::error_code ec;
        const fs::perms perms = fs::status(path_, ec).permissions();
        const fs::perms anyWrite =
          fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
        if (ec || (perms & anyWrite) == fs::perms::none) {
            error_ = ec ? describe(ec) : std::string("read-only file");
            return writable_ = false;
        }
    }
    return writable_ = true;
}

std::string ProfileFile::encode(std::u16string_view text) const
{
    std::string out;
    if (unitSize() == 2) {
        out.reserve(text.size() * 2);
        for (char16_t c : text) {
            const auto lo = static_cast<char>(c & 0xFF);
            const auto hi = static_cast<char>(c >> 8);
            if (encoding_ == Encoding::Utf16LE) {
                out += lo, out += hi;
            } else {
                out += hi, out += lo;
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

std::string ProfileFile::newline() const
{
    std::u16string nl;
    for (char c : newline_) {
        nl += static_cast<char16_t>(c);
    }
    return encode(nl);
}

void ProfileFile::ensureLineEnd(size_t index)
{
    Line& line = lines_[index];
    if (line.endBytes == 0) {
        const std::string nl = newline();
        line.raw += nl;
        line.endBytes = nl.size();
    }
}

bool ProfileFile::writeString(std::u16string_view section,
                              std::u16string_view key,
                              std::u16string_view value)
{
    if (!checkWritable()) {
        return false;
    }
    if (value.find_first_of(u"\r\n") != std::u16string_view::npos ||
        section.find_first_of(u"\r\n]") != std::u16string_view::npos ||
        key.find_first_of(u"\r\n=") != std::u16string_view::npos) {
        error_ = "the text cannot be held by a profile file";
        return false;
    }
    const Position p = find(section, key);
    const std::u16string entry = std::u16string(key) + u'=' + std::u16string(value);

    if (p.section == kNone) {
        if (!lines_.empty()) {
            ensureLineEnd(lines_.size() - 1);
        }
        const std::u16string header = u"[" + std::u16string(section) + u"]";
        lines_.push_back(newLine(header));
        lines_.push_back(newLine(entry));
    } else if (p.key != kNone) {
        Line& line = lines_[p.key];
        // Keep the bytes up to the value's start; replace the value, keep the line end.
        const std::string ending = line.raw.substr(line.raw.size() - line.endBytes);
        const size_t eq = line.text.find(u'=');
        std::u16string newText;
        std::string prefix;
        if (eq == std::u16string::npos) {
            newText = line.text + u'=' + std::u16string(value);
            prefix = line.raw.substr(0, line.raw.size() - ending.size()) + encode(u"=");
        } else {
            size_t valueStart = eq + 1;
            while (valueStart < line.text.size() && isBlank(line.text[valueStart])) {
                ++valueStart;
            }
            newText = line.text.substr(0, valueStart) + std::u16string(value);
            prefix = rawPrefix(line, valueStart);
        }
        line.text = newText;
        line.raw = prefix + encode(value) + ending;
    } else {
        ensureLineEnd(p.sectionEnd - 1);
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(p.sectionEnd), newLine(entry));
    }
    dirty_ = true;
    return true;
}

std::string ProfileFile::rawPrefix(const Line& line, size_t textUnits) const
{
    if (unitSize() == 2) {
        return line.raw.substr(0, textUnits * 2);
    }
    // In UTF-8 the text before the value is '=' and blanks after the name: find the byte
    // offset by walking the raw bytes alongside the text (both ASCII at the '=' and after).
    const size_t eqText = line.text.find(u'=');
    const size_t eqRaw = line.raw.find('=');
    return line.raw.substr(0, eqRaw + 1 + (textUnits - eqText - 1));
}

ProfileFile::Line ProfileFile::newLine(const std::u16string& text) const
{
    Line line;
    line.text = text;
    const std::string nl = newline();
    line.raw = encode(text) + nl;
    line.endBytes = nl.size();
    return line;
}

std::string ProfileFile::serialized() const
{
    std::string out = bom_;
    for (const Line& line : lines_) {
        out += line.raw;
    }
    return out + trailing_;
}

bool ProfileFile::flush()
{
    if (!dirty_) {
        return true;
    }
    if (!checkWritable()) {
        return false;
    }
    // Write beside the file (a folder we cannot write fails here), flush to disk, then put it
    // in the file's place in one step. A link is followed, so the link itself stays.
    std::error_code ec;
    fs::path target = path_;
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        const fs::path resolved = fs::canonical(target, ec);
        if (!ec) {
            target = resolved;
        }
    }
    std::random_device random;
    const fs::path temp = target.parent_path() / (target.filename().string() + ".tmp" +
                                                  std::to_string(random() % 1000000));
    std::FILE* f = std::fopen(temp.string().c_str(), "wb");
    if (!f) {
        error_ = std::strerror(errno);
        return false;
    }
    const std::string bytes = serialized();
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = ok && std::fflush(f) == 0;
#ifdef _WIN32
    ok = ok && _commit(_fileno(f)) == 0;
#else
    ok = ok && fsync(fileno(f)) == 0;
#endif
    if (!ok) {
        error_ = std::strerror(errno);
    }
    if (std::fclose(f) != 0 && ok) {
        error_ = std::strerror(errno);
        ok = false;
    }
    if (ok && exists_) {
        fs::permissions(temp, fs::status(target, ec).permissions(), ec);
    }
    if (ok) {
        fs::rename(temp, target, ec);
        if (ec) {
            error_ = describe(ec);
            ok = false;
        }
    }
    if (!ok) {
        fs::remove(temp, ec);
        return false;
    }
    exists_ = true;
    dirty_ = false;
    return true;
}

} // namespace ombrix
