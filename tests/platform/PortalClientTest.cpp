// The desktop portal's client, and the screen cast on it, against a stand-in ScreenCast portal
// (tests/wayland/fake-screen-cast.py) on a D-Bus daemon of the test's own: requests answered,
// not answered or given up, sessions that end on every path, and what PortalScreen leaves
// behind when a step fails.

#include "Check.h"
#include "ScratchFiles.h"
#include "platform.h"
#include "portal_client.h"
#include "wayland_screen.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

using namespace std::chrono_literals;
namespace portal = ombrix::wayland::portal;
using Clock = std::chrono::steady_clock;
using ombrix::PlatformError;
using ombrix::Rect;

namespace
{

constexpr auto kDeadline = 10s;
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";

std::string program(const char* name, const char* preferred)
{
    if (access(preferred, X_OK) == 0) {
        return preferred;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t at = 0; at <= dirs.size();) {
        const size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (end > at && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = end + 1;
    }
    return {};
}

// Checks `condition` until it holds or the deadline passes.
bool eventually(const std::function<bool()>& condition, Clock::duration within = kDeadline)
{
    const auto until = Clock::now() + within;
    while (!condition()) {
        if (Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A process that dies with the test, even when the test is killed or crashes; its output is
// read line by line.
class Child
{
public:
    Child(const std::vector<std::string>& argv,
          const std::vector<std::pair<std::string, std::string>>& setting = {})
    {
        // Everything the child needs is made before the fork: between fork and exec it may only
        // make system calls.
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const bool replaced = std::any_of(setting.begin(), setting.end(), [&](const auto& s) {
                return entry.rfind(s.first + "=", 0) == 0;
            });
            if (!replaced) {
                env.push_back(entry);
            }
        }
        for (const auto& [name, value] : setting) {
            env.push_back(name + "=" + value);
        }
        std::vector<char*> args, envp;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        for (const std::string& e : env) {
            envp.push_back(const_cast<char*>(e.c_str()));
        }
        envp.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(1);
            }
            dup2(out[1], STDOUT_FILENO);
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~Child()
    {
        stop();
        if (out_ >= 0) {
            close(out_);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The next line it prints; empty when none came by the deadline.
    std::string line()
    {
        const auto until = Clock::now() + kDeadline;
        while (pending_.find('\n') == std::string::npos && out_ >= 0) {
            const auto left =
              std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{ out_, POLLIN, 0 };
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) < 0) {
                break;
            }
            char buf[256];
            const ssize_t n = (p.revents & (POLLIN | POLLHUP)) ? read(out_, buf, sizeof buf) : 0;
            if (n > 0) {
                pending_.append(buf, static_cast<size_t>(n));
            } else if (p.revents & POLLHUP) {
                break;
            }
        }
        const size_t end = pending_.find('\n');
        if (end == std::string::npos) {
            return {};
        }
        std::string got = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return got;
    }

    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
};

// A session bus of the test's own with the stand-in portal on it: the machine's own session bus
// and portals have no say.
class StandIn
{
public:
    // Empty, or why it could not start.
    std::string start()
    {
        const std::string daemonProgram = program("dbus-daemon", "/usr/bin/dbus-daemon");
        // Debian's python3-dbus is for the system's Python, whatever else PATH holds.
        const std::string python = program("python3", "/usr/bin/python3");
        if (daemonProgram.empty() || python.empty()) {
            return "no dbus-daemon or python3 (scripts/deps test installs them)";
        }
        const std::string config = (dir_.dir / "bus.conf").string();
        scratchFile(config,
                    "<busconfig>\n"
                    "  <type>session</type>\n"
                    "  <listen>unix:dir=" +
                      dir_.dir.string() +
                      "</listen>\n"
                      "  <auth>EXTERNAL</auth>\n"
                      "  <policy context=\"default\">\n"
                      "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                      "    <allow eavesdrop=\"true\"/>\n"
                      "    <allow own=\"*\"/>\n"
                      "  </policy>\n"
                      "</busconfig>\n");
        daemon_ = std::make_unique<Child>(std::vector<std::string>{
          daemonProgram, "--config-file=" + config, "--print-address", "--nofork" });
        address_ = daemon_->line();
        if (address_.empty()) {
            return "dbus-daemon printed no address";
        }
        portal_ = std::make_unique<Child>(std::vector<std::string>{ python, FAKE_SCREEN_CAST },
                                          std::vector<std::pair<std::string, std::string>>{
                                            { "DBUS_SESSION_BUS_ADDRESS", address_ } });
        if (portal_->line() != "ready") {
            return "the stand-in portal did not start, see its errors above (python3-dbus, "
                   "python3-gi and gir1.2-glib-2.0 come with scripts/deps test)";
        }
        int r = sd_bus_new(&control_);
        if (r >= 0) {
            r = sd_bus_set_address(control_, address_.c_str());
        }
        if (r >= 0) {
            r = sd_bus_set_bus_client(control_, 1);
        }
        if (r >= 0) {
            r = sd_bus_start(control_);
        }
        return r < 0 ? std::string("no control connection: ") + std::strerror(-r) : "";
    }

    ~StandIn() { sd_bus_flush_close_unref(control_); }

    const std::string& address() const { return address_; }
    void stopBus() { daemon_->stop(); }

    bool reset() { return call("Reset", nullptr, ""); }
    bool set(const char* what, const char* text)
    {
        return call("Set", nullptr, "sv", what, "s", text);
    }
    bool set(const char* what, uint32_t number)
    {
        return call("Set", nullptr, "sv", what, "u", number);
    }
    bool set(const char* what, bool on) { return call("Set", nullptr, "sv", what, "b", int(on)); }
    // `count` streams side by side, each 100 x 100.
    bool setStreams(int count)
    {
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(
          control_, &m, portal::kService, portal::kPath, "org.ombrix.FakeScreenCast", "Set");
        const portal::Message owned(m);
        if (r >= 0) {
            r = sd_bus_message_append(m, "s", "streams");
        }
        if (r >= 0) {
            r = sd_bus_message_open_container(m, SD_BUS_TYPE_VARIANT, "a(uiiii)");
        }
        if (r >= 0) {
            r = sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "(uiiii)");
        }
        for (int i = 0; i < count && r >= 0; ++i) {
            r = sd_bus_message_append(m, "(uiiii)", 40u + i, i * 100, 0, 100, 100);
        }
        if (r >= 0) {
            r = sd_bus_message_close_container(m);
        }
        if (r >= 0) {
            r = sd_bus_message_close_container(m);
        }
        if (r >= 0) {
            r = sd_bus_call(control_, m, 0, nullptr, nullptr);
        }
        return r >= 0;
    }

    std::vector<std::string> events() { return strings("Events"); }
    // Whether the portal's session at `path` is still open.
    bool open(const std::string& path)
    {
        const std::vector<std::string> all = strings("Sessions");
        return std::find(all.begin(), all.end(), path) != all.end();
    }

    // The events that begin with `what`, split at the spaces.
    std::vector<std::vector<std::string>> events(const std::string& what)
    {
        std::vector<std::vector<std::string>> found;
        for (const std::string& e : events()) {
            if (e.rfind(what + " ", 0) != 0) {
                continue;
            }
            std::vector<std::string> fields;
            for (size_t at = 0; at <= e.size();) {
                const size_t end = std::min(e.find(' ', at), e.size());
                fields.push_back(e.substr(at, end - at));
                at = end + 1;
            }
            found.push_back(fields);
        }
        return found;
    }

    bool saw(const std::string& event)
    {
        const std::vector<std::string> all = events();
        return std::find(all.begin(), all.end(), event) != all.end();
    }

private:
    template<typename... Args>
    bool call(const char* method, sd_bus_message** reply, const char* types, Args... args)
    {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const int r = sd_bus_call_method(control_,
                                         portal::kService,
                                         portal::kPath,
                                         "org.ombrix.FakeScreenCast",
                                         method,
                                         &error,
                                         reply,
                                         types,
                                         args...);
        if (r < 0) {
            std::printf("the stand-in's %s failed: %s\n",
                        method,
                        error.message ? error.message : std::strerror(-r));
        }
        sd_bus_error_free(&error);
        return r >= 0;
    }

    std::vector<std::string> strings(const char* method)
    {
        sd_bus_message* reply = nullptr;
        std::vector<std::string> got;
        if (call(method, &reply, "")) {
            char** list = nullptr;
            if (sd_bus_message_read_strv(reply, &list) >= 0 && list) {
                for (char** s = list; *s; ++s) {
                    got.emplace_back(*s);
                    free(*s);
                }
                free(list);
            }
        }
        sd_bus_message_unref(reply);
        return got;
    }

    static void scratchFile(const std::string& path, const std::string& text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }

    Scratch dir_;
    std::unique_ptr<Child> daemon_;
    std::unique_ptr<Child> portal_;
    std::string address_;
    sd_bus* control_ = nullptr;
};

// The stand-in most tests share, reset before each; null when it could not start (reported once).
StandIn* shared()
{
    static std::unique_ptr<StandIn> standIn = [] {
        auto s = std::make_unique<StandIn>();
        const std::string why = s->start();
        if (!why.empty()) {
            check::report(false, __FILE__, __LINE__, why);
            s.reset();
        }
        return s;
    }();
    if (standIn && !standIn->reset()) {
        check::report(false, __FILE__, __LINE__, "the stand-in portal does not answer");
        return nullptr;
    }
    return standIn.get();
}

std::vector<std::pair<ombrix::LogArea, std::string>> logged;

void keepLog(ombrix::LogArea area, const std::string& text)
{
    logged.emplace_back(area, text);
}

portal::Append sessionToken(const std::string& token)
{
    return
      [token](sd_bus_message* m) { return portal::appendText(m, "session_handle_token", token); };
}

// A session made through CreateSession on `bus`; empty when the portal made none.
portal::Session createSession(portal::Connection& bus)
{
    const std::string token = bus.token();
    portal::Session session(bus, bus.sessionPath(token));
    portal::Request request(bus, kScreenCast, "CreateSession", {}, sessionToken(token));
    const portal::Response answer = request.wait(Clock::now() + kDeadline);
    if (answer.code != 0 || !session.adopt(answer)) {
        return {};
    }
    return session;
}

// Runs the connection the way an outside event loop does until `done` holds or the deadline.
bool loopUntil(portal::Connection& bus, const std::function<bool()>& done)
{
    const auto until = Clock::now() + kDeadline;
    while (!done() && Clock::now() < until) {
        pollfd p{ bus.fd(), bus.events(), 0 };
        const int timeout = bus.timeoutMs();
        poll(&p, 1, timeout < 0 ? 100 : std::min(timeout, 100));
        if (!bus.process()) {
            return false;
        }
    }
    return done();
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

// ---- the client ----

// The answer is heard whether the portal answers on the path that our name and the token make
// or, as portals older than those paths do, on a path of its own.
TEST(requestsAreAnswered)
{
    const struct {
        const char* label;
        bool ownPaths;
    } rows[] = {
        { "on the path the token makes", false },
        { "on a path of the portal's own", true },
    };
    for (const auto& row : rows) {
        CASE(row.label);
        StandIn* standIn = shared();
        if (!standIn) {
            return;
        }
        CHECK(standIn->set("own_paths", row.ownPaths));
        portal::Connection bus(standIn->address());
        const std::string token = bus.token();
        portal::Session session(bus, bus.sessionPath(token));
        portal::Request request(bus, kScreenCast, "CreateSession", {}, sessionToken(token));
        const portal::Response answer = request.wait(Clock::now() + kDeadline);
        CHECK(answer.failure.empty());
        CHECK(answer.code == 0);
        CHECK(session.adopt(answer));
        CHECK(!request.pending());

        const auto created = standIn->events("CreateSession");
        CHECK(created.size() == 1);
        if (created.size() == 1) {
            CHECK_EQ_BYTES(request.path(), created[0][1]);
            CHECK_EQ_BYTES(session.path(), created[0][2]);
        }
        CHECK((request.path().rfind(bus.requestPath("ombrix"), 0) == 0) == !row.ownPaths);
    }
}

// A portal that does not answer in time has its request closed, so that its dialog does not
// stay up, wherever the request is.
TEST(requestsNotAnsweredInTimeAreClosed)
{
    for (const bool ownPaths : { false, true }) {
        CASE(ownPaths ? "on a path of the portal's own" : "on the path the token makes");
        StandIn* standIn = shared();
        if (!standIn) {
            return;
        }
        CHECK(standIn->set("create", "silent"));
        CHECK(standIn->set("own_paths", ownPaths));
        portal::Connection bus(standIn->address());
        portal::Request request(bus, kScreenCast, "CreateSession", {}, sessionToken("s1"));
        bool timedOut = false;
        try {
            request.wait(Clock::now() + 300ms);
        } catch (const portal::Error& e) {
            timedOut = e.timedOut();
        }
        CHECK(timedOut);
        CHECK(!request.pending());
        const auto created = standIn->events("CreateSession");
        CHECK(created.size() == 1);
        if (created.size() == 1) {
            CHECK_EQ_BYTES(request.path(), created[0][1]);
            CHECK(eventually([&] { return standIn->saw("Request.Close " + created[0][1]); }));
        }
    }
}

// A request whose waiter goes away is closed, and its callback never runs.
TEST(requestsGivenUpAreClosed)
{
    StandIn* standIn = shared();
    if (!standIn) {
        return;
    }
    CHECK(standIn->set("create", "silent"));
    portal::Connection bus(standIn->address());
    int answers = 0;
    auto request = std::make_unique<portal::Request>(bus,
                                                     kScreenCast,
                                                     "CreateSession",
                                                     portal::Append{},
                                                     sessionToken("s1"),
                                                     [&](portal::Response&) { ++answers; });
    CHECK(eventually([&] { return !standIn->events("CreateSession").empty(); }));
    const std::string path = request->path();
    request.reset();
    CHECK(eventually([&] { return standIn->saw("Request.Close " + path); }));
    CHECK(bus.process());
    CHECK(answers == 0);
}

// The answer, whatever it is, reaches the callback through an outside loop's poll() on the
// connection's socket and process().
TEST(answersComeThroughTheEventLoop)
{
    const struct {
        const char* behaviour;
        uint32_t code;
    } rows[] = { { "answer", 0 }, { "cancel", 1 }, { "refuse", 2 } };
    for (const auto& row : rows) {
        CASE(row.behaviour);
        StandIn* standIn = shared();
        if (!standIn) {
            return;
        }
        CHECK(standIn->set("create", row.behaviour));
        portal::Connection bus(standIn->address());
        int answers = 0;
        uint32_t code = 99;
        std::string failure = "none";
        const portal::Request request(
          bus, kScreenCast, "CreateSession", {}, sessionToken("s1"), [&](portal::Response& answer) {
              ++answers;
              code = answer.code;
              failure = answer.failure;
          });
        CHECK(loopUntil(bus, [&] { return answers > 0; }));
        CHECK(answers == 1);
        CHECK(code == row.code);
        CHECK(failure.empty());
    }
}

// A session ends on every path: when it goes, when it is closed, and when another takes its place.
TEST(sessionsCloseThemselves)
{
    const struct {
        const char* label;
        std::function<void(std::unique_ptr<portal::Session>&, portal::Connection&)> end;
    } rows[] = {
        { "destroyed", [](auto& session, auto&) { session.reset(); } },
        { "closed", [](auto& session, auto&) { session->close(); } },
        { "another in its place",
          [](auto& session, auto& bus) { *session = portal::Session(bus, "/elsewhere/s"); } },
    };
    for (const auto& row : rows) {
        CASE(row.label);
        StandIn* standIn = shared();
        if (!standIn) {
            return;
        }
        portal::Connection bus(standIn->address());
        auto session = std::make_unique<portal::Session>(createSession(bus));
        CHECK(static_cast<bool>(*session));
        const std::string path = session->path();
        CHECK(standIn->open(path));
        row.end(session, bus);
        CHECK(eventually([&] { return standIn->saw("Session.Close " + path); }));
        CHECK(!standIn->open(path));
    }
}

// A started cast's streams, each with its node and its monitor's place and size on the layout.
TEST(startedStreamsAreRead)
{
    StandIn* standIn = shared();
    if (!standIn) {
        return;
    }
    CHECK(standIn->setStreams(3));
    portal::Connection bus(standIn->address());
    const portal::Session session = createSession(bus);
    CHECK(static_cast<bool>(session));
    const auto onSession = [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "o", session.path().c_str());
    };
    portal::Request select(bus, kScreenCast, "SelectSources", onSession, {});
    CHECK(select.wait(Clock::now() + kDeadline).code == 0);
    portal::Request start(
      bus,
      kScreenCast,
      "Start",
      [&](sd_bus_message* m) { return sd_bus_message_append(m, "os", session.path().c_str(), ""); },
      {});
    const portal::Response started = start.wait(Clock::now() + kDeadline);
    CHECK(started.code == 0);
    std::vector<portal::Stream> streams;
    sd_bus_message* results = started.results();
    CHECK(results != nullptr);
    if (results) {
        CHECK(portal::forEachEntry(results, [&](const std::string& key) {
                  return key == "streams" ? portal::readStreams(results, streams)
                                          : portal::skipValue(results);
              }) >= 0);
    }
    CHECK(streams.size() == 3);
    for (size_t i = 0; i < streams.size(); ++i) {
        const int at = static_cast<int>(i);
        CASE("stream " + std::to_string(i));
        CHECK(streams[i].node == 40u + i);
        CHECK(streams[i].area.x == at * 100 && streams[i].area.y == 0);
        CHECK(streams[i].area.width == 100 && streams[i].area.height == 100);
    }
}

// The bus going away ends a wait at once with the reason, not at its deadline.
TEST(aLostConnectionEndsTheWait)
{
    StandIn standIn;
    const std::string why = standIn.start();
    CHECK_EQ_BYTES(why, std::string());
    if (!why.empty()) {
        return;
    }
    CHECK(standIn.set("create", "silent"));
    portal::Connection bus(standIn.address());
    portal::Request request(bus, kScreenCast, "CreateSession", {}, sessionToken("s1"));
    CHECK(eventually([&] { return !standIn.events("CreateSession").empty(); }));
    standIn.stopBus();
    const auto began = Clock::now();
    bool timedOut = true;
    std::string said;
    try {
        request.wait(Clock::now() + 60s);
    } catch (const portal::Error& e) {
        timedOut = e.timedOut();
        said = e.what();
    }
    CHECK(!timedOut);
    CHECK(contains(said, "connection was lost"));
    CHECK(Clock::now() - began < kDeadline);
    CHECK(!bus.process());
}

// ---- the screen cast ----

namespace
{

std::vector<Rect> oneMonitor()
{
    return { { 0, 0, 1920, 1080 } };
}

// The stand-in for the screen cast, and a state folder of the test's own.
struct CastSetting {
    StandIn* standIn = nullptr;
    Scratch state;

    bool start()
    {
        standIn = shared();
        if (!standIn) {
            return false;
        }
        setenv("DBUS_SESSION_BUS_ADDRESS", standIn->address().c_str(), 1);
        setenv("XDG_STATE_HOME", state.dir.c_str(), 1);
        return true;
    }

    std::filesystem::path tokenFile() const { return state.dir / "Ombrix" / "screen-cast-token"; }
};

// prepare()'s failure, or an empty string when it succeeded.
std::string prepareFails(ombrix::wayland::PortalScreen& screen)
{
    try {
        screen.prepare({ 0, 0, 100, 100 }, Clock::now() + 2s);
    } catch (const PlatformError& e) {
        return e.failure() == ombrix::Failure::ScreenUnreadable ? e.what() : "another failure";
    }
    return {};
}

unsigned modeOf(const std::filesystem::path& path)
{
    struct stat seen {
    };
    return ::stat(path.c_str(), &seen) == 0 ? (seen.st_mode & 07777) : 0u;
}

} // namespace

// Whichever step after CreateSession fails, the portal's session ends with it, at once: the
// desktop stops showing the screen as shared, and the next grab does not leave it behind. A
// step that got no answer has its request closed.
TEST(aFailedCastEndsItsSession)
{
    const struct {
        const char* label;
        std::vector<std::pair<const char*, const char*>> settings;
        int streams; // 0: the stand-in's one
        const char* says;
        const char* closedRequest; // the step whose request is closed, if any
    } rows[] = {
        { "SelectSources refused",
          { { "select", "refuse" } },
          0,
          "SelectSources: refused by the portal",
          nullptr },
        { "SelectSources not answered",
          { { "select", "silent" } },
          0,
          "SelectSources: no answer in time",
          "SelectSources" },
        { "Start cancelled by the user",
          { { "start", "cancel" } },
          0,
          "Start: the user said no",
          nullptr },
        { "Start refused", { { "start", "refuse" } }, 0, "Start: refused by the portal", nullptr },
        { "no PipeWire remote", { { "remote", "fail" } }, 0, "OpenPipeWireRemote", nullptr },
        { "no PipeWire remote, the choice kept under a restore token",
          { { "remote", "fail" }, { "token", "kept" } },
          0,
          "OpenPipeWireRemote",
          nullptr },
        { "streams that cannot be opened", {}, 17, "more than 16 streams", nullptr },
    };
    for (const auto& row : rows) {
        CASE(row.label);
        CastSetting setting;
        if (!setting.start()) {
            return;
        }
        for (const auto& [what, value] : row.settings) {
            CHECK(setting.standIn->set(what, value));
        }
        if (row.streams > 0) {
            CHECK(setting.standIn->setStreams(row.streams));
        }
        ombrix::wayland::PortalScreen screen(oneMonitor);
        const std::string failure = prepareFails(screen);
        CHECK(contains(failure, row.says));
        if (!contains(failure, row.says)) {
            std::printf("  prepare() said: %s\n", failure.c_str());
        }
        const auto created = setting.standIn->events("CreateSession");
        CHECK(created.size() == 1);
        if (created.size() != 1) {
            continue;
        }
        // Before finished(): the grab ends the source whichever way prepare() went, but the
        // session must not wait for that.
        CHECK(eventually([&] { return setting.standIn->saw("Session.Close " + created[0][2]); }));
        if (row.closedRequest) {
            const auto step = setting.standIn->events(row.closedRequest);
            CHECK(step.size() == 1);
            CHECK(!step.empty() && setting.standIn->saw("Request.Close " + step[0][1]));
        }
        screen.finished();
        CHECK(!setting.standIn->open(created[0][2]));
    }
}

// Where the portal keeps the choice under a restore token, each grab has a cast of its own and
// ends it; otherwise the cast stays between grabs, so that the user is not asked at each.
TEST(theCastBetweenGrabs)
{
    for (const bool restorable : { true, false }) {
        CASE(restorable ? "restorable" : "not restorable");
        CastSetting setting;
        if (!setting.start()) {
            return;
        }
        CHECK(setting.standIn->set("token", restorable ? "kept" : ""));
        {
            ombrix::wayland::PortalScreen screen(oneMonitor);
            CHECK_EQ_BYTES(prepareFails(screen), std::string());
            screen.finished();
            const auto first = setting.standIn->events("CreateSession");
            CHECK(first.size() == 1);
            if (restorable && first.size() == 1) {
                CHECK(
                  eventually([&] { return setting.standIn->saw("Session.Close " + first[0][2]); }));
            }
            CHECK_EQ_BYTES(prepareFails(screen), std::string());
            screen.finished();
        }
        const auto created = setting.standIn->events("CreateSession");
        CHECK(created.size() == (restorable ? 2u : 1u));
        for (const auto& cast : created) {
            CHECK(eventually([&] { return !setting.standIn->open(cast[2]); }));
        }
        CHECK(setting.standIn->events("Session.Close").size() == created.size());
    }
}

// A stream that fails in the middle of a grab ends the cast and its session.
TEST(aFailedStreamEndsTheCast)
{
    CastSetting setting;
    if (!setting.start()) {
        return;
    }
    ombrix::wayland::PortalScreen screen(oneMonitor);
    CHECK_EQ_BYTES(prepareFails(screen), std::string());
    ombrix::Pixels picture;
    bool failed = false;
    try {
        screen.read({ 0, 0, 100, 100 }, picture, Clock::now() + 2s);
    } catch (const PlatformError&) {
        failed = true;
    }
    CHECK(failed);
    const auto created = setting.standIn->events("CreateSession");
    CHECK(created.size() == 1);
    CHECK(!created.empty() &&
          eventually([&] { return setting.standIn->saw("Session.Close " + created[0][2]); }));
    screen.finished();
}

// Monitors, several where the portal lets the user pick them; the pointer left out where the
// portal can; persistence and the kept token from version 4 on.
TEST(selectSourcesAsksForWhatThePortalOffers)
{
    const struct {
        const char* label;
        uint32_t version;
        uint32_t cursorModes;
        const char* kept; // the token file's contents, if any
        const char* options;
    } rows[] = {
        { "version 5 with a kept token",
          5,
          3,
          "kept-token\n",
          "cursor_mode=1 multiple=1 persist_mode=2 restore_token=kept-token types=1" },
        { "version 3: nothing kept", 3, 3, "kept-token\n", "cursor_mode=1 multiple=1 types=1" },
        { "a pointer that cannot be left out", 5, 2, nullptr, "multiple=1 persist_mode=2 types=1" },
    };
    for (const auto& row : rows) {
        CASE(row.label);
        CastSetting setting;
        if (!setting.start()) {
            return;
        }
        CHECK(setting.standIn->set("version", row.version));
        CHECK(setting.standIn->set("cursor_modes", row.cursorModes));
        CHECK(setting.standIn->set("remote", "fail"));
        if (row.kept) {
            std::filesystem::create_directories(setting.tokenFile().parent_path());
            std::ofstream(setting.tokenFile()) << row.kept;
        }
        ombrix::wayland::PortalScreen screen(oneMonitor);
        CHECK(contains(prepareFails(screen), "OpenPipeWireRemote"));
        const std::vector<std::string> all = setting.standIn->events();
        const auto selected = std::find_if(all.begin(), all.end(), [](const std::string& e) {
            return e.rfind("SelectSources ", 0) == 0;
        });
        CHECK(selected != all.end());
        if (selected != all.end()) {
            const size_t options = selected->find(' ', std::strlen("SelectSources "));
            CHECK_EQ_BYTES(selected->substr(options + 1), std::string(row.options));
        }
        screen.finished();
    }
}

// The restore token lets its holder share the screen without the user being asked: it is kept
// for the user alone, replaced whole, and a failure to keep it is logged.
TEST(theRestoreTokenIsTheUsers)
{
    enum class Before { Nothing, TokenForAll, StateIsAFile };
    const struct {
        const char* label;
        Before before;
    } rows[] = {
        { "a new token in new folders", Before::Nothing },
        { "an older token readable by all", Before::TokenForAll },
        { "a state folder that cannot be made", Before::StateIsAFile },
    };
    for (const auto& row : rows) {
        CASE(row.label);
        CastSetting setting;
        if (!setting.start()) {
            return;
        }
        const std::filesystem::path state = setting.state.dir / "state";
        setenv("XDG_STATE_HOME", state.c_str(), 1);
        const std::filesystem::path folder = state / "Ombrix";
        const std::filesystem::path file = folder / "screen-cast-token";
        if (row.before == Before::TokenForAll) {
            std::filesystem::create_directories(folder);
            ::chmod(state.c_str(), 0755);
            ::chmod(folder.c_str(), 0755);
            std::ofstream(file) << "older-token\n";
            ::chmod(file.c_str(), 0644);
        } else if (row.before == Before::StateIsAFile) {
            std::ofstream(state) << "not a folder\n";
        }
        CHECK(setting.standIn->set("token", "new-token"));
        CHECK(setting.standIn->set("remote", "fail"));
        logged.clear();
        ombrix::setLogSink(keepLog);
        ombrix::wayland::PortalScreen screen(oneMonitor);
        CHECK(contains(prepareFails(screen), "OpenPipeWireRemote"));
        ombrix::setLogSink(nullptr);

        if (row.before == Before::StateIsAFile) {
            CHECK(!std::filesystem::exists(file));
            CHECK(logged.size() == 1);
            CHECK(!logged.empty() && logged[0].first == ombrix::LogArea::Capture &&
                  contains(logged[0].second, "restore token"));
            continue;
        }
        CHECK(logged.empty());
        CHECK_EQ_BYTES(readBytes(file), std::string("new-token\n"));
        CHECK(modeOf(file) == 0600);
        const unsigned folderMode = row.before == Before::Nothing ? 0700 : 0755;
        CHECK(modeOf(folder) == folderMode);
        CHECK(modeOf(state) == folderMode);
        std::vector<std::string> inFolder;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            inFolder.push_back(entry.path().filename().string());
        }
        CHECK(inFolder == std::vector<std::string>{ "screen-cast-token" });
    }
}

int main()
{
    // Files made as most desktops make them: readable by all unless the program says otherwise.
    umask(022);
    return check::runAll();
}
