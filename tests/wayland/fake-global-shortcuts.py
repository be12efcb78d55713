#!/usr/bin/python3
"""A stand-in for the desktop portal's global shortcuts on the session bus of
DBUS_SESSION_BUS_ADDRESS, for PortalShortcutsTest. It owns org.freedesktop.portal.Desktop and
answers as xdg-desktop-portal does: the host app registry, the GlobalShortcuts interface and its
version property, request objects answered by Response, and sessions that bind their shortcuts
once and can be closed. The user's part (the desktop's dialog) is played by the test through
org.ombrix.FakePortal on the same object:

  State() -> s               JSON: the app ids registered, how many times each portal method was
                             called and who called one last, the sessions, the closed sessions,
                             the closed requests and every BindShortcuts (with its caller and request)
  Reset()                    back to "normal", no refusal
  SetMode(s mode)            "normal"; "session-path" (the session handle sent as an object path);
                             "without-shortcuts" (a portal with no GlobalShortcuts); "silent" (a
                             portal that never answers the registry or the version);
                             "unanswered-bind" (BindShortcuts never answers, as while the
                             desktop's dialog is up); "binds-at-create" (as KDE Plasma 5.27:
                             CreateSession binds the shortcuts of its options and answers them,
                             BindShortcuts binds nothing)
  SetRefuse(u code)          the next BindShortcuts answers with this response code; 0: it
                             answers success with no shortcut bound (as KDE Plasma 5.27's does)
  Activate(s id, s session)  emits Activated for that session ("" = the latest one)

Prints "ready" once it owns the name, and ends with the bus."""

import json
import sys

import dbus
import dbus.bus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

PORTAL = "org.freedesktop.portal.Desktop"
PATH = "/org/freedesktop/portal/desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"
REQUEST = "org.freedesktop.portal.Request"
SESSION = "org.freedesktop.portal.Session"
REGISTRY = "org.freedesktop.host.portal.Registry"
PROPERTIES = "org.freedesktop.DBus.Properties"
CONTROL = "org.ombrix.FakePortal"
BIND_SIGNATURE = "oa(sa{sv})sa{sv}"
VERSION = 1
NONE_BOUND = "none bound"  # SetRefuse(0): a success that binds nothing


class Failure(dbus.exceptions.DBusException):
    def __init__(self, name, text):
        super().__init__(text, name=name)


def caller_part(sender):
    """The caller's part of request and session paths: ':1.42' -> '1_42'."""
    return sender[1:].replace(".", "_")


