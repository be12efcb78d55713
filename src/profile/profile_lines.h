#pragma once
// The lines of a profile file: what a section header and a key line are, on a line held as
// text; and a scanner that reads lines straight from the file through a buffer of fixed size,
// telling where each ends and whether it is a header (of a name looked for), without holding
// it. Both follow the same rules: a header is "[" after blanks, its name up to the last "]" on
// the line, read without the blanks around it; a line ends at CRLF, LF or CR.

#include "profile_text.h"

#include <cstdint>
#include <fstream>
#include <string_view>
#include <vector>

namespace ombrix::profile
{

// A section header: "[" after optional blanks, the name up to the last "]" on the line.
bool sectionName(std::u16string_view line, std::u16string_view& name);

struct KeyLine {
    std::u16string_view name;
    std::u16string_view value;
    bool hasValue = false;
};

// The name before the first "=" and the value after it, both without the blanks around them;
// a line with no "=" is a name alone.
KeyLine keyLine(std::u16string_view line);

// Reads a stretch of a file front to back through a buffer of fixed size.
class Reader
{
public:
    // The buffer holds `capacity` bytes, or the whole stretch when that is less (and always
    // the few bytes of the longest character).
    Reader(std::ifstream& in, uint64_t begin, uint64_t end, size_t capacity);

    uint64_t position() const { return start_ + pos_; }
    const char* data() const { return buffer_.data() + pos_; }
    size_t available() const { return fill_ - pos_; }
    void advance(size_t n) { pos_ += n; }
    // True when the file ended before the stretch did, or could not be read.
    bool failed() const { return failed_; }

    // Has at least `n` bytes from the position on in the buffer, or all that are left of the
    // stretch; returns how many there are.
    size_t ensure(size_t n);

    // How far the first CR or LF byte in the buffer lies from the position; available() if
    // there is none.
    size_t toLineEndByte();

private:
    std::ifstream& in_;
    std::vector<char> buffer_;
    size_t pos_ = 0;
    size_t fill_ = 0;
    uint64_t start_; // where buffer_[0] lies in the file
    uint64_t end_;
    uint64_t lf_ = 0;
    bool lfFound_ = false;
    bool failed_ = false;
};

// Moves the reader to the next CR or LF, or to the end of its stretch.
void skipToLineEnd(Reader& r, const UnitFormat& u);

// What the profile rules make of one line, read without holding it.
struct LineShape {
    uint64_t begin = 0;
    uint64_t end = 0; // after the line end
    size_t endBytes = 0;
    bool header = false; // "[" after blanks, and a "]" after it
    bool named = false;  // a header of the name looked for
};

// Reads one line. With `lookFor`, tells whether it is the header of a section of that name:
// "[", the name between blanks, "]", and no "]" after it (the name ends at the last "]").
LineShape scanLine(Reader& r, const UnitFormat& u, const std::u16string_view* lookFor);

} // namespace ombrix::profile
