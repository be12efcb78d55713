// The desktop portal's screen cast, for Wayland compositors that hand out their screen only that
// way: a session of the ScreenCast portal on the session bus (sd-bus), then the PipeWire streams
// it opens (pipewire_cast.c). The choice of monitors is kept by the portal under a restore token
// that we keep in the user's state folder.

#include "wayland_screen.h"

#include "compositor_frame.h"
#include "pipewire_cast.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

namespace ombrix::wayland
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";

// The portal may show the user a choice of monitors: a person's time, not a program's.
constexpr auto kChoiceAtMost = std::chrono::minutes(2);
constexpr auto kAnswerAtMost = std::chrono::seconds(10);
// A stream sends a frame when the screen changes; one that sends none this long after a read
// was asked for shows a screen that has not changed since its last frame.
constexpr int kQuietFrameMs = 150;
// PipeWire agrees on a stream's format within a few milliseconds of its start.
constexpr int kFormatAtMostMs = 2000;

[[noreturn]] void fail(const std::string& what)
{
    throw PlatformError(Failure::ScreenUnreadable, "the screen cast portal: " + what);
}

std::string errorText(int r, const sd_bus_error* error = nullptr)
{
    if (error && sd_bus_error_is_set(error)) {
        return std::string(error->name) +
               (error->message ? std::string(": ") + error->message : "");
    }
    return std::strerror(r < 0 ? -r : r);
}

std::filesystem::path tokenFile()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path folder;
    if (state && *state) {
        folder = state;
    } else if (home && *home) {
        folder = std::filesystem::path(home) / ".local" / "state";
    } else {
        return {};
    }
    return folder / "Ombrix" / "screen-cast-token";
}

// Walks an a{sv} at the reader's place; `entry` reads or skips the variant of each key and
// returns a negative error when the message is not as expected.
int forEachEntry(sd_bus_message* m, const std::function<int(const std::string&)>& entry)
{
    int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
    if (r < 0) {
        return r;
    }
    while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0 || (r = entry(key)) < 0 ||
            (r = sd_bus_message_exit_container(m)) < 0) {
            return r;
        }
    }
    if (r < 0) {
        return r;
    }
    return sd_bus_message_exit_container(m);
}

// Reads a variant that holds a string or an object path.
int readText(sd_bus_message* m, std::string& into)
{
    char type = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, &type, &contents);
    if (r < 0 || !contents ||
        (std::strcmp(contents, "s") != 0 && std::strcmp(contents, "o") != 0)) {
        return r < 0 ? r : sd_bus_message_skip(m, "v");
    }
    const char* text = nullptr;
    r = sd_bus_message_read(m, "v", contents, &text);
    if (r >= 0 && text) {
        into = text;
    }
    return r;
}

struct Stream {
    uint32_t node = 0;
    Rect area{}; // on the layout; empty when the portal did not say
    uint64_t seen = 0;
};

int readPoint(sd_bus_message* m, int& x, int& y)
{
    char type = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, &type, &contents);
    if (r < 0 || !contents || std::strcmp(contents, "(ii)") != 0) {
        return r < 0 ? r : sd_bus_message_skip(m, "v");
    }
    return sd_bus_message_read(m, "v", "(ii)", &x, &y);
}

int readStreams(sd_bus_message* m, std::vector<Stream>& streams)
{
    char type = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, &type, &contents);
    if (r < 0 || !contents || std::strcmp(contents, "a(ua{sv})") != 0) {
        return r < 0 ? r : sd_bus_message_skip(m, "v");
    }
    if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, "a(ua{sv})")) < 0 ||
        (r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "(ua{sv})")) < 0) {
        return r;
    }
    while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, "ua{sv}")) > 0) {
        Stream s;
        if ((r = sd_bus_message_read(m, "u", &s.node)) < 0) {
            return r;
        }
        r = forEachEntry(m, [&](const std::string& key) {
            if (key == "position") {
                return readPoint(m, s.area.x, s.area.y);
            }
            if (key == "size") {
                return readPoint(m, s.area.width, s.area.height);
            }
            return sd_bus_message_skip(m, "v");
        });
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) {
            return r;
        }
        streams.push_back(s);
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) {
        return r;
    }
    return sd_bus_message_exit_container(m);
}

} // namespace

struct PortalScreen::Session {
    sd_bus* bus = nullptr;
    std::string sender; // our unique name as the portal spells it in request paths
    unsigned version = 0;
    unsigned cursorModes = 0;
    unsigned requests = 0;
    std::string session;
    std::vector<Stream> streams;
    ombrix_cast* cast = nullptr;
    bool active = false;
    // The portal gave a token that restores the user's choice without asking.
    bool restorable = false;

