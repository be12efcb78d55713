#pragma once
// The Ctrl+Alt+letter shortcuts bound through the desktop's global shortcuts portal, where a
// Wayland session offers it: the compositor tells us of a press, whichever window has focus.

#include <QChar>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusPendingCallWatcher;

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

    explicit PortalShortcuts(QDBusConnection bus = ownSessionBus(), QObject* parent = nullptr);
    // Closes the portal session: the desktop lets the keys go.
    ~PortalShortcuts() override;

    // A connection to the session bus of our own: the portal takes the program's app id only
    // before any other portal call on a connection, whatever the rest of the program asked.
    static QDBusConnection ownSessionBus();

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
    QHash<int, QString> triggers() const { return triggers_; }

signals:
    // why: a sentence in plain English when not ok.
    void bound(bool ok, const QString& why);
    void activated(int action);

private slots:
    void requestAnswered(uint response, const QVariantMap& results, const QDBusMessage& message);
    void portalActivated(const QDBusObjectPath& session,
                         const QString& id,
                         qulonglong timestamp,
                         const QVariantMap& options);

private:
    enum class Step { None, CreateSession, BindShortcuts };

    void request(Step step, QDBusMessage call, const QString& token);
    void watchRequest(const QString& path);
    void forgetRequest();
    void requestSent(QDBusPendingCallWatcher* watcher, const QString& path);
    void sessionCreated(uint response, const QVariantMap& results);
    void shortcutsBound(uint response, const QVariantMap& results);
    void fail(const QString& why);
    void closeSession();

    QDBusConnection bus_;
    int offered_ = -1; // not asked yet
    Step step_ = Step::None;
    QString requestPath_;
    QString session_;
    QList<Shortcut> wanted_;
    QString parentWindow_;
    QHash<QString, int> actions_; // of the bound session's shortcut ids
    QHash<int, QString> triggers_;
    bool activatedWatched_ = false;
};
