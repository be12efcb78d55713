// PortalShortcuts against a stand-in desktop portal (tests/wayland/fake-global-shortcuts.py) on
// a D-Bus daemon of the test's own.

#include "PortalShortcuts.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>
#include <sys/prctl.h>

namespace
{

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
constexpr int deadlineMs = 10000;

// The children die with the test, even when it is killed or crashes.
void diesWithTest(QProcess& process)
{
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

void stop(QProcess& process)
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(deadlineMs);
    }
}

// A session bus of the test's own, which starts no service on demand: with the usual session
// configuration the machine's real portal would answer in place of the stand-in, or of none.
class PrivateBus
{
public:
    ~PrivateBus() { stop(daemon_); }

    // The bus's address, or an empty string and why in `error`.
    QString start(QString& error)
    {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (program.isEmpty() || !dir_.isValid()) {
            error = QStringLiteral("no dbus-daemon (scripts/deps test installs it)");
            return {};
        }
        QFile config(dir_.filePath(QStringLiteral("bus.conf")));
        if (!config.open(QIODevice::WriteOnly)) {
            error = config.errorString();
            return {};
        }
        config.write(QStringLiteral("<busconfig>\n"
                                    "  <type>session</type>\n"
                                    "  <listen>unix:dir=%1</listen>\n"
                                    "  <auth>EXTERNAL</auth>\n"
                                    "  <policy context=\"default\">\n"
                                    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                    "    <allow eavesdrop=\"true\"/>\n"
                                    "    <allow own=\"*\"/>\n"
                                    "  </policy>\n"
                                    "</busconfig>\n")
                       .arg(dir_.path())
                       .toUtf8());
        config.close();
        diesWithTest(daemon_);
        daemon_.start(program,
                      { QStringLiteral("--config-file=") + config.fileName(),
                        QStringLiteral("--print-address"),
                        QStringLiteral("--nofork") });
        QElapsedTimer clock;
        clock.start();
        QByteArray printed;
        while (!printed.contains('\n') && clock.elapsed() < deadlineMs &&
               daemon_.state() != QProcess::NotRunning) {
            daemon_.waitForReadyRead(100);
            printed += daemon_.readAllStandardOutput();
        }
        if (!printed.contains('\n')) {
            error = QStringLiteral("dbus-daemon printed no address: ") +
                    QString::fromLocal8Bit(daemon_.readAllStandardError());
            return {};
        }
        return QString::fromUtf8(printed.left(printed.indexOf('\n')).trimmed());
    }

private:
    QTemporaryDir dir_;
    QProcess daemon_;
};

// The test's connection, through which it plays the desktop's part.
class Connection
{
public:
    explicit Connection(const QString& address)
      : name_(QStringLiteral("portal-test-%1").arg(++count_))
      , bus_(QDBusConnection::connectToBus(address, name_))
    {
    }
    ~Connection() { QDBusConnection::disconnectFromBus(name_); }
    QDBusConnection bus() const { return bus_; }

private:
    static inline int count_ = 0;
    QString name_;
    QDBusConnection bus_;
};

QDBusMessage control(QDBusConnection bus, const QString& method, const QVariantList& arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(
      portalService, portalPath, QStringLiteral("org.ombrix.FakePortal"), method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block, deadlineMs);
}

QJsonObject portalState(QDBusConnection bus)
{
    const QDBusReply<QString> state = control(bus, QStringLiteral("State"));
    return QJsonDocument::fromJson(state.value().toUtf8()).object();
}

QJsonObject lastBind(QDBusConnection bus)
{
    const QJsonArray binds = portalState(bus).value(QStringLiteral("binds")).toArray();
    return binds.isEmpty() ? QJsonObject() : binds.last().toObject();
}

void activate(QDBusConnection bus, const QString& id, const QString& session = {})
{
    control(bus, QStringLiteral("Activate"), { id, session });
}

