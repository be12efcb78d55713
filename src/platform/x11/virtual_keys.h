#pragma once
// The X keysyms that stand for Windows virtual-key codes.

#include <cstdint>
#include <vector>

namespace ombrix
{

// The X keysyms whose keys count as the virtual key `virtualKey` (either Control key for
// VK_CONTROL, and so on). Empty for a code that names no key on an X keyboard.
std::vector<unsigned long> keysymsForVirtualKey(int virtualKey);

} // namespace ombrix
