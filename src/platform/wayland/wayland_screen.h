#pragma once
// The screen of a Wayland session, read from the compositor: XWayland's root window holds the
// X windows' pixels only, so under XWayland the picture comes from the compositor's own copy of
// its outputs. Coordinates are XWayland's root coordinates, which are the compositor's layout
// coordinates; an output drawn at a scale gives its device pixels, so the picture then has
// more pixels than the area.

#include "platform.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ombrix::wayland
{

// A frame from the compositor: 32-bit pixels, rows top to bottom unless `yInvert`.
struct CompositorFrame {
    const uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
    bool redFirst = false; // bytes red, green, blue rather than blue, green, red
    bool yInvert = false;
    Rect shows{}; // the part of the layout that the frame shows
};

// Puts the `part` of the layout that `frame` shows into `into`, a picture of `area` at `scale`
// device pixels per layout pixel: pixel for pixel where the frame has that many, the nearest
// pixel otherwise.
void placeFrame(const CompositorFrame& frame,
                const Rect& part,
                const Rect& area,
                int scale,
                Pixels& into);

// A source of the screen's pixels that a Wayland compositor hands out.
class CompositorScreen
{
public:
    virtual ~CompositorScreen() = default;

    // False, with the reason in `why`, when this source cannot be had in this session.
    virtual bool available(std::string& why) = 0;

    // Called before the window leaves the screen: what may ask the user or take a while is done
    // here, while the window still shows. `monitors` are the monitors as XWayland has them, in
    // layout pixels. Throws PlatformError.
    virtual void prepare(const std::vector<Rect>& /*monitors*/,
                         std::chrono::steady_clock::time_point /*until*/)
    {
    }

    // The device pixels per root pixel over `area`: the largest scale of the outputs it meets.
    virtual int scaleOver(const Rect& area) = 0;

    // Fills `into` (resized to the area times scaleOver()) with what the outputs show over
    // `area`, black off every output, from a frame drawn after the last read. Throws
    // PlatformError, also when the compositor has not answered by `until`.
    virtual void read(const Rect& area,
                      Pixels& into,
                      std::chrono::steady_clock::time_point until) = 0;

    // The grab is over.
    virtual void finished() {}
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
    int scaleOver(const Rect& area) override;
    void read(const Rect& area, Pixels& into, std::chrono::steady_clock::time_point until) override;

private:
    struct Session;
    std::unique_ptr<Session> session_;
};

// The desktop portal's screen cast (GNOME, KDE Plasma, and wlroots compositors through their
// portal): PipeWire streams of the monitors, asked for once and, where the portal keeps the
// choice, not again at the next start.
class PortalScreen final : public CompositorScreen
{
public:
    PortalScreen();
    ~PortalScreen() override;
    PortalScreen(const PortalScreen&) = delete;
    PortalScreen& operator=(const PortalScreen&) = delete;

    bool available(std::string& why) override;
    void prepare(const std::vector<Rect>& monitors,
                 std::chrono::steady_clock::time_point until) override;
    int scaleOver(const Rect& area) override;
    void read(const Rect& area, Pixels& into, std::chrono::steady_clock::time_point until) override;
    void finished() override;

private:
    Rect placed(size_t stream) const;

    struct Session;
    std::unique_ptr<Session> session_;
    std::vector<Rect> monitors_;
};

} // namespace ombrix::wayland