const QList<PortalShortcuts::Shortcut> fiveShortcuts = {
    { 1, QLatin1Char('C'), QStringLiteral("Copy the picture to the clipboard") },
    { 2, QLatin1Char('S'), QStringLiteral("Save the picture to a file") },
    { 3, QLatin1Char('Z'), QStringLiteral("Show the zoom window") },
    { 4, QLatin1Char('m'), QStringLiteral("Minimise the frame") },
    { 5, QLatin1Char('Q'), QStringLiteral("Close Ombrix") },
};

// What the portal should receive for a set: (id, {description, preferred_trigger}).
QJsonArray portalForm(const QList<PortalShortcuts::Shortcut>& shortcuts)
{
    QJsonArray form;
    for (const PortalShortcuts::Shortcut& shortcut : shortcuts) {
        form.append(
          QJsonArray{ QStringLiteral("ombrix-%1").arg(shortcut.action),
                      QJsonObject{ { QStringLiteral("description"), shortcut.description },
                                   { QStringLiteral("preferred_trigger"),
                                     QStringLiteral("CTRL+ALT+") + shortcut.letter.toLower() } } });
    }
    return form;
}

} // namespace

class PortalShortcutsTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void offered_data();
    void offered();
    void bindAsksForTheShortcuts_data();
    void bindAsksForTheShortcuts();
    void activation_data();
    void activation();
    void refusal_data();
    void refusal();
    void bindsWithTheSessionWhereTheDesktopDoes();
    void bindAgainWithAnotherLetter();
    void bindAgainWhileTheDesktopAsks();
    void kdePlasmaBindsAndRunsThem();

private:
    bool bindAndWait(PortalShortcuts& shortcuts,
                     const QList<PortalShortcuts::Shortcut>& set,
                     bool& ok,
                     QString& why);

    std::unique_ptr<PrivateBus> portalBus_;
    std::unique_ptr<PrivateBus> emptyBus_;
    QString portalAddress_;
    QString emptyAddress_;
    std::unique_ptr<QProcess> fake_;
    std::unique_ptr<Connection> connection_;
};

void PortalShortcutsTest::initTestCase()
{
    QString error;
    portalBus_ = std::make_unique<PrivateBus>();
    portalAddress_ = portalBus_->start(error);
    QVERIFY2(!portalAddress_.isEmpty(), qPrintable(error));
    emptyBus_ = std::make_unique<PrivateBus>();
    emptyAddress_ = emptyBus_->start(error);
    QVERIFY2(!emptyAddress_.isEmpty(), qPrintable(error));

    // Debian's python3-dbus is for the system's Python, whatever else PATH holds.
    QString python = QStandardPaths::findExecutable(QStringLiteral("python3"), { "/usr/bin" });
    if (python.isEmpty()) {
        python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    }
    QVERIFY2(!python.isEmpty(), "no python3 (scripts/deps test installs it)");
    fake_ = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), portalAddress_);
    fake_->setProcessEnvironment(environment);
    // Its errors, a missing module among them, go to the test's output.
    fake_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    diesWithTest(*fake_);
    fake_->start(python, { QStringLiteral(FAKE_PORTAL_SCRIPT) });

    const Connection watcher(portalAddress_);
    QVERIFY2(watcher.bus().isConnected(), qPrintable(watcher.bus().lastError().message()));
    QElapsedTimer clock;
    clock.start();
    while (!watcher.bus().interface()->isServiceRegistered(portalService) &&
           fake_->state() != QProcess::NotRunning && clock.elapsed() < deadlineMs) {
        QTest::qWait(20);
    }
    QVERIFY2(watcher.bus().interface()->isServiceRegistered(portalService),
             "the stand-in portal did not start, see its errors above (python3-dbus, python3-gi "
             "and gir1.2-glib-2.0 come with scripts/deps test)");
}

void PortalShortcutsTest::cleanupTestCase()
{
    connection_.reset();
    if (fake_) {
        stop(*fake_);
    }
    fake_.reset();
    portalBus_.reset();
    emptyBus_.reset();
}

