#pragma once
// A very small test harness for the platform library, which must build without Qt (also with a
// Windows cross-compiler). Each CHECK counts; main() prints "N passed, N failed" and returns
// non-zero on any failure.

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace check
{

struct Registry {
    std::vector<std::pair<const char*, std::function<void()>>> tests;
    int passed = 0;
    int failed = 0;
    const char* current = "";
    std::string currentCase;
    static Registry& get()
    {
        static Registry r;
        return r;
    }
};

struct Add {
    Add(const char* name, std::function<void()> fn)
    {
        Registry::get().tests.emplace_back(name, std::move(fn));
    }
};

inline void report(bool ok, const char* file, int line, const std::string& what)
{
    auto& r = Registry::get();
    if (ok) {
        ++r.passed;
        return;
    }
    ++r.failed;
    std::printf(
      "FAIL %s [%s] %s:%d: %s\n", r.current, r.currentCase.c_str(), file, line, what.c_str());
}

// Bytes shown with escapes, for messages.
inline std::string shorten(std::string out, size_t total)
{
    if (out.size() > 160) {
        out = out.substr(0, 160) + "... (" + std::to_string(total) + " in all)";
    }
    return out;
}

inline std::string show(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return shorten(out, bytes.size());
}

inline std::string show(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[12];
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return shorten(out, text.size());
}

inline int runAll()
{
    auto& r = Registry::get();
    for (auto& [name, fn] : r.tests) {
        r.current = name;
        r.currentCase.clear();
        fn();
    }
    std::printf("%d passed, %d failed\n", r.passed, r.failed);
    return r.failed == 0 ? 0 : 1;
}

} // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST(name)                                                                                 \
    static void name();                                                                            \
    static check::Add CHECK_CONCAT(add_, name)(#name, name);                                       \
    static void name()
#define CASE(label) (check::Registry::get().currentCase = (label))
#define CHECK(cond) check::report((cond), __FILE__, __LINE__, #cond)
#define CHECK_EQ_BYTES(actual, expected)                                                           \
    check::report((actual) == (expected),                                                          \
                  __FILE__,                                                                        \
                  __LINE__,                                                                        \
                  "got \"" + check::show(actual) + "\", expected \"" + check::show(expected) +     \
                    "\"")
