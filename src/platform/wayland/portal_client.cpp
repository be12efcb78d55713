#include "portal_client.h"

#include <systemd/sd-bus.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace ombrix::wayland::portal
{

namespace
{

constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr const char* kSessionInterface = "org.freedesktop.portal.Session";

std::string describe(int r, const sd_bus_error* error = nullptr)
{
    if (error && sd_bus_error_is_set(error)) {
        return std::string(error->name) +
               (error->message ? std::string(": ") + error->message : std::string());
    }
    return std::strerror(r < 0 ? -r : r);
}

bool isTimeout(int r, const sd_bus_error* error)
{
    return r == -ETIMEDOUT || (error && (sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY) ||
                                         sd_bus_error_has_name(error, SD_BUS_ERROR_TIMEOUT)));
}

uint64_t microseconds(std::chrono::nanoseconds span)
{
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(span).count();
    // sd-bus takes 0 as "the default timeout".
    return static_cast<uint64_t>(std::max<long long>(us, 1));
}

// Whether the variant at the reader's place holds `type`; skips it when it does not.
int variantOf(sd_bus_message* m, const char* type)
{
    char kind = 0;
    const char* contents = nullptr;
    const int r = sd_bus_message_peek_type(m, &kind, &contents);
    if (r < 0) {
        return r;
    }
    if (kind != SD_BUS_TYPE_VARIANT || !contents || std::strcmp(contents, type) != 0) {
        const int skipped = sd_bus_message_skip(m, "v");
        return skipped < 0 ? skipped : 0;
    }
    return 1;
}

int readPoint(sd_bus_message* m, int& x, int& y)
{
    const int r = variantOf(m, "(ii)");
    if (r <= 0) {
        return r;
    }
    return sd_bus_message_read(m, "v", "(ii)", &x, &y);
}

} // namespace

Error::Error(const std::string& what, std::string name, bool timedOut)
  : std::runtime_error(what)
  , name_(std::move(name))
  , timedOut_(timedOut)
{
}

Message::~Message()
{
    sd_bus_message_unref(m_);
}

Message::Message(Message&& other) noexcept
  : m_(std::exchange(other.m_, nullptr))
{
}

Message& Message::operator=(Message&& other) noexcept
{
    if (this != &other) {
        sd_bus_message_unref(m_);
        m_ = std::exchange(other.m_, nullptr);
    }
    return *this;
}

// ---- the connection ----

Connection::Connection(const std::string& address)
{
    int r = 0;
    if (address.empty()) {
        r = sd_bus_open_user(&bus_);
    } else {
        r = sd_bus_new(&bus_);
        if (r >= 0) {
            r = sd_bus_set_address(bus_, address.c_str());
        }
        if (r >= 0) {
            r = sd_bus_set_bus_client(bus_, 1);
        }
        if (r >= 0) {
            r = sd_bus_start(bus_);
        }
    }
    const char* unique = nullptr;
    if (r >= 0) {
        r = sd_bus_get_unique_name(bus_, &unique);
    }
    if (r < 0 || !unique || !*unique) {
        sd_bus_close_unref(bus_);
        throw Error("no session bus: " + describe(r < 0 ? r : -ENOTCONN));
    }
    sender_ = unique + 1;
    std::replace(sender_.begin(), sender_.end(), '.', '_');
}

Connection::~Connection()
{
    sd_bus_slot_unref(responses_);
    sd_bus_flush_close_unref(bus_);
}

std::string Connection::token()
{
    return "ombrix" + std::to_string(++tokens_);
}

std::string Connection::requestPath(const std::string& token) const
{
    return std::string(kPath) + "/request/" + sender_ + "/" + token;
}

std::string Connection::sessionPath(const std::string& token) const
{
    return std::string(kPath) + "/session/" + sender_ + "/" + token;
}

int Connection::fd() const
{
    return sd_bus_get_fd(bus_);
}

short Connection::events() const
{
    const int events = lost_ ? 0 : sd_bus_get_events(bus_);
    return static_cast<short>(std::max(events, 0));
}

int Connection::timeoutMs() const
{
    if (!deferred_.empty()) {
        return 0;
    }
    uint64_t at = UINT64_MAX;
    if (lost_ || sd_bus_get_timeout(bus_, &at) < 0 || at == UINT64_MAX) {
        return -1;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t nowUs =
      static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    if (at <= nowUs) {
        return 0;
    }
    // Rounded up: a loop woken a little early would only come back at once.
    return static_cast<int>(std::min<uint64_t>((at - nowUs + 999) / 1000, INT_MAX));
}

bool Connection::process()
{
    while (!lost_) {
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
            markLost(r);
        } else if (r == 0) {
            break;
        }
    }
    runDeferred();
    return !lost_;
}

