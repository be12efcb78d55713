// The desktop portal's screen cast, for Wayland compositors that hand out their screen only that
// way: a session of the ScreenCast portal (portal_client), then the PipeWire streams it opens
// (pipewire_cast.c). The choice of monitors is kept by the portal under a restore token that we
// keep in the user's state folder.

#include "wayland_screen.h"

#include "compositor_frame.h"
#include "pipewire_cast.h"
#include "portal_client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace ombrix::wayland
{

namespace
{

using Clock = std::chrono::steady_clock;

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

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// The folders of `folder` that are missing, made for the user alone. An empty string, or what
// failed.
std::string makeFolders(const std::filesystem::path& folder)
{
    std::filesystem::path made;
    for (const auto& part : folder) {
        made /= part;
        struct stat seen {
        };
        if (::stat(made.c_str(), &seen) == 0 && S_ISDIR(seen.st_mode)) {
            continue;
        }
        if (::mkdir(made.c_str(), 0700) != 0) {
            return systemError(made.string());
        }
    }
    return {};
}

// Writes `text` to a new file beside `file`, readable by the user alone, and puts it in place of
// `file` in one step: a reader sees the old token or the new one, never a part. An empty string,
// or what failed.
std::string replaceFile(const std::filesystem::path& file, const std::string& text)
{
    std::string name = file.string() + ".XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return systemError(name);
    }
    std::string why;
    for (size_t done = 0; done < text.size() && why.empty();) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
        } else if (wrote < 0 && errno != EINTR) {
            why = systemError(name);
        }
    }
    if (why.empty() && ::fsync(fd) != 0) {
        why = systemError(name);
    }
    if (::close(fd) != 0 && why.empty()) {
        why = systemError(name);
    }
    if (why.empty() && ::rename(name.c_str(), file.c_str()) != 0) {
        why = systemError(file.string());
    }
    if (!why.empty()) {
        ::unlink(name.c_str());
    }
    return why;
}

// The token lets anyone who has it share the screen without being asked: it is the user's alone.
void keepToken(const std::filesystem::path& file, const std::string& token)
{
    std::string why = makeFolders(file.parent_path());
    if (why.empty()) {
        why = replaceFile(file, token + "\n");
    }
    if (!why.empty()) {
        logFallback(LogArea::Capture,
                    "the screen cast's restore token could not be kept (" + why +
                      "): the portal will ask for the monitors again at the next start");
    }
}

struct Stream {
    portal::Stream told;
    uint64_t seen = 0;
};

} // namespace

struct PortalScreen::Session {
    // Declared first: it goes last, after the portal session has been closed over it.
    portal::Connection bus;
    unsigned version = 0;
    unsigned cursorModes = 0;
    portal::Session portal;
    std::vector<Stream> streams;
    ombrix_cast* cast = nullptr;
    bool active = false;
    // The portal gave a token that restores the user's choice without asking.
    bool restorable = false;

    ~Session() { end(); }

    // Ends the cast and the portal's session: the desktop stops showing that the screen is
    // shared.
    void end() noexcept
    {
        if (cast) {
            ombrix_cast_close(cast);
            cast = nullptr;
        }
        active = false;
        portal.close();
        streams.clear();
    }

    // Calls a ScreenCast method whose answer comes later, and waits for that answer.
    portal::Response ask(const char* method,
                         const portal::Append& arguments,
                         const portal::Append& options,
                         Clock::time_point until)
    {
        portal::Request request(bus, kScreenCast, method, arguments, options);
        portal::Response answer = request.wait(until);
        if (answer.code != 0) {
            fail(std::string(method) +
                 (answer.code == 1 ? ": the user said no" : ": refused by the portal"));
        }
        return answer;
    }

