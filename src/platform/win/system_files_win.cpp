#include "system_files.h"

#include <io.h>
#include <process.h>

namespace ombrix::files
{

long processId()
{
    return static_cast<long>(_getpid());
}

std::FILE* createTemporary(const std::filesystem::path& temp)
{
    return std::fopen(temp.string().c_str(), "wb");
}

bool syncToDisk(std::FILE* f)
{
    return _commit(_fileno(f)) == 0;
}

void removeLeftovers(const std::filesystem::path& target)
{
    // Not looked for: the program writes its settings through the system's profile service
    // on Windows (platform_win.cpp), so no run of it leaves temporary files of this writer.
    (void)target;
}

} // namespace ombrix::files
