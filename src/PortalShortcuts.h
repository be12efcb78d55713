#pragma once
// The Ctrl+Alt+letter shortcuts bound through the desktop's global shortcuts portal, where a
// Wayland session offers it: the compositor tells us of a press, whichever window has focus. The
// portal's side is the platform layer's (wayland/global_shortcuts.h); this is its face for the
// windows, and its bus connection's place in Qt's event loop.

#include <QChar>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;
class QTimer;

namespace ombrix::wayland
{
class GlobalShortcuts;
}

class PortalShortcuts : public QObject
{
    Q_OBJECT
public:
    struct Shortcut {
        int action;   // 1..5, as TForm1::runShortcut numbers them
        QChar letter; // a letter or digit: the portal takes it as the key's name
        QString description;
    };

    // The name of the program's desktop entry, under which the portal files the shortcuts.
    static const QString appId;

    // Talks to the portal on a connection of its own to the bus at `busAddress`, or to the
    // user's session bus when it is empty.
    explicit PortalShortcuts(const QString& busAddress = {}, QObject* parent = nullptr);
    // Closes the portal session: the desktop lets the keys go.
    ~PortalShortcuts() override;

    // Whether the session's portal offers global shortcuts; asked at most once per object,
    // answered within about a second even when the portal does not answer at all.
    bool offered();
    // Creates a portal session and asks for the shortcuts; the answer comes as bound(), at once
    // when there is no portal. Asking again (the user changed a letter) closes the session and
    // binds the new set in a new one, since a portal session binds its shortcuts only once.
    // parentWindow ("x11:<hex id>") places the desktop's dialog over that window.
    void bind(const QList<Shortcut>& shortcuts, const QString& parentWindow = {});
    // The keys the desktop says trigger each bound action, in its own words ("Ctrl+Alt+C"): the
    // user may have chosen other keys in the desktop's dialog.
    QHash<int, QString> triggers() const;

signals:
    // why: a sentence in plain English when not ok.
    void bound(bool ok, const QString& why);
    void activated(int action);

private:
    // Lets the connection handle what has come, then waits for what it waits for next.
    void pump();
    void arm();

    std::unique_ptr<ombrix::wayland::GlobalShortcuts> portal_;
    QSocketNotifier* readable_ = nullptr;
    QSocketNotifier* writable_ = nullptr;
    QTimer* timer_ = nullptr;
};
