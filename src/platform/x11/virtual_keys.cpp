#include "virtual_keys.h"

#include "platform.h"

#include <X11/keysym.h>

#include <algorithm>
#include <array>

namespace ombrix
{

namespace
{

struct KeyEntry {
    int virtualKey;
    // The keysyms in order; the unused places at the end stay NoSymbol (0).
    std::array<unsigned long, 4> keysyms;
};

constexpr KeyEntry kKeys[] = {
    { 0x08, { XK_BackSpace } },
    { 0x09, { XK_Tab, XK_ISO_Left_Tab } },
    { 0x0D, { XK_Return, XK_KP_Enter } },
    { vk::Shift, { XK_Shift_L, XK_Shift_R } },
    { vk::Control, { XK_Control_L, XK_Control_R } },
    { vk::Menu, { XK_Alt_L, XK_Alt_R, XK_Meta_L, XK_Meta_R } },
    { 0x13, { XK_Pause } },
    { 0x14, { XK_Caps_Lock } },
    { 0x1B, { XK_Escape } },
    { 0x20, { XK_space } },
    { 0x21, { XK_Prior } },
    { 0x22, { XK_Next } },
    { 0x23, { XK_End } },
    { 0x24, { XK_Home } },
    { 0x25, { XK_Left } },
    { 0x26, { XK_Up } },
    { 0x27, { XK_Right } },
    { 0x28, { XK_Down } },
    { 0x2C, { XK_Print } },
    { 0x2D, { XK_Insert } },
    { 0x2E, { XK_Delete } },
    { 0x5B, { XK_Super_L } },
    { 0x5C, { XK_Super_R } },
    { 0x5D, { XK_Menu } },
    { 0x6A, { XK_KP_Multiply } },
    { 0x6B, { XK_KP_Add } },
    { 0x6C, { XK_KP_Separator } },
    { 0x6D, { XK_KP_Subtract } },
    { 0x6E, { XK_KP_Decimal, XK_KP_Delete } },
    { 0x6F, { XK_KP_Divide } },
    { 0x90, { XK_Num_Lock } },
    { 0x91, { XK_Scroll_Lock } },
    { 0xA0, { XK_Shift_L } },
    { 0xA1, { XK_Shift_R } },
    { 0xA2, { XK_Control_L } },
    { 0xA3, { XK_Control_R } },
    { 0xA4, { XK_Alt_L, XK_Meta_L } },
    { 0xA5, { XK_Alt_R, XK_Meta_R, XK_ISO_Level3_Shift } },
    { 0xBA, { XK_semicolon } },    // VK_OEM_1
    { 0xBB, { XK_equal } },        // VK_OEM_PLUS
    { 0xBC, { XK_comma } },        // VK_OEM_COMMA
    { 0xBD, { XK_minus } },        // VK_OEM_MINUS
    { 0xBE, { XK_period } },       // VK_OEM_PERIOD
    { 0xBF, { XK_slash } },        // VK_OEM_2
    { 0xC0, { XK_grave } },        // VK_OEM_3
    { 0xDB, { XK_bracketleft } },  // VK_OEM_4
    { 0xDC, { XK_backslash } },    // VK_OEM_5
    { 0xDD, { XK_bracketright } }, // VK_OEM_6
    { 0xDE, { XK_apostrophe } },   // VK_OEM_7
    { 0xE2, { XK_less } },         // VK_OEM_102
};

constexpr bool byVirtualKey(const KeyEntry& a, const KeyEntry& b)
{
    return a.virtualKey < b.virtualKey;
}

// The look-up below is a binary search.
static_assert(std::is_sorted(std::begin(kKeys), std::end(kKeys), byVirtualKey));

} // namespace

std::vector<unsigned long> keysymsForVirtualKey(int vkCode)
{
    // Letters: VK 'A'..'Z' is the key that types a..z.
    if (vkCode >= 'A' && vkCode <= 'Z') {
        return { static_cast<unsigned long>(XK_a + (vkCode - 'A')) };
    }
    if (vkCode >= '0' && vkCode <= '9') {
        return { static_cast<unsigned long>(XK_0 + (vkCode - '0')) };
    }
    if (vkCode >= 0x60 && vkCode <= 0x69) { // VK_NUMPAD0..9
        const unsigned long n = static_cast<unsigned long>(vkCode - 0x60);
        // With NumLock off the same keys report the navigation keysyms.
        static const unsigned long navigation[10] = { XK_KP_Insert, XK_KP_End,  XK_KP_Down,
                                                      XK_KP_Next,   XK_KP_Left, XK_KP_Begin,
                                                      XK_KP_Right,  XK_KP_Home, XK_KP_Up,
                                                      XK_KP_Prior };
        return { XK_KP_0 + n, navigation[n] };
    }
    if (vkCode >= 0x70 && vkCode <= 0x87) { // VK_F1..VK_F24
        return { static_cast<unsigned long>(XK_F1 + (vkCode - 0x70)) };
    }

    const auto entry =
      std::lower_bound(std::begin(kKeys), std::end(kKeys), KeyEntry{ vkCode, {} }, byVirtualKey);
    if (entry == std::end(kKeys) || entry->virtualKey != vkCode) {
        return {};
    }
    const auto used = std::find(entry->keysyms.begin(), entry->keysyms.end(), 0UL);
    return { entry->keysyms.begin(), used };
}

} // namespace ombrix
