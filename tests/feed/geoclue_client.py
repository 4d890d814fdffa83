#!/usr/bin/python3
"""A GeoClue client for the feed tests: asks for exact locations and prints
each one as a line of JSON on standard output, flushed, until it has printed
COUNT of them or TIMEOUT seconds have gone.

    geoclue_client.py COUNT TIMEOUT

The bus is the one DBUS_SYSTEM_BUS_ADDRESS names.  Exit status 0 after COUNT
locations, 1 on a time-out, 2 on a D-Bus error (its message on standard
error)."""
import json
import sys

from gi.repository import Gio, GLib

SERVICE = "org.freedesktop.GeoClue2"
EXACT = 8  # GClueAccuracyLevel: exact


def main():
    count, timeout = int(sys.argv[1]), float(sys.argv[2])
    bus = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
    manager = Gio.DBusProxy.new_sync(bus, Gio.DBusProxyFlags.NONE, None, SERVICE,
                                     "/org/freedesktop/GeoClue2/Manager",
                                     "org.freedesktop.GeoClue2.Manager", None)
    (path,) = manager.call_sync("GetClient", None, Gio.DBusCallFlags.NONE, -1, None).unpack()

    def set_property(name, value):
        bus.call_sync(SERVICE, path, "org.freedesktop.DBus.Properties", "Set",
                      GLib.Variant("(ssv)", ("org.freedesktop.GeoClue2.Client", name, value)),
                      None, Gio.DBusCallFlags.NONE, -1, None)

    set_property("DesktopId", GLib.Variant("s", "gnssfeed-test"))
    set_property("RequestedAccuracyLevel", GLib.Variant("u", EXACT))
    loop = GLib.MainLoop()
    state = {"seen": 0, "status": 1}

    def on_signal(_connection, _sender, _path, _interface, _name, parameters):
        if state["seen"] >= count:
            return
        _old, new = parameters.unpack()
        reply = bus.call_sync(SERVICE, new, "org.freedesktop.DBus.Properties", "GetAll",
                              GLib.Variant("(s)", ("org.freedesktop.GeoClue2.Location",)),
                              None, Gio.DBusCallFlags.NONE, -1, None)
        (props,) = reply.unpack()
        seconds, micro = props["Timestamp"]
        print(json.dumps({"lat": props["Latitude"], "lon": props["Longitude"],
                          "alt": props["Altitude"], "accuracy": props["Accuracy"],
                          "timestamp": seconds + micro / 1e6}), flush=True)
        state["seen"] += 1
        if state["seen"] >= count:
            state["status"] = 0
            loop.quit()

    bus.signal_subscribe(SERVICE, "org.freedesktop.GeoClue2.Client", "LocationUpdated", path,
                         None, Gio.DBusSignalFlags.NONE, on_signal)
    client = Gio.DBusProxy.new_sync(bus, Gio.DBusProxyFlags.NONE, None, SERVICE, path,
                                    "org.freedesktop.GeoClue2.Client", None)
    client.call_sync("Start", None, Gio.DBusCallFlags.NONE, -1, None)
    GLib.timeout_add(int(timeout * 1000), loop.quit)
    loop.run()
    client.call_sync("Stop", None, Gio.DBusCallFlags.NONE, -1, None)
    return state["status"]


if __name__ == "__main__":
    try:
        sys.exit(main())
    except GLib.Error as error:
        print("geoclue_client: " + error.message, file=sys.stderr)
        sys.exit(2)
