#include "platform.h"

#include "profile_file.h"

#include <atomic>

namespace ombrix
{

namespace
{
std::unique_ptr<Platform>& current()
{
    static std::unique_ptr<Platform> instance;
    return instance;
}
} // namespace

Platform& platform()
{
    auto& p = current();
    if (!p) {
        p = createNativePlatform();
    }
    return *p;
}

void setPlatform(std::unique_ptr<Platform> replacement)
{
    current() = std::move(replacement);
}

namespace
{
std::atomic<LogSink> g_logSink{ nullptr };
} // namespace

void setLogSink(LogSink sink)
{
    g_logSink = sink;
}

void logFallback(LogArea area, const std::string& text)
{
    if (const LogSink sink = g_logSink) {
        sink(area, text);
    }
}

namespace
{
class PortableIniFile final : public IniFile
{
public:
    explicit PortableIniFile(const std::string& path)
      : file_(path)
    {
    }
    std::u16string readString(std::u16string_view section,
                              std::u16string_view key,
                              std::u16string_view fallback) override
    {
        return file_.readString(section, key, fallback);
    }
    bool writeString(std::u16string_view section,
                     std::u16string_view key,
                     std::u16string_view value) override
    {
        return file_.writeString(section, key, value);
    }
    bool flush() override { return file_.flush(); }
    std::string lastError() const override { return file_.errorText(); }

private:
    ProfileFile file_;
};
} // namespace

std::unique_ptr<IniFile> openPortableIniFile(const std::string& path)
{
    return std::make_unique<PortableIniFile>(path);
}

} // namespace ombrix
