#!/usr/bin/python3
"""The desktop portal's Access backend for private sessions: answers every access question with
"allow", as a user who clicks Allow would. xdg-desktop-portal asks it once per application and
keeps the answer in the permission store. Runs until it is stopped or loses its bus name."""
import sys

from gi.repository import Gio, GLib

BUS_NAME = "org.freedesktop.impl.portal.desktop.quillane"
OBJECT_PATH = "/org/freedesktop/portal/desktop"
INTERFACE = Gio.DBusNodeInfo.new_for_xml("""
<node>
  <interface name="org.freedesktop.impl.portal.Access">
    <method name="AccessDialog">
      <arg type="o" name="handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="s" name="title" direction="in"/>
      <arg type="s" name="subtitle" direction="in"/>
      <arg type="s" name="body" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
  </interface>
</node>""").interfaces[0]

ALLOWED = 0


def on_call(connection, sender, path, interface, method, parameters, invocation):
    invocation.return_value(GLib.Variant("(ua{sv})", (ALLOWED, {})))


def main():
    loop = GLib.MainLoop()
    connection = Gio.bus_get_sync(Gio.BusType.SESSION)
    connection.register_object(OBJECT_PATH, INTERFACE, on_call, None, None)

    Gio.bus_own_name_on_connection(connection, BUS_NAME, Gio.BusNameOwnerFlags.NONE, None,
                                   lambda *_: loop.quit())
    loop.run()
    print(f"portal-access-backend: lost the bus name {BUS_NAME}", file=sys.stderr)
    sys.exit(1)


main()
