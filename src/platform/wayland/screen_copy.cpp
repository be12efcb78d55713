#include "wayland_screen.h"

#include "compositor_frame.h"
#include "shared_buffer.h"

#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace ombrix::wayland
{

namespace
{

using Clock = std::chrono::steady_clock;

// The time between two looks at the compositor's picture, about half a frame.
constexpr auto kFrame = std::chrono::milliseconds(8);

// The 32-bit formats whose words we turn into 0xAARRGGBB; `swap`: red and blue change places.
bool convertible(uint32_t format, bool& swap)
{
    switch (format) {
        case WL_SHM_FORMAT_ARGB8888:
        case WL_SHM_FORMAT_XRGB8888:
            swap = false;
            return true;
        case WL_SHM_FORMAT_ABGR8888:
        case WL_SHM_FORMAT_XBGR8888:
            swap = true;
            return true;
        default:
            return false;
    }
}

} // namespace

struct ScreenCopy::Session {
    struct Output {
        uint32_t name = 0;
        wl_output* output = nullptr;
        zxdg_output_v1* xdg = nullptr;
        Rect logical{}; // on the layout, which is XWayland's root
        int scale = 1;
        bool placed = false;
    };

    // One copy of a part of an output, as the compositor answers it.
    struct Frame {
        uint32_t format = 0;
        int width = 0, height = 0, stride = 0;
        bool offered = false;   // a shared-memory format we can read was offered
        bool described = false; // every buffer kind has been offered (version 3)
        bool yInvert = false;
        bool ready = false;
        bool failed = false;
    };

    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_shm* shm = nullptr;
    zwlr_screencopy_manager_v1* copier = nullptr;
    uint32_t copierVersion = 0;
    zxdg_output_manager_v1* outputManager = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;

    ~Session()
    {
        for (auto& o : outputs) {
            forget(*o);
        }
        if (outputManager) {
            zxdg_output_manager_v1_destroy(outputManager);
        }
        if (copier) {
            zwlr_screencopy_manager_v1_destroy(copier);
        }
        if (shm) {
            wl_shm_destroy(shm);
        }
        if (registry) {
            wl_registry_destroy(registry);
        }
        if (display) {
            wl_display_disconnect(display);
        }
    }

    static void forget(Output& o)
    {
        if (o.xdg) {
            zxdg_output_v1_destroy(o.xdg);
        }
        if (o.output) {
            wl_output_destroy(o.output);
        }
        o = {};
    }

    void describe(Output& o)
    {
        if (outputManager && o.output && !o.xdg) {
            o.xdg = zxdg_output_manager_v1_get_xdg_output(outputManager, o.output);
            zxdg_output_v1_add_listener(o.xdg, &kXdgOutputListener, &o);
        }
    }

    // Reads the events that have come, waiting until `done` holds or the time is up. Throws when
    // the connection fails.
    bool dispatchUntil(const std::function<bool()>& done, Clock::time_point until)
    {
        for (;;) {
            if (wl_display_dispatch_pending(display) < 0) {
                lost();
            }
            if (done()) {
                return true;
            }
            while (wl_display_prepare_read(display) != 0) {
                if (wl_display_dispatch_pending(display) < 0) {
                    lost();
                }
            }
            if (wl_display_flush(display) < 0 && errno != EAGAIN) {
                wl_display_cancel_read(display);
                lost();
            }
            const auto left =
              std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) {
                wl_display_cancel_read(display);
                return done();
            }
            pollfd fd{ wl_display_get_fd(display), POLLIN, 0 };
            const int ready = poll(&fd, 1, static_cast<int>(std::min<long long>(left, 50)));
            if (ready > 0) {
                if (wl_display_read_events(display) < 0) {
                    lost();
                }
            } else {
                wl_display_cancel_read(display);
            }
        }
    }

    [[noreturn]] void lost()
    {
        const int code = wl_display_get_error(display);
        throw PlatformError(Failure::ScreenUnreadable,
                            std::string("the connection to the Wayland compositor failed: ") +
                              std::strerror(code ? code : errno));
    }

    static const wl_registry_listener kRegistryListener;
    static const wl_output_listener kOutputListener;
    static const zxdg_output_v1_listener kXdgOutputListener;
    static const zwlr_screencopy_frame_v1_listener kFrameListener;
};

