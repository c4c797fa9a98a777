"""The desktop portal's stack for a headless sway: a private session bus, pipewire, the permission
store, xdg-desktop-portal with its wlr backend (screenshots) and its gtk backend (without an
Access backend the frontend offers no Screenshot interface at all).

Everything runs as the sway session's user and is started and stopped by PID. The bus activates
nothing (its configuration names no service folder), so no process starts behind the tests' back.
"""

import os
import shutil
import subprocess

from harness import (BUS_CONFIG, Servers, bus_has_owner, give_to, require_tools,
                     stopped_on_failure, wait_until)

PORTAL_FILE = "/tmp/out.png"  # where xdg-desktop-portal-wlr always writes, and leaves, its shot
LIBEXEC = "/usr/libexec"
PORTAL_DEFINITIONS = "/usr/share/xdg-desktop-portal/portals"


class PortalStack:
    """With portal=False only the bus: a session without any portal."""

    def __init__(self, session, name="portal", portal=True):
        self.session = session
        self.portal = portal
        self.root = os.path.join(session.root, name)
        self.socket = os.path.join(session.runtime, name + "-bus")
        self.address = "unix:path=" + self.socket
        self.servers = Servers(self.root)
        self.process, self.log = self.servers.process, self.servers.log

    def environment(self):
        """What the binary needs beside the sway session's variables."""
        return {"DBUS_SESSION_BUS_ADDRESS": self.address}

    def start(self, timeout=30.0):
        require_tools("dbus-daemon", "dbus-send")
        if self.portal:
            require_tools("pipewire", "grim")
            for program in ("xdg-desktop-portal", "xdg-desktop-portal-wlr",
                            "xdg-desktop-portal-gtk", "xdg-permission-store"):
                if not os.access(os.path.join(LIBEXEC, program), os.X_OK):
                    require_tools(program)  # skips, naming it
        with stopped_on_failure(self.stop):
            self._start(timeout)
        return self

    def _start(self, timeout):
        portals = os.path.join(self.root, "portals")
        os.makedirs(portals)
        if self.portal:
            for backend in ("wlr.portal", "gtk.portal"):
                shutil.copy(os.path.join(PORTAL_DEFINITIONS, backend), portals)
        give_to(self.root, self.session.uid, self.session.gid)
        environment = self.session.environment()
        environment.update(self.environment())
        environment.update({"XDG_CURRENT_DESKTOP": "sway", "XDG_SESSION_TYPE": "wayland",
                            "XDG_DESKTOP_PORTAL_DIR": portals, "GDK_BACKEND": "wayland",
                            "NO_AT_BRIDGE": "1", "GTK_A11Y": "none"})
        popen = dict(env=environment, cwd=self.session.home, **self.session.as_user())
        self.servers.start_bus("dbus-daemon", BUS_CONFIG % self.socket, self.socket, timeout,
                               **popen)
        if not self.portal:
            return
        self.servers.start("pipewire", ["pipewire"], **popen)
        pipewire_socket = os.path.join(self.session.runtime, "pipewire-0")
        wait_until(lambda: self.servers.alive() and os.path.exists(pipewire_socket),
                   timeout=timeout, what="pipewire")
        for program, bus_name in (
                ("xdg-permission-store", "org.freedesktop.impl.portal.PermissionStore"),
                ("xdg-desktop-portal-wlr", "org.freedesktop.impl.portal.desktop.wlr"),
                ("xdg-desktop-portal-gtk", "org.freedesktop.impl.portal.desktop.gtk"),
                ("xdg-desktop-portal", "org.freedesktop.portal.Desktop")):
            self.servers.start(program, [os.path.join(LIBEXEC, program)], **popen)
            wait_until(lambda: self.servers.alive() and bus_has_owner(self._run, bus_name),
                       timeout=timeout, interval=0.1, what=program + " on the bus")
        wait_until(lambda: self.servers.alive() and self.offers_screenshot(), timeout=timeout,
                   interval=0.1, what="the Screenshot interface")

    def _run(self, args):
        environment = self.session.environment()
        environment.update(self.environment())
        return subprocess.run(args, env=environment, cwd=self.session.home,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=20, **self.session.as_user())

    def offers_screenshot(self):
        reply = self._run(["dbus-send", "--session", "--print-reply",
                           "--dest=org.freedesktop.portal.Desktop",
                           "/org/freedesktop/portal/desktop",
                           "org.freedesktop.DBus.Introspectable.Introspect"])
        return reply.returncode == 0 and \
            'interface name="org.freedesktop.portal.Screenshot"' in reply.stdout

    def stop(self):
        # The frontend and its backends first, the bus last.
        self.servers.stop()
