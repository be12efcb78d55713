// The platform in use: the system's own (x11/ or win/, whichever CMake builds), unless a test
// set another.

#include "platform.h"

namespace ombrix
{

namespace
{
std::unique_ptr<Platform>& current()
{
    static std::unique_ptr<Platform> instance;
    return instance;
}
} // namespace

Platform& platform()
{
    auto& p = current();
    if (!p) {
        p = createNativePlatform();
    }
    return *p;
}

void setPlatform(std::unique_ptr<Platform> replacement)
{
    current() = std::move(replacement);
}

} // namespace ombrix
