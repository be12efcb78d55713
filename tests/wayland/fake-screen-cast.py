#!/usr/bin/python3
"""A stand-in for the desktop portal's screen cast on the session bus of DBUS_SESSION_BUS_ADDRESS,
for PortalClientTest. It owns org.freedesktop.portal.Desktop and answers as xdg-desktop-portal
does: the ScreenCast interface and its properties, request objects answered by Response (after
the method's own reply), and sessions that can be closed. What it does at each step is set by the
test through org.ombrix.FakeScreenCast on the same object:

  Reset()                  every step answers; version 5, both cursor modes, one stream, no
                           restore token; forgets what happened
  Set(s what, v value)     one behaviour:
    "version" u, "cursor_modes" u       the properties
    "create", "select", "start" s       "answer"; "refuse" (response 2); "cancel" (response 1,
                                        the user said no); "silent" (never answers)
    "remote" s                          "answer" (a socket whose other end is closed at once);
                                        "fail" (an error)
    "token" s                           the restore token Start gives where SelectSources asked
                                        for persistence ("" gives none)
    "streams" a(uiiii)                  node, x, y, width, height of each stream
    "own_paths" b                       requests on paths of the portal's own, not the token's
  Events() -> as           what happened, in order:
                             "CreateSession <request path> <session path>"
                             "SelectSources <request path> <options, sorted key=value>"
                             "Start <request path>"
                             "OpenPipeWireRemote <session path>"
                             "Request.Close <request path>"
                             "Session.Close <session path>"
  Sessions() -> as         the sessions still open

Prints "ready" once it owns the name, and ends with the bus."""

import socket
import sys

import dbus
import dbus.bus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

PORTAL = "org.freedesktop.portal.Desktop"
PATH = "/org/freedesktop/portal/desktop"
SCREENCAST = "org.freedesktop.portal.ScreenCast"
REQUEST = "org.freedesktop.portal.Request"
SESSION = "org.freedesktop.portal.Session"
PROPERTIES = "org.freedesktop.DBus.Properties"
CONTROL = "org.ombrix.FakeScreenCast"


class Failure(dbus.exceptions.DBusException):
    def __init__(self, name, text):
        super().__init__(text, name=name)


def caller_part(sender):
    """The caller's part of request and session paths: ':1.42' -> '1_42'."""
    return sender[1:].replace(".", "_")


def shown(value):
    """An option's value as Events() shows it."""
    if isinstance(value, dbus.Boolean):
        return "1" if value else "0"
    return str(value)


class Request(dbus.service.Object):
    def __init__(self, portal, path):
        super().__init__(portal.bus, path)
        self.portal = portal
        self.path = path
        self.live = True

    @dbus.service.signal(REQUEST, signature="ua{sv}")
    def Response(self, response, results):
        pass

    @dbus.service.method(REQUEST)
    def Close(self):
        self.portal.events.append(f"Request.Close {self.path}")
        self.end()

    def end(self):
        if self.live:
            self.live = False
            self.remove_from_connection()

    def answer(self, behaviour, results):
        """Answers after the method's own reply, as the portal does once its dialog is done."""
        if behaviour == "silent":
            return

        def emit():
            if self.live:
                code = {"answer": 0, "cancel": 1, "refuse": 2}[behaviour]
                self.Response(dbus.UInt32(code),
                              dbus.Dictionary(results if code == 0 else {}, signature="sv"))
                self.end()
            return False
        GLib.idle_add(emit)


class Session(dbus.service.Object):
    def __init__(self, portal, path, owner):
        super().__init__(portal.bus, path)
        self.portal = portal
        self.path = path
        self.owner = owner
        self.persist = False

    @dbus.service.method(SESSION, sender_keyword="sender")
    def Close(self, sender=None):
        if sender != self.owner:
            raise Failure("org.freedesktop.DBus.Error.AccessDenied", "Not your session")
        self.portal.events.append(f"Session.Close {self.path}")
        del self.portal.sessions[self.path]
        self.remove_from_connection()