void PortalShortcutsTest::init()
{
    connection_ = std::make_unique<Connection>(portalAddress_);
    QVERIFY(connection_->bus().isConnected());
    const QDBusMessage reset = control(connection_->bus(), QStringLiteral("Reset"));
    QVERIFY2(reset.type() == QDBusMessage::ReplyMessage, qPrintable(reset.errorMessage()));
}

void PortalShortcutsTest::cleanup()
{
    connection_.reset();
}

bool PortalShortcutsTest::bindAndWait(PortalShortcuts& shortcuts,
                                      const QList<PortalShortcuts::Shortcut>& set,
                                      bool& ok,
                                      QString& why)
{
    QSignalSpy bound(&shortcuts, &PortalShortcuts::bound);
    shortcuts.bind(set, QStringLiteral("x11:4a00007"));
    if (bound.isEmpty() && !bound.wait(deadlineMs)) {
        return false;
    }
    ok = bound.first().at(0).toBool();
    why = bound.first().at(1).toString();
    return bound.count() == 1;
}

void PortalShortcutsTest::offered_data()
{
    QTest::addColumn<bool>("withPortal");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("offered");

    QTest::addRow("a portal with global shortcuts") << true << "normal" << true;
    QTest::addRow("a portal without global shortcuts") << true << "without-shortcuts" << false;
    QTest::addRow("a portal that does not answer") << true << "silent" << false;
    QTest::addRow("no portal on the bus") << false << "" << false;
}

// The answer comes at once, and within about a second even from a portal that hangs: it is asked
// while the program starts. The portal hears of it once, however often it is asked, and where
// there are no global shortcuts, bind() says so at once without asking the portal anything.
void PortalShortcutsTest::offered()
{
    QFETCH(bool, withPortal);
    QFETCH(QString, mode);
    QFETCH(bool, offered);

    QDBusConnection bus = connection_->bus();
    if (withPortal) {
        QCOMPARE(control(bus, QStringLiteral("SetMode"), { mode }).type(),
                 QDBusMessage::ReplyMessage);
    }
    PortalShortcuts shortcuts(withPortal ? portalAddress_ : emptyAddress_);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(shortcuts.offered(), offered);
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));

    const QJsonObject before = withPortal ? portalState(bus) : QJsonObject();
    QCOMPARE(shortcuts.offered(), offered);
    if (!offered) {
        QSignalSpy bound(&shortcuts, &PortalShortcuts::bound);
        shortcuts.bind(fiveShortcuts);
        QCOMPARE(bound.count(), 1);
        QCOMPARE(bound.first().at(0).toBool(), false);
        QCOMPARE(bound.first().at(1).toString(),
                 QStringLiteral("The desktop offers no global shortcuts portal."));
    }
    if (withPortal) {
        QCOMPARE(portalState(bus).value(QStringLiteral("called")),
                 before.value(QStringLiteral("called")));
    }
    // The caller that asked for the version had registered the app id first.
    if (withPortal && mode != QLatin1String("silent")) {
        const QJsonObject appIds = before.value(QStringLiteral("app_ids")).toObject();
        const QString caller = before.value(QStringLiteral("last_caller")).toString();
        QVERIFY(!caller.isEmpty());
        QCOMPARE(appIds.value(caller).toString(), PortalShortcuts::appId);
    }
}

void PortalShortcutsTest::bindAsksForTheShortcuts_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addRow("session handle as a string") << "normal";
    QTest::addRow("session handle as an object path") << "session-path";
}

