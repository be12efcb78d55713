#include "profile_file.h"

#include "file_store.h"
#include "profile_lines.h"
#include "profile_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace ombrix
{

using namespace profile;

ProfileFile::ProfileFile(std::string path, size_t readBuffer)
  : path_(std::move(path))
  , file_(std::u8string(path_.begin(), path_.end()))
  , readBuffer_(std::max<size_t>(readBuffer, 8))
{
}

void ProfileFile::load()
{
    if (state_.loaded) {
        return;
    }
    state_.loaded = true;
    std::error_code ec;
    const fs::file_status st = fs::status(file_, ec);
    if (ec || !fs::exists(st)) {
        state_.exists = false;
        return;
    }
    state_.exists = true;
    if (fs::is_directory(st)) {
        state_.unreadable = true;
        error_ = "is a folder";
        return;
    }
    if (!fs::is_regular_file(st)) {
        // A device or a pipe may never end.
        state_.unreadable = true;
        error_ = "not an ordinary file";
        return;
    }
    if (!openForReading()) {
        return;
    }
    const uint64_t size = fs::file_size(file_, ec);
    if (ec) {
        state_.unreadable = true;
        error_ = ec.message();
        return;
    }
    std::string head;
    if (!readBytes(0, std::min<uint64_t>(size, 3), head)) {
        return;
    }
    size_t start = 0;
    if (head.size() >= 3 && head.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        state_.encoding = Encoding::Utf8Bom;
        start = 3;
    } else if (head.size() >= 2 && head.compare(0, 2, "\xFF\xFE") == 0) {
        state_.encoding = Encoding::Utf16LE;
        start = 2;
    } else if (head.size() >= 2 && head.compare(0, 2, "\xFE\xFF") == 0) {
        state_.encoding = Encoding::Utf16BE;
        start = 2;
    }
    state_.bom = head.substr(0, start);
    state_.contentBegin = start;
    const size_t unit = units().size;
    state_.contentEnd = start + (size - start) / unit * unit;
    // An odd byte at the end of a UTF-16 file is no character: it is kept, after every line,
    // so that lines added before it stay whole.
    if (!readBytes(state_.contentEnd, size - state_.contentEnd, state_.trailing)) {
        return;
    }
    if (state_.contentEnd > state_.contentBegin) {
        Run whole;
        whole.offset = state_.contentBegin;
        whole.length = state_.contentEnd - state_.contentBegin;
        state_.pieces.emplace_back(std::move(whole));
    }
}

UnitFormat ProfileFile::units() const
{
    UnitFormat u;
    u.size = state_.encoding == Encoding::Utf16LE || state_.encoding == Encoding::Utf16BE ? 2 : 1;
    u.bigEndian = state_.encoding == Encoding::Utf16BE;
    return u;
}

bool ProfileFile::openForReading()
{
    if (state_.unreadable) {
        return false;
    }
    if (state_.in.is_open()) {
        return true;
    }
    state_.in.clear();
    state_.in.open(file_, std::ios::binary);
    if (!state_.in.is_open()) {
        state_.unreadable = true;
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
    state_.in.clear();
    state_.in.seekg(static_cast<std::streamoff>(offset));
    state_.in.read(out.data(), static_cast<std::streamsize>(length));
    if (state_.in.gcount() != static_cast<std::streamsize>(length)) {
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
    state_.unreadable = true;
    error_ = "the file cannot be read to its end";
}

std::u16string ProfileFile::readString(std::u16string_view section,
                                       std::u16string_view key,
                                       std::u16string_view fallback)
{
    load();
    std::u16string result(fallback);
    const Position p = find(section, key);
    if (p.key != kNone) {
        const KeyLine k = keyLine(std::get<Line>(state_.pieces[p.key]).text);
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
    const bool settled =
      std::find(state_.settled.begin(), state_.settled.end(), name) != state_.settled.end();
    bool inSection = false;
    for (size_t i = 0; i < state_.pieces.size(); ++i) {
        if (const Run* run = std::get_if<Run>(&state_.pieces[i])) {
            if (inSection) {
                break; // a run after the held lines of a section starts with the next header
            }
            uint64_t header = 0;
            if (settled || !findHeader(*run, section, header)) {
                if (state_.unreadable) {
                    return {};
                }
                continue;
            }
            i = holdSection(i, header);
            if (state_.unreadable) {
                return {};
            }
        }
        const Line& line = std::get<Line>(state_.pieces[i]);
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
        state_.settled.push_back(name);
    }
    return p;
}

bool ProfileFile::findHeader(const Run& run, std::u16string_view section, uint64_t& header)
{
    if (!openForReading()) {
        return false;
    }
    const uint64_t end = run.offset + run.length;
    Reader r(state_.in, run.offset, end, readBuffer_);
    const UnitFormat u = units();
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
    const Run run = std::get<Run>(state_.pieces[index]);
    const uint64_t runEnd = run.offset + run.length;
    std::vector<Line> lines;
    // Each line's shape first: the header that ends the section is never read in whole.
    Reader r(state_.in, header, runEnd, readBuffer_);
    const UnitFormat u = units();
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
        line.text = decode(std::string_view(line.raw).substr(0, line.raw.size() - s.endBytes), u);
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
    state_.pieces.erase(state_.pieces.begin() + static_cast<std::ptrdiff_t>(index));
    state_.pieces.insert(state_.pieces.begin() + static_cast<std::ptrdiff_t>(index),
                         std::make_move_iterator(replacement.begin()),
                         std::make_move_iterator(replacement.end()));
    return headerIndex;
}

bool ProfileFile::checkWritable()
{
    if (state_.writableChecked) {
        return state_.writable;
    }
    state_.writableChecked = true;
    load();
    if (state_.unreadable) {
        // Writing would throw away what we could not read.
        return state_.writable = false;
    }
    if (state_.exists) {
        std::error_code ec;
        const fs::perms perms = fs::status(file_, ec).permissions();
        const fs::perms anyWrite =
          fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
        if (ec || (perms & anyWrite) == fs::perms::none) {
            error_ = ec ? ec.message() : std::string("read-only file");
            return state_.writable = false;
        }
    }
    return state_.writable = true;
}

const std::string& ProfileFile::newlineAscii()
{
    if (state_.newlineKnown) {
        return state_.newline;
    }
    state_.newlineKnown = true;
    load();
    if (state_.contentEnd <= state_.contentBegin || !openForReading()) {
        return state_.newline;
    }
    // The file's first line end, wherever it is.
    Reader r(state_.in, state_.contentBegin, state_.contentEnd, readBuffer_);
    const UnitFormat u = units();
    skipToLineEnd(r, u);
    if (r.ensure(u.size) < u.size) {
        return state_.newline; // no line end at all
    }
    const char16_t first = u.at(r.data());
    r.advance(u.size);
    state_.newline.assign(1, static_cast<char>(first));
    if (first == u'\r' && r.ensure(u.size) >= u.size && u.at(r.data()) == u'\n') {
        state_.newline += '\n';
    }
    return state_.newline;
}

std::string ProfileFile::newline()
{
    std::u16string nl;
    for (char c : newlineAscii()) {
        nl += static_cast<char16_t>(c);
    }
    return encode(nl, units());
}

bool ProfileFile::lastLineHasEnd(const Run& run)
{
    std::string last;
    const UnitFormat u = units();
    if (!readBytes(run.offset + run.length - u.size, u.size, last)) {
        return true; // nothing is written after a failed read anyway
    }
    const char16_t c = u.at(last.data());
    return c == u'\r' || c == u'\n';
}

void ProfileFile::ensureLineEnd(size_t index)
{
    if (Line* line = std::get_if<Line>(&state_.pieces[index])) {
        if (line->endBytes == 0) {
            const std::string nl = newline();
            line->raw += nl;
            line->endBytes = nl.size();
        }
        return;
    }
    Run& run = std::get<Run>(state_.pieces[index]);
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
    if (state_.unreadable) {
        return false;
    }
    const std::u16string entry = std::u16string(key) + u'=' + std::u16string(value);

    if (p.section == kNone) {
        if (!state_.pieces.empty()) {
            ensureLineEnd(state_.pieces.size() - 1);
        }
        const std::u16string header = u"[" + std::u16string(section) + u"]";
        state_.pieces.emplace_back(newLine(header));
        state_.pieces.emplace_back(newLine(entry));
    } else if (p.key != kNone) {
        Line& line = std::get<Line>(state_.pieces[p.key]);
        // Keep the bytes up to the value's start; replace the value, keep the line end.
        const std::string ending = line.raw.substr(line.raw.size() - line.endBytes);
        const size_t eq = line.text.find(u'=');
        std::u16string newText;
        std::string prefix;
        if (eq == std::u16string::npos) {
            newText = line.text + u'=' + std::u16string(value);
            prefix = line.raw.substr(0, line.raw.size() - ending.size()) + encode(u"=", units());
        } else {
            size_t valueStart = eq + 1;
            while (valueStart < line.text.size() && isBlank(line.text[valueStart])) {
                ++valueStart;
            }
            newText = line.text.substr(0, valueStart) + std::u16string(value);
            prefix = rawPrefix(line, valueStart);
        }
        line.text = newText;
        line.raw = prefix + encode(value, units()) + ending;
    } else {
        ensureLineEnd(p.sectionEnd - 1);
        state_.pieces.emplace(state_.pieces.begin() + static_cast<std::ptrdiff_t>(p.sectionEnd),
                              newLine(entry));
    }
    dirty_ = true;
    return !state_.unreadable;
}

std::string ProfileFile::rawPrefix(const Line& line, size_t textUnits) const
{
    if (units().size == 2) {
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
    line.raw = encode(text, units()) + nl;
    line.endBytes = nl.size();
    return line;
}

bool ProfileFile::copyRun(const Run& run, std::FILE* out)
{
    if (!openForReading()) {
        return false;
    }
    std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(readBuffer_, run.length)));
    state_.in.clear();
    state_.in.seekg(static_cast<std::streamoff>(run.offset));
    for (uint64_t left = run.length; left > 0;) {
        const auto n = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        state_.in.read(buffer.data(), static_cast<std::streamsize>(n));
        if (state_.in.gcount() != static_cast<std::streamsize>(n)) {
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
    put(state_.bom);
    for (size_t i = 0; ok && i < state_.pieces.size(); ++i) {
        if (const Run* run = std::get_if<Run>(&state_.pieces[i])) {
            if (!copyRun(*run, f)) {
                fail(error_);
            }
        } else {
            put(std::get<Line>(state_.pieces[i]).raw);
        }
    }
    put(state_.trailing);
    if (ok && std::fflush(f) != 0) {
        fail(std::strerror(errno));
    }
    return ok;
}

bool ProfileFile::flush()
{
    if (!dirty_) {
        return true;
    }
    if (!checkWritable() || state_.unreadable) {
        return false;
    }
    files::Content content;
    content.write = [this](std::FILE* f, std::string& failure) { return writeContent(f, failure); };
    content.release = [this] { state_.in.close(); };
    std::string failure;
    const files::Replaced replaced = files::replaceFile(path_, state_.exists, content, failure);
    if (replaced != files::Replaced::Yes) {
        error_ = failure;
    }
    if (replaced == files::Replaced::No) {
        return false;
    }
    // What is on disk now is read afresh from here on: the new content, or part of it.
    unload();
    if (replaced == files::Replaced::Unsure) {
        return false;
    }
    dirty_ = false;
    return true;
}

} // namespace ombrix