class Portal(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.sessions = {}
        self.serial = 0
        self.reset()

    def reset(self):
        self.settings = {"version": 5, "cursor_modes": 3, "create": "answer",
                         "select": "answer", "start": "answer", "remote": "answer",
                         "token": "", "streams": [(41, 0, 0, 1920, 1080)], "own_paths": False}
        self.events = []

    def request(self, sender, options):
        self.serial += 1
        token = options.get("handle_token")
        if self.settings["own_paths"] or not token:
            token = f"portal{self.serial}"
        return Request(self, f"{PATH}/request/{caller_part(sender)}/{token}")

    def session(self, handle, sender):
        session = self.sessions.get(str(handle))
        if session is None or session.owner != sender:
            raise Failure("org.freedesktop.DBus.Error.AccessDenied", "Invalid session")
        return session

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface != SCREENCAST:
            raise Failure("org.freedesktop.DBus.Error.InvalidArgs",
                          f"No such interface '{interface}'")
        if name == "version":
            return dbus.UInt32(self.settings["version"])
        if name == "AvailableCursorModes":
            return dbus.UInt32(self.settings["cursor_modes"])
        if name == "AvailableSourceTypes":
            return dbus.UInt32(1)
        raise Failure("org.freedesktop.DBus.Error.InvalidArgs", f"No such property '{name}'")

    @dbus.service.method(SCREENCAST, in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        request = self.request(sender, options)
        token = options.get("session_handle_token") or f"s{self.serial}"
        path = f"{PATH}/session/{caller_part(sender)}/{token}"
        if path in self.sessions:
            raise Failure("org.freedesktop.portal.Error.Failed", "Session exists")
        # The portal makes the session as it takes the call, whatever its answer then is.
        self.sessions[path] = Session(self, path, sender)
        self.events.append(f"CreateSession {request.path} {path}")
        request.answer(self.settings["create"], {"session_handle": dbus.String(path)})
        return request.path

    @dbus.service.method(SCREENCAST, in_signature="oa{sv}", out_signature="o",
                         sender_keyword="sender")
    def SelectSources(self, session_handle, options, sender=None):
        session = self.session(session_handle, sender)
        request = self.request(sender, options)
        chosen = " ".join(f"{key}={shown(value)}" for key, value in sorted(options.items())
                          if key != "handle_token")
        self.events.append(f"SelectSources {request.path} {chosen}")
        session.persist = int(options.get("persist_mode", 0)) != 0
        request.answer(self.settings["select"], {})
        return request.path

    @dbus.service.method(SCREENCAST, in_signature="osa{sv}", out_signature="o",
                         sender_keyword="sender")
    def Start(self, session_handle, parent_window, options, sender=None):
        session = self.session(session_handle, sender)
        request = self.request(sender, options)
        self.events.append(f"Start {request.path}")
        streams = dbus.Array([
            dbus.Struct((dbus.UInt32(node), dbus.Dictionary({
                "position": dbus.Struct((dbus.Int32(x), dbus.Int32(y)), signature="ii"),
                "size": dbus.Struct((dbus.Int32(width), dbus.Int32(height)), signature="ii"),
            }, signature="sv")), signature="ua{sv}")
            for node, x, y, width, height in self.settings["streams"]], signature="(ua{sv})")
        results = {"streams": streams}
        if session.persist and self.settings["token"]:
            results["restore_token"] = dbus.String(self.settings["token"])
        request.answer(self.settings["start"], results)
        return request.path

    @dbus.service.method(SCREENCAST, in_signature="oa{sv}", out_signature="h",
                         sender_keyword="sender")
    def OpenPipeWireRemote(self, session_handle, options, sender=None):
        self.session(session_handle, sender)
        self.events.append(f"OpenPipeWireRemote {session_handle}")
        if self.settings["remote"] == "fail":
            raise Failure("org.freedesktop.portal.Error.Failed", "No PipeWire remote")
        ours, theirs = socket.socketpair()
        ours.close()
        remote = dbus.types.UnixFd(theirs.fileno())
        theirs.close()
        return remote

    @dbus.service.method(CONTROL, in_signature="", out_signature="")
    def Reset(self):
        self.reset()

    @dbus.service.method(CONTROL, in_signature="sv", out_signature="")
    def Set(self, what, value):
        what = str(what)
        if what not in self.settings:
            raise Failure("org.freedesktop.DBus.Error.InvalidArgs", f"Nothing called '{what}'")
        if what == "streams":
            value = [tuple(int(part) for part in stream) for stream in value]
        elif what == "own_paths":
            value = bool(value)
        elif what in ("version", "cursor_modes"):
            value = int(value)
        else:
            value = str(value)
        self.settings[what] = value

    @dbus.service.method(CONTROL, in_signature="", out_signature="as")
    def Events(self):
        return dbus.Array(self.events, signature="s")

    @dbus.service.method(CONTROL, in_signature="", out_signature="as")
    def Sessions(self):
        return dbus.Array(sorted(self.sessions), signature="s")


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
