#pragma once
// The screen as the server has it now: the root window's size, the monitors on it, and whether
// a compositing manager draws it. Resolution changes, monitors plugged in or out and rotations
// reach us as RandR events; a compositing manager starting or stopping as a change of owner of
// its selection.

#include "platform.h"

#include <X11/Xlib.h>

#include <string>
#include <vector>

namespace ombrix::x11
{

struct ScreenLayout {
    Rect root;
    // The monitors' areas on the root; the root alone when the server does not list them.
    std::vector<Rect> monitors;
    // Whether a compositing manager draws the screen.
    bool composited = false;
};

// The window manager's name as it gives it (_NET_WM_NAME of its check window): "Mutter",
// "GNOME Shell", "KWin"...; empty when it names itself nowhere.
std::string windowManagerName(Display* d);

class Screen
{
public:
    // Asks for the events that tell of changes; once.
    void watch(Display* d);
    // Takes an event that concerns the screen; false for any other. `changed` tells whether
    // the root's size or the monitors may have changed.
    bool take(Display* d, XEvent& event, bool& changed);
    // Asked afresh: a change reported a moment ago may not have reached us as an event yet.
    ScreenLayout layout(Display* d);
    bool compositing(Display* d);
    // Whether the server is XWayland, whose root window holds the pixels of X windows only:
    // the Wayland windows beside them are not there to read.
    bool xwayland(Display* d);

private:
    bool watched_ = false;
    int randrEvent_ = -1;
    int fixesEvent_ = -1;
    int monitorsKnown_ = -1; // whether the server lists its monitors (RandR 1.5); -1: not asked
    int xwayland_ = -1;
    int compositing_ = -1; // -1: not asked since the last change of owner
    Atom cmSelection_ = None;
};

} // namespace ombrix::x11
