#pragma once
// The screen of a Wayland session, read from the compositor: XWayland's root window holds the
// X windows' pixels only, so under XWayland the picture comes from the compositor's own copy of
// its outputs (the wlroots screen copy protocol, offered by sway and the other wlroots
// compositors). Coordinates are XWayland's root coordinates, which are the compositor's layout
// coordinates; an output drawn at a scale gives its device pixels, so the picture then has
// more pixels than the area.

#include "platform.h"

#include <chrono>
#include <memory>
#include <string>

namespace ombrix::wayland
{

class ScreenCopy
{
public:
    ScreenCopy();
    ~ScreenCopy();
    ScreenCopy(const ScreenCopy&) = delete;
    ScreenCopy& operator=(const ScreenCopy&) = delete;

    // Connects to the session's compositor (WAYLAND_DISPLAY) once; again after a lost
    // connection. False, with the reason in `why`, when it offers no screen copy.
    bool available(std::string& why);

    // The device pixels per root pixel over `area`: the largest scale of the outputs it meets.
    int scaleOver(const Rect& area);

    // Fills `into` (resized to the area times scaleOver()) with what the outputs show over
    // `area`, black off every output: the outputs' next frame. Throws PlatformError, also when
    // the compositor has not answered by `until`.
    void read(const Rect& area, Pixels& into, std::chrono::steady_clock::time_point until);

private:
    struct Session;
    std::unique_ptr<Session> session_;
};

} // namespace ombrix::wayland
