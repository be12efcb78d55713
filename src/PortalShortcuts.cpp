#include "PortalShortcuts.h"

#include "Log.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusVariant>
#include <QElapsedTimer>

namespace
{

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString registryInterface = QStringLiteral("org.freedesktop.host.portal.Registry");
const QString idPrefix = QStringLiteral("ombrix-");

// How long offered() waits for the portal in all: it is asked while the program starts.
constexpr int answerWithinMs = 1000;

// One shortcut as the portal sends and takes it: (id, {"description": ..., ...}).
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

// Request and session tokens are unique for the connection, which objects may share.
QString nextToken(const char* kind)
{
    static int counter = 0;
    return QStringLiteral("ombrix_%1%2").arg(QLatin1String(kind)).arg(++counter);
}

QString refusal(uint response, const QString& what)
{
    switch (response) {
        case 1:
            return QStringLiteral("The user refused the global shortcuts.");
        case 2:
            return QStringLiteral("The desktop portal could not %1.").arg(what);
        default:
            return QStringLiteral("The desktop portal answered %1 when asked to %2.")
              .arg(response)
              .arg(what);
    }
}

} // namespace

Q_DECLARE_METATYPE(PortalShortcut)

const QString PortalShortcuts::appId = QStringLiteral("io.github.ombrix.Ombrix");

PortalShortcuts::PortalShortcuts(QDBusConnection bus, QObject* parent)
  : QObject(parent)
  , bus_(std::move(bus))
{
    static const bool registered = [] {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
        return true;
    }();
    Q_UNUSED(registered)
}

PortalShortcuts::~PortalShortcuts()
{
    forgetRequest();
    closeSession();
}

QDBusConnection PortalShortcuts::ownSessionBus()
{
    return QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                         QStringLiteral("ombrix-portal-shortcuts"));
}

