"""A private headless KWin for end-to-end tests, with native Wayland and XWayland GTK clients.

KWin runs on its virtual backend with software OpenGL (llvmpipe): its screenshot service needs
OpenGL compositing. /usr/bin/kwin_wayland carries the file capability cap_sys_resource, which a
container's bounding set may lack (exec then fails with EPERM), so a plain copy is run; the copy
keeps the basename kwin_wayland, which its built-in Qt platform plugin insists on. KWin gets its
own session bus (a dbus-daemon that activates nothing) and XWayland, and when the tests run as
root it runs as an unprivileged user, as do its clients, the binary and every D-Bus caller (the
bus and XWayland refuse root).

Every process is started and stopped by PID; KWin takes its XWayland with it. D-Bus work of the
tests themselves (listing windows, moving them, checking which scripts are loaded) is done by
kwin_script.py, run as the session user under /usr/bin/python3.
"""

import atexit
import json
import os
import select
import shutil
import subprocess
import tempfile
import time
import unittest

from desktop_root import DesktopRoot
from harness import (BUS_CONFIG, Jpeg, Servers, SessionTestCase, UserSession, binary_for,
                     colour_distance, give_to, read_published, require_binary, require_tools,
                     start_binary, start_process, stop_process, wait_until, xterm_command)

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(os.path.dirname(HERE))
KWIN_BINARY = "/usr/bin/kwin_wayland"
SYSTEM_PYTHON = "/usr/bin/python3"  # the interpreter Debian's python3-dbus and python3-gi serve
LIST_SCRIPT = os.path.join(SOURCE_ROOT, "TarnwickScreenCapture", "backends", "kwin",
                           "list-windows.js")
ACTION_SCRIPT = os.path.join(HERE, "kwin-window-action.js")
SCRIPT_RUNNER = os.path.join(HERE, "kwin_script.py")
CLIENT_SOURCE = os.path.join(HERE, "solid-window.c")
PYTHON_CLIENT = os.path.join(HERE, "solid_window.py")
# What a session in a desktop root runs of its own (the root has no compiler).
ROOT_TOOLS = ("kwin_wayland", "dbus-daemon", "dbus-send", "Xwayland", "xdpyinfo", "xterm",
              "python3")

# Animations off: a window that has just mapped could otherwise still be fading in.
KDEGLOBALS = "[KDE]\nAnimationDurationFactor=0\n"

_client_binary = None


def require_kwin():
    """Skips the calling test class where a headless KWin cannot run."""
    require_tools("dbus-daemon", "dbus-send", "Xwayland", "xdpyinfo", "cc", "pkg-config")
    for path, package in ((KWIN_BINARY, "kwin-wayland"), (SYSTEM_PYTHON, "python3")):
        if not os.access(path, os.X_OK):
            raise unittest.SkipTest("%s is missing (%s)" % (path, package))
    checked = subprocess.run([SYSTEM_PYTHON, "-c", "import dbus, gi"], capture_output=True)
    if checked.returncode != 0:
        raise unittest.SkipTest(SYSTEM_PYTHON + " lacks python3-dbus or python3-gi")


def build_client():
    """solid-window (GTK 3, libgtk-3-dev), once per process, in a folder every user can read."""
    global _client_binary
    if _client_binary is None:
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "gtk+-3.0"],
                               capture_output=True, text=True, timeout=30)
        if flags.returncode != 0:
            raise unittest.SkipTest("GTK 3's development files are missing (libgtk-3-dev)")
        folder = tempfile.mkdtemp(prefix="tarnwick-kwin-client-")
        os.chmod(folder, 0o755)
        atexit.register(shutil.rmtree, folder, True)
        executable = os.path.join(folder, "solid-window")
        subprocess.run(["cc", "-O1", "-o", executable, CLIENT_SOURCE, *flags.stdout.split()],
                       check=True, capture_output=True, timeout=120)
        _client_binary = executable
    return _client_binary


def _read_line(process, timeout):
    deadline = time.monotonic() + timeout
    line = b""
    descriptor = process.stdout.fileno()
    while not line.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([descriptor], [], [], remaining)[0]:
            raise AssertionError("the client said nothing within %.0f s" % timeout)
        byte = os.read(descriptor, 1)
        if not byte:
            raise AssertionError("the client ended (status %r)" % process.poll())
        line += byte
    return line.decode().strip()