void PortalShortcutsTest::bindAsksForTheShortcuts()
{
    QFETCH(QString, mode);
    QDBusConnection bus = connection_->bus();
    QCOMPARE(control(bus, QStringLiteral("SetMode"), { mode }).type(), QDBusMessage::ReplyMessage);

    PortalShortcuts shortcuts(portalAddress_);
    bool ok = false;
    QString why;
    QVERIFY(bindAndWait(shortcuts, fiveShortcuts, ok, why));
    QVERIFY2(ok, qPrintable(why));
    QVERIFY(why.isEmpty());

    const QJsonObject state = portalState(bus);
    const QJsonObject bind = lastBind(bus);
    QCOMPARE(state.value(QStringLiteral("app_ids"))
               .toObject()
               .value(bind.value(QStringLiteral("sender")).toString())
               .toString(),
             PortalShortcuts::appId);
    QCOMPARE(bind.value(QStringLiteral("session")), state.value(QStringLiteral("latest_session")));
    QCOMPARE(bind.value(QStringLiteral("shortcuts")).toArray(), portalForm(fiveShortcuts));
    QCOMPARE(bind.value(QStringLiteral("parent_window")).toString(), QStringLiteral("x11:4a00007"));

    const QHash<int, QString> triggers{ { 1, "Ctrl+Alt+C" },
                                        { 2, "Ctrl+Alt+S" },
                                        { 3, "Ctrl+Alt+Z" },
                                        { 4, "Ctrl+Alt+M" },
                                        { 5, "Ctrl+Alt+Q" } };
    QCOMPARE(shortcuts.triggers(), triggers);
}

void PortalShortcutsTest::activation_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("otherSession");
    QTest::addColumn<int>("action"); // 0: none

    QTest::addRow("ombrix-3 runs the third action") << "ombrix-3" << false << 3;
    QTest::addRow("ombrix-5 runs the fifth action") << "ombrix-5" << false << 5;
    QTest::addRow("an id of another program") << "screenshot-3" << false << 0;
    QTest::addRow("an id of ours that was not bound") << "ombrix-7" << false << 0;
    QTest::addRow("our id in another session") << "ombrix-3" << true << 0;
}

// After each press the stand-in sends ombrix-1 as well: once its signal is in, any signal sent
// before it would be in too.
void PortalShortcutsTest::activation()
{
    QFETCH(QString, id);
    QFETCH(bool, otherSession);
    QFETCH(int, action);

    QDBusConnection bus = connection_->bus();
    PortalShortcuts shortcuts(portalAddress_);
    bool ok = false;
    QString why;
    QVERIFY(bindAndWait(shortcuts, fiveShortcuts, ok, why));
    QVERIFY2(ok, qPrintable(why));

    QSignalSpy activated(&shortcuts, &PortalShortcuts::activated);
    const QString session =
      otherSession ? QStringLiteral("/org/freedesktop/portal/desktop/session/1_999/ombrix_session1")
                   : QString();
    activate(bus, id, session);
    activate(bus, QStringLiteral("ombrix-1"));
    QTRY_VERIFY_WITH_TIMEOUT(!activated.isEmpty() && activated.last().at(0).toInt() == 1,
                             deadlineMs);
    QList<int> actions;
    for (const QList<QVariant>& signal : std::as_const(activated)) {
        actions.append(signal.at(0).toInt());
    }
    const QList<int> expected = action ? QList<int>{ action, 1 } : QList<int>{ 1 };
    QCOMPARE(actions, expected);
}

void PortalShortcutsTest::refusal_data()
{
    QTest::addColumn<uint>("response");
    QTest::addColumn<QString>("why");

    QTest::addRow("refused by the user") << 1u << "The user refused the global shortcuts.";
    QTest::addRow("failed") << 2u << "The desktop portal could not bind the global shortcuts.";
    // KDE Plasma 5.27 opens its settings and binds nothing: the keys still need the focus.
    QTest::addRow("answered, none bound")
      << 0u << "The desktop portal bound none of the shortcuts.";
}

