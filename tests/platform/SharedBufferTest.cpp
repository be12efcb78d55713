// The memory shared with a Wayland compositor for a frame: what it opens is closed again, also
// when the memory cannot be had (a frame far larger than the address space).

#include "Check.h"
#include "platform.h"
#include "shared_buffer.h"

#include <filesystem>
#include <optional>

namespace
{

int openDescriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

TEST(sharedBufferClosesWhatItOpened)
{
    struct Case {
        const char* name;
        int width, height, stride;
        bool made;
    };
    const Case cases[] = {
        { "a frame of 640 x 480", 640, 480, 640 * 4, true },
        { "a frame larger than the address space", 1 << 28, 1 << 20, 1 << 30, false },
        { "a second one: nothing was left from the first", 1 << 28, 1 << 20, 1 << 30, false },
    };
    for (const Case& c : cases) {
        CASE(c.name);
        const int before = openDescriptors();
        bool made = false;
        try {
            ombrix::wayland::SharedBuffer buffer(nullptr, c.width, c.height, c.stride, 0);
            made = buffer.data() != nullptr;
            CHECK(openDescriptors() == before + 1);
        } catch (const ombrix::PlatformError& e) {
            CHECK(e.failure() == ombrix::Failure::ScreenUnreadable);
        }
        CHECK(made == c.made);
        CHECK(openDescriptors() == before);
    }
}

} // namespace

int main()
{
    return check::runAll();
}