def start_solid_window(session, command, title, app_id, colour, size, backend, csd,
                       timeout=30.0, **popen_arguments):
    """The process of the solid-window client (`command`) of that client-area size and colour,
    once it has mapped its window."""
    arguments = [*command, "--title", title, "--app-id", app_id, "--colour", colour,
                 "--size", "%dx%d" % size] + (["--csd"] if csd else [])
    environment = session.environment()
    environment.update({"GDK_BACKEND": backend, "NO_AT_BRIDGE": "1", "GTK_A11Y": "none"})
    process = start_process(arguments, env=environment, cwd=session.home, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, **popen_arguments)
    try:
        line = _read_line(process, timeout)
        if line != "mapped":
            raise AssertionError("the client said %r" % line)
    except BaseException:
        stop_process(process)
        raise
    return process


class GtkClient:
    """A running solid-window: its process, and its window once KWin lists it."""

    def __init__(self, session, process, title):
        self.session = session
        self.process = process
        self.pid = process.pid
        self.title = title

    def command(self, line, timeout=10.0):
        """Sends "minimize", "present", "resize W H", "colour RRGGBB" or "title T" and waits
        for the client's "ok"."""
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        answer = _read_line(self.process, timeout)
        if answer != "ok":
            raise AssertionError("the client answered %r to %r" % (answer, line))

    def window(self):
        """The listing's entry for this client's window, or None."""
        return self.session.find_window(pid=self.pid, caption=self.title)

    def act(self, **action):
        """One of kwin-window-action.js's actions on this window: act(do="activate")."""
        return self.session.window_action(self.window()["internalId"], **action)