// A refusal, or a bind that binds nothing, says why, lets the session go, and the next bind
// asks anew.
void PortalShortcutsTest::refusal()
{
    QFETCH(uint, response);
    QFETCH(QString, why);

    QDBusConnection bus = connection_->bus();
    QCOMPARE(control(bus, QStringLiteral("SetRefuse"), { response }).type(),
             QDBusMessage::ReplyMessage);
    PortalShortcuts shortcuts(portalAddress_);
    bool ok = true;
    QString given;
    QVERIFY(bindAndWait(shortcuts, fiveShortcuts, ok, given));
    QVERIFY(!ok);
    QCOMPARE(given, why);
    QVERIFY(shortcuts.triggers().isEmpty());
    const QString refusedSession = lastBind(bus).value(QStringLiteral("session")).toString();
    QTRY_VERIFY_WITH_TIMEOUT(
      portalState(bus).value(QStringLiteral("closed")).toArray().contains(refusedSession),
      deadlineMs);

    QVERIFY(bindAndWait(shortcuts, fiveShortcuts, ok, given));
    QVERIFY2(ok, qPrintable(given));
    QCOMPARE(shortcuts.triggers().size(), fiveShortcuts.size());
}

// KDE Plasma 5.27 binds the shortcuts given with the session, and its BindShortcuts would only
// open its settings: bound at the session's creation, they are not asked for again, and their
// presses run the actions.
void PortalShortcutsTest::bindsWithTheSessionWhereTheDesktopDoes()
{
    QDBusConnection bus = connection_->bus();
    QCOMPARE(control(bus, QStringLiteral("SetMode"), { QStringLiteral("binds-at-create") }).type(),
             QDBusMessage::ReplyMessage);
    const auto binds = [&] {
        return portalState(bus)
          .value(QStringLiteral("called"))
          .toObject()
          .value(QStringLiteral("BindShortcuts"))
          .toInt();
    };
    const int bindsBefore = binds();
    PortalShortcuts shortcuts(portalAddress_);
    bool ok = false;
    QString why;
    QVERIFY(bindAndWait(shortcuts, fiveShortcuts, ok, why));
    QVERIFY2(ok, qPrintable(why));
    QCOMPARE(shortcuts.triggers().size(), fiveShortcuts.size());
    QCOMPARE(shortcuts.triggers().value(1), QStringLiteral("Ctrl+Alt+C"));

    const QJsonObject state = portalState(bus);
    QCOMPARE(binds(), bindsBefore);
    const QJsonArray creates = state.value(QStringLiteral("creates")).toArray();
    QVERIFY(!creates.isEmpty());
    QCOMPARE(creates.last().toObject().value(QStringLiteral("shortcuts")).toArray(),
             portalForm(fiveShortcuts));

    QSignalSpy activated(&shortcuts, &PortalShortcuts::activated);
    QCOMPARE(
      control(bus, QStringLiteral("Activate"), { QStringLiteral("ombrix-1"), QString() }).type(),
      QDBusMessage::ReplyMessage);
    QTRY_COMPARE_WITH_TIMEOUT(activated.size(), 1, deadlineMs);
    QCOMPARE(activated.at(0).at(0).toInt(), 1);
}

// The portal binds a session's shortcuts once: a changed letter goes to a new session, and the
// old one, closed, no longer runs anything.
void PortalShortcutsTest::bindAgainWithAnotherLetter()
{
    QDBusConnection bus = connection_->bus();
    PortalShortcuts shortcuts(portalAddress_);
    bool ok = false;
    QString why;
    QVERIFY(bindAndWait(shortcuts, fiveShortcuts, ok, why));
    QVERIFY2(ok, qPrintable(why));
    const QString first = lastBind(bus).value(QStringLiteral("session")).toString();

    QList<PortalShortcuts::Shortcut> changed = fiveShortcuts;
    changed[1].letter = QLatin1Char('P');
    QVERIFY(bindAndWait(shortcuts, changed, ok, why));
    QVERIFY2(ok, qPrintable(why));
    const QJsonObject state = portalState(bus);
    const QJsonObject bind = lastBind(bus);
    const QString second = bind.value(QStringLiteral("session")).toString();
    QVERIFY(second != first);
    QCOMPARE(bind.value(QStringLiteral("shortcuts")).toArray(), portalForm(changed));
    QCOMPARE(bind.value(QStringLiteral("shortcuts"))
               .toArray()
               .at(1)
               .toArray()
               .at(1)
               .toObject()
               .value(QStringLiteral("preferred_trigger")),
             QStringLiteral("CTRL+ALT+p"));
    QVERIFY(state.value(QStringLiteral("closed")).toArray().contains(first));
    QCOMPARE(shortcuts.triggers().value(2), QStringLiteral("Ctrl+Alt+P"));

    QSignalSpy activated(&shortcuts, &PortalShortcuts::activated);
    activate(bus, QStringLiteral("ombrix-3"), first);
    activate(bus, QStringLiteral("ombrix-2"), second);
    QTRY_VERIFY_WITH_TIMEOUT(!activated.isEmpty() && activated.last().at(0).toInt() == 2,
                             deadlineMs);
    QCOMPARE(activated.count(), 1);
}

