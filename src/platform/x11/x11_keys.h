#pragma once
// The keyboard's state, kept from the server's raw key events (XInput 2.1 and later, delivered
// whichever window has the focus), so that asking costs no round trip; without them every
// question asks the server.

#include <X11/Xlib.h>

namespace ombrix::x11
{

class KeyState
{
public:
    // Starts the watch on first use; true while key events keep the state.
    bool watching(Display* d);
    // Whether the key with this Windows virtual-key code is down. The caller has taken the
    // events waiting on the connection first (take()).
    bool down(Display* d, int virtualKey);
    // Takes an event that concerns the keys; false for any other.
    bool take(Display* d, XEvent& event);

private:
    bool startWatch(Display* d);

    bool tried_ = false;
    bool watch_ = false;
    int xiOpcode_ = 0;
    char keys_[32] = {};
};

} // namespace ombrix::x11