class KWinSession(UserSession):
    """kwin_wayland --virtual of width x height logical pixels (one output at scale 1: KWin
    5.27's virtual backend ignores --scale), with XWayland.

    permission_checks=False sets KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1 for KWin, which then
    serves ScreenShot2 to anyone; with True only executables named by a .desktop file with
    X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2 in KWin's XDG data folders may
    (add_desktop_entry). border_size picks Breeze's border size ("Normal", "Large", ...).

    desktop (a desktop_root.DesktopRoot) runs KWin, its bus, XWayland, the clients and the
    test's own D-Bus tools inside that root, from copies in the session's folder under /tmp
    (which the root shares); the GTK client is then solid_window.py under the root's python3.
    KWin 6 there composites with QPainter (no render node): no software OpenGL."""

    def __init__(self, width=1280, height=800, permission_checks=False, border_size=None,
                 desktop=None):
        super().__init__("tarnwick-e2e-kwin-", desktop)
        self.width, self.height = width, height
        self.permission_checks = permission_checks
        self.border_size = border_size
        self.config_home = os.path.join(self.home, ".config")
        self.data_home = os.path.join(self.home, ".local", "share")
        self.socket_name = "kwin-e2e-%d" % os.getpid()
        self.bus_socket = os.path.join(self.runtime, "bus")
        self.bus_address = "unix:path=" + self.bus_socket
        self.kwin = None
        self.servers = Servers(self.root)
        self.display = None

    # -- life cycle

    def start(self, timeout=60.0):
        if self.desktop is None:
            require_kwin()
            self.client_command = [build_client()]
            self.tools = {"runner": SCRIPT_RUNNER, "list": LIST_SCRIPT, "action": ACTION_SCRIPT}
            self.kwin_binary = KWIN_BINARY
        else:
            self.desktop.require_tools(*ROOT_TOOLS)
            self.kwin_binary = os.path.join(self.desktop.path, KWIN_BINARY.lstrip("/"))
        try:
            self._start(timeout)
        except AssertionError as error:
            log = self.servers.log("kwin")[-3000:]
            self.stop()
            raise AssertionError("%s; KWin's log ends: %s" % (error, log)) from None
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self, timeout):
        # XWayland, run as the session's user, cannot make the socket folder that an X server
        # run as root makes on a fresh machine.
        if not os.path.isdir("/tmp/.X11-unix") and os.geteuid() == 0:
            os.mkdir("/tmp/.X11-unix")
            os.chmod("/tmp/.X11-unix", 0o1777)
        os.makedirs(self.runtime, mode=0o700)
        os.makedirs(self.config_home)
        os.makedirs(os.path.join(self.data_home, "applications"))
        bin_folder = os.path.join(self.root, "bin")
        os.makedirs(bin_folder)
        # A copy drops the file capability; the basename must stay kwin_wayland.
        shutil.copy(self.kwin_binary, os.path.join(bin_folder, "kwin_wayland"))
        if self.desktop is not None:
            # The root sees the session's folder, not the checkout.
            self.tools = {}
            for name, path in (("runner", SCRIPT_RUNNER), ("list", LIST_SCRIPT),
                               ("action", ACTION_SCRIPT), ("client", PYTHON_CLIENT)):
                self.tools[name] = os.path.join(bin_folder, os.path.basename(path))
                shutil.copy(path, self.tools[name])
            self.client_command = [SYSTEM_PYTHON, self.tools["client"]]
        with open(os.path.join(self.config_home, "kdeglobals"), "w") as stream:
            stream.write(KDEGLOBALS)
        if self.border_size:
            with open(os.path.join(self.config_home, "kwinrc"), "w") as stream:
                stream.write("[org.kde.kdecoration2]\nBorderSize=%s\nBorderSizeAuto=false\n"
                             % self.border_size)
        published = os.path.join(self.runtime, "display")
        announce = os.path.join(bin_folder, "announce-display")
        with open(announce, "w") as stream:
            # KWin starts the programs named after its options once XWayland is up, with
            # DISPLAY set: this one tells the tests which display that is.
            stream.write("#!/bin/sh\nprintf '%%s' \"$DISPLAY\" > %s.new && mv %s.new %s\n"
                         % (published, published, published))
        os.chmod(announce, 0o755)
        give_to(self.root, self.uid, self.gid)

        self.servers.start_bus("dbus", BUS_CONFIG % self.bus_socket, self.bus_socket, timeout,
                               env=self._base_environment(), cwd=self.home,
                               **self.in_session())
        environment = self._base_environment()
        environment.update({"DBUS_SESSION_BUS_ADDRESS": self.bus_address,
                            "LIBGL_ALWAYS_SOFTWARE": "1",
                            "XDG_CONFIG_HOME": self.config_home,
                            "XDG_DATA_HOME": self.data_home})
        if not self.permission_checks:
            environment["KWIN_SCREENSHOT_NO_PERMISSION_CHECKS"] = "1"
        arguments = [os.path.join(bin_folder, "kwin_wayland"), "--virtual",
                     "--width", str(self.width), "--height", str(self.height),
                     "--socket", self.socket_name, "--no-lockscreen", "--no-global-shortcuts",
                     "--xwayland", announce]
        if self.desktop is None:
            arguments.insert(-2, "--no-kactivities")  # gone in KWin 6
        else:
            del environment["LIBGL_ALWAYS_SOFTWARE"]
        self.kwin = self.servers.start("kwin", arguments, env=environment, cwd=self.home,
                                       **self.in_session())
        wait_until(lambda: self.servers.alive() and
                   os.path.exists(os.path.join(self.runtime, self.socket_name)),
                   timeout=timeout, what="KWin's Wayland socket")
        # The screenshot service registers its name once compositing (OpenGL) is up; KWin 6
        # without OpenGL has none, and its scripting is what the tests need.
        wait_until(lambda: self.servers.alive() and self.has_owner(
            "org.kde.KWin" if self.desktop else "org.kde.KWin.ScreenShot2"),
                   timeout=timeout, interval=0.05, what="KWin on the session bus")

        self.display = wait_until(lambda: self.servers.alive() and read_published(published),
                                  timeout=timeout, what="XWayland's DISPLAY")
        wait_until(lambda: self.servers.alive() and self.run(["xdpyinfo"]).returncode == 0,
                   timeout=timeout, what="XWayland to accept clients")

    def _stop_servers(self):
        try:
            self.stop_kwin()
        finally:
            self.servers.stop()  # the bus

    def stop_kwin(self):
        """Stops KWin (and with it XWayland), also one that was stopped or killed."""
        if self.kwin is not None and self.kwin.poll() is None:
            os.kill(self.kwin.pid, 18)  # SIGCONT: a stopped KWin cannot end on SIGTERM
        try:
            stop_process(self.kwin, grace=10.0)
        finally:
            self.kwin = None
            self._remove_stale_x_files()

    def _remove_stale_x_files(self):
        """A KWin that was killed leaves XWayland's socket and lock file in /tmp behind."""
        if not self.display:
            return
        number = self.display.lstrip(":")
        for path in ("/tmp/.X11-unix/X" + number, "/tmp/.X%s-lock" % number):
            try:
                if os.lstat(path).st_uid == self.uid:
                    os.unlink(path)
            except OSError:
                pass

    # -- environment and helpers

    def environment(self):
        """What a client of the session needs."""
        environment = self._base_environment()
        environment.update({"WAYLAND_DISPLAY": self.socket_name,
                            "DBUS_SESSION_BUS_ADDRESS": self.bus_address,
                            "XDG_DATA_HOME": self.data_home,
                            "XDG_CONFIG_HOME": self.config_home})
        if self.display:
            environment["DISPLAY"] = self.display
        return environment

    def run(self, args, timeout=20, env=None):
        environment = self.environment()
        environment.update(env or {})
        return subprocess.run(args, env=environment, cwd=self.home, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout,
                              **self.in_session())

    def has_owner(self, name):
        reply = self.run(["dbus-send", "--session", "--print-reply",
                          "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus.NameHasOwner", "string:" + name])
        return reply.returncode == 0 and "boolean true" in reply.stdout

    # -- scripts

    def _script_runner(self, *arguments, timeout=40):
        completed = self.run([SYSTEM_PYTHON, self.tools["runner"], *arguments], timeout=timeout)
        try:
            result = json.loads(completed.stdout)
        except ValueError:
            raise AssertionError("kwin_script.py failed: %s %s" % (completed.stdout,
                                                                  completed.stderr))
        if "error" in result:
            raise AssertionError("kwin_script.py failed: " + result["error"])
        return result

    def run_script(self, source):
        """Runs a KWin script text (with the @REPLY_...@ placeholders); its parsed answer."""
        folder = tempfile.mkdtemp(prefix="script-", dir=self.root)
        path = os.path.join(folder, "script.js")
        with open(path, "w") as stream:
            stream.write(source)
        give_to(folder, self.uid, self.gid)
        try:
            return json.loads(self._script_runner("run", path)["answer"])
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def loaded_scripts(self):
        """The object paths of the scripts KWin has loaded."""
        return self._script_runner("loaded")["scripts"]

    def scripting(self, command, *arguments):
        """One call of another client to KWin's scripting: "load" PATH NAME (the number KWin
        gave), "unload" NAME or "isloaded" NAME (a truth)."""
        return self._script_runner(command, *arguments)["result"]

    def windows(self):
        """KWin's windows as the binary's listing script describes them, bottom to top."""
        with open(self.tools["list"]) as stream:
            answer = self.run_script(stream.read())
        if "error" in answer:
            raise AssertionError("the listing script failed: " + answer["error"])
        return answer["windows"]

    def find_window(self, pid=None, caption=None):
        for window in reversed(self.windows()):
            if (pid is None or window["pid"] == pid) and \
                    (caption is None or window["caption"] == caption):
                return window
        return None

    def window_action(self, window_id, **action):
        """One of kwin-window-action.js's actions, e.g. window_action(id, do="activate")."""
        with open(self.tools["action"]) as stream:
            source = stream.read()
        source = source.replace("@WINDOW@", json.dumps(window_id)).replace(
            "@ACTION@", json.dumps(action))
        answer = self.run_script(source)
        if not answer.get("ok"):
            raise AssertionError("window action %r failed: %s" % (action, answer.get("error")))
        return answer

    # -- permission

    def add_desktop_entry(self, executable, name="tarnwick-screen-capture"):
        """A .desktop file in KWin's XDG_DATA_HOME letting `executable` use ScreenShot2 when
        permission checks are on, as the README shows; KWin notices it within about 2 s."""
        folder = os.path.join(self.data_home, "applications")
        path = os.path.join(folder, name + ".desktop")
        with open(path + ".new", "w") as stream:
            stream.write("[Desktop Entry]\nType=Application\nName=TarnwickScreenCapture\n"
                         "Exec=%s\nNoDisplay=true\n"
                         "X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2\n"
                         % executable)
        give_to(folder, self.uid, self.gid)
        os.replace(path + ".new", path)  # KWin must never read a half-written file
        return path

    # -- clients

    def start_gtk(self, title, app_id, colour, size=(400, 300), backend="wayland", csd=False,
                  timeout=30.0):
        """A solid-window client of that client-area size, mapped and listed by KWin; backend
        "x11" runs it on XWayland."""
        client = GtkClient(self, start_solid_window(
            self, self.client_command, title, app_id, colour, size, backend, csd, timeout,
            **self.in_session()), title)
        self._clients.append(client)
        wait_until(client.window, timeout=timeout, interval=0.05,
                   what="KWin to list %r" % title)
        return client

    def start_xterm(self, title, owner, colour, timeout=30.0):
        """An xterm under XWayland, all `colour` (#RRGGBB), its text cursor hidden, listed by
        KWin; its client."""
        environment = self.environment()
        environment.pop("WAYLAND_DISPLAY")
        process = start_process(xterm_command(owner, title, colour), env=environment,
                                cwd=self.home, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                **self.in_session())
        self._clients.append(GtkClient(self, process, title))
        # xterm's pid is its window's; the sleep it runs is a child.
        wait_until(lambda: self.find_window(pid=process.pid, caption=title), timeout=timeout,
                   interval=0.05, what="KWin to list xterm %r" % title)
        return self._clients[-1]

    def close_all_windows(self):
        for client in self._clients:
            stop_process(client.process)
        self._clients.clear()


