#include "profile_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
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

// The UTF-16 units of a code point; returns how many (1 or 2).
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

// The first character of UTF-8 bytes (not empty): its code point, and how many bytes it takes.
// A byte that starts no valid sequence stands for U+FFFD and takes one byte.
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

std::string describe(const std::error_code& ec)
{
    return ec.message();
}

// How the file's text is laid out in bytes: one byte a unit (UTF-8, decoded only where a
// character matters) or two (UTF-16 in either order).
struct UnitFormat {
    size_t size = 1;
    bool bigEndian = false;

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

// Reads a stretch of a file front to back through a buffer of fixed size.
class Reader
{
public:
    // The buffer holds `capacity` bytes, or the whole stretch when that is less (and always
    // the few bytes of the longest character).
    Reader(std::ifstream& in, uint64_t begin, uint64_t end, size_t capacity)
      : in_(in)
      , buffer_(
          static_cast<size_t>(std::max<uint64_t>(std::min<uint64_t>(capacity, end - begin), 8)))
      , start_(begin)
      , end_(end)
    {
    }

    uint64_t position() const { return start_ + pos_; }
    const char* data() const { return buffer_.data() + pos_; }
    size_t available() const { return fill_ - pos_; }
    void advance(size_t n) { pos_ += n; }
    // True when the file ended before the stretch did, or could not be read.
    bool failed() const { return failed_; }