// The user changed a letter while the desktop's dialog was still up: the unanswered request is
// closed, which takes the dialog down, and so is its session; the new set is bound in a new one,
// and the request given up is answered by nothing.
void PortalShortcutsTest::bindAgainWhileTheDesktopAsks()
{
    QDBusConnection bus = connection_->bus();
    QCOMPARE(control(bus, QStringLiteral("SetMode"), { QStringLiteral("unanswered-bind") }).type(),
             QDBusMessage::ReplyMessage);
    const qsizetype bindsBefore = portalState(bus).value(QStringLiteral("binds")).toArray().size();
    PortalShortcuts shortcuts(portalAddress_);
    QSignalSpy bound(&shortcuts, &PortalShortcuts::bound);
    shortcuts.bind(fiveShortcuts);
    QTRY_VERIFY_WITH_TIMEOUT(portalState(bus).value(QStringLiteral("binds")).toArray().size() ==
                               bindsBefore + 1,
                             deadlineMs);
    const QJsonObject asked = lastBind(bus);

    QCOMPARE(control(bus, QStringLiteral("SetMode"), { QStringLiteral("normal") }).type(),
             QDBusMessage::ReplyMessage);
    QList<PortalShortcuts::Shortcut> changed = fiveShortcuts;
    changed[0].letter = QLatin1Char('K');
    bool ok = false;
    QString why;
    QVERIFY(bindAndWait(shortcuts, changed, ok, why));
    QVERIFY2(ok, qPrintable(why));
    QCOMPARE(shortcuts.triggers().value(1), QStringLiteral("Ctrl+Alt+K"));
    QCOMPARE(bound.count(), 1);

    const QJsonObject state = portalState(bus);
    QVERIFY(state.value(QStringLiteral("closed_requests"))
              .toArray()
              .contains(asked.value(QStringLiteral("request"))));
    QVERIFY(state.value(QStringLiteral("closed"))
              .toArray()
              .contains(asked.value(QStringLiteral("session"))));
    QVERIFY(lastBind(bus).value(QStringLiteral("session")) !=
            asked.value(QStringLiteral("session")));
}

