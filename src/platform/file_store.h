#pragma once
// Replacing a file whole, so that a crash never leaves it half written: the new content goes
// to a temporary file beside it ("<name>.tmp<process id>"), is put on the disk, and takes the
// file's place in one rename; a link is followed, so the link itself stays. Where the folder
// refuses a new file but the file itself exists, it is rewritten in place instead, as the
// Windows profile service does, rather than not at all. No Qt; replaceFile() is the same on
// every system, what differs (the calls below it) is in file_store_posix.cpp or
// file_store_win.cpp, whichever CMake builds.

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

// What differs between systems.

// This process's id, as the system numbers processes.
long processId();

// Opens the temporary file `temp` for writing, empty; nullptr (errno set) when that fails.
std::FILE* createTemporary(const std::filesystem::path& temp);

// Puts what was written to `f` on the disk itself; false (errno set) when that fails.
bool syncToDisk(std::FILE* f);

// Removes the temporary files of writes of `target` by processes that no longer run: a process
// killed while it wrote leaves its temporary file behind. (Not on Windows: file_store_win.cpp.)
void removeLeftovers(const std::filesystem::path& target);

} // namespace ombrix::files