    ~Session()
    {
        end();
        if (bus) {
            sd_bus_flush_close_unref(bus);
        }
    }

    // Ends the cast and the portal's session: the desktop stops showing that the screen is
    // shared.
    void end()
    {
        if (cast) {
            ombrix_cast_close(cast);
            cast = nullptr;
        }
        active = false;
        if (bus && !session.empty()) {
            sd_bus_call_method(bus,
                               kPortal,
                               session.c_str(),
                               "org.freedesktop.portal.Session",
                               "Close",
                               nullptr,
                               nullptr,
                               "");
        }
        session.clear();
        streams.clear();
    }

    // Calls a portal method whose answer comes later as the Response signal of a request object,
    // and waits for that answer. `arguments` appends what goes before the options; `options`
    // appends entries to the options' a{sv}. Returns the results, read up to their a{sv}.
    sd_bus_message* request(const char* method,
                            const std::function<int(sd_bus_message*)>& arguments,
                            const std::function<int(sd_bus_message*)>& options,
                            Clock::time_point until)
    {
        const std::string token = "ombrix" + std::to_string(++requests);
        const std::string path = std::string(kPortalPath) + "/request/" + sender + "/" + token;
        struct Answer {
            bool got = false;
            uint32_t code = 2;
            sd_bus_message* results = nullptr;
        } answer;
        sd_bus_slot* slot = nullptr;
        int r = sd_bus_match_signal(
          bus,
          &slot,
          nullptr,
          path.c_str(),
          "org.freedesktop.portal.Request",
          "Response",
          [](sd_bus_message* m, void* data, sd_bus_error*) {
              auto* a = static_cast<Answer*>(data);
              if (!a->got && sd_bus_message_read(m, "u", &a->code) >= 0) {
                  a->got = true;
                  a->results = sd_bus_message_ref(m);
              }
              return 0;
          },
          &answer);
        if (r < 0) {
            fail(std::string(method) + ": " + errorText(r));
        }
        const std::unique_ptr<sd_bus_slot, sd_bus_slot* (*)(sd_bus_slot*)> matched(
          slot, sd_bus_slot_unref);

        sd_bus_message* call = nullptr;
        r = sd_bus_message_new_method_call(bus, &call, kPortal, kPortalPath, kScreenCast, method);
        const std::unique_ptr<sd_bus_message, sd_bus_message* (*)(sd_bus_message*)> owned(
          call, sd_bus_message_unref);
        if (r >= 0) {
            r = arguments(call);
        }
        if (r >= 0) {
            r = sd_bus_message_open_container(call, SD_BUS_TYPE_ARRAY, "{sv}");
        }
        if (r >= 0) {
            r = sd_bus_message_append(call, "{sv}", "handle_token", "s", token.c_str());
        }
        if (r >= 0) {
            r = options(call);
        }
        if (r >= 0) {
            r = sd_bus_message_close_container(call);
        }
        if (r < 0) {
            fail(std::string(method) + ": " + errorText(r));
        }
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        r = sd_bus_call(bus, call, 10'000'000, &error, &reply);
        sd_bus_message_unref(reply);
        if (r < 0) {
            const std::string why = errorText(r, &error);
            sd_bus_error_free(&error);
            fail(std::string(method) + ": " + why);
        }
        while (!answer.got) {
            r = sd_bus_process(bus, nullptr);
            if (r < 0) {
                fail(std::string(method) + ": " + errorText(r));
            }
            if (r > 0) {
                continue;
            }
            const auto left =
              std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
            if (left.count() <= 0) {
                fail(std::string(method) + ": no answer in time");
            }
            sd_bus_wait(bus, static_cast<uint64_t>(left.count()));
        }
        if (answer.code != 0) {
            sd_bus_message_unref(answer.results);
            fail(std::string(method) +
                 (answer.code == 1 ? ": the user said no" : ": refused by the portal"));
        }
        return answer.results;
    }
};

PortalScreen::PortalScreen(std::function<std::vector<Rect>()> monitors)
  : monitorsNow_(std::move(monitors))
{
}

PortalScreen::~PortalScreen() = default;

