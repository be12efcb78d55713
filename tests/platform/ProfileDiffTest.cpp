// Our portable profile-file reader and writer against the system's own profile service
// (GetPrivateProfileStringW / WritePrivateProfileStringW, here through the Windows platform's
// IniFile), over hand-made files. Runs on Windows and under Wine.

#include "Check.h"
#include "ScratchFiles.h"
#include "platform.h"
#include "profile_file.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using ombrix::ProfileFile;

namespace
{

const std::u16string kFallback = u"<none>";

struct Query {
    std::u16string section, key;
};

// The program's seven keys, as it asks for them, and the same names in other letter cases.
const std::vector<Query> kProgramQueries = {
    { u"botan", u"color" },   { u"sKyMoj", u"copi" },   { u"sKyMoj", u"save" },
    { u"sKyMoj", u"zoom" },   { u"sKyMoj", u"mini" },   { u"sKyMoj", u"clos" },
    { u"kii", u"fontcolor" }, { u"BOTAN", u"COLOR" },   { u"skymoj", u"Copi" },
    { u"KII", u"FontColor" }, { u"botan", u"missing" }, { u"nowhere", u"color" },
};

// What the program writes at its first close: the default settings.
struct Write {
    std::u16string section, key, value;
};
const Write kSevenWrites[] = {
    { u"botan", u"color", u"-16776961" }, { u"sKyMoj", u"copi", u"C" },
    { u"sKyMoj", u"save", u"V" },         { u"sKyMoj", u"zoom", u"W" },
    { u"sKyMoj", u"mini", u"S" },         { u"sKyMoj", u"clos", u"X" },
    { u"kii", u"fontcolor", u"-10496" },
};

const std::string kTenLines = "[botan]\r\ncolor=-16776961\r\n[sKyMoj]\r\ncopi=C\r\nsave=V\r\n"
                              "zoom=W\r\nmini=S\r\nclos=X\r\n[kii]\r\nfontcolor=-10496\r\n";
// The sections that the seven writes add after a file's own content, CRLF.
const std::string kSkyMojAdded = "[sKyMoj]\r\ncopi=C\r\nsave=V\r\nzoom=W\r\nmini=S\r\nclos=X\r\n";
const std::string kBotanAdded = "[botan]\r\ncolor=-16776961\r\n";
const std::string kKiiAdded = "[kii]\r\nfontcolor=-10496\r\n";

std::string utf16(const std::u16string& text, bool littleEndian)
{
    std::string out = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
    for (char16_t c : text) {
        const char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
        out += littleEndian ? lo : hi;
        out += littleEndian ? hi : lo;
    }
    return out;
}

std::string lf(std::string s, const char* ending)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 2, "\r\n") == 0) {
            out += ending;
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

// A hand-made file, and the bytes that the seven writes leave in it when the file is edited in
// place as the profile service of Windows does: replaced values where they stand, missing keys
// at the end of their section, missing sections at the end, every other line untouched.
struct Entry {
    const char* name;
    std::string before;
    std::string after;
    std::vector<Query> extraQueries = {};
    bool exists = true;
};

std::vector<Entry> corpus()
{
    const std::string a3000(3000, 'a'), b2047(2047, 'b'), c2048(2048, 'c'), d2047(2047, 'd'),
      e3000(3000, 'e'), f5000(5000, 'f');
    const std::u16string utf16Before = u"[botan]\r\ncolor=-65536\r\n[sKyMoj]\r\nnote=\u30C6\r\n";
    const std::u16string utf16After = u"[botan]\r\ncolor=-16776961\r\n[sKyMoj]\r\nnote=\u30C6\r\n"
                                      u"copi=C\r\nsave=V\r\nzoom=W\r\nmini=S\r\nclos=X\r\n"
                                      u"[kii]\r\nfontcolor=-10496\r\n";
    return {
        { "no file", "", kTenLines, {}, false },
        { "empty file", "", kTenLines },
        { "the program's own file", kTenLines, kTenLines },
        { "a file holding only one section",
          "[botan]\r\ncolor=$FFFF0000\r\n",
          kBotanAdded + kSkyMojAdded + kKiiAdded },
        { "letter cases",
          "[BOTAN]\r\nCOLOR=$FF00FF00\r\n[SKYMOJ]\r\nCopi=c\r\nSAVE=v\r\n[Kii]\r\nFontColor=1\r\n",
          "[BOTAN]\r\nCOLOR=-16776961\r\n[SKYMOJ]\r\nCopi=C\r\nSAVE=V\r\nzoom=W\r\nmini=S\r\n"
          "clos=X\r\n[Kii]\r\nFontColor=-10496\r\n" },
        { "blanks around names and values",
          "  [botan]  \r\n  color  =   -65536  \r\n\t[sKyMoj]\t\r\n copi\t=\tQ \r\n",
          "  [botan]  \r\n  color  =   -16776961\r\n\t[sKyMoj]\t\r\n copi\t=\tC\r\nsave=V\r\n"
          "zoom=W\r\nmini=S\r\nclos=X\r\n" +
            kKiiAdded },
        { "blank lines",
          "\r\n\r\n[botan]\r\n\r\ncolor=1\r\n\r\n\r\n[kii]\r\n\r\n",
          "\r\n\r\n[botan]\r\n\r\ncolor=-16776961\r\n\r\n\r\n[kii]\r\nfontcolor=-10496\r\n\r\n" +
            kSkyMojAdded },
        { "quotes",
          "[sKyMoj]\r\ncopi=\"Q\"\r\nsave='V'\r\nzoom=\"W'\r\nmini=\"\r\nclos=\"\"X\"\"\r\n"
          "note=\" spaced \"\r\n",
          "[sKyMoj]\r\ncopi=C\r\nsave=V\r\nzoom=W\r\nmini=S\r\nclos=X\r\nnote=\" spaced \"\r\n" +
            kBotanAdded + kKiiAdded,
          { { u"sKyMoj", u"note" } } },
        { "comments",
          "; Ombrix settings\r\n[botan]\r\n; color=1\r\n;color=2\r\n# color=3\r\ncolor=-256\r\n"
          "note=1 ; not a comment\r\n[kii]\r\n; the key letters' colour\r\n",
          "; Ombrix settings\r\n[botan]\r\n; color=1\r\n;color=2\r\n# color=3\r\n"
          "color=-16776961\r\nnote=1 ; not a comment\r\n[kii]\r\n; the key letters' colour\r\n"
          "fontcolor=-10496\r\n" +
            kSkyMojAdded,
          { { u"botan", u"; color" },
            { u"botan", u";color" },
            { u"botan", u"# color" },
            { u"botan", u"note" } } },
        { "duplicate sections and keys",
          "[sKyMoj]\r\ncopi=A\r\ncopi=B\r\n[kii]\r\nfontcolor=1\r\n[sKyMoj]\r\nsave=Z\r\n"
          "[botan]\r\ncolor=1\r\n[botan]\r\ncolor=2\r\n",
          "[sKyMoj]\r\ncopi=C\r\ncopi=B\r\nsave=V\r\nzoom=W\r\nmini=S\r\nclos=X\r\n[kii]\r\n"
          "fontcolor=-10496\r\n[sKyMoj]\r\nsave=Z\r\n[botan]\r\ncolor=-16776961\r\n[botan]\r\n"
          "color=2\r\n" },
        { "keys before any section",
          "copi=K\r\ncolor=5\r\n[botan]\r\ncolor=7\r\n",
          "copi=K\r\ncolor=5\r\n[botan]\r\ncolor=-16776961\r\n" + kSkyMojAdded + kKiiAdded },
        { "empty values",
          "[sKyMoj]\r\ncopi=\r\nsave\r\nzoom= \r\nmini=\"\"\r\n",
          "[sKyMoj]\r\ncopi=C\r\nsave=V\r\nzoom= W\r\nmini=S\r\nclos=X\r\n" + kBotanAdded +
            kKiiAdded },
        { "long values",
          "[sKyMoj]\r\ncopi=" + a3000 + "\r\nsave=" + b2047 + "\r\nzoom=" + c2048 + "\r\nmini=\"" +
            d2047 + "\"\r\nclos='" + e3000 + "'\r\nnote=" + f5000 + "\r\n",
          "[sKyMoj]\r\ncopi=C\r\nsave=V\r\nzoom=W\r\nmini=S\r\nclos=X\r\nnote=" + f5000 + "\r\n" +
            kBotanAdded + kKiiAdded,
          { { u"sKyMoj", u"note" } } },
        { "LF line ends",
          "[botan]\ncolor=-65536\n[kii]\nfontcolor=-256\n",
          lf(kBotanAdded + kKiiAdded + kSkyMojAdded, "\n") },
        { "CR line ends",
          "[botan]\rcolor=-65536\r[kii]\rfontcolor=-256\r",
          lf(kBotanAdded + kKiiAdded + kSkyMojAdded, "\r") },
        { "mixed line ends",
          "[botan]\r\ncolor=1\n[kii]\rfontcolor=2\r\n",
          "[botan]\r\ncolor=-16776961\n[kii]\rfontcolor=-10496\r\n" + kSkyMojAdded },
        { "no line end after the last line", "[botan]\r\ncolor=-65536", kTenLines },
        { "UTF-8 with a byte-order mark",
          "\xEF\xBB\xBF[botan]\r\ncolor=-65536\r\n[sKyMoj]\r\ncopi=\xE3\x83\x86\r\n"
          "note=\xC3\xA9t\xC3\xA9\r\n",
          "\xEF\xBB\xBF[botan]\r\ncolor=-16776961\r\n[sKyMoj]\r\ncopi=C\r\n"
          "note=\xC3\xA9t\xC3\xA9\r\nsave=V\r\nzoom=W\r\nmini=S\r\nclos=X\r\n" +
            kKiiAdded,
          { { u"sKyMoj", u"note" } } },
        { "UTF-16LE with a byte-order mark",
          utf16(utf16Before, true),
          utf16(utf16After, true),
          { { u"sKyMoj", u"note" } } },
        { "UTF-16BE with a byte-order mark",
          utf16(utf16Before, false),
          utf16(utf16After, false),
          { { u"sKyMoj", u"note" } } },
        { "text after a section's bracket, a bracket missing",
          "[botan] colours\r\ncolor=1\r\n[sKyMoj\r\ncopi=Q\r\n",
          "[botan] colours\r\ncolor=-16776961\r\n[sKyMoj\r\ncopi=Q\r\n" + kSkyMojAdded + kKiiAdded,
          { { u"botan", u"copi" }, { u"botan", u"[sKyMoj" } } },
        { "blanks inside the brackets",
          "[ botan ]\r\ncolor=-65536\r\n[\tkii\t]\r\nfontcolor=5\r\n",
          "[ botan ]\r\ncolor=-16776961\r\n[\tkii\t]\r\nfontcolor=-10496\r\n" + kSkyMojAdded },
        { "other blanks: vertical tab, form feed, end-of-file mark",
          "\x1A[botan]\v\r\n\vcolor\f=\f-65536\x1A\r\n",
          "\x1A[botan]\v\r\n\vcolor\f=\f-16776961\r\n" + kSkyMojAdded + kKiiAdded },
        { "UTF-8 without a byte-order mark",
          "[sKyMoj]\r\nnote=\xC3\xA9t\xC3\xA9\r\n",
          "[sKyMoj]\r\nnote=\xC3\xA9t\xC3\xA9\r\ncopi=C\r\nsave=V\r\nzoom=W\r\nmini=S\r\n"
          "clos=X\r\n" +
            kBotanAdded + kKiiAdded,
          { { u"sKyMoj", u"note" } } },
        { "letters beyond ASCII in names",
          "\xEF\xBB\xBF[\xC3\x84rger]\r\nschl\xC3\xBCssel=1\r\n",
          "\xEF\xBB\xBF[\xC3\x84rger]\r\nschl\xC3\xBCssel=1\r\n" + kBotanAdded + kSkyMojAdded +
            kKiiAdded,
          { { u"\u00C4rger", u"schl\u00FCssel" }, { u"\u00E4rger", u"SCHL\u00DCSSEL" } } },
    };
}

void writeBytes(const fs::path& p, const std::string& bytes)
{
    std::ofstream(p, std::ios::binary) << bytes;
}

struct SystemRead {
    std::u16string text;
    DWORD count = 0;
};

// The profile service called directly, to see its returned count beside the text.
SystemRead systemRead(const fs::path& file, const Query& q)
{
    std::vector<wchar_t> buffer(2048, L'\0');
    const std::wstring section(q.section.begin(), q.section.end());
    const std::wstring key(q.key.begin(), q.key.end());
    const std::wstring fallback(kFallback.begin(), kFallback.end());
    SystemRead r;
    r.count = GetPrivateProfileStringW(section.c_str(),
                                       key.c_str(),
                                       fallback.c_str(),
                                       buffer.data(),
                                       static_cast<DWORD>(buffer.size()),
                                       file.wstring().c_str());
    r.text.assign(reinterpret_cast<const char16_t*>(buffer.data()));
    return r;
}

std::u16string ourRead(const fs::path& file, const Query& q)
{
    ProfileFile ini(file.string());
    return ini.readString(q.section, q.key, kFallback);
}

std::u16string fromBytes(UINT codePage, std::string_view bytes)
{
    if (bytes.empty()) {
        return {};
    }
    const int size = static_cast<int>(bytes.size());
    const int units = MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
    std::wstring out(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), size, out.data(), units);
    return std::u16string(out.begin(), out.end());
}

