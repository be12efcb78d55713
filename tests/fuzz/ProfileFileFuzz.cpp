// Fuzzes the profile-file reader and writer: arbitrary bytes as the file, arbitrary texts as the
// values. It must never crash or hang; a value written reads back as written (for texts a
// profile file can hold); and what was not written reads as before. Then reads and writes in
// any order, through a read buffer of a few bytes, must give what the rules give on the file
// held whole in memory (ProfileModel.h), read for read and byte for byte.

#include "ProfileModel.h"
#include "profile_file.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using ombrix::ProfileFile;

namespace
{

const std::string& scratchPath()
{
    static const std::string path = [] {
        // In memory where there is such a folder: every write ends in a flush to disk, which
        // would otherwise take most of the fuzzer's time.
        char shm[] = "/dev/shm/ombrix-fuzz-XXXXXX";
        char tmp[] = "/tmp/ombrix-fuzz-XXXXXX";
        const char* dir = mkdtemp(shm);
        if (!dir) {
            dir = mkdtemp(tmp);
        }
        if (!dir) {
            std::abort();
        }
        return std::string(dir) + "/Ombrix.ini";
    }();
    return path;
}

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\v' || c == u'\f' || c == 0x1A;
}

// A value survives a write and a read unchanged when nothing in it is lost to the format:
// no line break, no blanks at its ends, not wrapped in a pair of quotes, no lone surrogate,
// short enough to be read whole.
bool holdable(const std::u16string& v)
{
    if (v.size() > ProfileFile::kMaxValueUnits) {
        return false;
    }
    if (!v.empty() && (isBlank(v.front()) || isBlank(v.back()))) {
        return false;
    }
    if (v.size() > 1 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front()) {
        return false;
    }
    for (size_t i = 0; i < v.size(); ++i) {
        const char16_t c = v[i];
        if (c == u'\r' || c == u'\n') {
            return false;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= v.size() || v[i + 1] < 0xDC00 || v[i + 1] > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

std::u16string text(FuzzedDataProvider& data, size_t maxUnits)
{
    const size_t n = data.ConsumeIntegralInRange<size_t>(0, maxUnits);
    std::u16string s;
    for (size_t i = 0; i < n && data.remaining_bytes() > 0; ++i) {
        // Mostly ASCII, sometimes anything in the 16-bit range.
        s += data.ConsumeBool()
               ? static_cast<char16_t>(data.ConsumeIntegralInRange<int>(0x20, 0x7E))
               : data.ConsumeIntegral<char16_t>();
    }
    return s;
}

bool sameName(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

struct Name {
    std::u16string section, key;
};

void writeFile(const std::string& bytes)
{
    std::ofstream out(scratchPath(), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string fileBytes()
{
    std::ifstream in(scratchPath(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

[[noreturn]] void differs(const char* what)
{
    std::fprintf(stderr, "differs from the rules on the whole file: %s\n", what);
    std::abort();
}

// Reads and writes in an order the input picks, through a small read buffer (so that lines and
// characters fall across its ends), each compared with the model; then the bytes written.
void compareWithModel(FuzzedDataProvider& data,
                      const std::string& file,
                      const std::vector<Name>& names)
{
    writeFile(file);
    model::Profile expected(file, true);
    ProfileFile ini(scratchPath(), data.ConsumeIntegralInRange<size_t>(1, 40));
    const size_t steps = data.ConsumeIntegralInRange<size_t>(1, 12);
    for (size_t i = 0; i < steps && data.remaining_bytes() > 0; ++i) {
        const Name& n = names[data.ConsumeIntegralInRange<size_t>(0, names.size() - 1)];
        if (data.ConsumeBool()) {
            if (ini.readString(n.section, n.key, u"\u0001absent") !=
                expected.read(n.section, n.key, u"\u0001absent")) {
                differs("a read");
            }
        } else {
            const std::u16string value = text(data, 20);
            if (ini.writeString(n.section, n.key, value) !=
                expected.write(n.section, n.key, value)) {
                differs("whether a write is taken");
            }
        }
    }
    if (!ini.flush()) {
        differs("the flush failed");
    }
    const std::string written = fileBytes();
    if (written != expected.bytes()) {
        differs("the bytes written");
    }
    // The same object reads on from the file it wrote (where a value the format cannot hold,
    // such as a lone surrogate in UTF-8, reads differently from what was written).
    const model::Profile reread(written, true);
    for (const Name& n : names) {
        if (ini.readString(n.section, n.key, u"-") != reread.read(n.section, n.key, u"-")) {
            differs("a read after the flush");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const std::string file = data.ConsumeRandomLengthString(4096);
    {
        std::ofstream out(scratchPath(), std::ios::binary | std::ios::trunc);
        out << file;
    }

    // The names the program uses, and a few others picked by the input.
    std::vector<Name> names = { { u"botan", u"color" },
                                { u"sKyMoj", u"copi" },
                                { u"sKyMoj", u"save" },
                                { u"kii", u"fontcolor" },
                                { u"SKYMOJ", u"CLOS" } };
    for (int i = 0; i < 3; ++i) {
        names.push_back({ text(data, 8), text(data, 8) });
    }

    std::vector<std::u16string> before;
    {
        ProfileFile ini(scratchPath());
        for (const Name& n : names) {
            before.push_back(ini.readString(n.section, n.key, u"\u0001absent"));
        }
    }

    // Write some of them.
    struct Written {
        Name name;
        std::u16string value;
    };
    std::vector<Written> written;
    {
        ProfileFile ini(scratchPath());
        const size_t writes = data.ConsumeIntegralInRange<size_t>(0, 4);
        for (size_t i = 0; i < writes; ++i) {
            const Name& n = names[data.ConsumeIntegralInRange<size_t>(0, 4)];
            const std::u16string value = text(data, 40);
            if (ini.writeString(n.section, n.key, value)) {
                written.push_back({ n, value });
            }
        }
        if (!ini.flush()) {
            return 0; // nothing more to check: the file stays as it was
        }
    }

    ProfileFile after(scratchPath());
    for (size_t i = 0; i < names.size(); ++i) {
        const Name& n = names[i];
        const std::u16string now = after.readString(n.section, n.key, u"\u0001absent");
        // The last write to a name decides its value.
        const Written* last = nullptr;
        for (const Written& w : written) {
            if (sameName(w.name.section, n.section) && sameName(w.name.key, n.key)) {
                last = &w;
            }
        }
        if (last) {
            if (holdable(last->value) && now != last->value) {
                std::fprintf(stderr,
                             "a written value did not read back: [%s] size %zu, read %zu\n",
                             std::string(n.key.begin(), n.key.end()).c_str(),
                             last->value.size(),
                             now.size());
                for (char16_t c : last->value) {
                    std::fprintf(stderr, "%04x ", unsigned(c));
                }
                std::fprintf(stderr, "\nread: ");
                for (char16_t c : now) {
                    std::fprintf(stderr, "%04x ", unsigned(c));
                }
                std::fprintf(stderr, "\n");
                std::abort();
            }
        } else if (now != before[i]) {
            std::fprintf(stderr, "a value nobody wrote changed\n");
            std::abort();
        }
    }

    compareWithModel(data, file, names);
    return 0;
}
