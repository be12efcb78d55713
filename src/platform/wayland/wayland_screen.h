#pragma once
// The screen of a Wayland session, read from the compositor: XWayland's root window holds the
// X windows' pixels only, so under XWayland the picture comes from the compositor's own copy of
// its outputs. Coordinates are XWayland's root coordinates, which are the compositor's layout
// coordinates; an output drawn at a scale gives its device pixels, so the picture then has
// more pixels than the area.

#include "grab.h"
#include "platform.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ombrix::wayland
{

// A source of the screen's pixels that a Wayland compositor hands out. Its read() gives the
// largest scale of the outputs that the area meets (device pixels per layout pixel), from a
// frame drawn after the last read; again() waits for the compositor's next frame.
class CompositorScreen : public grab::ScreenSource
{
public:
    // False, with the reason in `why`, when this source cannot be had in this session.
    virtual bool available(std::string& why) = 0;

    bool again(std::chrono::steady_clock::time_point until) override;

    // How the grab waits for a compositor: it shows the window's change once XWayland has
    // passed it on and an output frame has been drawn since (some 16 ms apart).
    static grab::Policy policy();
};

// The wlroots screen copy protocol (sway, Hyprland, river, labwc, Wayfire...): a frame of an
// output's part on request.
class ScreenCopy final : public CompositorScreen
{
public:
    ScreenCopy();
    ~ScreenCopy() override;
    ScreenCopy(const ScreenCopy&) = delete;
    ScreenCopy& operator=(const ScreenCopy&) = delete;

    // Connects to the session's compositor (WAYLAND_DISPLAY) once; again after a lost
    // connection.
    bool available(std::string& why) override;
    int read(const Rect& area, Pixels& into, std::chrono::steady_clock::time_point until) override;

private:
    int scaleOver(const Rect& area);

    struct Session;
    std::unique_ptr<Session> session_;
};

// The desktop portal's screen cast (GNOME, KDE Plasma, and wlroots compositors through their
// portal): PipeWire streams of the monitors, asked for once and, where the portal keeps the
// choice, not again at the next start.
class PortalScreen final : public CompositorScreen
{
public:
    // `monitors` tells where the monitors are on the layout, in layout pixels (XWayland's).
    explicit PortalScreen(std::function<std::vector<Rect>()> monitors);
    ~PortalScreen() override;
    PortalScreen(const PortalScreen&) = delete;
    PortalScreen& operator=(const PortalScreen&) = delete;

    bool available(std::string& why) override;
    void prepare(const Rect& area, std::chrono::steady_clock::time_point until) override;
    int read(const Rect& area, Pixels& into, std::chrono::steady_clock::time_point until) override;
    void finished() noexcept override;

private:
    Rect placed(size_t stream) const;
    int scaleOver(const Rect& area);

    struct Session;
    std::unique_ptr<Session> session_;
    std::function<std::vector<Rect>()> monitorsNow_;
    std::vector<Rect> monitors_;
};

} // namespace ombrix::wayland