    // The portal's session, the user's choice of monitors, and their streams. Throws, leaving
    // the portal's session to the caller to end.
    void open(Clock::time_point until)
    {
        streams.clear();
        // The portal makes the session as it takes the call: it is ours to close from then on,
        // also when no answer comes.
        const std::string sessionToken = bus.token();
        portal = portal::Session(bus, bus.sessionPath(sessionToken));
        const portal::Response created = ask(
          "CreateSession",
          {},
          [&](sd_bus_message* m) {
              return portal::appendText(m, "session_handle_token", sessionToken);
          },
          Clock::now() + kAnswerAtMost);
        if (!portal.adopt(created)) {
            fail("CreateSession gave no session");
        }

        std::string restore;
        const std::filesystem::path file = tokenFile();
        if (!file.empty() && version >= 4) {
            std::ifstream(file) >> restore;
        }
        ask(
          "SelectSources",
          [&](sd_bus_message* m) { return sd_bus_message_append(m, "o", portal.path().c_str()); },
          [&](sd_bus_message* m) {
              // Monitors, all of them where the portal lets the user pick several; the pointer
              // left out of the picture where the portal can.
              int r = portal::appendUint(m, "types", 1u);
              if (r >= 0) {
                  r = portal::appendBool(m, "multiple", true);
              }
              if (r >= 0 && (cursorModes & 1u)) {
                  r = portal::appendUint(m, "cursor_mode", 1u);
              }
              if (r >= 0 && version >= 4) {
                  r = portal::appendUint(m, "persist_mode", 2u);
              }
              if (r >= 0 && !restore.empty()) {
                  r = portal::appendText(m, "restore_token", restore);
              }
              return r;
          },
          Clock::now() + kAnswerAtMost);

        const portal::Response started = ask(
          "Start",
          [&](sd_bus_message* m) {
              return sd_bus_message_append(m, "os", portal.path().c_str(), "");
          },
          {},
          std::max(until, Clock::now() + kChoiceAtMost));
        std::string newToken;
        std::vector<portal::Stream> told;
        sd_bus_message* results = started.results();
        const int r =
          !results ? -EBADMSG : portal::forEachEntry(results, [&](const std::string& key) {
              if (key == "streams") {
                  return portal::readStreams(results, told);
              }
              if (key == "restore_token") {
                  return portal::readText(results, newToken);
              }
              return portal::skipValue(results);
          });
        if (r < 0 || told.empty()) {
            fail("Start gave no stream");
        }
        for (const portal::Stream& stream : told) {
            streams.push_back({ stream, 0 });
        }
        restorable = !newToken.empty();
        if (restorable && !file.empty()) {
            keepToken(file, newToken);
        }

        const portal::Message reply = bus.call(
          portal::kPath,
          kScreenCast,
          "OpenPipeWireRemote",
          [&](sd_bus_message* m) {
              return sd_bus_message_append(m, "oa{sv}", portal.path().c_str(), 0);
          },
          kAnswerAtMost);
        int lent = -1;
        const int got = sd_bus_message_read(reply.get(), "h", &lent);
        const int fd = got >= 0 ? fcntl(lent, F_DUPFD_CLOEXEC, 3) : -1;
        if (fd < 0) {
            fail(std::string("OpenPipeWireRemote: ") + std::strerror(got < 0 ? -got : errno));
        }
        std::vector<uint32_t> nodes;
        for (const Stream& stream : streams) {
            nodes.push_back(stream.told.node);
        }
        char reason[200] = {};
        cast =
          ombrix_cast_open(fd, nodes.data(), static_cast<int>(nodes.size()), reason, sizeof reason);
        if (!cast) {
            fail(reason);
        }
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
    std::unique_ptr<Session> s;
    try {
        s = std::make_unique<Session>();
    } catch (const portal::Error& e) {
        why = std::string("no session bus for the screen cast portal (") + e.what() + ")";
        return false;
    }
    try {
        s->version = s->bus.property(kScreenCast, "version", kAnswerAtMost);
    } catch (const portal::Error& e) {
        why = std::string("no screen cast portal on the session bus (") + e.what() + ")";
        return false;
    }
    try {
        s->cursorModes = s->bus.property(kScreenCast, "AvailableCursorModes", kAnswerAtMost);
    } catch (const portal::Error&) {
        s->cursorModes = 0; // the pointer then shows as the portal likes
    }
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
        // A cast that fails half-way ends at once: the desktop would otherwise go on showing the
        // screen as shared, and the next grab would start another beside it.
        try {
            s.open(until);
        } catch (const portal::Error& e) {
            s.end();
            fail(e.what());
        } catch (...) {
            s.end();
            throw;
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
    const Rect told = session_->streams[stream].told.area;
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