const wl_registry_listener ScreenCopy::Session::kRegistryListener = {
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        auto* s = static_cast<Session*>(data);
        const auto bind = [&](const wl_interface* kind, uint32_t most) {
            return wl_registry_bind(registry, name, kind, std::min(version, most));
        };
        if (std::strcmp(interface, wl_shm_interface.name) == 0) {
            s->shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
        } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0) {
            s->copierVersion = std::min(version, 3u);
            s->copier = static_cast<zwlr_screencopy_manager_v1*>(
              bind(&zwlr_screencopy_manager_v1_interface, 3));
        } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
            s->outputManager =
              static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
            for (auto& o : s->outputs) {
                s->describe(*o);
            }
        } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
            auto o = std::make_unique<Output>();
            o->name = name;
            o->output = static_cast<wl_output*>(bind(&wl_output_interface, 2));
            wl_output_add_listener(o->output, &kOutputListener, o.get());
            s->describe(*o);
            s->outputs.push_back(std::move(o));
        }
    },
    [](void* data, wl_registry*, uint32_t name) {
        auto* s = static_cast<Session*>(data);
        auto gone = std::find_if(
          s->outputs.begin(), s->outputs.end(), [name](const auto& o) { return o->name == name; });
        if (gone != s->outputs.end()) {
            forget(**gone);
            s->outputs.erase(gone);
        }
    },
};

