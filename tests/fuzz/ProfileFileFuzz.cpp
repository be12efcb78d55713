// Fuzzes the profile-file reader and writer: arbitrary bytes as the file, arbitrary texts as the
// values. It must never crash or hang; a value written reads back as written (for texts a
// profile file can hold); and what was not written reads as before.

#include "profile_file.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using ombrix::ProfileFile;

namespace
{

const std::string& scratchPath()
{
    static const std::string path = [] {
        char dir[] = "/tmp/ombrix-fuzz-XXXXXX";
        if (!mkdtemp(dir)) {
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
    return 0;
}
