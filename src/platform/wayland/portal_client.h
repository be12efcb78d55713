#pragma once
// The desktop portal's plumbing, shared by the screen cast and the global shortcuts (sd-bus): a
// connection to the session bus, requests whose answer comes later as the Response signal of a
// request object, sessions that end whatever happens, and the a{sv} values that portals take and
// give. Used either blocking (the screen cast, inside a grab) or from an outside event loop that
// watches fd() for events() at most timeoutMs() and then calls process() (the shortcuts, in the
// program's main loop); callbacks run from process() or a blocking wait, never from within
// sd-bus, so that they may drop any object of the client.

#include "platform.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct sd_bus;
struct sd_bus_message;
struct sd_bus_slot;

namespace ombrix::wayland::portal
{

using Clock = std::chrono::steady_clock;

inline constexpr const char* kService = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPath = "/org/freedesktop/portal/desktop";

// A failure on the bus, in plain English. name(): the D-Bus error's name where there was one.
class Error : public std::runtime_error
{
public:
    explicit Error(const std::string& what, std::string name = {}, bool timedOut = false);
    const std::string& name() const { return name_; }
    // No answer came in time.
    bool timedOut() const { return timedOut_; }

private:
    std::string name_;
    bool timedOut_;
};

// A message held by reference.
class Message
{
public:
    Message() = default;
    explicit Message(sd_bus_message* adopted)
      : m_(adopted)
    {
    }
    ~Message();
    Message(Message&& other) noexcept;
    Message& operator=(Message&& other) noexcept;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    sd_bus_message* get() const { return m_; }
    explicit operator bool() const { return m_ != nullptr; }

private:
    sd_bus_message* m_ = nullptr;
};

// Appends to a message being built; a negative errno when it cannot.
using Append = std::function<int(sd_bus_message*)>;

class Connection
{
public:
    // The user's session bus, or the bus at `address` (a D-Bus address) when it is not empty.
    // Throws Error.
    explicit Connection(const std::string& address = {});
    // Sends what is still queued (a session's Close) before it goes.
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sd_bus* bus() const { return bus_; }
    // Our unique name as portals spell it in request and session paths: ":1.42" is "1_42".
    const std::string& sender() const { return sender_; }
    // A handle token, unique on this connection.
    std::string token();
    std::string requestPath(const std::string& token) const;
    std::string sessionPath(const std::string& token) const;

    // For an outside event loop: the socket, the poll() events to wait for on it, and how long
    // the loop may wait before calling process() (-1: as long as it likes).
    int fd() const;
    short events() const;
    int timeoutMs() const;
    // Dispatches whatever has come and runs the callbacks of what it finished. False once the
    // connection is lost (requests still waiting have then failed).
    bool process();

    // Dispatches until done() holds (true) or `until` has passed (false). Throws Error when the
    // connection fails.
    bool waitFor(const std::function<bool()>& done, Clock::time_point until);

    // Calls a method of the portal and waits for its reply at most `within`. Throws Error.
    Message call(const std::string& path,
                 const char* interface,
                 const char* method,
                 const Append& arguments,
                 std::chrono::milliseconds within);
    // A property of the portal that is an unsigned number. Throws Error.
    uint32_t property(const char* interface, const char* name, std::chrono::milliseconds within);
    // Sends a call whose answer does not matter (closing a request or a session). False when it
    // could not be sent; never throws.
    bool send(const std::string& path, const char* interface, const char* method) noexcept;

    // Runs `callback` from the next process() or wait, outside sd-bus's dispatch.
    void defer(std::function<void()> callback);

private:
    friend class Request;

    // A request waiting for its answer.
    struct Pending {
        virtual ~Pending() = default;
        virtual void answered(sd_bus_message* response) = 0;
        virtual void connectionLost(const std::string& why) = 0;
    };
    // Passes the Response signals at `path` to `request` from now on, and one that came already.
    // One match covers the paths under our name: it is on the bus before any request is sent.
    // A path elsewhere gets a match of its own, in `outside`. A negative errno when it cannot.
    int expect(const std::string& path,
               const std::weak_ptr<Pending>& request,
               sd_bus_slot** outside);
    void forget(const std::string& path);
    struct Dispatch;

    void runDeferred();
    void markLost(int r);

