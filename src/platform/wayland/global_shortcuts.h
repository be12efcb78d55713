#pragma once
// Shortcuts bound through the desktop portal's global shortcuts, where a Wayland session offers
// them: the compositor tells us of a press, whichever window has the focus. Asynchronous: bind()
// returns at once, and the answers come through the callbacks when the connection's process()
// runs (the program's event loop watches connection()).

#include "portal_client.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ombrix::wayland
{

class GlobalShortcuts
{
public:
    struct Shortcut {
        int action;
        // The key's name as the portal takes it: a lower-case letter or a digit.
        std::string key;
        std::string description;
    };

    struct Callbacks {
        // What happened along the way, in plain English, for the program's log.
        std::function<void(const std::string& note)> note;
        // The answer to bind(); `why`, when not ok, is a sentence in plain English.
        std::function<void(bool ok, const std::string& why)> bound;
        std::function<void(int action)> activated;
    };

    // The name of the program's desktop entry, under which the portal files the shortcuts.
    static constexpr const char* kAppId = "io.github.ombrix.Ombrix";

    // A connection of its own to the user's session bus, or to the bus at `address`: the portal
    // takes the program's app id only before any other portal call on a connection.
    GlobalShortcuts(const std::string& address, Callbacks callbacks);
    // Closes the portal session: the desktop lets the keys go.
    ~GlobalShortcuts();
    GlobalShortcuts(const GlobalShortcuts&) = delete;
    GlobalShortcuts& operator=(const GlobalShortcuts&) = delete;

    // The connection for the event loop; null when there is no session bus.
    portal::Connection* connection() { return bus_.get(); }

    // Whether the session's portal offers global shortcuts; asked once, answered within about a
    // second even when the portal does not answer at all.
    bool offered();
    // Creates a portal session and asks for the shortcuts; the answer comes through `bound`, at
    // once when there is no portal. Asking again closes the session and binds the new set in a
    // new one, since a portal session binds its shortcuts only once. `parentWindow`
    // ("x11:<hex id>") places the desktop's dialog over that window.
    void bind(const std::vector<Shortcut>& shortcuts, const std::string& parentWindow);
    // The keys the desktop says trigger each bound action, in its own words ("Ctrl+Alt+C"): the
    // user may have chosen others in the desktop's dialog.
    const std::map<int, std::string>& triggers() const { return triggers_; }

private:
    // A failed or refused answer ends the session and says why (`asked`: what the portal was
    // asked to do); true then.
    bool endsOn(portal::Response& answer, const std::string& asked);
    void sessionCreated(portal::Response& created);
    void shortcutsBound(portal::Response& answer);
    // The portal's items for the wanted shortcuts.
    std::vector<portal::Item> items() const;
    // Takes the shortcuts that an answer's results say are bound; false when none of ours is.
    bool takeBound(portal::Response& answer);
    void portalActivated(sd_bus_message* m);
    void note(const std::string& text);
    void fail(const std::string& why);

    Callbacks callbacks_;
    std::unique_ptr<portal::Connection> bus_;
    std::string noBus_;
    int offered_ = -1; // not asked yet
    portal::SignalWatch activations_;
    // Declared after the connection: both go before it does.
    portal::Session session_;
    std::unique_ptr<portal::Request> request_;
    std::vector<Shortcut> wanted_;
    std::string parentWindow_;
    std::map<std::string, int> actions_; // of the bound session's shortcut ids
    std::map<int, std::string> triggers_;
};

} // namespace ombrix::wayland