bool Connection::waitFor(const std::function<bool()>& done, Clock::time_point until)
{
    for (;;) {
        process();
        if (done()) {
            return true;
        }
        if (lost_) {
            throw Error("the session bus connection was lost");
        }
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero()) {
            return false;
        }
        const int r = sd_bus_wait(bus_, microseconds(left));
        if (r < 0 && r != -EINTR) {
            markLost(r);
            runDeferred();
            throw Error("waiting on the session bus: " + describe(r));
        }
    }
}

Message Connection::call(const std::string& path,
                         const char* interface,
                         const char* method,
                         const Append& arguments,
                         std::chrono::milliseconds within)
{
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &m, kService, path.c_str(), interface, method);
    const Message call(m);
    if (r >= 0 && arguments) {
        r = arguments(m);
    }
    if (r < 0) {
        throw Error(std::string(method) + ": " + describe(r));
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(bus_, m, microseconds(within), &error, &reply);
    if (r < 0) {
        Error failure(std::string(method) + ": " + describe(r, &error),
                      sd_bus_error_is_set(&error) ? error.name : "",
                      isTimeout(r, &error));
        sd_bus_error_free(&error);
        throw failure;
    }
    return Message(reply);
}

uint32_t Connection::property(const char* interface,
                              const char* name,
                              std::chrono::milliseconds within)
{
    const Message reply = call(
      kPath,
      "org.freedesktop.DBus.Properties",
      "Get",
      [&](sd_bus_message* m) { return sd_bus_message_append(m, "ss", interface, name); },
      within);
    uint32_t value = 0;
    const int r = sd_bus_message_read(reply.get(), "v", "u", &value);
    if (r < 0) {
        throw Error(std::string("the property ") + name + ": " + describe(r));
    }
    return value;
}

bool Connection::send(const std::string& path, const char* interface, const char* method) noexcept
{
    if (lost_ || path.empty()) {
        return false;
    }
    sd_bus_message* m = nullptr;
    const bool sent =
      sd_bus_message_new_method_call(bus_, &m, kService, path.c_str(), interface, method) >= 0 &&
      sd_bus_message_set_expect_reply(m, 0) >= 0 && sd_bus_send(bus_, m, nullptr) >= 0;
    sd_bus_message_unref(m);
    return sent;
}

void Connection::defer(std::function<void()> callback)
{
    deferred_.push_back(std::move(callback));
}

struct Connection::Dispatch {
    static int responded(sd_bus_message* m, void* data, sd_bus_error* error);
};

int Connection::expect(const std::string& path,
                       const std::weak_ptr<Pending>& request,
                       sd_bus_slot** outside)
{
    const std::string ours = std::string(kPath) + "/request/" + sender_;
    int r = 0;
    if (!responses_) {
        const std::string rule = std::string("type='signal',interface='") + kRequestInterface +
                                 "',member='Response',path_namespace='" + ours + "'";
        r = sd_bus_add_match_async(
          bus_, &responses_, rule.c_str(), Dispatch::responded, nullptr, this);
    }
    if (r >= 0 && path.rfind(ours + "/", 0) != 0) {
        r = sd_bus_match_signal_async(bus_,
                                      outside,
                                      nullptr,
                                      path.c_str(),
                                      kRequestInterface,
                                      "Response",
                                      Dispatch::responded,
                                      nullptr,
                                      this);
    }
    if (r < 0) {
        return r;
    }
    expected_[path] = request;
    const auto early = std::find_if(
      early_.begin(), early_.end(), [&](const auto& answer) { return answer.first == path; });
    if (early != early_.end()) {
        const Message answer = std::move(early->second);
        early_.erase(early);
        if (const auto pending = request.lock()) {
            pending->answered(answer.get());
        }
    }
    return 0;
}

void Connection::forget(const std::string& path)
{
    expected_.erase(path);
}

