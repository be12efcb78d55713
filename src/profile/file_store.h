#pragma once
// Replacing a file whole, so that a crash never leaves it half written: the new content goes
// to a temporary file beside it ("<name>.tmp<process id>"), is put on the disk, and takes the
// file's place in one rename; a link is followed, so the link itself stays. Where the folder
// refuses a new file but the file itself exists, it is rewritten in place instead, as the
// Windows profile service does, rather than not at all. No Qt; replaceFile() is the same on
// every system, the system calls below it are the platform's (system_files.h).

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

namespace ombrix::files
{

// The new content of a file, from whoever writes it.
struct Content {
    // Writes the whole content to `out`; false with the reason in `failure`.
    std::function<bool(std::FILE* out, std::string& failure)> write;
    // Closes what the writer holds open of the old file (the content may be copied from it).
    // Called once write() is done, before the old file is replaced or overwritten (Windows
    // refuses to replace an open file); it may not be called at all when the write fails.
    std::function<void()> release;
};

enum class Replaced {
    Yes, // the file holds the new content
    No,  // the file is as it was
    // The rewrite in place failed: the file may hold part of the new content, and what was
    // read of it before no longer counts.
    Unsure,
};

// Replaces the file at `path` by `content`. `exists` tells whether there is a file to rewrite in
// place. On failure the system's reason goes to `failure`.
Replaced replaceFile(const std::string& path,
                     bool exists,
                     const Content& content,
                     std::string& failure);

} // namespace ombrix::files