bool PortalShortcuts::offered()
{
    if (offered_ >= 0) {
        return offered_ == 1;
    }
    offered_ = 0;
    if (!bus_.isConnected()) {
        qCInfo(lcKeys) << "No session bus for the global shortcuts portal";
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    // A portal older than the registry answers with an error, and then files the shortcuts under
    // whatever it makes of the process.
    QDBusMessage registration =
      QDBusMessage::createMethodCall(portalService, portalPath, registryInterface, "Register");
    registration << appId << QVariantMap();
    const QDBusMessage registered = bus_.call(registration, QDBus::Block, answerWithinMs);
    const QDBusError::ErrorType error = QDBusError(registered).type();
    if (error == QDBusError::ServiceUnknown) {
        qCInfo(lcKeys) << "No desktop portal on the session bus";
        return false;
    }
    if (error != QDBusError::NoError && error != QDBusError::NoReply) {
        qCInfo(lcKeys).noquote() << "The portal did not register the app id:"
                                 << registered.errorMessage();
    }
    const int left = answerWithinMs - static_cast<int>(clock.elapsed());
    if (error == QDBusError::NoReply || left <= 0) {
        qCInfo(lcKeys) << "The desktop portal does not answer";
        return false;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(
      portalService, portalPath, QStringLiteral("org.freedesktop.DBus.Properties"), "Get");
    get << shortcutsInterface << QStringLiteral("version");
    const QDBusReply<QDBusVariant> version = bus_.call(get, QDBus::Block, left);
    if (!version.isValid()) {
        qCInfo(lcKeys).noquote() << "No global shortcuts portal:" << version.error().message();
        return false;
    }
    offered_ = version.value().variant().toUInt() >= 1 ? 1 : 0;
    return offered_ == 1;
}

void PortalShortcuts::bind(const QList<Shortcut>& shortcuts, const QString& parentWindow)
{
    // An unanswered request of an earlier call no longer counts.
    forgetRequest();
    closeSession();
    wanted_ = shortcuts;
    parentWindow_ = parentWindow;
    if (!offered()) {
        fail(QStringLiteral("The desktop offers no global shortcuts portal."));
        return;
    }
    if (!activatedWatched_) {
        activatedWatched_ =
          bus_.connect(portalService,
                       portalPath,
                       shortcutsInterface,
                       QStringLiteral("Activated"),
                       this,
                       SLOT(portalActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    }
    const QString token = nextToken("request");
    QDBusMessage call = QDBusMessage::createMethodCall(
      portalService, portalPath, shortcutsInterface, "CreateSession");
    call << QVariantMap{ { QStringLiteral("handle_token"), token },
                         { QStringLiteral("session_handle_token"), nextToken("session") } };
    request(Step::CreateSession, call, token);
}

// The answer comes as a signal on a request object whose path the token makes; listening there
// before the call means that even an answer quicker than the call's reply is heard.
void PortalShortcuts::request(Step step, QDBusMessage call, const QString& token)
{
    const QString sender = bus_.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString path =
      QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    step_ = step;
    watchRequest(path);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher,
            &QDBusPendingCallWatcher::finished,
            this,
            [this, path](QDBusPendingCallWatcher* finished) { requestSent(finished, path); });
}

void PortalShortcuts::requestSent(QDBusPendingCallWatcher* watcher, const QString& path)
{
    watcher->deleteLater();
    if (requestPath_ != path) {
        return; // answered already, or given up for a newer bind()
    }
    const QDBusReply<QDBusObjectPath> handle = *watcher;
    if (!handle.isValid()) {
        forgetRequest();
        closeSession();
        fail(QStringLiteral("The desktop portal failed: %1").arg(handle.error().message()));
        return;
    }
    // Portals older than the predictable paths answer on a path of their own.
    if (handle.value().path() != path) {
        const Step step = step_;
        forgetRequest();
        step_ = step;
        watchRequest(handle.value().path());
    }
}

void PortalShortcuts::watchRequest(const QString& path)
{
    requestPath_ = path;
    bus_.connect(portalService,
                 path,
                 requestInterface,
                 QStringLiteral("Response"),
                 this,
                 SLOT(requestAnswered(uint, QVariantMap, QDBusMessage)));
}

void PortalShortcuts::forgetRequest()
{
    if (!requestPath_.isEmpty()) {
        bus_.disconnect(portalService,
                        requestPath_,
                        requestInterface,
                        QStringLiteral("Response"),
                        this,
                        SLOT(requestAnswered(uint, QVariantMap, QDBusMessage)));
    }
    requestPath_.clear();
    step_ = Step::None;
}

void PortalShortcuts::requestAnswered(uint response,
                                      const QVariantMap& results,
                                      const QDBusMessage& message)
{
    if (message.path() != requestPath_) {
        return;
    }
    const Step step = step_;
    forgetRequest();
    if (step == Step::CreateSession) {
        sessionCreated(response, results);
    } else if (step == Step::BindShortcuts) {
        shortcutsBound(response, results);
    }
}

void PortalShortcuts::sessionCreated(uint response, const QVariantMap& results)
{
    if (response != 0) {
        fail(refusal(response, QStringLiteral("start a global shortcuts session")));
        return;
    }
    // Portals send the handle as a string, though it is an object path; either is taken.
    const QVariant handle = results.value(QStringLiteral("session_handle"));
    session_ = handle.metaType() == QMetaType::fromType<QDBusObjectPath>()
                 ? handle.value<QDBusObjectPath>().path()
                 : handle.toString();
    if (session_.isEmpty()) {
        fail(QStringLiteral("The desktop portal gave no global shortcuts session."));
        return;
    }
    QList<PortalShortcut> shortcuts;
    for (const Shortcut& shortcut : std::as_const(wanted_)) {
        const QString trigger = QStringLiteral("CTRL+ALT+") + shortcut.letter.toLower();
        shortcuts.append({ idPrefix + QString::number(shortcut.action),
                           { { QStringLiteral("description"), shortcut.description },
                             { QStringLiteral("preferred_trigger"), trigger } } });
    }
    const QString token = nextToken("request");
    QDBusMessage call = QDBusMessage::createMethodCall(
      portalService, portalPath, shortcutsInterface, "BindShortcuts");
    call << QVariant::fromValue(QDBusObjectPath(session_)) << QVariant::fromValue(shortcuts)
         << parentWindow_ << QVariantMap{ { QStringLiteral("handle_token"), token } };
    request(Step::BindShortcuts, call, token);
}

void PortalShortcuts::shortcutsBound(uint response, const QVariantMap& results)
{
    if (response != 0) {
        closeSession();
        fail(refusal(response, QStringLiteral("bind the global shortcuts")));
        return;
    }
    for (const Shortcut& shortcut : std::as_const(wanted_)) {
        actions_.insert(idPrefix + QString::number(shortcut.action), shortcut.action);
    }
    const QVariant given = results.value(QStringLiteral("shortcuts"));
    if (given.canConvert<QDBusArgument>()) {
        const auto shortcuts = qdbus_cast<QList<PortalShortcut>>(given.value<QDBusArgument>());
        for (const PortalShortcut& shortcut : shortcuts) {
            if (actions_.contains(shortcut.id)) {
                triggers_.insert(
                  actions_.value(shortcut.id),
                  shortcut.properties.value(QStringLiteral("trigger_description")).toString());
            }
        }
    }
    qCInfo(lcKeys) << "Global shortcuts bound through the portal:" << triggers_;
    emit bound(true, QString());
}

void PortalShortcuts::portalActivated(const QDBusObjectPath& session,
                                      const QString& id,
                                      qulonglong timestamp,
                                      const QVariantMap& options)
{
    Q_UNUSED(timestamp)
    Q_UNUSED(options)
    if (session.path() != session_) {
        return;
    }
    const auto found = actions_.constFind(id);
    if (found != actions_.cend()) {
        emit activated(found.value());
    }
}

void PortalShortcuts::fail(const QString& why)
{
    qCInfo(lcKeys).noquote() << why;
    emit bound(false, why);
}

void PortalShortcuts::closeSession()
{
    if (!session_.isEmpty()) {
        bus_.asyncCall(
          QDBusMessage::createMethodCall(portalService, session_, sessionInterface, "Close"));
    }
    session_.clear();
    actions_.clear();
    triggers_.clear();
}