int Connection::Dispatch::responded(sd_bus_message* m, void* data, sd_bus_error*)
{
    auto* self = static_cast<Connection*>(data);
    const char* path = sd_bus_message_get_path(m);
    if (!path) {
        return 0;
    }
    const auto found = self->expected_.find(path);
    if (found != self->expected_.end()) {
        if (const auto pending = found->second.lock()) {
            pending->answered(m);
        }
        return 0;
    }
    // Kept a while for a request that learns its path later; answers to requests given up go
    // out with the oldest.
    constexpr size_t kEarlyAtMost = 16;
    self->early_.emplace_back(path, Message(sd_bus_message_ref(m)));
    if (self->early_.size() > kEarlyAtMost) {
        self->early_.pop_front();
    }
    return 0;
}

void Connection::runDeferred()
{
    while (!deferred_.empty()) {
        const std::vector<std::function<void()>> batch = std::move(deferred_);
        deferred_.clear();
        for (const auto& callback : batch) {
            callback();
        }
    }
}

void Connection::markLost(int r)
{
    if (lost_) {
        return;
    }
    lost_ = true;
    const std::string why = describe(r);
    const std::map<std::string, std::weak_ptr<Pending>> expected = expected_;
    for (const auto& [path, request] : expected) {
        if (const auto pending = request.lock()) {
            pending->connectionLost(why);
        }
    }
}

// ---- requests ----

sd_bus_message* Response::results() const
{
    sd_bus_message* m = message.get();
    if (!m || sd_bus_message_rewind(m, 1) < 0 || sd_bus_message_skip(m, "u") < 0) {
        return nullptr;
    }
    return m;
}

struct Request::State
  : Connection::Pending
  , std::enable_shared_from_this<State> {
    Connection* bus = nullptr;
    std::string method;
    std::string path;
    sd_bus_slot* outside = nullptr; // Response at a path the portal gave outside ours
    sd_bus_slot* reply = nullptr;   // the call's reply
    bool finished = false;
    Response response;
    Done done;

    ~State() override { release(); }

    void release()
    {
        bus->forget(path);
        outside = sd_bus_slot_unref(outside);
        reply = sd_bus_slot_unref(reply);
    }

    // Called from sd-bus's dispatch: the request lets go of the bus, and `done` runs, once that
    // is over.
    void finish()
    {
        finished = true;
        bus->defer([weak = weak_from_this()] {
            if (const auto self = weak.lock()) {
                self->release();
                if (const Done done = self->done) {
                    done(self->response);
                }
            }
        });
    }

    void fail(std::string why)
    {
        if (!finished) {
            response.failure = std::move(why);
            finish();
        }
    }

    void connectionLost(const std::string& why) override
    {
        fail("the session bus connection was lost (" + why + ")");
    }

    void answered(sd_bus_message* m) override
    {
        if (finished) {
            return;
        }
        uint32_t code = 2;
        if (sd_bus_message_rewind(m, 1) < 0 || sd_bus_message_read(m, "u", &code) < 0) {
            fail("an answer without a response code");
            return;
        }
        response.code = code;
        response.message = Message(sd_bus_message_ref(m));
        finish();
    }

    static int replied(sd_bus_message* m, void* data, sd_bus_error*)
    {
        auto* self = static_cast<State*>(data);
        if (self->finished) {
            return 0;
        }
        if (const sd_bus_error* error = sd_bus_message_get_error(m)) {
            self->fail(describe(-EIO, error));
            return 0;
        }
        const char* handle = nullptr;
        if (sd_bus_message_read(m, "o", &handle) < 0 || !handle) {
            self->fail("no request handle in the reply");
            return 0;
        }
        // Portals older than the predictable paths answer on a path of their own.
        if (self->path != handle) {
            self->bus->forget(self->path);
            self->path = handle;
            const int r = self->bus->expect(self->path, self->weak_from_this(), &self->outside);
            if (r < 0) {
                self->fail(describe(r));
            }
        }
        return 0;
    }
};

Request::Request(Connection& bus,
                 const char* interface,
                 const char* method,
                 const Append& arguments,
                 const Append& options,
                 Done done)
  : state_(std::make_shared<State>())
{
    State& s = *state_;
    s.bus = &bus;
    s.method = method;
    s.done = std::move(done);
    const std::string token = bus.token();
    s.path = bus.requestPath(token);
    // The match goes to the bus before the call does, so it is in place before any answer.
    int r = bus.expect(s.path, state_, &s.outside);
    sd_bus_message* m = nullptr;
    if (r >= 0) {
        r = sd_bus_message_new_method_call(bus.bus(), &m, kService, kPath, interface, method);
    }
    const Message call(m);
    if (r >= 0 && arguments) {
        r = arguments(m);
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
    }
    if (r >= 0) {
        r = appendText(m, "handle_token", token);
    }
    if (r >= 0 && options) {
        r = options(m);
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(m);
    }
    if (r >= 0) {
        r = sd_bus_call_async(bus.bus(), &s.reply, m, State::replied, &s, 0);
    }
    if (r < 0) {
        throw Error(std::string(method) + ": " + describe(r));
    }
}

