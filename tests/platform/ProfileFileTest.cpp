// The profile-file reader and writer against small hand-made files, and against big ones.

#include "Check.h"
#include "HeapCount.h"
#include "ScratchFiles.h"
#include "profile_file.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using ombrix::ProfileFile;

namespace
{

// UTF-16LE bytes of an ASCII-or-BMP text, with a byte-order mark.
std::string utf16le(const std::u16string& text)
{
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

std::string utf16be(const std::u16string& text)
{
    std::string out = "\xFE\xFF";
    for (char16_t c : text) {
        out += static_cast<char>(c >> 8);
        out += static_cast<char>(c & 0xFF);
    }
    return out;
}

// Read buffers: the program's own, and a few small enough that lines and characters fall
// across their ends.
const size_t kBuffers[] = { ProfileFile::kReadBuffer, 8, 9, 13 };

const std::string kTenLines = "[botan]\r\ncolor=-16776961\r\n[sKyMoj]\r\ncopi=C\r\nsave=V\r\n"
                              "zoom=W\r\nmini=S\r\nclos=X\r\n[kii]\r\nfontcolor=-10496\r\n";

void writeDefaults(ProfileFile& ini, const std::u16string& colour = u"-16776961")
{
    CHECK(ini.writeString(u"botan", u"color", colour));
    CHECK(ini.writeString(u"sKyMoj", u"copi", u"C"));
    CHECK(ini.writeString(u"sKyMoj", u"save", u"V"));
    CHECK(ini.writeString(u"sKyMoj", u"zoom", u"W"));
    CHECK(ini.writeString(u"sKyMoj", u"mini", u"S"));
    CHECK(ini.writeString(u"sKyMoj", u"clos", u"X"));
    CHECK(ini.writeString(u"kii", u"fontcolor", u"-10496"));
}

} // namespace

TEST(readsHandEditedFiles)
{
    struct Row {
        const char* label;
        std::string file;
        std::u16string section, key, expected;
    };
    const std::u16string fb = u"<fallback>";
    const std::u16string long3000(3000, u'a');
    const Row rows[] = {
        { "plain", "[botan]\r\ncolor=-65536\r\n", u"botan", u"color", u"-65536" },
        { "names in other cases", "[BOTAN]\r\nCOLOR=1\r\n", u"botan", u"color", u"1" },
        { "asked in other case", "[botan]\r\ncolor=1\r\n", u"BoTaN", u"CoLoR", u"1" },
        { "blanks around names and value",
          "  [ botan ]  \r\n  color  =   12  \r\n",
          u"botan",
          u"color",
          u"12" },
        { "tabs", "\t[botan]\r\n\tcolor\t=\t5\t\r\n", u"botan", u"color", u"5" },
        { "double quotes removed", "[s]\r\nk=\"  a b \"\r\n", u"s", u"k", u"  a b " },
        { "single quotes removed", "[s]\r\nk='x'\r\n", u"s", u"k", u"x" },
        { "quotes that do not match", "[s]\r\nk=\"x'\r\n", u"s", u"k", u"\"x'" },
        { "a lone quote", "[s]\r\nk=\"\r\n", u"s", u"k", u"\"" },
        { "only one pair removed", "[s]\r\nk=\"\"x\"\"\r\n", u"s", u"k", u"\"x\"" },
        { "empty value is a value", "[s]\r\nk=\r\n", u"s", u"k", u"" },
        { "key without equals sign", "[s]\r\nk\r\n", u"s", u"k", fb },
        { "missing key", "[s]\r\nj=1\r\n", u"s", u"k", fb },
        { "missing section", "[t]\r\nk=1\r\n", u"s", u"k", fb },
        { "empty file", "", u"s", u"k", fb },
        { "first of two sections", "[s]\nk=1\n[s]\nk=2\n", u"s", u"k", u"1" },
        { "second section of a name does not count", "[s]\na=1\n[s]\nk=2\n", u"s", u"k", fb },
        { "first of two keys", "[s]\nk=1\nK=2\n", u"s", u"k", u"1" },
        { "comments", "; k=9\n[s]\n;k=8\n# k=7\nk=3\n", u"s", u"k", u"3" },
        { "no final line end", "[s]\r\nk=7", u"s", u"k", u"7" },
        { "CR only", "[s]\rj=8\rk=7\r", u"s", u"k", u"7" },
        { "LF only", "[s]\nj=8\nk=7\n", u"s", u"k", u"7" },
        { "long value",
          "[s]\nk=" + std::string(3000, 'a') + "\n",
          u"s",
          u"k",
          long3000.substr(0, 2047) },
        { "key before any section", "k=1\n[s]\nj=2\n", u"s", u"k", fb },
        { "equals sign in the value", "[s]\nk=a=b\n", u"s", u"k", u"a=b" },
        { "text after the header", "[s] old\nk=1\n", u"s", u"k", u"1" },
        { "header without bracket", "[s\nk=1\n", u"s", u"k", fb },
        { "blank lines", "\r\n[s]\r\n\r\n\r\nk=4\r\n\r\n", u"s", u"k", u"4" },
        { "UTF-8 text", "[s]\nk=\xE3\x83\x86\xC3\xA9\n", u"s", u"k", u"\u30C6\u00E9" },
        { "UTF-8 byte-order mark", "\xEF\xBB\xBF[s]\nk=1\n", u"s", u"k", u"1" },
        { "UTF-16LE", utf16le(u"[s]\r\nk=\u30C6\r\n"), u"s", u"k", u"\u30C6" },
        { "UTF-16BE", utf16be(u"[s]\r\nk=\u30C6\r\n"), u"s", u"k", u"\u30C6" },
        { "invalid UTF-8 elsewhere", "[s]\n\xFF\xC0junk\nk=5\n", u"s", u"k", u"5" },
        { "a second bracket belongs to the name", "[s]]\nk=1\n[s]\nk=2\n", u"s", u"k", u"2" },
        { "the name ends at the last bracket", "[s] x]\nk=1\n", u"s] x", u"k", u"1" },
        { "a bracket in the name asked for", "[a]b]\nk=1\n[a]\nk=2\n", u"a]b", u"k", u"1" },
        { "a name that only starts like it", "[sa]\nk=1\n[s]\nk=2\n", u"s", u"k", u"2" },
        { "a longer name asked for", "[s]\nk=1\n[sa]\nk=2\n", u"sa", u"k", u"2" },
        { "a header without its name", "[]\nk=1\n", u"", u"k", u"1" },
        { "a UTF-8 name",
          "[\xE3\x83\x86\xF0\x9F\x98\x80]\nk=1\n",
          u"\u30C6\U0001F600",
          u"k",
          u"1" },
        { "an invalid UTF-8 name", "[\xE3\x83]\nk=1\n", u"\uFFFD\uFFFD", u"k", u"1" },
        { "a UTF-16LE name", utf16le(u"[x]\r\n[\u30C6]\r\nk=3\r\n"), u"\u30C6", u"k", u"3" },
        { "NUL bytes", std::string("\0[s]\0\n[s]\nk\0=1\nk=2\n", 18), u"s", u"k", u"2" },
    };
    Scratch scratch;
    for (const Row& row : rows) {
        for (size_t buffer : kBuffers) {
            CASE(std::string(row.label) + ", read " + std::to_string(buffer) + " bytes at a time");
            ProfileFile ini(scratch.file(row.file).string(), buffer);
            CHECK_EQ_BYTES(ini.readString(row.section, row.key, fb), row.expected);
        }
    }
    CASE("no file");
    ProfileFile missing((scratch.dir / "none.ini").string());
    CHECK_EQ_BYTES(missing.readString(u"s", u"k", u"d"), std::u16string(u"d"));
    CHECK(!fs::exists(scratch.dir / "none.ini"));
}

TEST(writesInPlace)
{
    struct Write {
        std::u16string section, key, value;
    };
    struct Row {
        const char* label;
        std::string before;
        std::vector<Write> writes;
        std::string after;
    };
    const Row rows[] = {
        { "replaces where it stands, keeps the blanks before the value",
          "[s]\r\n  K = old \r\nz=1\r\n",
          { { u"s", u"k", u"new" } },
          "[s]\r\n  K = new\r\nz=1\r\n" },
        { "keeps comments, other sections, blank lines, order and case",
          "; top\r\n[other]\r\nx=1\r\n\r\n[S]\r\nb=2\r\nA=3\r\n\r\n[t]\r\n",
          { { u"s", u"a", u"9" }, { u"s", u"c", u"4" } },
          "; top\r\n[other]\r\nx=1\r\n\r\n[S]\r\nb=2\r\nA=9\r\nc=4\r\n\r\n[t]\r\n" },
        { "section added at the end, after a line without end",
          "[a]\r\nx=1",
          { { u"b", u"y", u"2" } },
          "[a]\r\nx=1\r\n[b]\r\ny=2\r\n" },
        { "key added to a last section without line end",
          "[a]\r\nx=1",
          { { u"a", u"y", u"2" } },
          "[a]\r\nx=1\r\ny=2\r\n" },
        { "key added to an empty section",
          "[a]\r\n[b]\r\n",
          { { u"a", u"y", u"2" } },
          "[a]\r\ny=2\r\n[b]\r\n" },
        { "first of two sections",
          "[a]\nx=1\n[a]\ny=2\n",
          { { u"a", u"y", u"3" } },
          "[a]\nx=1\ny=3\n[a]\ny=2\n" },
        { "first of two keys", "[a]\nx=1\nx=2\n", { { u"a", u"x", u"3" } }, "[a]\nx=3\nx=2\n" },
        { "LF file gets LF lines",
          "[botan]\ncolor=$FFFF0000\n",
          { { u"botan", u"color", u"-65536" }, { u"kii", u"fontcolor", u"-10496" } },
          "[botan]\ncolor=-65536\n[kii]\nfontcolor=-10496\n" },
        { "CR file gets CR lines", "[a]\rx=1\r", { { u"b", u"y", u"2" } }, "[a]\rx=1\r[b]\ry=2\r" },
        { "key line without equals sign",
          "[a]\r\nx\r\n",
          { { u"a", u"x", u"v" } },
          "[a]\r\nx=v\r\n" },
        { "quoted value replaced",
          "[a]\r\nx=\"old\"\r\n",
          { { u"a", u"x", u"new" } },
          "[a]\r\nx=new\r\n" },
        { "invalid UTF-8 lines keep their bytes",
          "[a]\n\xFF\xFE junk\nx=1\n",
          { { u"a", u"x", u"2" } },
          "[a]\n\xFF\xFE junk\nx=2\n" },
        { "invalid UTF-8 in the name of the replaced line",
          "[a]\n\xFFx=1\nx=1\n",
          { { u"a", u"x", u"2" } },
          "[a]\n\xFFx=1\nx=2\n" },
        { "UTF-8 byte-order mark kept",
          "\xEF\xBB\xBF[a]\r\nx=1\r\n",
          { { u"a", u"x", u"\u30C6" } },
          "\xEF\xBB\xBF[a]\r\nx=\xE3\x83\x86\r\n" },
        { "UTF-16LE kept",
          utf16le(u"[a]\r\nx=1\r\n"),
          { { u"a", u"x", u"\u30C6" }, { u"b", u"y", u"2" } },
          utf16le(u"[a]\r\nx=\u30C6\r\n[b]\r\ny=2\r\n") },
        { "UTF-16BE kept",
          utf16be(u"[a]\nx=1\n"),
          { { u"a", u"x", u"22" } },
          utf16be(u"[a]\nx=22\n") },
        { "odd byte at the end of UTF-16 stays last, new lines whole",
          utf16le(u"[a]\r\nx=1\r\n") + "\xAE",
          { { u"b", u"y", u"2" } },
          utf16le(u"[a]\r\nx=1\r\n[b]\r\ny=2\r\n") + "\xAE" },
        { "key before any section stays",
          "x=1\n[a]\n",
          { { u"a", u"x", u"2" } },
          "x=1\n[a]\nx=2\n" },
        { "blank lines at the end of a section stay after it",
          "[a]\r\nx=1\r\n\r\n\r\n[b]\r\n",
          { { u"a", u"y", u"2" } },
          "[a]\r\nx=1\r\ny=2\r\n\r\n\r\n[b]\r\n" },
    };
    Scratch scratch;
    for (const Row& row : rows) {
        for (size_t buffer : kBuffers) {
            CASE(std::string(row.label) + ", read " + std::to_string(buffer) + " bytes at a time");
            const fs::path p = scratch.file(row.before);
            ProfileFile ini(p.string(), buffer);
            for (const Write& w : row.writes) {
                CHECK(ini.writeString(w.section, w.key, w.value));
            }
            CHECK(ini.flush());
            CHECK_EQ_BYTES(readBytes(p), row.after);
            // And what was written reads back, from a new reader and from the one that wrote.
            ProfileFile again(p.string(), buffer);
            for (const Write& w : row.writes) {
                CHECK_EQ_BYTES(again.readString(w.section, w.key, u"?"), w.value);
                CHECK_EQ_BYTES(ini.readString(w.section, w.key, u"?"), w.value);
            }
        }
    }
}

TEST(newFileHoldsExactlyTheTenLines)
{
    Scratch scratch;
    const fs::path p = scratch.dir / "Ombrix.ini";
    ProfileFile ini(p.string());
    CHECK_EQ_BYTES(ini.readString(u"botan", u"color", u""), std::u16string());
    writeDefaults(ini);
    CHECK(ini.flush());
    CHECK_EQ_BYTES(readBytes(p), kTenLines);

    CASE("a second series of the same writes changes nothing");
    ProfileFile again(p.string());
    writeDefaults(again);
    CHECK(again.flush());
    CHECK_EQ_BYTES(readBytes(p), kTenLines);

    CASE("no temporary file is left beside it");
    int entries = 0;
    for (const auto& e : fs::directory_iterator(scratch.dir)) {
        (void)e;
        ++entries;
    }
    CHECK(entries == 1);
}

TEST(refusesWhatItCannotWrite)
{
    Scratch scratch;

    CASE("line break in a value");
    {
        ProfileFile ini(scratch.file("[a]\r\nx=1\r\n").string());
        CHECK(!ini.writeString(u"a", u"x", u"1\r\n[evil]"));
        CHECK(!ini.writeString(u"a", u"x", u"1\n"));
        CHECK(ini.writeString(u"a", u"x", u"2"));
    }

    CASE("read-only file");
    {
        const fs::path p = scratch.file(kTenLines, "ro.ini");
        fs::permissions(p, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        ProfileFile ini(p.string());
        CHECK_EQ_BYTES(ini.readString(u"sKyMoj", u"copi", u""), std::u16string(u"C"));
        CHECK(!ini.writeString(u"sKyMoj", u"copi", u"Q"));
        CHECK(!ini.errorText().empty());
        CHECK_EQ_BYTES(readBytes(p), kTenLines);
    }

    CASE("a folder in the file's place");
    {
        fs::create_directories(scratch.dir / "dir.ini");
        ProfileFile ini((scratch.dir / "dir.ini").string());
        CHECK_EQ_BYTES(ini.readString(u"a", u"x", u"d"), std::u16string(u"d"));
        CHECK(!ini.writeString(u"a", u"x", u"1") || !ini.flush());
        CHECK(fs::is_directory(scratch.dir / "dir.ini"));
    }

    CASE("a folder that does not exist");
    {
        ProfileFile ini((scratch.dir / "gone" / "Ombrix.ini").string());
        CHECK(ini.writeString(u"a", u"x", u"1"));
        CHECK(!ini.flush());
        CHECK(!ini.errorText().empty());
    }
}

TEST(keepsPermissionsAndLinks)
{
    Scratch scratch;
    const fs::path p = scratch.file("[a]\r\nx=1\r\n");
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(p, mode);
    // Windows keeps no more than a read-only mark, so compare with what the system says now.
    const fs::perms before = fs::status(p).permissions() & fs::perms::all;
    {
        ProfileFile ini(p.string());
        CHECK(ini.writeString(u"a", u"x", u"2"));
        CHECK(ini.flush());
    }
    CHECK((fs::status(p).permissions() & fs::perms::all) == before);

#ifndef _WIN32
    CASE("a link to the file stays a link");
    const fs::path link = scratch.dir / "link.ini";
    fs::create_symlink(p, link);
    {
        ProfileFile ini(link.string());
        CHECK(ini.writeString(u"a", u"x", u"3"));
        CHECK(ini.flush());
    }
    CHECK(fs::is_symlink(fs::symlink_status(link)));
    CHECK_EQ_BYTES(readBytes(p), std::string("[a]\r\nx=3\r\n"));
#endif
}

namespace
{

enum class Where {
    Start,
    Middle,
    End,
    Nowhere,
};

struct BigFile {
    fs::path path;
    uint64_t size = 0;
    uint64_t valueAt = 0; // where the value of [botan] color starts, when there is one
};

// About `megabytes` MB of ordinary CRLF lines in sections of a thousand, with decoys that look
// like [botan] at a glance, and the real [botan] section with "color=-16776961" where asked.
BigFile bigFile(const fs::path& path, uint64_t megabytes, Where where)
{
    BigFile f;
    f.path = path;
    std::ofstream out(path, std::ios::binary);
    const auto put = [&](const std::string& bytes) {
        out << bytes;
        f.size += bytes.size();
    };
    const auto botan = [&] {
        put("[botan]\r\n");
        f.valueAt = f.size + 6;
        put("color=-16776961\r\n");
    };
    if (where == Where::Start) {
        botan();
    }
    const uint64_t target = megabytes << 20;
    for (uint64_t n = 0; f.size < target; ++n) {
        if (n % 1000 == 0) {
            if (where == Where::Middle && f.valueAt == 0 && f.size >= target / 2) {
                botan();
            }
            put("[botan\r\n  [Botan]]\r\n; [botan]\r\ncolor=1\r\n\r\n");
            put("[filler " + std::to_string(n / 1000) + "]\r\n");
        }
        put("line" + std::to_string(n) + " = a value long enough to make a big file quickly\r\n");
    }
    if (where == Where::End) {
        botan();
    }
    return f;
}

// Whether `file` holds exactly the parts, in order: each a stretch of another file, or bytes.
struct Part {
    fs::path from;
    uint64_t offset = 0;
    uint64_t length = 0;
    std::string bytes;
};

bool holdsExactly(const fs::path& file, const std::vector<Part>& parts)
{
    std::ifstream in(file, std::ios::binary);
    std::vector<char> a(1 << 20), b(1 << 20);
    for (const Part& part : parts) {
        if (part.from.empty()) {
            std::string got(part.bytes.size(), '\0');
            in.read(got.data(), static_cast<std::streamsize>(got.size()));
            if (got != part.bytes) {
                return false;
            }
            continue;
        }
        std::ifstream other(part.from, std::ios::binary);
        other.seekg(static_cast<std::streamoff>(part.offset));
        for (uint64_t left = part.length; left > 0;) {
            const auto n = static_cast<std::streamsize>(std::min<uint64_t>(left, a.size()));
            in.read(a.data(), n);
            other.read(b.data(), n);
            if (in.gcount() != n || other.gcount() != n ||
                !std::equal(a.begin(), a.begin() + n, b.begin())) {
                return false;
            }
            left -= static_cast<uint64_t>(n);
        }
    }
    return in.peek() == std::ifstream::traits_type::eof();
}

} // namespace

TEST(bigFilesAreReadOnlyAsFarAsNeededAndKeptByteForByte)
{
    struct Row {
        const char* label;
        Where where;
    };
    const Row rows[] = {
        { "[botan] at the start", Where::Start },
        { "[botan] in the middle", Where::Middle },
        { "[botan] at the end", Where::End },
        { "no [botan]", Where::Nowhere },
    };
    Scratch scratch;
    for (const Row& row : rows) {
        CASE(row.label);
        const BigFile f = bigFile(scratch.dir / "Ombrix.ini", 32, row.where);
        const fs::path before = scratch.dir / "before.ini";
        fs::remove(before);
        fs::copy_file(f.path, before);

        const auto started = std::chrono::steady_clock::now();
        const size_t inUse = heap::restart();
        {
            ProfileFile ini(f.path.string());
            CHECK_EQ_BYTES(ini.readString(u"botan", u"color", u"none"),
                           std::u16string(row.where == Where::Nowhere ? u"none" : u"-16776961"));
            CHECK_EQ_BYTES(ini.readString(u"sKyMoj", u"copi", u"C"), std::u16string(u"C"));
            CHECK_EQ_BYTES(ini.readString(u"filler 7", u"line7005", u"?"),
                           std::u16string(u"a value long enough to make a big file quickly"));
            CHECK(ini.writeString(u"botan", u"color", u"-65536"));
            CHECK(ini.flush());
        }
        const size_t peak = heap::peak - inUse;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
        std::printf("  %s, %llu bytes: three reads, a write and the flush in %lld ms, at most "
                    "%zu bytes of memory\n",
                    row.label,
                    static_cast<unsigned long long>(f.size),
                    static_cast<long long>(ms),
                    peak);
        // A buffer or two of the file at a time, never the file.
        check::report(peak < 4 * ProfileFile::kReadBuffer,
                      __FILE__,
                      __LINE__,
                      "held " + std::to_string(peak) + " bytes at once");

        // Every byte but the value's is where it was.
        std::vector<Part> expected;
        if (row.where == Where::Nowhere) {
            expected = { { before, 0, f.size, {} }, { {}, 0, 0, "[botan]\r\ncolor=-65536\r\n" } };
        } else {
            expected = { { before, 0, f.valueAt, {} },
                         { {}, 0, 0, "-65536" },
                         { before, f.valueAt + 9, f.size - f.valueAt - 9, {} } };
        }
        CHECK(holdsExactly(f.path, expected));
        ProfileFile again(f.path.string());
        CHECK_EQ_BYTES(again.readString(u"botan", u"color", u""), std::u16string(u"-65536"));
    }
}

#ifndef _WIN32
TEST(aSectionAtTheStartOfAnEndlessFileIsReadAtOnce)
{
    // A terabyte of nothing after the section (a sparse file: no disk space). Reading it all
    // would take many minutes; the read must stop at the end of the section.
    Scratch scratch;
    const fs::path p = scratch.file("[botan]\r\ncolor=-65536\r\n[next]\r\n");
    std::error_code ec;
    fs::resize_file(p, uint64_t(1) << 40, ec);
    if (ec) {
        std::printf("  skipped: no sparse file of a terabyte here (%s)\n", ec.message().c_str());
        return;
    }
    const auto started = std::chrono::steady_clock::now();
    ProfileFile ini(p.string());
    CHECK_EQ_BYTES(ini.readString(u"botan", u"color", u""), std::u16string(u"-65536"));
    CHECK_EQ_BYTES(ini.readString(u"BOTAN", u"other", u"fallback"), std::u16string(u"fallback"));
    CHECK(std::chrono::steady_clock::now() - started < std::chrono::seconds(10));
}

TEST(aWriteRemovesTheTemporaryFilesOfProcessesThatNoLongerRun)
{
    Scratch scratch;
    const fs::path p = scratch.file("[a]\r\nx=1\r\n");
    // The id of a process that has ended.
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    const std::string dead = std::to_string(child);
    const std::string own = std::to_string(getpid());
    const auto leftover = [&](const std::string& name) {
        return scratch.file("half written", name);
    };
    leftover("Ombrix.ini.tmp" + dead);
    leftover("Ombrix.ini.tmp1"); // the first process runs as long as the system
    leftover("Ombrix.ini.tmp" + dead + "x");
    leftover("Ombrix.ini.tmpabc");
    leftover("Other.ini.tmp" + dead);
    leftover("Ombrix.ini.bak");
    // Left by an earlier process with our id, as a link: never written through.
    scratch.file("mine", "victim.txt");
    fs::create_symlink(scratch.dir / "victim.txt", scratch.dir / ("Ombrix.ini.tmp" + own));

    ProfileFile ini(p.string());
    CHECK(ini.writeString(u"a", u"x", u"2"));
    CHECK(ini.flush());
    CHECK_EQ_BYTES(readBytes(p), std::string("[a]\r\nx=2\r\n"));
    CHECK_EQ_BYTES(readBytes(scratch.dir / "victim.txt"), std::string("mine"));
    CHECK(!fs::exists(fs::symlink_status(scratch.dir / ("Ombrix.ini.tmp" + own))));
    CHECK(!fs::exists(scratch.dir / ("Ombrix.ini.tmp" + dead)));
    for (const std::string& kept : { std::string("Ombrix.ini.tmp1"),
                                     "Ombrix.ini.tmp" + dead + "x",
                                     std::string("Ombrix.ini.tmpabc"),
                                     "Other.ini.tmp" + dead,
                                     std::string("Ombrix.ini.bak") }) {
        CASE("kept: " + kept);
        CHECK_EQ_BYTES(readBytes(scratch.dir / kept), std::string("half written"));
    }

    CASE("a write that fails removes nothing");
    leftover("Ombrix.ini.tmp" + dead);
    ProfileFile bad(p.string());
    CHECK(bad.writeString(u"a", u"x", u"line\nbreak") == false);
    CHECK(bad.flush());
    CHECK(fs::exists(scratch.dir / ("Ombrix.ini.tmp" + dead)));
}
#endif

int main()
{
    return check::runAll();
}