    sd_bus* bus_ = nullptr;
    std::string sender_;
    unsigned tokens_ = 0;
    std::vector<std::function<void()>> deferred_;
    sd_bus_slot* responses_ = nullptr;
    std::map<std::string, std::weak_ptr<Pending>> expected_;
    // Answers at paths that no request expects yet: a portal that makes the path itself may
    // answer before its reply has told us the path.
    std::deque<std::pair<std::string, Message>> early_;
    bool lost_ = false;
};

// What a portal answered to a request.
struct Response {
    // Empty when the portal answered; otherwise why no answer came (the call failed, the
    // connection was lost, the request was given up).
    std::string failure;
    // 0: done; 1: the user said no; 2: otherwise.
    uint32_t code = 2;
    // The Response signal.
    Message message;

    // A reader at the start of the results' a{sv}, at each call; null when there are none.
    sd_bus_message* results() const;
};

// A call of a portal method whose answer comes as the Response signal of a request object. It
// listens on the request's path, made from our name and the handle token, before the call, so
// that an answer quicker than the call's reply is heard; a portal that answers on a path of its
// own is followed there. A request must not outlive its connection.
class Request
{
public:
    using Done = std::function<void(Response&)>;

    // Calls `method` of `interface` on the portal: `arguments` appends what comes before the
    // options, `options` appends entries to the options beside the handle token. `done`, if any,
    // runs from Connection::process() once the answer is in or the call failed. Throws Error
    // when the call cannot be sent.
    Request(Connection& bus,
            const char* interface,
            const char* method,
            const Append& arguments,
            const Append& options,
            Done done = {});
    // Gives up a request still waiting (close()).
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // The answer, waiting for it at most until `until`. Throws Error when the call failed, and
    // when no answer came in time (after closing the request).
    Response wait(Clock::time_point until);
    // Gives the request up: Request.Close, so that the portal takes its dialog down.
    void close() noexcept;
    bool pending() const;
    // Where the answer is expected.
    const std::string& path() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A portal session: closed (Session.Close) on destruction, on close(), and when another takes
// its place, so that no failure leaves the desktop sharing the screen or holding our keys.
class Session
{
public:
    Session() = default;
    // `path` may be the one the portal is expected to create, before CreateSession answers.
    Session(Connection& bus, std::string path);
    ~Session();
    Session(Session&& other) noexcept;
    Session& operator=(Session&& other) noexcept;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& path() const { return path_; }
    explicit operator bool() const { return !path_.empty(); }
    // Takes the handle from CreateSession's answer (a string or an object path). False when the
    // answer has none.
    bool adopt(const Response& created);
    // Ends the portal's session; once. Never throws.
    void close() noexcept;

private:
    Connection* bus_ = nullptr;
    std::string path_;
};

// A signal of the portal's object, passed on from process() while this lives.
class SignalWatch
{
public:
    using Handler = std::function<void(sd_bus_message*)>;

    SignalWatch() = default;
    // Throws Error.
    SignalWatch(Connection& bus, const char* interface, const char* member, Handler handler);
    ~SignalWatch();
    SignalWatch(SignalWatch&& other) noexcept;
    SignalWatch& operator=(SignalWatch&& other) noexcept;
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    explicit operator bool() const { return state_ != nullptr; }

private:
    struct State;
    std::shared_ptr<State> state_;
};

// The a{sv} values. Readers take a message at the place of the value (a variant, or the a{sv}),
// return a negative errno when the message is not as expected, and skip a value whose type is
// not the one they read.

// Walks the a{sv} at the reader's place; `entry` reads or skips the variant of each key.
int forEachEntry(sd_bus_message* m, const std::function<int(const std::string& key)>& entry);
int skipValue(sd_bus_message* m);
// A string or an object path: 1 when it read one, 0 when the value was of another type.
int readText(sd_bus_message* m, std::string& into);

// A stream of a screen cast: its PipeWire node, and where its monitor is on the layout (empty
// when the portal did not say).
struct Stream {
    uint32_t node = 0;
    Rect area{};
};
// The streams of a started screen cast: a(ua{sv}) with "position" and "size" as (ii).
int readStreams(sd_bus_message* m, std::vector<Stream>& into);

// An item of a list of named things with text properties: a(sa{sv}), as global shortcuts go.
struct Item {
    std::string id;
    std::vector<std::pair<std::string, std::string>> texts;
    std::string text(const std::string& key) const;
};
int readItems(sd_bus_message* m, std::vector<Item>& into);

// Entries of an a{sv} being written.
int appendText(sd_bus_message* m, const char* key, const std::string& value);
int appendUint(sd_bus_message* m, const char* key, uint32_t value);
int appendBool(sd_bus_message* m, const char* key, bool value);
// A whole a(sa{sv}) argument.
int appendItems(sd_bus_message* m, const std::vector<Item>& items);
// The same as an entry of an a{sv} being written.
int appendItemsEntry(sd_bus_message* m, const char* key, const std::vector<Item>& items);

} // namespace ombrix::wayland::portal
