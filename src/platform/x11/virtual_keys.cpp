#include "virtual_keys.h"

#include "platform.h"

#include <X11/keysym.h>

namespace ombrix
{

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

    switch (vkCode) {
        case 0x08:
            return { XK_BackSpace };
        case 0x09:
            return { XK_Tab, XK_ISO_Left_Tab };
        case 0x0D:
            return { XK_Return, XK_KP_Enter };
        case vk::Shift:
            return { XK_Shift_L, XK_Shift_R };
        case vk::Control:
            return { XK_Control_L, XK_Control_R };
        case vk::Menu:
            return { XK_Alt_L, XK_Alt_R, XK_Meta_L, XK_Meta_R };
        case 0x13:
            return { XK_Pause };
        case 0x14:
            return { XK_Caps_Lock };
        case 0x1B:
            return { XK_Escape };
        case 0x20:
            return { XK_space };
        case 0x21:
            return { XK_Prior };
        case 0x22:
            return { XK_Next };
        case 0x23:
            return { XK_End };
        case 0x24:
            return { XK_Home };
        case 0x25:
            return { XK_Left };
        case 0x26:
            return { XK_Up };
        case 0x27:
            return { XK_Right };
        case 0x28:
            return { XK_Down };
        case 0x2C:
            return { XK_Print };
        case 0x2D:
            return { XK_Insert };
        case 0x2E:
            return { XK_Delete };
        case 0x5B:
            return { XK_Super_L };
        case 0x5C:
            return { XK_Super_R };
        case 0x5D:
            return { XK_Menu };
        case 0x6A:
            return { XK_KP_Multiply };
        case 0x6B:
            return { XK_KP_Add };
        case 0x6C:
            return { XK_KP_Separator };
        case 0x6D:
            return { XK_KP_Subtract };
        case 0x6E:
            return { XK_KP_Decimal, XK_KP_Delete };
        case 0x6F:
            return { XK_KP_Divide };
        case 0x90:
            return { XK_Num_Lock };
        case 0x91:
            return { XK_Scroll_Lock };
        case 0xA0:
            return { XK_Shift_L };
        case 0xA1:
            return { XK_Shift_R };
        case 0xA2:
            return { XK_Control_L };
        case 0xA3:
            return { XK_Control_R };
        case 0xA4:
            return { XK_Alt_L, XK_Meta_L };
        case 0xA5:
            return { XK_Alt_R, XK_Meta_R, XK_ISO_Level3_Shift };
        case 0xBA:
            return { XK_semicolon }; // VK_OEM_1
        case 0xBB:
            return { XK_equal }; // VK_OEM_PLUS
        case 0xBC:
            return { XK_comma }; // VK_OEM_COMMA
        case 0xBD:
            return { XK_minus }; // VK_OEM_MINUS
        case 0xBE:
            return { XK_period }; // VK_OEM_PERIOD
        case 0xBF:
            return { XK_slash }; // VK_OEM_2
        case 0xC0:
            return { XK_grave }; // VK_OEM_3
        case 0xDB:
            return { XK_bracketleft }; // VK_OEM_4
        case 0xDC:
            return { XK_backslash }; // VK_OEM_5
        case 0xDD:
            return { XK_bracketright }; // VK_OEM_6
        case 0xDE:
            return { XK_apostrophe }; // VK_OEM_7
        case 0xE2:
            return { XK_less }; // VK_OEM_102
        default:
            return {};
    }
}

} // namespace ombrix
