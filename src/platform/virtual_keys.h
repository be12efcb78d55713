#pragma once
// Windows virtual-key codes and the X keysyms that stand for them.

#include <cstdint>
#include <vector>

namespace ombrix
{

namespace vk
{
constexpr int Shift = 0x10;
constexpr int Control = 0x11;
constexpr int Menu = 0x12; // Alt
} // namespace vk

// The X keysyms whose keys count as the virtual key `virtualKey` (either Control key for
// VK_CONTROL, and so on). Empty for a code that names no key on an X keyboard.
std::vector<unsigned long> keysymsForVirtualKey(int virtualKey);

} // namespace ombrix
