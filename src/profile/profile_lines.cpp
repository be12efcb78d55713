#include "profile_lines.h"

#include <algorithm>
#include <cstring>

namespace ombrix::profile
{

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

Reader::Reader(std::ifstream& in, uint64_t begin, uint64_t end, size_t capacity)
  : in_(in)
  , buffer_(static_cast<size_t>(std::max<uint64_t>(std::min<uint64_t>(capacity, end - begin), 8)))
  , start_(begin)
  , end_(end)
{
}

size_t Reader::ensure(size_t n)
{
    if (fill_ - pos_ >= n || failed_) {
        return fill_ - pos_;
    }
    std::memmove(buffer_.data(), buffer_.data() + pos_, fill_ - pos_);
    start_ += pos_;
    fill_ -= pos_;
    pos_ = 0;
    const uint64_t next = start_ + fill_;
    const auto want = static_cast<size_t>(std::min<uint64_t>(buffer_.size() - fill_, end_ - next));
    if (want > 0) {
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(next));
        in_.read(buffer_.data() + fill_, static_cast<std::streamsize>(want));
        const auto got = static_cast<size_t>(std::max<std::streamsize>(in_.gcount(), 0));
        fill_ += got;
        failed_ = got < want;
    }
    return fill_ - pos_;
}

size_t Reader::toLineEndByte()
{
    // The next LF is remembered, so that a file with CR line ends does not search the whole
    // buffer for an LF at every line.
    const uint64_t here = position();
    const uint64_t loaded = start_ + fill_;
    if (lf_ < here || (!lfFound_ && lf_ != loaded)) {
        const void* q = std::memchr(data(), '\n', available());
        lfFound_ = q != nullptr;
        lf_ = q ? here + static_cast<uint64_t>(static_cast<const char*>(q) - data()) : loaded;
    }
    const auto toLf = static_cast<size_t>(lf_ - here);
    const void* cr = std::memchr(data(), '\r', toLf);
    return cr ? static_cast<size_t>(static_cast<const char*>(cr) - data()) : toLf;
}

void skipToLineEnd(Reader& r, const UnitFormat& u)
{
    for (;;) {
        const size_t available = r.ensure(u.size) / u.size * u.size;
        if (available == 0) {
            return;
        }
        if (u.size == 1) {
            const size_t d = r.toLineEndByte();
            r.advance(std::min(d, available));
            if (d < available) {
                return;
            }
            continue;
        }
        const char* p = r.data();
        size_t k = 0;
        while (k < available) {
            const char16_t c = u.at(p + k);
            if (c == u'\r' || c == u'\n') {
                break;
            }
            k += 2;
        }
        r.advance(k);
        if (k < available) {
            return;
        }
    }
}

namespace
{

// The next character of the line as UTF-16 units (1 or 2) and its length in bytes; 0 at the
// end of the stretch.
size_t nextChar(Reader& r, const UnitFormat& u, char16_t units[2], size_t& count)
{
    if (u.size == 2) {
        if (r.ensure(2) < 2) {
            return 0;
        }
        units[0] = u.at(r.data());
        count = 1;
        return 2;
    }
    if (r.ensure(4) == 0) {
        return 0;
    }
    char32_t c = 0;
    const size_t length = decodeUtf8Char(std::string_view(r.data(), r.available()), c);
    count = toUtf16(c, units);
    return length;
}

// After a header's "[": whether its name starts with `name` (blanks before it skipped). Reads
// up to the first unit that differs, never past the line's end. Sets `closed` when it reads
// a "]".
bool nameFollows(Reader& r, const UnitFormat& u, std::u16string_view name, bool& closed)
{
    if (!name.empty() && (isBlank(name.front()) || isBlank(name.back()))) {
        return false; // a header's name is read without the blanks around it
    }
    size_t matched = 0;
    bool leading = true;
    for (;;) {
        char16_t units[2] = {};
        size_t count = 0;
        const size_t length = nextChar(r, u, units, count);
        if (length == 0 || units[0] == u'\r' || units[0] == u'\n') {
            return matched == name.size();
        }
        if (leading && isBlank(units[0])) {
            r.advance(length);
            continue;
        }
        leading = false;
        if (matched == name.size()) {
            return true;
        }
        r.advance(length);
        if (units[0] == u']') {
            closed = true;
        }
        for (size_t k = 0; k < count; ++k) {
            if (matched == name.size() || foldCase(units[k]) != foldCase(name[matched])) {
                return false;
            }
            ++matched;
        }
    }
}

} // namespace

LineShape scanLine(Reader& r, const UnitFormat& u, const std::u16string_view* lookFor)
{
    LineShape s;
    s.begin = r.position();
    char16_t c = 0;
    const auto peek = [&] {
        if (r.ensure(u.size) < u.size) {
            return false;
        }
        c = u.at(r.data());
        return true;
    };
    bool have = peek();
    while (have && isBlank(c)) {
        r.advance(u.size);
        have = peek();
    }
    bool bracket = false;
    bool closed = false;
    enum class Name { Other, Follows, Closed } name = Name::Other;
    if (have && c == u'[') {
        bracket = true;
        r.advance(u.size);
        if (lookFor && nameFollows(r, u, *lookFor, closed)) {
            name = Name::Follows;
        }
    }
    for (;;) {
        if (!bracket || (closed && name == Name::Other)) {
            skipToLineEnd(r, u); // nothing but the line end matters any more
        }
        have = peek();
        if (!have || c == u'\r' || c == u'\n') {
            break;
        }
        r.advance(u.size);
        if (c == u']') {
            closed = true;
            name = name == Name::Follows ? Name::Closed : Name::Other;
        } else if (name == Name::Follows && !isBlank(c)) {
            name = Name::Other;
        }
    }
    if (have) {
        r.advance(u.size);
        s.endBytes = u.size;
        if (c == u'\r' && peek() && c == u'\n') {
            r.advance(u.size);
            s.endBytes += u.size;
        }
    }
    s.end = r.position();
    s.header = bracket && closed;
    s.named = s.header && name == Name::Closed;
    return s;
}

} // namespace ombrix::profile