bool PortalScreen::available(std::string& why)
{
    if (session_) {
        return true;
    }
    auto s = std::make_unique<Session>();
    int r = sd_bus_open_user(&s->bus);
    if (r < 0) {
        why = "no session bus for the screen cast portal: " + errorText(r);
        return false;
    }
    const char* unique = nullptr;
    if ((r = sd_bus_get_unique_name(s->bus, &unique)) < 0 || !unique) {
        why = "the session bus gave us no name: " + errorText(r);
        return false;
    }
    s->sender = unique + 1;
    std::replace(s->sender.begin(), s->sender.end(), '.', '_');
    sd_bus_error error = SD_BUS_ERROR_NULL;
    uint32_t version = 0;
    r = sd_bus_get_property_trivial(
      s->bus, kPortal, kPortalPath, kScreenCast, "version", &error, 'u', &version);
    if (r < 0) {
        why = "no screen cast portal on the session bus (" + errorText(r, &error) + ")";
        sd_bus_error_free(&error);
        return false;
    }
    uint32_t modes = 0;
    if (sd_bus_get_property_trivial(
          s->bus, kPortal, kPortalPath, kScreenCast, "AvailableCursorModes", &error, 'u', &modes) <
        0) {
        sd_bus_error_free(&error);
    }
    s->version = version;
    s->cursorModes = modes;
    session_ = std::move(s);
    return true;
}

void PortalScreen::prepare(const Rect&, Clock::time_point until)
{
    monitors_ = monitorsNow_ ? monitorsNow_() : std::vector<Rect>{};
    std::string why;
    if (!available(why)) {
        throw PlatformError(Failure::ScreenUnreadable, why);
    }
    Session& s = *session_;
    if (!s.cast) {
        s.streams.clear();
        sd_bus_message* created = s.request(
          "CreateSession",
          [](sd_bus_message*) { return 0; },
          [&s](sd_bus_message* m) {
              const std::string token = "ombrix" + std::to_string(++s.requests);
              return sd_bus_message_append(m, "{sv}", "session_handle_token", "s", token.c_str());
          },
          Clock::now() + kAnswerAtMost);
        s.session.clear();
        const int r = forEachEntry(created, [&](const std::string& key) {
            return key == "session_handle" ? readText(created, s.session)
                                           : sd_bus_message_skip(created, "v");
        });
        sd_bus_message_unref(created);
        if (r < 0 || s.session.empty()) {
            fail("CreateSession gave no session");
        }

        std::string token;
        const std::filesystem::path file = tokenFile();
        if (!file.empty() && s.version >= 4) {
            std::ifstream(file) >> token;
        }
        sd_bus_message_unref(s.request(
          "SelectSources",
          [&](sd_bus_message* m) { return sd_bus_message_append(m, "o", s.session.c_str()); },
          [&](sd_bus_message* m) {
              // Monitors, all of them where the portal lets the user pick several; the pointer
              // left out of the picture where the portal can.
              int r = sd_bus_message_append(m, "{sv}", "types", "u", 1u);
              if (r >= 0) {
                  r = sd_bus_message_append(m, "{sv}", "multiple", "b", 1);
              }
              if (r >= 0 && (s.cursorModes & 1u)) {
                  r = sd_bus_message_append(m, "{sv}", "cursor_mode", "u", 1u);
              }
              if (r >= 0 && s.version >= 4) {
                  r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", 2u);
              }
              if (r >= 0 && !token.empty()) {
                  r = sd_bus_message_append(m, "{sv}", "restore_token", "s", token.c_str());
              }
              return r;
          },
          Clock::now() + kAnswerAtMost));

        sd_bus_message* started = s.request(
          "Start",
          [&](sd_bus_message* m) { return sd_bus_message_append(m, "os", s.session.c_str(), ""); },
          [](sd_bus_message*) { return 0; },
          std::max(until, Clock::now() + kChoiceAtMost));
        std::string newToken;
        const int r2 = forEachEntry(started, [&](const std::string& key) {
            if (key == "streams") {
                return readStreams(started, s.streams);
            }
            if (key == "restore_token") {
                return readText(started, newToken);
            }
            return sd_bus_message_skip(started, "v");
        });
        sd_bus_message_unref(started);
        if (r2 < 0 || s.streams.empty()) {
            fail("Start gave no stream");
        }
        s.restorable = !newToken.empty();
        if (!newToken.empty() && !file.empty()) {
            std::error_code ignored;
            std::filesystem::create_directories(file.parent_path(), ignored);
            std::ofstream(file, std::ios::trunc) << newToken << '\n';
        }

        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r3 = sd_bus_call_method(s.bus,
                                    kPortal,
                                    kPortalPath,
                                    kScreenCast,
                                    "OpenPipeWireRemote",
                                    &error,
                                    &reply,
                                    "oa{sv}",
                                    s.session.c_str(),
                                    0);
        int fd = -1;
        if (r3 >= 0) {
            int lent = -1;
            r3 = sd_bus_message_read(reply, "h", &lent);
            if (r3 >= 0) {
                fd = fcntl(lent, F_DUPFD_CLOEXEC, 3);
            }
        }
        sd_bus_message_unref(reply);
        if (fd < 0) {
            const std::string reason = errorText(r3 < 0 ? r3 : errno, &error);
            sd_bus_error_free(&error);
            fail("OpenPipeWireRemote: " + reason);
        }
        std::vector<uint32_t> nodes;
        for (const Stream& stream : s.streams) {
            nodes.push_back(stream.node);
        }
        char reason[200] = {};
        s.cast =
          ombrix_cast_open(fd, nodes.data(), static_cast<int>(nodes.size()), reason, sizeof reason);
        if (!s.cast) {
            fail(reason);
        }
    }
    if (!s.active) {
        ombrix_cast_set_active(s.cast, 1);
        s.active = true;
    }
}