// KDE Plasma 5.27's own portal backend and its global shortcuts daemon (kglobalaccel), on a bus
// of their own: the five shortcuts bound, and a press that the daemon runs (as its keys would)
// reaching the program as the action.
void PortalShortcutsTest::kdePlasmaBindsAndRunsThem()
{
    const QString accel = QStandardPaths::findExecutable(QStringLiteral("kglobalaccel5"));
    const QString backend =
      QStringLiteral("/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde");
    const QString frontend = QStringLiteral("/usr/libexec/xdg-desktop-portal");
    const QString portalFile = QStringLiteral("/usr/share/xdg-desktop-portal/portals/kde.portal");
    for (const QString& needed : { accel, backend, frontend, portalFile }) {
        QVERIFY2(!needed.isEmpty() && QFileInfo::exists(needed),
                 qPrintable("not installed: " + needed + " (scripts/deps test installs it)"));
    }
    QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"),
             "kglobalaccel needs an X server (scripts/xsession)");
    QString error;
    PrivateBus bus;
    const QString address = bus.start(error);
    QVERIFY2(!address.isEmpty(), qPrintable(error));
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QDir(home.path()).mkpath(QStringLiteral("portals"));
    QVERIFY(QFile::copy(portalFile, home.filePath(QStringLiteral("portals/kde.portal"))));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("KDE"));
    environment.insert(QStringLiteral("XDG_DESKTOP_PORTAL_DIR"),
                       home.filePath(QStringLiteral("portals")));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QProcess services[3];
    const QString programs[3] = { accel, backend, frontend };
    const QString names[3] = { QStringLiteral("org.kde.kglobalaccel"),
                               QStringLiteral("org.freedesktop.impl.portal.desktop.kde"),
                               portalService };
    const Connection watcher(address);
    for (int i = 0; i < 3; ++i) {
        services[i].setProcessEnvironment(environment);
        services[i].setProcessChannelMode(QProcess::ForwardedErrorChannel);
        services[i].setStandardOutputFile(QProcess::nullDevice());
        diesWithTest(services[i]);
        services[i].start(programs[i], {});
        QTRY_VERIFY2_WITH_TIMEOUT(watcher.bus().interface()->isServiceRegistered(names[i]),
                                  qPrintable(programs[i] + " took no name on the bus"),
                                  deadlineMs);
    }
    const auto stopAll = qScopeGuard([&] {
        for (QProcess& service : services) {
            stop(service);
        }
    });

    PortalShortcuts shortcuts(address);
    QVERIFY(shortcuts.offered());
    bool ok = false;
    QString why;
    QVERIFY(bindAndWait(shortcuts, fiveShortcuts, ok, why));
    QVERIFY2(ok, qPrintable(why));
    QCOMPARE(shortcuts.triggers().size(), fiveShortcuts.size());
    QCOMPARE(shortcuts.triggers().value(1), QStringLiteral("Ctrl+Alt+C"));

    // The daemon's component for the session holds the shortcuts by their ids.
    QDBusMessage components = QDBusMessage::createMethodCall(QStringLiteral("org.kde.kglobalaccel"),
                                                             QStringLiteral("/kglobalaccel"),
                                                             QStringLiteral("org.kde.KGlobalAccel"),
                                                             QStringLiteral("allComponents"));
    const QDBusMessage listed = watcher.bus().call(components, QDBus::Block, deadlineMs);
    QVERIFY2(listed.type() == QDBusMessage::ReplyMessage, qPrintable(listed.errorMessage()));
    QString component;
    for (const QDBusObjectPath& path :
         qdbus_cast<QList<QDBusObjectPath>>(listed.arguments().value(0))) {
        const QDBusMessage names = watcher.bus().call(
          QDBusMessage::createMethodCall(QStringLiteral("org.kde.kglobalaccel"),
                                         path.path(),
                                         QStringLiteral("org.kde.kglobalaccel.Component"),
                                         QStringLiteral("shortcutNames")),
          QDBus::Block,
          deadlineMs);
        if (names.arguments().value(0).toStringList().contains(QStringLiteral("ombrix-1"))) {
            component = path.path();
        }
    }
    QVERIFY2(!component.isEmpty(), "kglobalaccel holds no component with the shortcuts");

    QSignalSpy activated(&shortcuts, &PortalShortcuts::activated);
    QDBusMessage press =
      QDBusMessage::createMethodCall(QStringLiteral("org.kde.kglobalaccel"),
                                     component,
                                     QStringLiteral("org.kde.kglobalaccel.Component"),
                                     QStringLiteral("invokeShortcut"));
    press << QStringLiteral("ombrix-4");
    const QDBusMessage pressed = watcher.bus().call(press, QDBus::Block, deadlineMs);
    QVERIFY2(pressed.type() == QDBusMessage::ReplyMessage, qPrintable(pressed.errorMessage()));
    QTRY_COMPARE_WITH_TIMEOUT(activated.size(), 1, deadlineMs);
    QCOMPARE(activated.at(0).at(0).toInt(), 4);
}

QTEST_GUILESS_MAIN(PortalShortcutsTest)
#include "PortalShortcutsTest.moc"
