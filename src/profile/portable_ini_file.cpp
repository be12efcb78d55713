#include "portable_ini_file.h"

#include "profile_file.h"

namespace ombrix
{

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
