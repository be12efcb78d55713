#include "PortalShortcuts.h"

#include "Log.h"
#include "global_shortcuts.h"

#include <QSocketNotifier>
#include <QTimer>

#include <poll.h>

using ombrix::wayland::GlobalShortcuts;

const QString PortalShortcuts::appId = QString::fromUtf8(GlobalShortcuts::kAppId);

PortalShortcuts::PortalShortcuts(const QString& busAddress, QObject* parent)
  : QObject(parent)
{
    GlobalShortcuts::Callbacks callbacks;
    callbacks.note = [](const std::string& note) {
        qCInfo(lcKeys).noquote() << QString::fromStdString(note);
    };
    callbacks.bound = [this](bool ok, const std::string& why) {
        const QString text = QString::fromStdString(why);
        if (ok) {
            qCInfo(lcKeys) << "Global shortcuts bound through the portal:" << triggers();
        } else {
            qCInfo(lcKeys).noquote() << text;
        }
        emit bound(ok, text);
    };
    callbacks.activated = [this](int action) { emit activated(action); };
    portal_ = std::make_unique<GlobalShortcuts>(busAddress.toStdString(), std::move(callbacks));

    ombrix::wayland::portal::Connection* bus = portal_->connection();
    if (!bus) {
        return;
    }
    readable_ = new QSocketNotifier(bus->fd(), QSocketNotifier::Read, this);
    writable_ = new QSocketNotifier(bus->fd(), QSocketNotifier::Write, this);
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    connect(readable_, &QSocketNotifier::activated, this, &PortalShortcuts::pump);
    connect(writable_, &QSocketNotifier::activated, this, &PortalShortcuts::pump);
    connect(timer_, &QTimer::timeout, this, &PortalShortcuts::pump);
    arm();
}

PortalShortcuts::~PortalShortcuts()
{
    // The notifiers go before the connection closes their socket.
    delete readable_;
    delete writable_;
}

bool PortalShortcuts::offered()
{
    const bool offered = portal_->offered();
    arm();
    return offered;
}

void PortalShortcuts::bind(const QList<Shortcut>& shortcuts, const QString& parentWindow)
{
    std::vector<GlobalShortcuts::Shortcut> wanted;
    for (const Shortcut& shortcut : shortcuts) {
        wanted.push_back({ shortcut.action,
                           QString(shortcut.letter.toLower()).toStdString(),
                           shortcut.description.toStdString() });
    }
    portal_->bind(wanted, parentWindow.toStdString());
    arm();
}

QHash<int, QString> PortalShortcuts::triggers() const
{
    QHash<int, QString> triggers;
    for (const auto& [action, trigger] : portal_->triggers()) {
        triggers.insert(action, QString::fromStdString(trigger));
    }
    return triggers;
}

void PortalShortcuts::pump()
{
    ombrix::wayland::portal::Connection* bus = portal_->connection();
    if (!bus->process()) {
        // A lost connection's socket stays readable for good: it is watched no more.
        qCInfo(lcKeys) << "The session bus connection of the global shortcuts was lost";
        readable_->setEnabled(false);
        writable_->setEnabled(false);
        readable_->deleteLater();
        writable_->deleteLater();
        readable_ = writable_ = nullptr;
        timer_->stop();
        return;
    }
    arm();
}

void PortalShortcuts::arm()
{
    ombrix::wayland::portal::Connection* bus = portal_->connection();
    if (!bus || !readable_) {
        return;
    }
    // sd-bus reads ahead while it waits for a reply (offered()): what it holds already shows
    // as a timeout of 0, not on the socket.
    writable_->setEnabled((bus->events() & POLLOUT) != 0);
    const int timeout = bus->timeoutMs();
    if (timeout < 0) {
        timer_->stop();
    } else {
        timer_->start(timeout);
    }
}