    // Has at least `n` bytes from the position on in the buffer, or all that are left of the
    // stretch; returns how many there are.
    size_t ensure(size_t n)
    {
        if (fill_ - pos_ >= n || failed_) {
            return fill_ - pos_;
        }
        std::memmove(buffer_.data(), buffer_.data() + pos_, fill_ - pos_);
        start_ += pos_;
        fill_ -= pos_;
        pos_ = 0;
        const uint64_t next = start_ + fill_;
        const auto want =
          static_cast<size_t>(std::min<uint64_t>(buffer_.size() - fill_, end_ - next));
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

    // How far the first CR or LF byte in the buffer lies from the position; available() if
    // there is none. The next LF is remembered, so that a file with CR line ends does not
    // search the whole buffer for an LF at every line.
    size_t toLineEndByte()
    {
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

private:
    std::ifstream& in_;
    std::vector<char> buffer_;
    size_t pos_ = 0;
    size_t fill_ = 0;
    uint64_t start_; // where buffer_[0] lies in the file
    uint64_t end_;
    uint64_t lf_ = 0;
    bool lfFound_ = false;
    bool failed_ = false;
};

// Moves the reader to the next CR or LF, or to the end of its stretch.
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

// What the profile rules make of one line, read without holding it.
struct LineShape {
    uint64_t begin = 0;
    uint64_t end = 0; // after the line end
    size_t endBytes = 0;
    bool header = false; // "[" after blanks, and a "]" after it
    bool named = false;  // a header of the name looked for
};

// Reads one line. With `lookFor`, tells whether it is the header of a section of that name:
// "[", the name between blanks, "]", and no "]" after it (the name ends at the last "]").
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

#ifndef _WIN32
// Whether a process of this id may still run (one we may not ask about counts as running).
bool processRuns(long id)
{
    return ::kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH;
}
#endif

long processId()
{
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

// Opens a fresh temporary file for writing. A file of that name can only be left by an
// earlier process that had our id, and no longer runs: it goes first, so that we never write
// through anything that stands there.
std::FILE* createTemporary(const fs::path& temp)
{
#ifdef _WIN32
    return std::fopen(temp.string().c_str(), "wb");
#else
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        ::close(fd);
    }
    return f;
#endif
}

// Puts what was written to `f` on the disk itself; false (errno set) when that fails.
bool syncToDisk(std::FILE* f)
{
#ifdef _WIN32
    return _commit(_fileno(f)) == 0;
#else
    return fsync(fileno(f)) == 0;
#endif
}

// Removes the temporary files of writes of `target` by processes that no longer run: a process
// killed while it wrote leaves its temporary file behind.
void removeLeftovers(const fs::path& target)
{
#ifdef _WIN32
    (void)target;
#else
    const std::string prefix = target.filename().string() + ".tmp";
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.size() > prefix.size() + 9 ||
            name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::string digits = name.substr(prefix.size());
        if (!std::all_of(
              digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        const long id = std::stol(digits);
        if (id <= 0 || id == processId() || processRuns(id)) {
            continue;
        }
        std::error_code ignored;
        fs::remove(it->path(), ignored);
    }
#endif
}

} // namespace

ProfileFile::ProfileFile(std::string path, size_t readBuffer)
  : path_(std::move(path))
  , readBuffer_(std::max<size_t>(readBuffer, 8))
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
    if (!fs::is_regular_file(st)) {
        // A device or a pipe may never end.
        unreadable_ = true;
        error_ = "not an ordinary file";
        return;
    }
    if (!openForReading()) {
        return;
    }
    const uint64_t size = fs::file_size(path_, ec);
    if (ec) {
        unreadable_ = true;
        error_ = describe(ec);
        return;
    }
    std::string head;
    if (!readBytes(0, std::min<uint64_t>(size, 3), head)) {
        return;
    }
    size_t start = 0;
    if (head.size() >= 3 && head.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        encoding_ = Encoding::Utf8Bom;
        start = 3;
    } else if (head.size() >= 2 && head.compare(0, 2, "\xFF\xFE") == 0) {
        encoding_ = Encoding::Utf16LE;
        start = 2;
    } else if (head.size() >= 2 && head.compare(0, 2, "\xFE\xFF") == 0) {
        encoding_ = Encoding::Utf16BE;
        start = 2;
    }
    bom_ = head.substr(0, start);
    contentBegin_ = start;
    contentEnd_ = start + (size - start) / unitSize() * unitSize();
    // An odd byte at the end of a UTF-16 file is no character: it is kept, after every line,
    // so that lines added before it stay whole.
    if (!readBytes(contentEnd_, size - contentEnd_, trailing_)) {
        return;
    }
    if (contentEnd_ > contentBegin_) {
        Run whole;
        whole.offset = contentBegin_;
        whole.length = contentEnd_ - contentBegin_;
        pieces_.emplace_back(std::move(whole));
    }
}

void ProfileFile::unload()
{
    in_.close();
    loaded_ = false;
    exists_ = false;
    unreadable_ = false;
    writableChecked_ = false;
    writable_ = false;
    encoding_ = Encoding::Utf8;
    newlineKnown_ = false;
    newline_ = "\r\n";
    contentBegin_ = contentEnd_ = 0;
    bom_.clear();
    trailing_.clear();
    pieces_.clear();
    settled_.clear();
}

bool ProfileFile::openForReading()
{
    if (unreadable_) {
        return false;
    }
    if (in_.is_open()) {
        return true;
    }
    in_.clear();
    in_.open(path_, std::ios::binary);
    if (!in_.is_open()) {
        unreadable_ = true;
        error_ = std::strerror(errno);
        return false;
    }
    return true;
}

bool ProfileFile::readBytes(uint64_t offset, uint64_t length, std::string& out)
{
    out.clear();
    if (length == 0) {
        return true;
    }
    if (!openForReading()) {
        return false;
    }
    out.resize(static_cast<size_t>(length));
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(out.data(), static_cast<std::streamsize>(length));
    if (in_.gcount() != static_cast<std::streamsize>(length)) {
        readFailed();
        out.clear();
        return false;
    }
    return true;
}

void ProfileFile::readFailed()
{
    // The file got shorter since it was opened, or the system cannot read it: what was read
    // cannot be trusted, so nothing is written over it.
    unreadable_ = true;
    error_ = "the file cannot be read to its end";
}

std::u16string ProfileFile::decode(std::string_view bytes) const
{
    if (unitSize() == 1) {
        return decodeUtf8(bytes);
    }
    const UnitFormat u{ 2, bigEndian() };
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (size_t p = 0; p + 1 < bytes.size(); p += 2) {
        out += u.at(bytes.data() + p);
    }
    return out;
}

std::u16string ProfileFile::readString(std::u16string_view section,
                                       std::u16string_view key,
                                       std::u16string_view fallback)
{
    load();
    std::u16string result(fallback);
    const Position p = find(section, key);
    if (p.key != kNone) {
        const KeyLine k = keyLine(std::get<Line>(pieces_[p.key]).text);
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

ProfileFile::Position ProfileFile::find(std::u16string_view section, std::u16string_view key)
{
    Position p;
    const std::u16string name = folded(section);
    const bool settled = std::find(settled_.begin(), settled_.end(), name) != settled_.end();
    bool inSection = false;
    for (size_t i = 0; i < pieces_.size(); ++i) {
        if (const Run* run = std::get_if<Run>(&pieces_[i])) {
            if (inSection) {
                break; // a run after the held lines of a section starts with the next header
            }
            uint64_t header = 0;
            if (settled || !findHeader(*run, section, header)) {
                if (unreadable_) {
                    return {};
                }
                continue;
            }
            i = holdSection(i, header);
            if (unreadable_) {
                return {};
            }
        }
        const Line& line = std::get<Line>(pieces_[i]);
        std::u16string_view lineName;
        if (sectionName(line.text, lineName)) {
            if (inSection) {
                break; // only the first section of that name counts
            }
            if (sameName(lineName, section)) {
                inSection = true;
                p.section = i;
                p.sectionEnd = i + 1;
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (!trim(line.text).empty()) {
            p.sectionEnd = i + 1;
        }
        if (p.key == kNone) {
            const KeyLine k = keyLine(line.text);
            if (!k.name.empty() && sameName(k.name, key)) {
                p.key = i;
            }
        }
    }
    if (!settled) {
        settled_.push_back(name);
    }
    return p;
}

bool ProfileFile::findHeader(const Run& run, std::u16string_view section, uint64_t& header)
{
    if (!openForReading()) {
        return false;
    }
    const uint64_t end = run.offset + run.length;
    Reader r(in_, run.offset, end, readBuffer_);
    const UnitFormat u{ unitSize(), bigEndian() };
    while (r.position() < end) {
        const LineShape s = scanLine(r, u, &section);
        if (r.failed()) {
            readFailed();
            return false;
        }
        if (s.named) {
            header = s.begin;
            return true;
        }
    }
    return false;
}

size_t ProfileFile::holdSection(size_t index, uint64_t header)
{
    const Run run = std::get<Run>(pieces_[index]);
    const uint64_t runEnd = run.offset + run.length;
    std::vector<Line> lines;
    // Each line's shape first: the header that ends the section is never read in whole.
    Reader r(in_, header, runEnd, readBuffer_);
    const UnitFormat u{ unitSize(), bigEndian() };
    uint64_t at = header;
    while (at < runEnd) {
        const LineShape s = scanLine(r, u, nullptr);
        if (r.failed()) {
            readFailed();
            return index;
        }
        if (s.header && !lines.empty()) {
            break;
        }
        Line line;
        if (!readBytes(s.begin, s.end - s.begin, line.raw)) {
            return index;
        }
        line.endBytes = s.endBytes;
        line.text = decode(std::string_view(line.raw).substr(0, line.raw.size() - s.endBytes));
        lines.push_back(std::move(line));
        at = s.end;
    }
    if (at == runEnd && !run.lineEnd.empty()) {
        lines.back().raw += run.lineEnd;
        lines.back().endBytes = run.lineEnd.size();
    }
    std::vector<Piece> replacement;
    if (header > run.offset) {
        replacement.emplace_back(Run{ run.offset, header - run.offset, {} });
    }
    const size_t headerIndex = index + replacement.size();
    for (Line& line : lines) {
        replacement.emplace_back(std::move(line));
    }
    if (at < runEnd) {
        replacement.emplace_back(Run{ at, runEnd - at, run.lineEnd });
    }
    pieces_.erase(pieces_.begin() + static_cast<std::ptrdiff_t>(index));
    pieces_.insert(pieces_.begin() + static_cast<std::ptrdiff_t>(index),
                   std::make_move_iterator(replacement.begin()),
                   std::make_move_iterator(replacement.end()));
    return headerIndex;
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

const std::string& ProfileFile::newlineAscii()
{
    if (newlineKnown_) {
        return newline_;
    }
    newlineKnown_ = true;
    load();
    if (contentEnd_ <= contentBegin_ || !openForReading()) {
        return newline_;
    }
    // The file's first line end, wherever it is.
    Reader r(in_, contentBegin_, contentEnd_, readBuffer_);
    const UnitFormat u{ unitSize(), bigEndian() };
    skipToLineEnd(r, u);
    if (r.ensure(u.size) < u.size) {
        return newline_; // no line end at all
    }
    const char16_t first = u.at(r.data());
    r.advance(u.size);
    newline_.assign(1, static_cast<char>(first));
    if (first == u'\r' && r.ensure(u.size) >= u.size && u.at(r.data()) == u'\n') {
        newline_ += '\n';
    }
    return newline_;
}

std::string ProfileFile::newline()
{
    std::u16string nl;
    for (char c : newlineAscii()) {
        nl += static_cast<char16_t>(c);
    }
    return encode(nl);
}

bool ProfileFile::lastLineHasEnd(const Run& run)
{
    std::string last;
    if (!readBytes(run.offset + run.length - unitSize(), unitSize(), last)) {
        return true; // nothing is written after a failed read anyway
    }
    const char16_t c = UnitFormat{ unitSize(), bigEndian() }.at(last.data());
    return c == u'\r' || c == u'\n';
}

void ProfileFile::ensureLineEnd(size_t index)
{
    if (Line* line = std::get_if<Line>(&pieces_[index])) {
        if (line->endBytes == 0) {
            const std::string nl = newline();
            line->raw += nl;
            line->endBytes = nl.size();
        }
        return;
    }
    Run& run = std::get<Run>(pieces_[index]);
    if (run.lineEnd.empty() && !lastLineHasEnd(run)) {
        run.lineEnd = newline();
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
    if (unreadable_) {
        return false;
    }
    const std::u16string entry = std::u16string(key) + u'=' + std::u16string(value);

    if (p.section == kNone) {
        if (!pieces_.empty()) {
            ensureLineEnd(pieces_.size() - 1);
        }
        const std::u16string header = u"[" + std::u16string(section) + u"]";
        pieces_.emplace_back(newLine(header));
        pieces_.emplace_back(newLine(entry));
    } else if (p.key != kNone) {
        Line& line = std::get<Line>(pieces_[p.key]);
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
        pieces_.emplace(pieces_.begin() + static_cast<std::ptrdiff_t>(p.sectionEnd),
                        newLine(entry));
    }
    dirty_ = true;
    return !unreadable_;
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

ProfileFile::Line ProfileFile::newLine(const std::u16string& text)
{
    Line line;
    line.text = text;
    const std::string nl = newline();
    line.raw = encode(text) + nl;
    line.endBytes = nl.size();
    return line;
}

bool ProfileFile::copyRun(const Run& run, std::FILE* out)
{
    if (!openForReading()) {
        return false;
    }
    std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(readBuffer_, run.length)));
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(run.offset));
    for (uint64_t left = run.length; left > 0;) {
        const auto n = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        in_.read(buffer.data(), static_cast<std::streamsize>(n));
        if (in_.gcount() != static_cast<std::streamsize>(n)) {
            readFailed();
            return false;
        }
        if (std::fwrite(buffer.data(), 1, n, out) != n) {
            error_ = std::strerror(errno);
            return false;
        }
        left -= n;
    }
    if (std::fwrite(run.lineEnd.data(), 1, run.lineEnd.size(), out) != run.lineEnd.size()) {
        error_ = std::strerror(errno);
        return false;
    }
    return true;
}

bool ProfileFile::writeContent(std::FILE* f, std::string& failure)
{
    bool ok = true;
    const auto fail = [&](const std::string& why) {
        if (ok) {
            failure = why;
            ok = false;
        }
    };
    const auto put = [&](const std::string& bytes) {
        if (ok && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
            fail(std::strerror(errno));
        }
    };
    put(bom_);
    for (size_t i = 0; ok && i < pieces_.size(); ++i) {
        if (const Run* run = std::get_if<Run>(&pieces_[i])) {
            if (!copyRun(*run, f)) {
                fail(error_);
            }
        } else {
            put(std::get<Line>(pieces_[i]).raw);
        }
    }
    put(trailing_);
    if (ok && std::fflush(f) != 0) {
        fail(std::strerror(errno));
    }
    return ok;
}

bool ProfileFile::writeInPlace(const fs::path& target)
{
    // The new content is put together first (it is made of runs of the file itself), then
    // poured over the old.
    std::FILE* staged = std::tmpfile();
    if (!staged) {
        error_ = std::strerror(errno);
        return false;
    }
    std::string failure;
    bool ok = writeContent(staged, failure);
    in_.close();
    std::FILE* out = ok ? std::fopen(target.string().c_str(), "wb") : nullptr;
    if (ok && !out) {
        failure = std::strerror(errno);
        ok = false;
    }
    if (ok) {
        std::rewind(staged);
        char buffer[1 << 15];
        size_t n = 0;
        while (ok && (n = std::fread(buffer, 1, sizeof buffer, staged)) > 0) {
            if (std::fwrite(buffer, 1, n, out) != n) {
                failure = std::strerror(errno);
                ok = false;
            }
        }
        if (ok && std::ferror(staged)) {
            failure = "cannot read back the new content";
            ok = false;
        }
        if (ok && std::fflush(out) != 0) {
            failure = std::strerror(errno);
            ok = false;
        }
        if (ok && !syncToDisk(out)) {
            failure = std::strerror(errno);
            ok = false;
        }
    }
    if (out && std::fclose(out) != 0 && ok) {
        failure = std::strerror(errno);
        ok = false;
    }
    std::fclose(staged);
    if (!ok) {
        error_ = failure;
        // What is on disk now may be part of the new content: it is read afresh from here on.
        unload();
        return false;
    }
    unload();
    dirty_ = false;
    return true;
}

bool ProfileFile::flush()
{
    if (!dirty_) {
        return true;
    }
    if (!checkWritable() || unreadable_) {
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
    const fs::path temp =
      target.parent_path() / (target.filename().string() + ".tmp" + std::to_string(processId()));
    std::FILE* f = createTemporary(temp);
    if (!f) {
        const int why = errno;
        // A folder that we may not write, holding a file that we may: the file is rewritten in
        // place, as the Windows profile service does, rather than not at all.
        if (exists_ && (why == EACCES || why == EPERM || why == EROFS)) {
            return writeInPlace(target);
        }
        error_ = std::strerror(why);
        return false;
    }
    std::string failure;
    bool ok = writeContent(f, failure);
    if (ok && !syncToDisk(f)) {
        failure = std::strerror(errno);
        ok = false;
    }
    if (std::fclose(f) != 0 && ok) {
        failure = std::strerror(errno);
        ok = false;
    }
    if (ok && exists_) {
        fs::permissions(temp, fs::status(target, ec).permissions(), ec);
    }
    if (ok) {
        // Nothing may hold the old file open while it is replaced (Windows refuses).
        in_.close();
        fs::rename(temp, target, ec);
        if (ec) {
            failure = describe(ec);
            ok = false;
        }
    }
    if (!ok) {
        error_ = failure;
        fs::remove(temp, ec);
        return false;
    }
    removeLeftovers(target);
    // From now on the file on disk holds the content: later reads and writes start from it.
    unload();
    dirty_ = false;
    return true;
}

} // namespace ombrix