Request::~Request()
{
    close();
}

Response Request::wait(Clock::time_point until)
{
    State& s = *state_;
    if (!s.bus->waitFor([&s] { return s.finished; }, until)) {
        close();
        throw Error(s.method + ": no answer in time", {}, true);
    }
    if (!s.response.failure.empty()) {
        throw Error(s.method + ": " + s.response.failure);
    }
    return std::move(s.response);
}

void Request::close() noexcept
{
    State& s = *state_;
    // An answer that is in but not yet passed on is dropped too: whoever gave up wants none.
    s.done = nullptr;
    if (!s.finished) {
        // A request that cannot be closed goes with our connection: the portal drops what a
        // caller that left had asked for.
        static_cast<void>(s.bus->send(s.path, kRequestInterface, "Close"));
        s.finished = true;
        s.response.failure = "given up";
    }
    s.release();
}

bool Request::pending() const
{
    return !state_->finished;
}

const std::string& Request::path() const
{
    return state_->path;
}

// ---- sessions ----

Session::Session(Connection& bus, std::string path)
  : bus_(&bus)
  , path_(std::move(path))
{
}

Session::~Session()
{
    close();
}

Session::Session(Session&& other) noexcept
  : bus_(other.bus_)
  , path_(std::exchange(other.path_, {}))
{
}

Session& Session::operator=(Session&& other) noexcept
{
    if (this != &other) {
        close();
        bus_ = other.bus_;
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

bool Session::adopt(const Response& created)
{
    sd_bus_message* m = created.results();
    std::string handle;
    if (!m ||
        forEachEntry(m,
                     [&](const std::string& key) {
                         return key == "session_handle" ? readText(m, handle) : skipValue(m);
                     }) < 0 ||
        handle.empty()) {
        return false;
    }
    path_ = handle;
    return true;
}

void Session::close() noexcept
{
    if (bus_ && !path_.empty()) {
        // A session that cannot be closed ends with our connection, as the portal ends a
        // caller's sessions when it leaves.
        static_cast<void>(bus_->send(path_, kSessionInterface, "Close"));
    }
    path_.clear();
}

// ---- signals ----

struct SignalWatch::State : std::enable_shared_from_this<State> {
    Connection* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    Handler handler;

    ~State() { sd_bus_slot_unref(slot); }

    static int received(sd_bus_message* m, void* data, sd_bus_error*)
    {
        auto* self = static_cast<State*>(data);
        auto held = std::make_shared<Message>(sd_bus_message_ref(m));
        self->bus->defer([weak = self->weak_from_this(), held] {
            if (const auto s = weak.lock();
                s && sd_bus_message_rewind(held->get(), 1) >= 0 && s->handler) {
                s->handler(held->get());
            }
        });
        return 0;
    }
};

SignalWatch::SignalWatch(Connection& bus,
                         const char* interface,
                         const char* member,
                         Handler handler)
  : state_(std::make_shared<State>())
{
    state_->bus = &bus;
    state_->handler = std::move(handler);
    const int r = sd_bus_match_signal_async(bus.bus(),
                                            &state_->slot,
                                            nullptr,
                                            kPath,
                                            interface,
                                            member,
                                            State::received,
                                            nullptr,
                                            state_.get());
    if (r < 0) {
        throw Error(std::string("watching ") + member + ": " + describe(r));
    }
}

SignalWatch::~SignalWatch() = default;
SignalWatch::SignalWatch(SignalWatch&& other) noexcept = default;
SignalWatch& SignalWatch::operator=(SignalWatch&& other) noexcept = default;

// ---- values ----

int forEachEntry(sd_bus_message* m, const std::function<int(const std::string& key)>& entry)
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

int skipValue(sd_bus_message* m)
{
    return sd_bus_message_skip(m, "v");
}

int readText(sd_bus_message* m, std::string& into)
{
    char kind = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, &kind, &contents);
    if (r < 0) {
        return r;
    }
    if (!contents || (std::strcmp(contents, "s") != 0 && std::strcmp(contents, "o") != 0)) {
        r = sd_bus_message_skip(m, "v");
        return r < 0 ? r : 0;
    }
    const char* text = nullptr;
    r = sd_bus_message_read(m, "v", contents, &text);
    if (r < 0) {
        return r;
    }
    into = text ? text : "";
    return 1;
}

namespace
{

// Walks a variant that holds an array of (<head>a{sv}) structures, `signature` the variant's
// ("a(ua{sv})"): `structure` reads each one's members. A variant of another type is skipped.
int forEachStructure(sd_bus_message* m,
                     const char* signature,
                     const std::function<int()>& structure)
{
    int r = variantOf(m, signature);
    if (r <= 0) {
        return r;
    }
    const std::string array = signature + 1;                       // "(ua{sv})"
    const std::string members = array.substr(1, array.size() - 2); // "ua{sv}"
    if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, signature)) < 0 ||
        (r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, array.c_str())) < 0) {
        return r;
    }
    while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, members.c_str())) > 0) {
        if ((r = structure()) < 0 || (r = sd_bus_message_exit_container(m)) < 0) {
            return r;
        }
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) {
        return r;
    }
    return sd_bus_message_exit_container(m);
}

} // namespace