def plain(value):
    """D-Bus values as JSON takes them."""
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (dbus.Array, dbus.Struct, list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath, dbus.Signature, str)):
        return str(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return float(value)
    return repr(value)


def trigger_description(trigger):
    """'CTRL+ALT+c' -> 'Ctrl+Alt+C', as a desktop shows it."""
    return "+".join(part.capitalize() if len(part) > 1 else part.upper()
                    for part in str(trigger).split("+"))


def bound_form(shortcuts):
    """The shortcuts as a desktop answers them bound: each with its trigger in its own words."""
    return dbus.Array([
        dbus.Struct((shortcut_id, dbus.Dictionary({
            "description": properties.get("description", ""),
            "trigger_description": trigger_description(properties.get("preferred_trigger", "")),
        }, signature="sv")), signature="sa{sv}")
        for shortcut_id, properties in shortcuts], signature="(sa{sv})")


class Request(dbus.service.Object):
    def __init__(self, bus, path, portal):
        super().__init__(bus, path)
        self.path = path
        self.portal = portal

    @dbus.service.signal(REQUEST, signature="ua{sv}")
    def Response(self, response, results):
        pass

    @dbus.service.method(REQUEST)
    def Close(self):
        self.portal.closed_requests.append(self.path)
        self.remove_from_connection()

    def answer(self, response, results):
        """Answers after the method's own reply, as the portal does once its dialog is done."""
        def emit():
            self.Response(dbus.UInt32(response), dbus.Dictionary(results, signature="sv"))
            self.remove_from_connection()
            return False
        GLib.idle_add(emit)


class Session(dbus.service.Object):
    def __init__(self, bus, path, owner, portal):
        super().__init__(bus, path)
        self.path = path
        self.owner = owner
        self.portal = portal
        self.bound = False

    @dbus.service.method(SESSION, sender_keyword="sender")
    def Close(self, sender=None):
        if sender != self.owner:
            raise Failure("org.freedesktop.DBus.Error.AccessDenied", "Not your session")
        self.portal.closed.append(self.path)
        del self.portal.sessions[self.path]
        self.remove_from_connection()


class Portal(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.app_ids = {}
        self.called = {}
        self.sessions = {}
        self.closed = []
        self.closed_requests = []
        self.binds = []
        self.creates = []
        self.last_caller = ""
        self.latest_session = ""
        self.called_by = set()
        self.unanswered = []
        self.serial = 0
        self.reset()

    def reset(self):
        self.mode = "normal"
        self.refuse = None  # the next BindShortcuts's answer: a response code, or NONE_BOUND

    def count(self, method, sender):
        self.called[method] = self.called.get(method, 0) + 1
        self.called_by.add(sender)
        self.last_caller = str(sender)

    def request(self, sender, options):
        token = options.get("handle_token")
        if not token:
            self.serial += 1
            token = f"t{self.serial}"
        return Request(self.bus, f"{PATH}/request/{caller_part(sender)}/{token}", self)

    # The registry of host apps: once per connection, and before any portal call.
    @dbus.service.method(REGISTRY, in_signature="sa{sv}", out_signature="",
                         sender_keyword="sender", async_callbacks=("reply", "error"))
    def Register(self, app_id, options, sender=None, reply=None, error=None):
        self.called["Register"] = self.called.get("Register", 0) + 1
        if self.mode == "silent":
            self.unanswered.append((reply, error))
            return
        if sender in self.app_ids:
            error(Failure("org.freedesktop.portal.Error.Failed", "Already registered"))
        elif sender in self.called_by:
            error(Failure("org.freedesktop.portal.Error.Failed",
                          "Registered after a portal call"))
        else:
            self.app_ids[sender] = str(app_id)
            reply()

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v",
                         sender_keyword="sender", async_callbacks=("reply", "error"))
    def Get(self, interface, name, sender=None, reply=None, error=None):
        self.count("Get", sender)
        if self.mode == "silent":
            self.unanswered.append((reply, error))
        elif interface != SHORTCUTS or self.mode == "without-shortcuts":
            error(Failure("org.freedesktop.DBus.Error.InvalidArgs",
                          f"No such interface '{interface}'"))
        elif name != "version":
            error(Failure("org.freedesktop.DBus.Error.InvalidArgs", f"No such property '{name}'"))
        else:
            reply(dbus.UInt32(VERSION))

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}",
                         sender_keyword="sender")
    def GetAll(self, interface, sender=None):
        self.count("GetAll", sender)
        if interface != SHORTCUTS or self.mode == "without-shortcuts":
            return dbus.Dictionary({}, signature="sv")
        return dbus.Dictionary({"version": dbus.UInt32(VERSION)}, signature="sv")

    def offered(self):
        if self.mode == "without-shortcuts":
            raise Failure("org.freedesktop.DBus.Error.UnknownInterface",
                          f"No such interface '{SHORTCUTS}'")

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        self.count("CreateSession", sender)
        self.offered()
        request = self.request(sender, options)
        token = options.get("session_handle_token") or f"s{len(self.sessions) + 1}"
        path = f"{PATH}/session/{caller_part(sender)}/{token}"
        if path in self.sessions:
            raise Failure("org.freedesktop.portal.Error.Failed", "Session exists")
        self.sessions[path] = Session(self.bus, path, sender, self)
        self.latest_session = path
        handle = dbus.ObjectPath(path) if self.mode == "session-path" else dbus.String(path)
        results = {"session_handle": handle}
        self.creates.append({"session": path, "shortcuts": plain(options.get("shortcuts", []))})
        if self.mode == "binds-at-create" and options.get("shortcuts"):
            self.sessions[path].bound = True
            results["shortcuts"] = bound_form(options["shortcuts"])
        request.answer(0, results)
        return request.__dbus_object_path__

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o",
                         sender_keyword="sender", message_keyword="message")
    def BindShortcuts(self, session_handle, shortcuts, parent_window, options, sender=None,
                      message=None):
        self.count("BindShortcuts", sender)
        self.offered()
        if message.get_signature() != BIND_SIGNATURE:
            raise Failure("org.freedesktop.DBus.Error.InvalidArgs",
                          f"Signature {message.get_signature()}, not {BIND_SIGNATURE}")
        session = self.sessions.get(str(session_handle))
        if session is None or session.owner != sender:
            raise Failure("org.freedesktop.DBus.Error.AccessDenied", "Invalid session")
        if session.bound:
            raise Failure("org.freedesktop.portal.Error.Failed",
                          "The session's shortcuts are bound already")
        for shortcut_id, _ in shortcuts:
            if not shortcut_id:
                raise Failure("org.freedesktop.portal.Error.InvalidArgument",
                              "Unexpected empty shortcut id")
        session.bound = True
        request = self.request(sender, options)
        self.binds.append({"session": str(session_handle), "shortcuts": plain(shortcuts),
                           "parent_window": str(parent_window), "options": plain(options),
                           "sender": str(sender), "request": request.path})
        if self.mode == "unanswered-bind":
            pass
        elif self.mode == "binds-at-create":
            request.answer(0, {})
        elif self.refuse == NONE_BOUND:
            request.answer(0, {"shortcuts": dbus.Array([], signature="(sa{sv})")})
            self.refuse = None
        elif self.refuse:
            request.answer(self.refuse, {})
            self.refuse = None
        else:
            request.answer(0, {"shortcuts": bound_form(shortcuts)})
        return request.__dbus_object_path__

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session_handle, shortcut_id, timestamp, options):
        pass

    @dbus.service.method(CONTROL, in_signature="", out_signature="s")
    def State(self):
        return json.dumps({"app_ids": self.app_ids, "called": self.called,
                           "last_caller": self.last_caller,
                           "sessions": sorted(self.sessions), "closed": self.closed,
                           "closed_requests": self.closed_requests,
                           "latest_session": self.latest_session, "binds": self.binds,
                           "creates": self.creates})

    @dbus.service.method(CONTROL, in_signature="", out_signature="")
    def Reset(self):
        self.reset()

    @dbus.service.method(CONTROL, in_signature="s", out_signature="")
    def SetMode(self, mode):
        if mode not in ("normal", "session-path", "without-shortcuts", "silent",
                        "unanswered-bind", "binds-at-create"):
            raise Failure("org.freedesktop.DBus.Error.InvalidArgs", f"No mode '{mode}'")
        self.mode = str(mode)

    @dbus.service.method(CONTROL, in_signature="u", out_signature="")
    def SetRefuse(self, code):
        self.refuse = NONE_BOUND if int(code) == 0 else int(code)

    @dbus.service.method(CONTROL, in_signature="ss", out_signature="")
    def Activate(self, shortcut_id, session):
        self.serial += 1
        self.Activated(dbus.ObjectPath(session or self.latest_session), shortcut_id,
                       dbus.UInt64(self.serial), dbus.Dictionary({}, signature="sv"))


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    Portal(bus)  # the connection keeps what it exports
    owned = bus.request_name(PORTAL, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
    if owned != dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
        sys.exit(f"{PORTAL} is owned already")
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
