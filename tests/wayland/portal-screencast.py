#!/usr/bin/python3
"""Runs one ScreenCast portal round trip (CreateSession, SelectSources, Start) on the session bus
and prints the PipeWire node id of the shared monitor; with an argument, also saves one frame of
that stream as a PNG file through GStreamer's pipewiresrc. Exits non-zero when any step fails or
the portal does not answer within the deadline. Runs inside tests/wayland/session.

Usage: portal-screencast.py [FRAME.png]"""

import subprocess
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

DEADLINE_MS = 20000
PORTAL = "org.freedesktop.portal.Desktop"
PATH = "/org/freedesktop/portal/desktop"
SCREENCAST = "org.freedesktop.portal.ScreenCast"
REQUEST = "org.freedesktop.portal.Request"

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
portal = bus.get_object(PORTAL, PATH)
screencast = dbus.Interface(portal, SCREENCAST)
sender = bus.get_unique_name()[1:].replace(".", "_")
loop = GLib.MainLoop()
counter = 0


def request(method, *args, options):
    """Calls a portal method whose answer comes later as a Request::Response signal."""
    global counter
    counter += 1
    token = f"ombrix{counter}"
    options["handle_token"] = token
    handle = f"/org/freedesktop/portal/desktop/request/{sender}/{token}"
    answer = {}

    def on_response(code, results):
        answer["code"] = int(code)
        answer["results"] = results
        loop.quit()

    match = bus.add_signal_receiver(
        on_response, "Response", REQUEST, PORTAL, handle)
    getattr(screencast, method)(*args, options)
    timer = GLib.timeout_add(DEADLINE_MS, loop.quit)
    loop.run()
    match.remove()
    if "code" not in answer:
        sys.exit(f"{method}: no answer within {DEADLINE_MS} ms")
    GLib.source_remove(timer)
    if answer["code"] != 0:
        sys.exit(f"{method}: response code {answer['code']}")
    return answer["results"]


props = dbus.Interface(portal, "org.freedesktop.DBus.Properties")
print("ScreenCast version", int(props.Get(SCREENCAST, "version")))
print("AvailableSourceTypes", int(props.Get(SCREENCAST, "AvailableSourceTypes")))
print("AvailableCursorModes", int(props.Get(SCREENCAST, "AvailableCursorModes")))

created = request("CreateSession", options={
                  "session_handle_token": "ombrixsession"})
session = created["session_handle"]
print("session", session)
# types 1 = monitor; cursor_mode 2 = embedded in the picture.
request("SelectSources", dbus.ObjectPath(session), options={
        "types": dbus.UInt32(1), "multiple": False, "cursor_mode": dbus.UInt32(2)})
started = request("Start", dbus.ObjectPath(session), "", options={})
streams = started.get("streams", [])
if not streams:
    sys.exit("Start: no stream")
for node, stream_props in streams:
    print("pipewire node", int(node), {str(k): (tuple(int(x) for x in v) if isinstance(
        v, dbus.Struct) else str(v)) for k, v in stream_props.items()})
remote = screencast.OpenPipeWireRemote(
    dbus.ObjectPath(session), dbus.Dictionary({}, signature="sv")).take()
print("pipewire remote fd", remote)
if len(sys.argv) > 1:
    # The frame comes through the portal's own restricted PipeWire connection, as an application's
    # would; the session stays open (this process keeps its bus connection) until the frame is saved.
    node = int(streams[0][0])
    pipeline = ["gst-launch-1.0", "-q", "pipewiresrc", f"fd={remote}", f"path={node}",
                "num-buffers=1", "!", "videoconvert", "!", "pngenc", "!",
                "filesink", f"location={sys.argv[1]}"]
    subprocess.run(pipeline, pass_fds=(remote,), check=True, timeout=DEADLINE_MS / 1000)
    print("frame saved to", sys.argv[1])