std::string toUtf8(const std::u16string& text)
{
    const std::wstring w(text.begin(), text.end());
    const int size = static_cast<int>(w.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), size, out.data(), bytes, nullptr, nullptr);
    return out;
}

// Where the system answers otherwise than we do, for a known reason: the system's answer as it
// follows from ours, so that a change on either side still fails.
struct KnownDifference {
    const char* entry;
    Query query;
    const char* reason;
    bool staysAfterWrites; // the line in question is not one that the seven writes replace
    std::u16string (*systemAnswer)(const std::u16string& ours);
};

const KnownDifference kKnownDifferences[] = {
    { "long values",
      { u"sKyMoj", u"mini" },
      "Wine drops the closing quote by position after cutting the value to the buffer, so a "
      "quoted value of exactly 2047 units loses its last one",
      false,
      [](const std::u16string& ours) { return ours.substr(0, ours.size() - 1); } },
    { "UTF-8 without a byte-order mark",
      { u"sKyMoj", u"note" },
      "without a byte-order mark Windows reads the ANSI code page; we read UTF-8, the encoding "
      "of the systems that use our reader",
      true,
      [](const std::u16string& ours) { return fromBytes(CP_ACP, toUtf8(ours)); } },
};

// What the system should answer, given our answer.
std::u16string expectedOfSystem(const char* entry,
                                bool afterWrites,
                                const Query& q,
                                const std::u16string& ours)
{
    for (const KnownDifference& d : kKnownDifferences) {
        if (std::string_view(d.entry) == entry && (!afterWrites || d.staysAfterWrites) &&
            d.query.section == q.section && d.query.key == q.key) {
            return d.systemAnswer(ours);
        }
    }
    return ours;
}