int readStreams(sd_bus_message* m, std::vector<Stream>& into)
{
    return forEachStructure(m, "a(ua{sv})", [&] {
        Stream s;
        int r = sd_bus_message_read(m, "u", &s.node);
        if (r < 0) {
            return r;
        }
        r = forEachEntry(m, [&](const std::string& key) {
            if (key == "position") {
                return readPoint(m, s.area.x, s.area.y);
            }
            if (key == "size") {
                return readPoint(m, s.area.width, s.area.height);
            }
            return skipValue(m);
        });
        if (r >= 0) {
            into.push_back(s);
        }
        return r;
    });
}

std::string Item::text(const std::string& key) const
{
    for (const auto& [name, value] : texts) {
        if (name == key) {
            return value;
        }
    }
    return {};
}

int readItems(sd_bus_message* m, std::vector<Item>& into)
{
    return forEachStructure(m, "a(sa{sv})", [&] {
        Item item;
        const char* id = nullptr;
        int r = sd_bus_message_read(m, "s", &id);
        if (r < 0) {
            return r;
        }
        item.id = id ? id : "";
        r = forEachEntry(m, [&](const std::string& key) {
            std::string value;
            const int got = readText(m, value);
            if (got > 0) {
                item.texts.emplace_back(key, value);
            }
            return got;
        });
        if (r >= 0) {
            into.push_back(std::move(item));
        }
        return r;
    });
}

int appendText(sd_bus_message* m, const char* key, const std::string& value)
{
    return sd_bus_message_append(m, "{sv}", key, "s", value.c_str());
}

int appendUint(sd_bus_message* m, const char* key, uint32_t value)
{
    return sd_bus_message_append(m, "{sv}", key, "u", value);
}

int appendBool(sd_bus_message* m, const char* key, bool value)
{
    return sd_bus_message_append(m, "{sv}", key, "b", static_cast<int>(value));
}

int appendItems(sd_bus_message* m, const std::vector<Item>& items)
{
    int r = sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "(sa{sv})");
    for (const Item& item : items) {
        if (r >= 0) {
            r = sd_bus_message_open_container(m, SD_BUS_TYPE_STRUCT, "sa{sv}");
        }
        if (r >= 0) {
            r = sd_bus_message_append(m, "s", item.id.c_str());
        }
        if (r >= 0) {
            r = sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
        }
        for (const auto& [key, value] : item.texts) {
            if (r >= 0) {
                r = appendText(m, key.c_str(), value);
            }
        }
        if (r >= 0) {
            r = sd_bus_message_close_container(m);
        }
        if (r >= 0) {
            r = sd_bus_message_close_container(m);
        }
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(m);
    }
    return r;
}

int appendItemsEntry(sd_bus_message* m, const char* key, const std::vector<Item>& items)
{
    int r = sd_bus_message_open_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
    if (r >= 0) {
        r = sd_bus_message_append(m, "s", key);
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(m, SD_BUS_TYPE_VARIANT, "a(sa{sv})");
    }
    if (r >= 0) {
        r = appendItems(m, items);
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(m);
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(m);
    }
    return r;
}

} // namespace ombrix::wayland::portal
