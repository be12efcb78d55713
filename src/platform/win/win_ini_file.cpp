#include "win_ini_file.h"

#include "profile_file.h"
#include "win_text.h"

#include <array>
#include <utility>
#include <vector>

namespace ombrix::win
{

namespace
{

class WinIniFile final : public IniFile
{
public:
    WinIniFile(std::string utf8Path, std::wstring path)
      : utf8Path_(std::move(utf8Path))
      , path_(std::move(path))
    {
    }

    // The profile service may keep the file in a cache of its own; releasing the object is the
    // moment it must be on disk.
    ~WinIniFile() override
    {
        if (!flushed_) {
            flush();
        }
    }

    std::u16string readString(std::u16string_view section,
                              std::u16string_view key,
                              std::u16string_view fallback) override
    {
        flushed_ = false;
        std::array<wchar_t, 2048> buffer{};
        const DWORD count = GetPrivateProfileStringW(wide(section).c_str(),
                                                     wide(key).c_str(),
                                                     wide(fallback).c_str(),
                                                     buffer.data(),
                                                     static_cast<DWORD>(buffer.size()),
                                                     path_.c_str());
        return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), count);
    }

    bool writeString(std::u16string_view section,
                     std::u16string_view key,
                     std::u16string_view value) override
    {
        flushed_ = false;
        if (WritePrivateProfileStringW(
              wide(section).c_str(), wide(key).c_str(), wide(value).c_str(), path_.c_str())) {
            written_.emplace_back(section, key);
            return true;
        }
        error_ = systemMessage(GetLastError());
        return false;
    }

    // The service's own flush answers no question about the writes (Wine answers FALSE even
    // when all went well; on a full disk it answers each write TRUE and leaves the file empty),
    // so the file on the disk is read back with the service's own reading rules: every key
    // written since the last flush must be there, and read as the service reads it.
    bool flush() override
    {
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, path_.c_str());
        flushed_ = true;
        if (written_.empty()) {
            return true;
        }
        ProfileFile onDisk(utf8Path_);
        for (const auto& [section, key] : written_) {
            // A key that is not there reads as the fallback, which no value can be (it holds a
            // line break, which a profile line cannot).
            const std::u16string fallback = u"\n";
            // The service reads at most a buffer's length of a value.
            const std::u16string there = onDisk.readString(section, key, fallback).substr(0, 2047);
            if (there == fallback || there != readString(section, key, fallback)) {
                error_ = "the file on the disk does not hold what was written ([" +
                         narrow(section) + "] " + narrow(key) + ")";
                written_.clear();
                flushed_ = true;
                return false;
            }
        }
        written_.clear();
        flushed_ = true;
        return true;
    }

    std::string lastError() const override { return error_; }

private:
    static std::string narrow(const std::u16string& text)
    {
        std::string out;
        for (char16_t c : text) {
            out += c < 0x80 ? static_cast<char>(c) : '?';
        }
        return out;
    }

    std::string utf8Path_;
    std::wstring path_;
    bool flushed_ = false;
    std::string error_;
    std::vector<std::pair<std::u16string, std::u16string>> written_;
};

} // namespace

std::unique_ptr<IniFile> openProfileServiceFile(const std::string& path)
{
    return std::make_unique<WinIniFile>(path, fromUtf8(path));
}

} // namespace ombrix::win
