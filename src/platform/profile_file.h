#pragma once
// A reader and writer of Windows profile files (".ini"), following the rules of
// GetPrivateProfileStringW and WritePrivateProfileStringW, for systems that have no such service.
//
// Reading: section and key names match regardless of letter case and are read without the
// blanks around them; so is a value, and one pair of matching quotes (' or ") around it is
// removed. Only the first section of a name, and the first key of a name in it, count. A value
// is read as at most its first 2047 UTF-16 units. Lines may end in CRLF, LF or CR.
//
// Writing: the value of an existing key is replaced where it stands; a missing key is added at
// the end of its section, a missing section at the end of the file; every other line keeps its
// bytes. A new file is UTF-8 without a byte-order mark with CRLF line ends; an existing file
// keeps its byte-order mark (UTF-8, UTF-16LE or UTF-16BE) and its kind of line end. The file is
// replaced whole and at once (a temporary file beside it, flushed, then renamed), so that a
// crash never leaves it half written.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ombrix
{

class ProfileFile
{
public:
    // The longest value a read returns, in UTF-16 units (a 2048-unit buffer less its null).
    static constexpr size_t kMaxValueUnits = 2047;

    // Names the file; touches nothing on disk.
    explicit ProfileFile(std::string path);

    // The value, or `fallback` when the file, the section or the key is missing.
    std::u16string readString(std::u16string_view section,
                              std::u16string_view key,
                              std::u16string_view fallback);

    // Sets a value in the file's content. False when the file cannot be written (a read-only
    // or unreadable file) or the value cannot be held by the format (a line break in it).
    bool writeString(std::u16string_view section,
                     std::u16string_view key,
                     std::u16string_view value);

    // Writes the content to disk if a write changed it. False on failure; see errorText().
    bool flush();

    // The system's reason for the last failure, in words.
    const std::string& errorText() const { return error_; }

    // The file's bytes as they would be written now (for tests).
    std::string serialized() const;

private:
    enum class Encoding {
        Utf8,
        Utf8Bom,
        Utf16LE,
        Utf16BE,
    };

    struct Line {
        std::u16string text; // decoded, without the line end
        std::string raw;     // the bytes as in the file, line end included
        size_t endBytes = 0; // how many of them are the line end (0 on a last line without)
    };

    static constexpr size_t kNone = static_cast<size_t>(-1);
    struct Position {
        size_t section = kNone;    // header line of the first section of the name
        size_t sectionEnd = kNone; // one past its last non-blank line
        size_t key = kNone;        // first line of the key in that section
    };

    void load();
    bool checkWritable();
    Position find(std::u16string_view section, std::u16string_view key) const;
    std::string encode(std::u16string_view text) const;
    std::string newline() const;
    Line newLine(const std::u16string& text) const;
    void ensureLineEnd(size_t index);
    std::string rawPrefix(const Line& line, size_t textUnits) const;
    size_t unitSize() const
    {
        return encoding_ == Encoding::Utf16LE || encoding_ == Encoding::Utf16BE ? 2 : 1;
    }

    std::string path_;
    bool loaded_ = false;
    bool exists_ = false;
    bool unreadable_ = false;
    bool dirty_ = false;
    bool writableChecked_ = false;
    bool writable_ = false;
    Encoding encoding_ = Encoding::Utf8;
    std::string newline_ = "\r\n"; // ASCII form of the file's first line end
    std::string bom_;
    std::string trailing_;
    std::vector<Line> lines_;
    std::string error_;
};

} // namespace ombrix