const wl_output_listener ScreenCopy::Session::kOutputListener = {
    // The layout position and the mode come from the xdg output, which gives them in the
    // layout's own (logical) terms.
    [](void*,
       wl_output*,
       int32_t,
       int32_t,
       int32_t,
       int32_t,
       int32_t,
       const char*,
       const char*,
       int32_t) {},
    [](void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {},
    [](void*, wl_output*) {},
    [](void* data, wl_output*, int32_t factor) {
        static_cast<Output*>(data)->scale = std::max(factor, 1);
    },
    [](void*, wl_output*, const char*) {},
    [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener ScreenCopy::Session::kXdgOutputListener = {
    [](void* data, zxdg_output_v1*, int32_t x, int32_t y) {
        auto* o = static_cast<Output*>(data);
        o->logical.x = x;
        o->logical.y = y;
    },
    [](void* data, zxdg_output_v1*, int32_t width, int32_t height) {
        auto* o = static_cast<Output*>(data);
        o->logical.width = width;
        o->logical.height = height;
        o->placed = width > 0 && height > 0;
    },
    [](void*, zxdg_output_v1*) {},
    [](void*, zxdg_output_v1*, const char*) {},
    [](void*, zxdg_output_v1*, const char*) {},
};

const zwlr_screencopy_frame_v1_listener ScreenCopy::Session::kFrameListener = {
    [](void* data,
       zwlr_screencopy_frame_v1*,
       uint32_t format,
       uint32_t width,
       uint32_t height,
       uint32_t stride) {
        auto* f = static_cast<Frame*>(data);
        bool swap = false;
        if (!f->offered && convertible(format, swap)) {
            f->format = format;
            f->width = static_cast<int>(width);
            f->height = static_cast<int>(height);
            f->stride = static_cast<int>(stride);
            f->offered = true;
        }
    },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
        static_cast<Frame*>(data)->yInvert = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
    },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
        static_cast<Frame*>(data)->ready = true;
    },
    [](void* data, zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->failed = true; },
    [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {},
    [](void* data, zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->described = true; },
};

ScreenCopy::ScreenCopy() = default;
ScreenCopy::~ScreenCopy() = default;

bool ScreenCopy::available(std::string& why)
{
    if (session_ && wl_display_get_error(session_->display) != 0) {
        session_.reset(); // the compositor went, or dropped us: a new connection
    }
    if (!session_) {
        auto s = std::make_unique<Session>();
        s->display = wl_display_connect(nullptr);
        if (!s->display) {
            why = "no connection to the Wayland compositor (WAYLAND_DISPLAY)";
            return false;
        }
        s->registry = wl_display_get_registry(s->display);
        wl_registry_add_listener(s->registry, &Session::kRegistryListener, s.get());
        // The globals, then the outputs' descriptions.
        if (wl_display_roundtrip(s->display) < 0 || wl_display_roundtrip(s->display) < 0) {
            why = "the Wayland compositor did not answer";
            return false;
        }
        session_ = std::move(s);
    }
    if (!session_->copier || !session_->shm) {
        why = "the Wayland compositor offers no screen copy (zwlr_screencopy_manager_v1)";
        return false;
    }
    if (!session_->outputManager) {
        why = "the Wayland compositor does not tell where its outputs are (zxdg_output_manager_v1)";
        return false;
    }
    return true;
}

int ScreenCopy::scaleOver(const Rect& area)
{
    int scale = 1;
    if (session_) {
        for (const auto& o : session_->outputs) {
            const Rect part = intersect(area, o->logical);
            if (o->placed && part.width > 0 && part.height > 0) {
                scale = std::max(scale, o->scale);
            }
        }
    }
    return scale;
}

int ScreenCopy::read(const Rect& area, Pixels& into, Clock::time_point until)
{
    std::string why;
    if (!available(why)) {
        throw PlatformError(Failure::ScreenUnreadable, why);
    }
    Session& s = *session_;
    const int scale = scaleOver(area);
    into.resize(std::max(area.width, 0) * scale, std::max(area.height, 0) * scale);
    for (const auto& o : s.outputs) {
        const Rect part = intersect(area, o->logical);
        if (!o->placed || part.width <= 0 || part.height <= 0) {
            continue;
        }
        Session::Frame frame;
        zwlr_screencopy_frame_v1* copy =
          zwlr_screencopy_manager_v1_capture_output_region(s.copier,
                                                           0,
                                                           o->output,
                                                           part.x - o->logical.x,
                                                           part.y - o->logical.y,
                                                           part.width,
                                                           part.height);
        const std::unique_ptr<zwlr_screencopy_frame_v1, void (*)(zwlr_screencopy_frame_v1*)> owned(
          copy, zwlr_screencopy_frame_v1_destroy);
        zwlr_screencopy_frame_v1_add_listener(copy, &Session::kFrameListener, &frame);
        const bool described = s.dispatchUntil(
          [&] { return frame.failed || (s.copierVersion >= 3 ? frame.described : frame.offered); },
          until);
        if (!described || frame.failed || !frame.offered) {
            throw PlatformError(Failure::ScreenUnreadable,
                                frame.failed || described
                                  ? "the Wayland compositor offered no buffer we can read"
                                  : "the Wayland compositor did not describe its copy in time");
        }
        if (frame.width <= 0 || frame.height <= 0 || frame.stride < frame.width * 4) {
            throw PlatformError(Failure::ScreenUnreadable,
                                "the Wayland compositor described an impossible buffer");
        }
        SharedBuffer buffer(s.shm, frame.width, frame.height, frame.stride, frame.format);
        zwlr_screencopy_frame_v1_copy(copy, buffer.buffer());
        if (!s.dispatchUntil([&] { return frame.ready || frame.failed; }, until) || frame.failed) {
            throw PlatformError(Failure::ScreenUnreadable,
                                frame.failed
                                  ? "the Wayland compositor's copy failed"
                                  : "the Wayland compositor's copy did not come in time");
        }
        bool swap = false;
        convertible(frame.format, swap);
        CompositorFrame shown;
        shown.pixels = buffer.data();
        shown.width = frame.width;
        shown.height = frame.height;
        shown.stride = frame.stride;
        shown.redFirst = swap;
        shown.yInvert = frame.yInvert;
        shown.shows = part;
        placeFrame(shown, part, area, scale, into);
    }
    return scale;
}

bool CompositorScreen::again(Clock::time_point until)
{
    std::this_thread::sleep_for(std::min<Clock::duration>(kFrame, until - Clock::now()));
    return true;
}

grab::Policy CompositorScreen::policy()
{
    grab::Policy p;
    p.settleAtMost = std::chrono::milliseconds(0);
    p.retries = 30;
    return p;
}

} // namespace ombrix::wayland
