#include "global_shortcuts.h"

#include <systemd/sd-bus.h>

namespace ombrix::wayland
{

namespace
{

constexpr const char* kShortcuts = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* kRegistry = "org.freedesktop.host.portal.Registry";
constexpr const char* kIdPrefix = "ombrix-";

// How long offered() waits for the portal in all: it is asked while the program starts.
constexpr std::chrono::milliseconds kAnswerWithin{ 1000 };

std::string refusal(uint32_t code, const std::string& what)
{
    switch (code) {
        case 1:
            return "The user refused the global shortcuts.";
        case 2:
            return "The desktop portal could not " + what + ".";
        default:
            return "The desktop portal answered " + std::to_string(code) + " when asked to " +
                   what + ".";
    }
}

} // namespace

GlobalShortcuts::GlobalShortcuts(const std::string& address, Callbacks callbacks)
  : callbacks_(std::move(callbacks))
{
    try {
        bus_ = std::make_unique<portal::Connection>(address);
    } catch (const portal::Error& e) {
        noBus_ = e.what();
    }
}

GlobalShortcuts::~GlobalShortcuts() = default;

bool GlobalShortcuts::offered()
{
    if (offered_ >= 0) {
        return offered_ == 1;
    }
    offered_ = 0;
    if (!bus_) {
        note("No session bus for the global shortcuts portal (" + noBus_ + ")");
        return false;
    }
    const auto until = portal::Clock::now() + kAnswerWithin;
    // A portal older than the registry answers with an error, and then files the shortcuts under
    // whatever it makes of the process.
    try {
        bus_->call(
          portal::kPath,
          kRegistry,
          "Register",
          [](sd_bus_message* m) { return sd_bus_message_append(m, "sa{sv}", kAppId, 0); },
          kAnswerWithin);
    } catch (const portal::Error& e) {
        if (e.name() == SD_BUS_ERROR_SERVICE_UNKNOWN) {
            note("No desktop portal on the session bus");
            return false;
        }
        if (e.timedOut()) {
            note("The desktop portal does not answer");
            return false;
        }
        note(std::string("The portal did not register the app id: ") + e.what());
    }
    const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(until - portal::Clock::now());
    if (left.count() <= 0) {
        note("The desktop portal does not answer");
        return false;
    }
    try {
        offered_ = bus_->property(kShortcuts, "version", left) >= 1 ? 1 : 0;
    } catch (const portal::Error& e) {
        note(std::string("No global shortcuts portal: ") + e.what());
    }
    return offered_ == 1;
}

void GlobalShortcuts::bind(const std::vector<Shortcut>& shortcuts, const std::string& parentWindow)
{
    // An unanswered request of an earlier call no longer counts; closing it takes its dialog
    // down.
    request_.reset();
    session_.close();
    actions_.clear();
    triggers_.clear();
    wanted_ = shortcuts;
    parentWindow_ = parentWindow;
    if (!offered()) {
        fail("The desktop offers no global shortcuts portal.");
        return;
    }
    try {
        if (!activations_) {
            activations_ = portal::SignalWatch(
              *bus_, kShortcuts, "Activated", [this](sd_bus_message* m) { portalActivated(m); });
        }
        const std::string token = bus_->token();
        session_ = portal::Session(*bus_, bus_->sessionPath(token));
        request_ = std::make_unique<portal::Request>(
          *bus_,
          kShortcuts,
          "CreateSession",
          portal::Append{},
          // The shortcuts go along: KDE Plasma 5.27 binds those of the session's options
          // (its BindShortcuts only opens its settings); the others ignore them.
          [token, items = items()](sd_bus_message* m) {
              int r = portal::appendText(m, "session_handle_token", token);
              return r >= 0 ? portal::appendItemsEntry(m, "shortcuts", items) : r;
          },
          [this](portal::Response& created) { sessionCreated(created); });
    } catch (const portal::Error& e) {
        session_.close();
        fail(std::string("The desktop portal failed: ") + e.what());
    }
}

bool GlobalShortcuts::endsOn(portal::Response& answer, const std::string& asked)
{
    if (answer.failure.empty() && answer.code == 0) {
        return false;
    }
    session_.close();
    fail(!answer.failure.empty() ? "The desktop portal failed: " + answer.failure
                                 : refusal(answer.code, asked));
    return true;
}

void GlobalShortcuts::sessionCreated(portal::Response& created)
{
    if (endsOn(created, "start a global shortcuts session")) {
        return;
    }
    if (!session_.adopt(created)) {
        session_.close();
        fail("The desktop portal gave no global shortcuts session.");
        return;
    }
    for (const Shortcut& shortcut : wanted_) {
        actions_[kIdPrefix + std::to_string(shortcut.action)] = shortcut.action;
    }
    // Bound with the session already (KDE Plasma 5.27): asked again, that desktop would only
    // open its settings.
    if (takeBound(created)) {
        if (callbacks_.bound) {
            callbacks_.bound(true, {});
        }
        return;
    }
    const std::vector<portal::Item> items = this->items();
    try {
        request_ = std::make_unique<portal::Request>(
          *bus_,
          kShortcuts,
          "BindShortcuts",
          [&](sd_bus_message* m) {
              int r = sd_bus_message_append(m, "o", session_.path().c_str());
              if (r >= 0) {
                  r = portal::appendItems(m, items);
              }
              if (r >= 0) {
                  r = sd_bus_message_append(m, "s", parentWindow_.c_str());
              }
              return r;
          },
          portal::Append{},
          [this](portal::Response& answer) { shortcutsBound(answer); });
    } catch (const portal::Error& e) {
        session_.close();
        fail(std::string("The desktop portal failed: ") + e.what());
    }
}

void GlobalShortcuts::shortcutsBound(portal::Response& answer)
{
    if (endsOn(answer, "bind the global shortcuts")) {
        return;
    }
    // A desktop that answers the request without binding anything has bound nothing: the keys
    // still need the focus.
    if (!takeBound(answer)) {
        session_.close();
        fail("The desktop portal bound none of the shortcuts.");
        return;
    }
    if (callbacks_.bound) {
        callbacks_.bound(true, {});
    }
}

std::vector<portal::Item> GlobalShortcuts::items() const
{
    std::vector<portal::Item> items;
    for (const Shortcut& shortcut : wanted_) {
        items.push_back({ kIdPrefix + std::to_string(shortcut.action),
                          { { "description", shortcut.description },
                            { "preferred_trigger", "CTRL+ALT+" + shortcut.key } } });
    }
    return items;
}

bool GlobalShortcuts::takeBound(portal::Response& answer)
{
    std::vector<portal::Item> given;
    sd_bus_message* m = answer.results();
    if (!m || portal::forEachEntry(m, [&](const std::string& key) {
                  return key == "shortcuts" ? portal::readItems(m, given) : portal::skipValue(m);
              }) < 0) {
        note("The desktop portal's list of the bound shortcuts could not be read");
    }
    triggers_.clear();
    for (const portal::Item& item : given) {
        const auto found = actions_.find(item.id);
        if (found != actions_.end()) {
            triggers_[found->second] = item.text("trigger_description");
        }
    }
    return !triggers_.empty();
}

void GlobalShortcuts::portalActivated(sd_bus_message* m)
{
    const char* session = nullptr;
    const char* id = nullptr;
    uint64_t timestamp = 0;
    if (sd_bus_message_read(m, "ost", &session, &id, &timestamp) < 0 || !session || !id ||
        session_.path() != session) {
        return;
    }
    const auto found = actions_.find(id);
    if (found != actions_.end() && callbacks_.activated) {
        callbacks_.activated(found->second);
    }
}

void GlobalShortcuts::note(const std::string& text)
{
    if (callbacks_.note) {
        callbacks_.note(text);
    }
}

void GlobalShortcuts::fail(const std::string& why)
{
    if (callbacks_.bound) {
        callbacks_.bound(false, why);
    }
}

} // namespace ombrix::wayland
