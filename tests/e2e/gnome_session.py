"""A private headless GNOME Shell for end-to-end tests: Debian 12's (43) on the host, or 48 in a
Debian 13 root, with its own session bus (and a system bus where the host has logind's seats),
XWayland, the desktop portal, and optionally our extension installed and enabled before the
shell starts.

Everything runs as the session's user and is started and stopped by PID. The buses activate
nothing; the portal's programs are started here. Settings live in a key file
(GSETTINGS_BACKEND=keyfile), written before the shell reads them.
"""

import glob
import json
import os
import re
import subprocess

from desktop_root import DesktopRoot
from harness import (BUS_CONFIG, SYSTEM_BUS_CONFIG, Jpeg, Servers, SessionTestCase, UserSession,
                     bus_has_owner, colour_distance, give_to, require_binary, require_tools,
                     stopped_on_failure, wait_until)
from kwin_session import GtkClient, build_client, start_solid_window

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(os.path.dirname(HERE))
EXTENSION_SCRIPT = os.path.join(SOURCE_ROOT, "cmake", "GnomeExtension.cmake")
EXTENSION_UUID = "screen-capture@tarnwick.invalid"
SERVICE = "invalid.tarnwick.ScreenCapture"
LIBEXEC = "/usr/libexec"


class GnomeSession(UserSession):
    """gnome-shell --headless on a virtual monitor of width x height. extension: None (not
    installed), "installed" or "enabled". portal: start xdg-desktop-portal with GNOME's back end;
    screenshot_permission: store the portal's permission for screenshots beforehand."""

    def __init__(self, desktop=None, width=1280, height=800, extension="enabled", portal=True,
                 screenshot_permission=True, portal_refuses=False):
        super().__init__("tarnwick-e2e-gnome-", desktop)
        self.width, self.height = width, height
        self.extension = extension
        self.portal = portal
        self.screenshot_permission = screenshot_permission
        self.portal_refuses = portal_refuses
        self.config_home = os.path.join(self.home, ".config")
        self.data_home = os.path.join(self.home, ".local", "share")
        self.bus_socket = os.path.join(self.runtime, "bus")
        self.system_socket = os.path.join(self.root, "system-bus")
        self.wayland_display = "gnome-e2e-%d" % os.getpid()
        self.display = None
        self.xauthority = None
        self.shell = None
        self.servers = Servers(self.root)
        self.log = self.servers.log

    # -- life cycle

    def shell_major(self):
        version = self.run(["gnome-shell", "--version"]).stdout
        match = re.search(r"(\d+)\.", version)
        if not match:
            raise AssertionError("gnome-shell --version said %r" % version)
        return int(match.group(1))

    def start(self, timeout=90.0):
        self.require_tools("gnome-shell", "dbus-daemon", "Xwayland")
        os.makedirs(self.runtime, mode=0o700)
        for folder in (self.config_home, self.data_home, os.path.join(self.home, ".cache")):
            os.makedirs(folder)
        with stopped_on_failure(self.stop):
            self._start(timeout)
        return self

    def _start(self, timeout):
        # mutter's XWayland wants the socket folder as an X server run as root makes it (1777):
        # one that XWayland made as the session's user elsewhere (0755) is refused.
        if os.geteuid() == 0:
            os.makedirs("/tmp/.X11-unix", exist_ok=True)
            os.chmod("/tmp/.X11-unix", 0o1777)
        major = self.shell_major()
        self.major = major
        enabled = []
        if self.extension:
            self.install_extension("legacy" if major < 45 else "module")
            if self.extension == "enabled":
                enabled.append(EXTENSION_UUID)
        settings = os.path.join(self.config_home, "glib-2.0", "settings")
        os.makedirs(settings)
        with open(os.path.join(settings, "keyfile"), "w") as stream:
            stream.write("[org/gnome/shell]\nenabled-extensions=%s\n"
                         "disable-user-extensions=false\n"
                         "welcome-dialog-last-shown-version='999'\n"
                         "[org/gnome/desktop/interface]\nenable-animations=false\n"
                         % json.dumps(enabled).replace('"', "'"))
        give_to(self.root, self.uid, self.gid)
        self.servers.start_bus("session-bus", BUS_CONFIG % self.bus_socket, self.bus_socket,
                               timeout, **self._popen())
        if self.desktop is not None or os.path.isdir("/run/systemd/seats"):
            # Where logind's seats exist (and in a root, whatever it holds), the shell asks the
            # system bus and dies without one.
            self.servers.start_bus("system-bus", SYSTEM_BUS_CONFIG % self.system_socket,
                                   self.system_socket, timeout, **self._popen())
        self.shell = self.servers.start("gnome-shell", [
            "gnome-shell", "--headless", "--wayland", "--wayland-display", self.wayland_display,
            "--virtual-monitor", "%dx%d" % (self.width, self.height)], **self._popen())
        wait_until(lambda: self.servers.alive() and self.shell_version(), timeout=timeout,
                   interval=0.1, what="GNOME Shell on the bus")
        if self.extension == "enabled":
            wait_until(lambda: self.servers.alive() and self.has_owner(SERVICE), timeout=timeout,
                       interval=0.1, what="the extension on the bus")
        self._wait_for_xwayland(timeout)
        self.set_overview(False)
        if self.portal:
            self._start_portal(timeout)

    def _in_root(self, path):
        return path if self.desktop is None else self.desktop.path + path

    def install_extension(self, variant):
        output = os.path.join(self.data_home, "gnome-shell", "extensions")
        subprocess.run(["cmake", "-DVARIANT=" + variant, "-DOUTPUT=" + output, "-P",
                        EXTENSION_SCRIPT], check=True, capture_output=True, timeout=60)

    def _wait_for_xwayland(self, timeout):
        def announced():
            self.servers.alive()
            match = re.search(r"Using public X11 display (:\d+)", self.log("gnome-shell"))
            authority = glob.glob(os.path.join(self.runtime, ".mutter-Xwaylandauth.*"))
            if match and authority:
                self.display, self.xauthority = match.group(1), authority[0]
                return True
            return False

        wait_until(announced, timeout=timeout, interval=0.1, what="XWayland")

    def _start_portal(self, timeout):
        portals = os.path.join(self.root, "portals")
        os.makedirs(portals)
        with open(os.path.join(portals, "gnome.portal"), "w") as stream:
            stream.write("[portal]\nDBusName=org.freedesktop.impl.portal.desktop.gnome\n"
                         "Interfaces=org.freedesktop.impl.portal.Screenshot;"
                         "org.freedesktop.impl.portal.Access;\nUseIn=gnome\n")
        give_to(portals, self.uid, self.gid)
        for program, bus_name in (
                ("xdg-permission-store", "org.freedesktop.impl.portal.PermissionStore"),
                ("xdg-desktop-portal-gnome", "org.freedesktop.impl.portal.desktop.gnome"),
                ("xdg-desktop-portal", "org.freedesktop.portal.Desktop")):
            self.servers.start(program, [os.path.join(LIBEXEC, program)], **self._popen(
                {"XDG_DESKTOP_PORTAL_DIR": portals},
                drop=("XDG_SESSION_TYPE",) if self.portal_refuses and
                program == "xdg-desktop-portal-gnome" else ()))
            wait_until(lambda: self.servers.alive() and self.has_owner(bus_name),
                       timeout=timeout, interval=0.1, what=program + " on the bus")
            if program == "xdg-permission-store" and self.screenshot_permission:
                self.grant_screenshots()

    def grant_screenshots(self):
        self.call("org.freedesktop.impl.portal.PermissionStore",
                  "/org/freedesktop/impl/portal/PermissionStore",
                  "org.freedesktop.impl.portal.PermissionStore.SetPermission",
                  "screenshot", "true", "screenshot", "''", "['yes']")

    def _popen(self, extra=None, drop=()):
        """Popen arguments for one of the session's servers."""
        environment = self.environment()
        environment.update({"LIBGL_ALWAYS_SOFTWARE": "1", "NO_AT_BRIDGE": "1",
                            "GTK_A11Y": "none"})
        if os.path.exists(os.path.join(self.root, "system-bus.conf")):
            environment["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + self.system_socket
        environment.update(extra or {})
        for variable in drop:
            environment.pop(variable, None)
        return dict(env=environment, cwd=self.home, **self.in_session())

    def _stop_servers(self):
        # The portal first, the shell (which takes its XWayland along), the buses last.
        self.servers.stop(grace=10.0)

    # -- environment and helpers

    def environment(self):
        environment = self._base_environment()
        environment.update({
            "WAYLAND_DISPLAY": self.wayland_display,
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + self.bus_socket,
            "XDG_CONFIG_HOME": self.config_home, "XDG_DATA_HOME": self.data_home,
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_CURRENT_DESKTOP": "GNOME", "XDG_SESSION_TYPE": "wayland",
            "GSETTINGS_BACKEND": "keyfile"})
        if self.display:
            environment.update({"DISPLAY": self.display, "XAUTHORITY": self.xauthority})
        return environment

    def run(self, args, timeout=30, env=None, host=False):
        """A program of the session (host=True: of the host) as the session's user."""
        environment = self.environment()
        environment.update(env or {})
        return subprocess.run(args, env=environment, cwd=self.home, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, errors="replace", timeout=timeout,
                              **(self.as_user() if host else self.in_session()))

    def call(self, destination, path, method, *arguments, check=True):
        """gdbus call on the session bus (the host's gdbus, as the session's user); its printed
        answer."""
        completed = self.run(["gdbus", "call", "--session", "--dest", destination,
                              "--object-path", path, "--method", method, *arguments], host=True)
        if check and completed.returncode != 0:
            raise AssertionError("gdbus %s: %s" % (method, completed.stderr))
        return completed.stdout if completed.returncode == 0 else None

    def has_owner(self, name):
        return bus_has_owner(lambda args: self.run(args, host=True), name)

    def shell_version(self):
        return self.call("org.gnome.Shell", "/org/gnome/Shell",
                         "org.freedesktop.DBus.Properties.Get", "org.gnome.Shell",
                         "ShellVersion", check=False)

    def set_overview(self, active):
        self.call("org.gnome.Shell", "/org/gnome/Shell", "org.freedesktop.DBus.Properties.Set",
                  "org.gnome.Shell", "OverviewActive", "<%s>" % ("true" if active else "false"))

    def windows(self):
        """The extension's own listing, front first (a test's view of the shell)."""
        completed = self.run(["dbus-send", "--session", "--print-reply=literal",
                              "--dest=" + SERVICE, "/invalid/tarnwick/ScreenCapture",
                              SERVICE + ".ListWindows"], host=True)
        if completed.returncode != 0:
            raise AssertionError("ListWindows: " + completed.stderr)
        return json.loads(completed.stdout)

    def extension_command(self, *words):
        """gnome-extensions (the host's) on the session: enable, disable, info..."""
        return self.run(["gnome-extensions", *words], host=True)


class GtkWindow(GtkClient):
    """A running solid-window client and its title, as the extension lists it."""

    def listed(self):
        """The extension's entry for this window, or None."""
        return next((window for window in self.session.windows()
                     if window["title"] == self.title and window["pid"] == self.process.pid),
                    None)


def start_gtk(session, title, app_id, colour, size=(400, 300), backend="wayland", csd=True,
              listed=True):
    """A GTK 3 window of that content size and colour (RRGGBB), run on the host against the
    session (its sockets are the same files inside a desktop root and out), once the extension
    lists it (listed=False: once it has drawn). Under Wayland GTK always draws its own title
    bar; csd=False under X11 has mutter frame the window."""
    process = start_solid_window(session, [build_client()], title, app_id, colour, size,
                                 backend, csd, **session.as_user())
    session._clients.append(process)
    window = GtkWindow(session, process, title)
    if listed:
        wait_until(window.listed, timeout=30, interval=0.05, what="the shell to list %r" % title)
    return window


class GnomeTestCase(SessionTestCase):
    """One GNOME Shell per class; `desktop_suite` None for the host's shell, else a root's."""

    desktop_suite = None
    extension = "enabled"
    screenshot_permission = True
    portal_refuses = False

    @classmethod
    def setUpClass(cls):
        require_binary()
        require_tools("identify", "djpeg", "gdbus", "dbus-send", "cmake", "cc", "pkg-config")
        desktop = DesktopRoot.require(cls.desktop_suite) if cls.desktop_suite else None
        if desktop is None:
            require_tools("gnome-shell")
        cls.session = GnomeSession(desktop, extension=cls.extension,
                                   screenshot_permission=cls.screenshot_permission,
                                   portal_refuses=cls.portal_refuses).start()
        cls.addClassCleanup(cls.session.stop)

    def jpeg(self, name):
        return Jpeg.from_file(self.sandbox.path(name))

    def client_size(self, window):
        area = window.listed()["clientArea"]
        return area["width"], area["height"]

    def assertUniform(self, jpeg, colour, top=0, tolerance=48, step=7):
        """Every pixel on a grid, and each edge row and column, is `colour`, from row `top`
        down (above it: a title bar GTK draws)."""
        rows = range(top, jpeg.height)
        points = {(x, y) for x in range(0, jpeg.width, step) for y in rows[::step]}
        points |= {(x, y) for x in range(jpeg.width) for y in (top, jpeg.height - 1)}
        points |= {(x, y) for y in rows for x in (0, jpeg.width - 1)}
        wrong = [(x, y, jpeg.pixel(x, y)) for x, y in sorted(points)
                 if colour_distance(jpeg.pixel(x, y), colour) > tolerance]
        self.assertEqual(wrong[:5], [], "%d of %d pixels are not %s" % (len(wrong), len(points),
                                                                       colour))

    def capture_window_until(self, name, window, colour, target="tavik"):
        """Captures until the JPEG is the window's client area with `colour` at its bottom
        centre (GTK draws in its own time, and the shell shows a new window a moment after it
        lists it); the last JPEG."""
        last = []

        def drawn():
            run = self.capture(name, "0.9", "0", target)
            if run.returncode == 5:
                last[:] = ["code 5", self.session.windows()]
                return None
            self.assertSucceeded(run)
            jpeg = self.jpeg(name)
            last[:] = [jpeg.size, jpeg.pixel(jpeg.width // 2, jpeg.height - 3)]
            return jpeg if jpeg.size == self.client_size(window) and colour_distance(
                jpeg.pixel(jpeg.width // 2, jpeg.height - 3), colour) <= 48 else None

        try:
            return wait_until(drawn, timeout=20, interval=0.2)
        except AssertionError:
            self.fail("never the window's area in %s; last: %s" % (colour, last))

    def title_bar(self, jpeg, size):
        """The first row of the content of `size` below what GTK draws above it (its header
        bar), past the row JPEG smears across the edge."""
        return jpeg.height - size[1] + 2
