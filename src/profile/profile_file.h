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
// replaced whole and at once (a temporary file "<name>.tmp<process id>" beside it, flushed, then
// renamed), so that a crash never leaves it half written; a successful write removes the
// temporary files of processes that no longer run.
//
// A file of any size costs little: the file is read front to back, only as far as the sections
// asked for, through a buffer of fixed size. Only the lines of those sections are held in
// memory; the rest stays on disk and is copied byte for byte when the file is written.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ombrix
{

namespace profile
{
struct UnitFormat;
}

class ProfileFile
{
public:
    // The longest value a read returns, in UTF-16 units (a 2048-unit buffer less its null).
    static constexpr size_t kMaxValueUnits = 2047;
    // How many bytes of the file a read holds at a time.
    static constexpr size_t kReadBuffer = 256 * 1024;

    // Names the file; touches nothing on disk. `readBuffer` is for tests that want the file
    // read in small pieces.
    explicit ProfileFile(std::string path, size_t readBuffer = kReadBuffer);
    ProfileFile(const ProfileFile&) = delete;
    ProfileFile& operator=(const ProfileFile&) = delete;

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

private:
    enum class Encoding {
        Utf8,
        Utf8Bom,
        Utf16LE,
        Utf16BE,
    };

    // A line held in memory: read from a section asked for, changed, or added.
    struct Line {
        std::u16string text; // decoded, without the line end
        std::string raw;     // the bytes as in the file, line end included
        size_t endBytes = 0; // how many of them are the line end (0 on a last line without)
    };
    // Whole lines of the file on disk that nobody asked for, written out as they are. A run
    // that follows held lines starts with a section header.
    struct Run {
        uint64_t offset = 0;
        uint64_t length = 0;
        std::string lineEnd; // given to the file's last line when lines were added after it
    };
    using Piece = std::variant<Run, Line>;

    static constexpr size_t kNone = static_cast<size_t>(-1);
    // Indexes into state_.pieces, all of them held lines.
    struct Position {
        size_t section = kNone;    // header line of the first section of the name
        size_t sectionEnd = kNone; // one past its last non-blank line
        size_t key = kNone;        // first line of the key in that section
    };

    // What one reading of the file found out and holds of it, the file kept open included.
    struct State {
        std::ifstream in;
        bool loaded = false;
        bool exists = false;
        bool unreadable = false;
        bool writableChecked = false;
        bool writable = false;
        Encoding encoding = Encoding::Utf8;
        bool newlineKnown = false;
        std::string newline = "\r\n"; // ASCII form of the file's first line end
        uint64_t contentBegin = 0;    // after the byte-order mark
        uint64_t contentEnd = 0;      // before an odd last byte of a UTF-16 file
        std::string bom;
        std::string trailing;
        std::vector<Piece> pieces;
        // Section names (letters folded) looked for already: their first section is held, or
        // no run has one. Runs are not searched for them again.
        std::vector<std::u16string> settled;
    };

    void load();
    // Forgets what was read, so that the file is read afresh from disk when next needed.
    void unload() { state_ = {}; }
    bool openForReading();
    bool readBytes(uint64_t offset, uint64_t length, std::string& out);
    void readFailed();
    bool checkWritable();
    Position find(std::u16string_view section, std::u16string_view key);
    bool findHeader(const Run& run, std::u16string_view section, uint64_t& header);
    size_t holdSection(size_t index, uint64_t header);
    bool lastLineHasEnd(const Run& run);
    const std::string& newlineAscii();
    std::string newline();
    Line newLine(const std::u16string& text);
    void ensureLineEnd(size_t index);
    std::string rawPrefix(const Line& line, size_t textUnits) const;
    bool copyRun(const Run& run, std::FILE* out);
    // The whole new content into `f`; false with the reason in `failure` when that fails.
    bool writeContent(std::FILE* f, std::string& failure);
    profile::UnitFormat units() const;

    std::string path_;
    // The same path for the reading calls, read as UTF-8 on every system (a narrow path is the
    // ANSI code page's on Windows).
    std::filesystem::path file_;
    size_t readBuffer_;
    State state_;
    bool dirty_ = false; // set by a write; only a successful flush() clears it
    std::string error_;
};

} // namespace ombrix
