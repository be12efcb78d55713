#include "x11_keys.h"

#include "platform.h"

#include "virtual_keys.h"
#include "x11_connection.h"

#include <X11/extensions/XInput2.h>

namespace ombrix::x11
{

bool KeyState::watching(Display* d)
{
    if (!tried_) {
        tried_ = true;
        watch_ = startWatch(d);
        if (!watch_) {
            logFallback(LogArea::Keys,
                        "no XInput 2.1 raw key events: the keyboard is asked at every poll");
        }
        XQueryKeymap(d, keys_);
    }
    return watch_;
}

bool KeyState::down(Display* d, int virtualKey)
{
    const auto syms = keysymsForVirtualKey(virtualKey);
    if (syms.empty()) {
        return false;
    }
    if (!watching(d)) {
        XQueryKeymap(d, keys_);
    }
    for (unsigned long sym : syms) {
        const KeyCode code = XKeysymToKeycode(d, sym);
        if (code != 0 && (keys_[code / 8] & (1 << (code % 8)))) {
            return true;
        }
    }
    return false;
}

bool KeyState::take(Display* d, XEvent& event)
{
    if (event.type == MappingNotify) {
        XRefreshKeyboardMapping(&event.xmapping);
        return true;
    }
    if (!watch_ || event.type != GenericEvent || event.xcookie.extension != xiOpcode_) {
        return false;
    }
    if (!XGetEventData(d, &event.xcookie)) {
        return true;
    }
    const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
    const int code = raw->detail;
    if (code > 0 && code < 256) {
        const char bit = static_cast<char>(1 << (code % 8));
        if (event.xcookie.evtype == XI_RawKeyPress) {
            keys_[code / 8] = static_cast<char>(keys_[code / 8] | bit);
        } else if (event.xcookie.evtype == XI_RawKeyRelease) {
            keys_[code / 8] = static_cast<char>(keys_[code / 8] & ~bit);
        }
    }
    XFreeEventData(d, &event.xcookie);
    return true;
}

bool KeyState::startWatch(Display* d)
{
    int event = 0, error = 0;
    if (!XQueryExtension(d, "XInputExtension", &xiOpcode_, &event, &error)) {
        return false;
    }
    int major = 2, minor = 1; // raw events reach the root whatever the grabs since 2.1
    if (XIQueryVersion(d, &major, &minor) != Success || major < 2 || (major == 2 && minor < 1)) {
        return false;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XIEventMask mask{};
    mask.deviceid = XIAllMasterDevices;
    mask.mask_len = sizeof bits;
    mask.mask = bits;
    ErrorTrap trap(d);
    XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
    return !trap.failed();
}

} // namespace ombrix::x11
