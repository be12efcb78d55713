#pragma once
// The few file-system calls that differ between systems, under the profile file's writer
// (src/profile/file_store.cpp): posix/system_files_posix.cpp or win/system_files_win.cpp,
// whichever CMake builds.

#include <cstdio>
#include <filesystem>

namespace ombrix::files
{

// This process's id, as the system numbers processes.
long processId();

// Opens the temporary file `temp` for writing, empty; nullptr (errno set) when that fails.
std::FILE* createTemporary(const std::filesystem::path& temp);

// Puts what was written to `f` on the disk itself; false (errno set) when that fails.
bool syncToDisk(std::FILE* f);

// Removes the temporary files of writes of `target` by processes that no longer run: a process
// killed while it wrote leaves its temporary file behind. (Not on Windows: system_files_win.cpp.)
void removeLeftovers(const std::filesystem::path& target);

} // namespace ombrix::files
