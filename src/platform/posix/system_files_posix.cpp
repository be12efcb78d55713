#include "system_files.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace ombrix::files
{

namespace
{

// Whether a process of this id may still run (one we may not ask about counts as running).
bool processRuns(long id)
{
    return ::kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH;
}

} // namespace

long processId()
{
    return static_cast<long>(::getpid());
}

std::FILE* createTemporary(const fs::path& temp)
{
    // A file of that name can only be left by an earlier process that had our id, and no longer
    // runs: it goes first, so that we never write through anything that stands there.
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        ::close(fd);
    }
    return f;
}

bool syncToDisk(std::FILE* f)
{
    return fsync(fileno(f)) == 0;
}

void removeLeftovers(const fs::path& target)
{
    const std::string prefix = target.filename().string() + ".tmp";
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.size() > prefix.size() + 9 ||
            name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::string digits = name.substr(prefix.size());
        if (!std::all_of(
              digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        const long id = std::stol(digits);
        if (id <= 0 || id == processId() || processRuns(id)) {
            continue;
        }
        std::error_code ignored;
        fs::remove(it->path(), ignored);
    }
}

} // namespace ombrix::files
