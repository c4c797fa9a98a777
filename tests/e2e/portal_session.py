"""The desktop portal's stack for a headless sway: a private session bus, pipewire, the permission
store, xdg-desktop-portal with its wlr backend (screenshots) and its gtk backend (without an
Access backend the frontend offers no Screenshot interface at all).

Everything runs as the sway session's user and is started and stopped by PID. The bus activates
nothing (its configuration names no service folder), so no process starts behind the tests' back.
"""

import os
import shutil
import subprocess

from harness import BUS_CONFIG, give_to, require_tools, start_process, stop_process, wait_until

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
        self.processes = []

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
        try:
            self._start(timeout)
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self, timeout):
        os.makedirs(self.root)
        portals = os.path.join(self.root, "portals")
        os.makedirs(portals)
        if self.portal:
            for backend in ("wlr.portal", "gtk.portal"):
                shutil.copy(os.path.join(PORTAL_DEFINITIONS, backend), portals)
        config = os.path.join(self.root, "bus.conf")
        with open(config, "w") as stream:
            stream.write(BUS_CONFIG % self.socket)
        give_to(self.root, self.session.uid, self.session.gid)
        self._spawn("dbus-daemon", ["dbus-daemon", "--config-file=" + config, "--nofork",
                                    "--nopidfile"])
        wait_until(lambda: self._alive() and os.path.exists(self.socket), timeout=timeout,
                   what="the session bus")
        if not self.portal:
            return
        self._spawn("pipewire", ["pipewire"])
        pipewire_socket = os.path.join(self.session.runtime, "pipewire-0")
        wait_until(lambda: self._alive() and os.path.exists(pipewire_socket), timeout=timeout,
                   what="pipewire")
        for program, bus_name in (
                ("xdg-permission-store", "org.freedesktop.impl.portal.PermissionStore"),
                ("xdg-desktop-portal-wlr", "org.freedesktop.impl.portal.desktop.wlr"),
                ("xdg-desktop-portal-gtk", "org.freedesktop.impl.portal.desktop.gtk"),
                ("xdg-desktop-portal", "org.freedesktop.portal.Desktop")):
            self._spawn(program, [os.path.join(LIBEXEC, program)])
            wait_until(lambda: self._alive() and self.has_owner(bus_name), timeout=timeout,
                       interval=0.1, what=program + " on the bus")
        wait_until(lambda: self._alive() and self.offers_screenshot(), timeout=timeout,
                   interval=0.1, what="the Screenshot interface")

    def _spawn(self, name, args):
        environment = self.session.environment()
        environment.update(self.environment())
        environment.update({"XDG_CURRENT_DESKTOP": "sway", "XDG_SESSION_TYPE": "wayland",
                            "XDG_DESKTOP_PORTAL_DIR": os.path.join(self.root, "portals"),
                            "GDK_BACKEND": "wayland", "NO_AT_BRIDGE": "1", "GTK_A11Y": "none"})
        with open(os.path.join(self.root, name + ".log"), "wb") as log:
            process = start_process(args, env=environment, cwd=self.session.home,
                                    stdout=log, stderr=subprocess.STDOUT,
                                    **self.session.as_user())
        process.name = name
        self.processes.append(process)

    def _alive(self):
        for process in self.processes:
            if process.poll() is not None:
                raise AssertionError("%s ended early (%d): %s" % (
                    process.name, process.returncode, self.log(process.name)[-2000:]))
        return True

    def process(self, name):
        return next(process for process in self.processes if process.name == name)

    def log(self, name):
        try:
            with open(os.path.join(self.root, name + ".log"), errors="replace") as stream:
                return stream.read()
        except OSError:
            return ""

    def _send(self, destination, path, method, *arguments):
        environment = self.session.environment()
        environment.update(self.environment())
        return subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=" + destination,
                               path, method, *arguments], env=environment, cwd=self.session.home,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=20, **self.session.as_user())

    def has_owner(self, name):
        reply = self._send("org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus.NameHasOwner", "string:" + name)
        return reply.returncode == 0 and "boolean true" in reply.stdout

    def offers_screenshot(self):
        reply = self._send("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                           "org.freedesktop.DBus.Introspectable.Introspect")
        return reply.returncode == 0 and \
            'interface name="org.freedesktop.portal.Screenshot"' in reply.stdout

    def stop(self):
        # The frontend and its backends first, the bus last.
        for process in reversed(self.processes):
            stop_process(process, grace=5.0)
        self.processes.clear()