// Where a stream's monitor is on the layout, in layout pixels. Portals tell a stream's position
// and size, but some (the wlroots one) give the size in the monitor's device pixels: XWayland's
// monitor at the same position has the size in layout pixels. A single stream of which the
// portal told nothing is the only monitor.
Rect PortalScreen::placed(size_t stream) const
{
    const Rect told = session_->streams[stream].area;
    for (const Rect& m : monitors_) {
        if (told.width > 0 ? (m.x == told.x && m.y == told.y) : monitors_.size() == 1) {
            return m;
        }
    }
    return told;
}

int PortalScreen::scaleOver(const Rect& area)
{
    // The streams have the screen's device pixels; the portal tells each monitor's size on the
    // layout.
    int scale = 1;
    if (session_ && session_->cast) {
        for (size_t i = 0; i < session_->streams.size(); ++i) {
            const Rect where = placed(i);
            int width = 0, height = 0;
            if (!empty(intersect(area, where)) &&
                ombrix_cast_size(
                  session_->cast, static_cast<int>(i), kFormatAtMostMs, &width, &height) == 1) {
                scale = std::max(scale, (width + where.width - 1) / where.width);
            }
        }
    }
    return scale;
}

int PortalScreen::read(const Rect& area, Pixels& into, Clock::time_point until)
{
    if (!session_ || !session_->cast) {
        fail("read before the cast was opened");
    }
    Session& s = *session_;
    const int scale = scaleOver(area);
    into.resize(std::max(area.width, 0) * scale, std::max(area.height, 0) * scale);
    for (size_t i = 0; i < s.streams.size(); ++i) {
        Stream& stream = s.streams[i];
        Rect where = placed(i);
        if (where.width <= 0) {
            where = { 0, 0, 1 << 20, 1 << 20 }; // told nothing, and no monitor: all of it
        }
        const Rect part = intersect(area, where);
        if (part.width <= 0 || part.height <= 0) {
            continue;
        }
        ombrix_cast_frame frame{};
        char why[200] = {};
        const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        // A frame drawn since the last read; when the screen sends none for a moment, the newest.
        int got = ombrix_cast_wait(s.cast,
                                   static_cast<int>(i),
                                   stream.seen,
                                   static_cast<int>(std::clamp<long long>(left, 0, kQuietFrameMs)),
                                   &frame,
                                   why,
                                   sizeof why);
        if (got == 0 && stream.seen > 0) {
            got = ombrix_cast_wait(
              s.cast, static_cast<int>(i), stream.seen - 1, 0, &frame, why, sizeof why);
        } else if (got == 0) {
            got = ombrix_cast_wait(s.cast,
                                   static_cast<int>(i),
                                   0,
                                   static_cast<int>(std::max<long long>(left, 0)),
                                   &frame,
                                   why,
                                   sizeof why);
        }
        if (got < 0) {
            // The cast ended (the user stopped sharing, the compositor restarted): a new one at
            // the next grab.
            s.end();
            fail(why);
        }
        if (got == 0) {
            fail("no frame of the screen came in time");
        }
        stream.seen = frame.sequence;
        CompositorFrame shown;
        shown.pixels = frame.pixels;
        shown.width = frame.width;
        shown.height = frame.height;
        shown.stride = frame.stride;
        shown.redFirst = frame.red_first != 0;
        shown.shows = where.width < (1 << 20) ? where : Rect{ 0, 0, frame.width, frame.height };
        placeFrame(shown, part, area, scale, into);
        ombrix_cast_release(s.cast);
    }
    return scale;
}

void PortalScreen::finished() noexcept
{
    if (!session_) {
        return;
    }
    // Desktops show that the screen is being shared for as long as a cast lasts: where the
    // portal can restore the choice without asking, each grab has a cast of its own.
    if (session_->restorable) {
        session_->end();
        return;
    }
    // Otherwise the cast stays, to spare the user the question at every copy, but sends no frames
    // while no grab wants them: a stream costs the compositor a copy of the screen at every
    // change.
    if (session_->cast && session_->active) {
        ombrix_cast_set_active(session_->cast, 0);
        session_->active = false;
    }
}

} // namespace ombrix::wayland