// The lines of a file as Wine writes them back after a changing write: it rebuilds the whole
// file from what it parsed, where Windows edits the file in place. Each normalisation below is
// one known difference between the two writers; the bytes of our own writer are checked exactly.
std::vector<std::u16string> rebuiltLines(const std::string& bytes)
{
    std::u16string text;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = fromBytes(CP_UTF8, std::string_view(bytes).substr(3));
    } else if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0) {
        const bool little = bytes[0] == '\xFF';
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            const auto a = static_cast<unsigned char>(bytes[i]);
            const auto b = static_cast<unsigned char>(bytes[i + 1]);
            text += static_cast<char16_t>(little ? a | (b << 8) : (a << 8) | b);
        }
    } else {
        text = fromBytes(CP_ACP, bytes);
    }
    auto trim = [](std::u16string s) {
        const std::u16string blanks = u" \t\v\f\x1A";
        const size_t first = s.find_first_not_of(blanks);
        if (first == std::u16string::npos) {
            return std::u16string();
        }
        return s.substr(first, s.find_last_not_of(blanks) - first + 1);
    };
    std::vector<std::u16string> lines;
    size_t start = 0;
    while (start < text.size()) {
        // Every line ends in CRLF when Wine writes it.
        size_t end = text.find_first_of(u"\r\n", start);
        if (end == std::u16string::npos) {
            end = text.size();
        }
        std::u16string line = trim(text.substr(start, end - start));
        start = end + (text.compare(end, 2, u"\r\n") == 0 ? 2 : 1);
        const size_t close = line.rfind(u']');
        const size_t eq = line.find(u'=');
        if (line.empty()) {
            continue; // blank lines are dropped
        } else if (line[0] == u'[' && close != std::u16string::npos) {
            // A section header keeps only its name: the blanks inside the brackets and any
            // text after them go.
            line = u"[" + trim(line.substr(1, close - 1)) + u"]";
        } else if (eq != std::u16string::npos) {
            // The blanks around a key's name and value go.
            line = trim(line.substr(0, eq)) + u"=" + trim(line.substr(eq + 1));
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<Query> queriesOf(const Entry& e)
{
    std::vector<Query> all = kProgramQueries;
    all.insert(all.end(), e.extraQueries.begin(), e.extraQueries.end());
    return all;
}

std::string label(const Entry& e, const Query& q)
{
    return std::string(e.name) + " / " + check::show(q.section) + " / " + check::show(q.key);
}

} // namespace

TEST(readsAgree)
{
    Scratch scratch;
    int n = 0;
    for (const Entry& e : corpus()) {
        const fs::path file = scratch.dir / ("read" + std::to_string(++n) + ".ini");
        if (e.exists) {
            writeBytes(file, e.before);
        }
        auto native = ombrix::createNativePlatform()->openIniFile(file.string());
        for (const Query& q : queriesOf(e)) {
            CASE(label(e, q));
            const SystemRead system = systemRead(file, q);
            const std::u16string ours = ourRead(file, q);
            CHECK_EQ_BYTES(system.text, expectedOfSystem(e.name, false, q, ours));
            CHECK(system.count == system.text.size());
            // The platform's own IniFile passes the service's answer on unchanged.
            CHECK_EQ_BYTES(native->readString(q.section, q.key, kFallback), system.text);
        }
        native.reset();
        CASE(std::string(e.name) + ": reading leaves the file alone");
        CHECK(fs::exists(file) == e.exists);
        if (e.exists) {
            CHECK_EQ_BYTES(readBytes(file), e.before);
        }
    }
}

TEST(writesAgree)
{
    Scratch scratch;
    int n = 0;
    for (const Entry& e : corpus()) {
        ++n;
        const fs::path systemFile = scratch.dir / ("system" + std::to_string(n) + ".ini");
        const fs::path ourFile = scratch.dir / ("ours" + std::to_string(n) + ".ini");
        if (e.exists) {
            writeBytes(systemFile, e.before);
            writeBytes(ourFile, e.before);
        }
        CASE(std::string(e.name) + ": the seven writes");
        {
            auto native = ombrix::createNativePlatform()->openIniFile(systemFile.string());
            ProfileFile ours(ourFile.string());
            for (const Write& w : kSevenWrites) {
                CHECK(native->writeString(w.section, w.key, w.value));
                CHECK(ours.writeString(w.section, w.key, w.value));
            }
            CHECK(native->flush());
            CHECK(ours.flush());
        }

        CASE(std::string(e.name) + ": our file, edited in place");
        CHECK_EQ_BYTES(readBytes(ourFile), e.after);

        CASE(std::string(e.name) + ": the system's file keeps every line");
        const std::vector<std::u16string> expected = rebuiltLines(e.after);
        const std::vector<std::u16string> system = rebuiltLines(readBytes(systemFile));
        CHECK(system.size() == expected.size());
        for (size_t i = 0; i < std::min(system.size(), expected.size()); ++i) {
            CHECK_EQ_BYTES(system[i], expected[i]);
        }

        for (const Query& q : queriesOf(e)) {
            CASE(label(e, q) + " after the writes");
            const SystemRead system = systemRead(systemFile, q);
            const SystemRead systemOfOurs = systemRead(ourFile, q);
            CHECK_EQ_BYTES(systemOfOurs.text, system.text);
            CHECK(systemOfOurs.count == system.count);
            CHECK_EQ_BYTES(systemOfOurs.text,
                           expectedOfSystem(e.name, true, q, ourRead(ourFile, q)));
        }
    }
}

int main()
{
    return check::runAll();
}