class KWinTestCase(SessionTestCase):
    """One KWin per class, or per test with session_per_test (for tests that stop or kill it)."""

    width, height = 1280, 800
    permission_checks = False
    border_size = None
    session_per_test = False
    suite = None  # a desktop root's suite (trixie, sid) to run KWin in; None: the host's

    @classmethod
    def setUpClass(cls):
        require_binary()
        require_tools("identify", "djpeg")
        if not cls.session_per_test:
            cls.session = cls.start_session()
            cls.addClassCleanup(cls.session.stop)

    @classmethod
    def start_session(cls):
        desktop = DesktopRoot.require(cls.suite) if cls.suite else None
        return KWinSession(cls.width, cls.height, permission_checks=cls.permission_checks,
                           border_size=cls.border_size, desktop=desktop).start()

    def setUp(self):
        if self.session_per_test:
            self.session = self.start_session()
            self.addCleanup(self.session.stop)
        super().setUp()

    def start_capture(self, *args):
        """The binary started without waiting for it; stop it with stop_process."""
        return start_binary(list(args), self.sandbox, env=self.session.binary_environment(),
                            **self.session.as_user())

    def binary_path(self):
        """The path the binary runs from as the session's user, which KWin's permission names."""
        return binary_for(self.session.as_user())

    def jpeg(self, name):
        return Jpeg.from_file(self.sandbox.path(name))

    def place(self, client, x, y):
        """Moves the window's frame to (x, y) and waits until KWin shows it there."""
        frame = client.window()["frameGeometry"]
        client.act(do="geometry", x=x, y=y, width=frame["width"], height=frame["height"])
        return wait_until(lambda: (lambda w: w if (w["frameGeometry"]["x"],
                                                    w["frameGeometry"]["y"]) == (x, y)
                                   else None)(client.window()),
                          timeout=10, what="the window to move")

    def raise_window(self, client):
        """Activates the window and waits until only windows kept above are above it."""
        client.act(do="activate")
        wait_until(lambda: [window for window in self.session.windows()
                            if not window["keepAbove"]][-1]["pid"] == client.pid,
                   timeout=10, what="%r to be on top" % client.title)

    def assertUniform(self, jpeg, colour, tolerance=48, step=7):
        """Every pixel on a grid, and each edge row and column, is `colour`: no frame, shadow
        or other window in the image."""
        points = {(x, y) for x in range(0, jpeg.width, step) for y in range(0, jpeg.height, step)}
        points |= {(x, y) for x in range(jpeg.width) for y in (0, jpeg.height - 1)}
        points |= {(x, y) for y in range(jpeg.height) for x in (0, jpeg.width - 1)}
        wrong = [(x, y, jpeg.pixel(x, y)) for x, y in sorted(points)
                 if colour_distance(jpeg.pixel(x, y), colour) > tolerance]
        self.assertEqual(wrong[:5], [], "%d of %d pixels are not %s" % (len(wrong), len(points),
                                                                       colour))
