"""A private headless sway for end-to-end tests, with native and XWayland clients.

sway will not run as root: when the tests do, sway, its clients and the binary run as an
unprivileged user made for the purpose. Every process is started and stopped by PID.
"""

import glob
import json
import os
import subprocess

from desktop_root import DesktopRoot
# SessionTestCase, UserSession, give_to and session_user are kept here for the tests that import
# them from this module.
from harness import (COLOURS, HIDDEN_CURSOR, Jpeg, SessionTestCase, UserSession,  # noqa: F401
                     _parse_ppm, colour_distance, give_to, rgb, read_published, require_binary,
                     require_tools, session_user, start_process, stop_process, stopped_on_failure,
                     wait_until, wayland_socket, xterm_command)


def foot_command(session, app_id, title, colour, command):
    """foot all in `colour` (hex RRGGBB), its cursor too, in the options of the session's foot:
    1.26 renamed the colours' section, 1.23 moved the cursor's colour into it."""
    if not hasattr(session, "_foot_version"):
        words = session.run(["foot", "--version"]).stdout.split()
        numbers = words[2].split(".") if len(words) > 2 else []
        session._foot_version = tuple(int(n) for n in numbers if n.isdigit()) or (1, 13)
    section = "colors-dark" if session._foot_version >= (1, 26) else "colors"
    cursor = ("%s.cursor=%s %s" % (section, colour, colour) if session._foot_version >= (1, 23)
              else "cursor.color=%s %s" % (colour, colour))
    # Newer foots size a window in whole cells, leaving the rest of what sway gives it empty.
    whole = ["-o", "resize-by-cells=no"] if session._foot_version >= (1, 15) else []
    return ["foot", "--app-id", app_id, "--title", title, *whole,
            "-o", "%s.background=%s" % (section, colour),
            "-o", "%s.foreground=%s" % (section, colour), "-o", cursor, *command]


class WlrootsSession(UserSession):
    """A headless wlroots compositor (self.process) and what its clients need; XWayland's
    DISPLAY is what a program it starts wrote to the runtime folder's "display"."""

    def __init__(self, name, desktop=None):
        super().__init__("tarnwick-e2e-%s-" % name, desktop)
        self.name = name
        self.process = None
        self.wayland_display = None
        self.display = None

    def _launch(self, args, outputs):
        """Starts the compositor as the session's user, its output going to NAME.log."""
        give_to(self.root, self.uid, self.gid)
        environment = self._base_environment()
        environment.update({"WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman",
                            "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_HEADLESS_OUTPUTS": str(outputs)})
        with open(os.path.join(self.root, self.name + ".log"), "wb") as log:
            self.process = start_process(args, env=environment, cwd=self.home,
                                         stdout=subprocess.DEVNULL, stderr=log,
                                         **self.in_session())

    def alive(self):
        if self.process.poll() is not None:
            with open(os.path.join(self.root, self.name + ".log"), errors="replace") as log:
                raise AssertionError("%s ended early (%d): %s" % (
                    self.name, self.process.returncode, log.read()[-2000:]))
        return True

    def _wait_for_xwayland(self, timeout):
        published = os.path.join(self.runtime, "display")
        self.display = wait_until(lambda: self.alive() and read_published(published),
                                  timeout=timeout, what="XWayland's DISPLAY")
        self.require_tools("xdpyinfo")
        wait_until(lambda: self.alive() and self.run(["xdpyinfo"]).returncode == 0,
                   timeout=timeout, what="XWayland to accept clients")

    def _stop_servers(self):
        try:
            # The compositor takes its XWayland with it.
            stop_process(self.process, grace=10.0)
        finally:
            self.process = None

    def environment(self):
        """What a client of the session needs."""
        environment = self._base_environment()
        environment["WAYLAND_DISPLAY"] = self.wayland_display
        if self.display:
            environment["DISPLAY"] = self.display
        return environment

    def run(self, args, timeout=20):
        # Compositors pass window titles on byte for byte, UTF-8 or not.
        return subprocess.run(args, env=self.environment(), cwd=self.home,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              errors="replace", timeout=timeout, **self.in_session())

    def grim(self, path, area=None):
        """grim's image of the layout, or of `area` (x, y, width, height) of it: (RGB bytes,
        width, height)."""
        self.require_tools("grim")
        if self.desktop is not None:
            # In a root only the session's folder is sure to be seen from both sides.
            path = os.path.join(self.root, os.path.basename(path))
        region = ["-g", "%d,%d %dx%d" % tuple(area)] if area else []
        completed = self.run(["grim", "-t", "ppm", *region, path])
        if completed.returncode != 0:
            raise AssertionError("grim failed: " + completed.stderr)
        with open(path, "rb") as stream:
            return _parse_ppm(stream.read())


class SwaySession(WlrootsSession):
    """sway with the headless backend; outputs are (mode, scale, background colour) laid out left
    to right from the origin, in logical pixels."""

    def __init__(self, outputs=(("1280x720", 1, "#3060c0"),), xwayland=True, desktop=None):
        super().__init__("sway", desktop)
        self.outputs = outputs
        self.xwayland = xwayland
        self.swaysock = None
        self._placements = {}  # pid -> (process, x, y, width, height) of float_at

    # -- life cycle

    def start(self, timeout=30.0):
        self.require_tools("sway", "swaymsg")
        os.makedirs(self.runtime, mode=0o700)
        os.makedirs(self.home)
        lines = ["xwayland %s" % ("force" if self.xwayland else "disable"),
                 "default_border none", "default_floating_border none",
                 "focus_follows_mouse no", "focus_on_window_activation focus"]
        x = 0
        for number, (mode, scale, colour) in enumerate(self.outputs, start=1):
            lines.append("output HEADLESS-%d mode %s position %d 0 scale %s bg %s solid_color"
                         % (number, mode, x, scale, colour))
            x += int(mode.split("x")[0]) // scale
        if self.xwayland:
            lines.append('exec printf %%s "$DISPLAY" > %s/display' % self.runtime)
        config = os.path.join(self.root, "config")
        with open(config, "w") as stream:
            stream.write("\n".join(lines) + "\n")
        self._launch(["sway", "-c", config], len(self.outputs))
        with stopped_on_failure(self.stop):
            self._wait_ready(timeout)
        return self

    def _wait_ready(self, timeout):
        def sockets():
            ipc = glob.glob(os.path.join(self.runtime, "sway-ipc.*.sock"))
            wayland = self.alive() and wayland_socket(self.runtime)
            if ipc and wayland:
                self.swaysock, self.wayland_display = ipc[0], wayland
                return True
            return False

        wait_until(sockets, timeout=timeout, interval=0.05, what="sway's sockets")
        wait_until(lambda: self.alive() and self.swaymsg("-t", "get_version", check=False)
                   .returncode == 0, timeout=timeout, what="sway's IPC")
        wait_until(lambda: self.alive() and len(self.output_names()) == len(self.outputs),
                   timeout=timeout, what="the outputs")
        if self.xwayland:
            self._wait_for_xwayland(timeout)

    # -- environment and helpers

    def environment(self):
        environment = super().environment()
        environment["SWAYSOCK"] = self.swaysock
        return environment

    def swaymsg(self, *args, check=True):
        completed = self.run(["swaymsg", *args])
        if check and completed.returncode != 0:
            raise AssertionError("swaymsg %s failed: %s %s" % (args, completed.stdout,
                                                              completed.stderr))
        return completed

    def tree(self):
        return json.loads(self.swaymsg("-t", "get_tree", "-r").stdout)

    def output_names(self):
        completed = self.swaymsg("-t", "get_outputs", "-r", check=False)
        if completed.returncode != 0:
            return []
        return [output["name"] for output in json.loads(completed.stdout)]

    def windows(self):
        found = []

        def walk(node):
            if node.get("type") in ("con", "floating_con") and not node.get("nodes") and \
                    not node.get("floating_nodes"):
                found.append(node)
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                walk(child)

        walk(self.tree())
        return found

    def window(self, pid):
        """sway's node of the mapped window of this process, or None."""
        for node in self.windows():
            if node.get("pid") == pid and node.get("visible"):
                return node
        return None

    @staticmethod
    def client_area(node):
        rect, inner = node["rect"], node["window_rect"]
        return (rect["x"] + inner["x"], rect["y"] + inner["y"], inner["width"], inner["height"])

    def _start_client(self, args, what):
        process = start_process(args, env=self.environment(), cwd=self.home,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                **self.in_session())
        self._clients.append(process)

        def mapped():
            if process.poll() is not None:
                raise AssertionError("%s ended early with status %d" % (what, process.returncode))
            return self.window(process.pid)

        wait_until(mapped, timeout=20, what="%s to map its window" % what)
        return process

    def start_foot(self, app_id, title, colour):
        """A native client whose window is all `colour` (hex RRGGBB)."""
        self.require_tools("foot")
        return self._start_client(
            foot_command(self, app_id, title, colour, ["sh", "-c", HIDDEN_CURSOR]),
            "foot %r" % app_id)

    def start_foot_with_corner(self, app_id, title, colour, corner):
        """A native client all `colour` but for a block of `corner` in its top left corner, 20
        character cells by 6 rows: a picture that shows which way up it is."""
        self.require_tools("foot")
        block = "printf '\\033[48;2;%d;%d;%dm%%20s\\033[0m\\n' '' '' '' '' '' ''" % rgb(corner)
        return self._start_client(
            foot_command(self, app_id, title, colour, ["sh", "-c", block + "; exec sleep 100000"]),
            "foot %r" % app_id)

    def start_xterm(self, owner, title, colour):
        """An X client under XWayland whose window is all `colour` (a colour name)."""
        self.require_tools("xterm")
        return self._start_client(xterm_command(owner, title, colour), "xterm %r" % owner)

    def command(self, process, *words):
        """A sway command for the window of that process."""
        self.swaymsg("[pid=%d]" % process.pid, *words)

    def float_at(self, process, x=None, y=None, width=None, height=None):
        """Makes the window floating with that client area (logical pixels); commands are sent
        again until sway shows it there, since a busy client may answer the first late. The
        commands go as one list, which sway turns into one configure of the client."""
        self._placements[process.pid] = (process, x, y, width, height)
        words = ["floating", "enable"]
        if width is not None:
            words += [",", "resize", "set", str(width), str(height)]
        if x is not None:
            words += [",", "move", "absolute", "position", str(x), str(y)]

        def placed():
            self.command(process, *words)
            node = self.window(process.pid)
            if node is None or node.get("type") != "floating_con":
                return None
            area = self.client_area(node)
            wanted = (x if x is not None else area[0], y if y is not None else area[1],
                      width or area[2], height or area[3])
            return area if area == wanted else None

        return wait_until(placed, timeout=20, interval=0.2, what="the window to be placed")

    def place_again(self):
        """Places the floating windows again where float_at put them: a client may take back
        its own size later (an X client's configure request), and sway grants it."""
        for process, *area in list(self._placements.values()):
            if process.poll() is None:
                self.float_at(process, *area)

    def close_all_windows(self):
        for process in self._clients:
            stop_process(process)
        self._clients.clear()
        self._placements.clear()
        if self.process is not None and self.process.poll() is None:
            wait_until(lambda: not self.windows(), timeout=20, what="windows to close")


def differences_from_grim(jpeg, grim, step=6, margin=3, tolerance=40):
    """Points of a grid where the JPEG differs from grim's image by more than JPEG's noise;
    points within `margin` of an edge in grim's image, where JPEG smears colours, are left out.
    None when the sizes differ."""
    pixels, width, height = grim
    if jpeg.size != (width, height):
        return None

    def at(x, y):
        offset = 3 * (y * width + x)
        return tuple(pixels[offset:offset + 3])

    found = []
    for y in range(margin, height - margin, step):
        for x in range(margin, width - margin, step):
            expected = at(x, y)
            if any(colour_distance(at(x + dx, y + dy), expected) > 8
                   for dx in (-margin, 0, margin) for dy in (-margin, 0, margin)):
                continue
            if colour_distance(jpeg.pixel(x, y), expected) > tolerance:
                found.append((x, y))
    return found


class SwayTestCase(SessionTestCase):
    """One sway per class: the host's, or that of the desktop root of `suite`."""

    outputs = (("1280x720", 1, "#3060c0"),)
    suite = None  # a root of desktop_root.SUITES

    @classmethod
    def setUpClass(cls):
        require_binary()
        require_tools("identify", "djpeg")
        if cls.suite is None:
            require_tools("sway", "swaymsg")
        cls.session = SwaySession(
            cls.outputs, desktop=DesktopRoot.require(cls.suite) if cls.suite else None)
        cls.session.start()
        cls.addClassCleanup(cls.session.stop)

    def capture_when_drawn(self, name, size, points, colour, target="tavik"):
        """Captures until the JPEG has `size` and shows `colour` at every point. A client redraws
        a window that changed size in its own time, and a commit at its old size can make sway
        report that size again for a moment; a window of another size is placed again. A capture
        of the wrong place never gets there."""
        expected = COLOURS.get(colour, colour)
        last = []

        def drawn():
            jpeg = self.capture_unless_busy(name, "0.9", target)
            if jpeg is None:
                last[:] = ["no image: code 6"]
                return None
            last[:] = [jpeg.size] + [jpeg.pixel(x, y) for x, y in points
                                     if x < jpeg.width and y < jpeg.height]
            if jpeg.size != size:
                self.session.place_again()
                return None
            if all(colour_distance(jpeg.pixel(x, y), expected) <= 48 for x, y in points):
                return jpeg
            return None

        try:
            return wait_until(drawn, timeout=20, interval=0.2)
        except AssertionError:
            windows = [(node.get("name"), self.session.client_area(node))
                       for node in self.session.windows()]
            self.fail("the window never showed at %s in %s; last seen: %s; sway: %s"
                      % (size, colour, last, windows))

    def capture_unless_busy(self, name, quality, target):
        """The capture's JPEG, or None where the binary gave up with code 6 and its line: sway,
        rendering in software on a busy machine, can leave a copy unanswered past the binary's
        5 s. Any other outcome fails the test."""
        run = self.capture(name, quality, "0", target)
        if run.returncode == 6:
            self.assertFailedWith(run, 6)
            return None
        self.assertSucceeded(run)
        return Jpeg.from_file(self.sandbox.path(name))

    def listing_once_shown(self, text):
        """--list-windows once its output holds text: a client commits a new size in its own
        time, and until then sway shows the size it committed before."""

        def shown():
            run = self.capture("--list-windows")
            return run if text.encode() in run.stdout else None

        return wait_until(shown, timeout=20, interval=0.2, what="a listing with %r" % text)

    def assertSameAsGrim(self, target="desktop", area=None):
        """Captures `target` until it is grim's image of the layout (or of `area`) up to JPEG's
        noise, grim shooting again each time: clients draw in their own time. A capture drawn
        the wrong way round never gets there."""
        last = []

        def same():
            grim = self.session.grim(self.sandbox.path("grim.ppm"), area)
            jpeg = self.capture_unless_busy("capture.jpg", "0.95", target)
            if jpeg is None:
                last[:] = ["no image: code 6"]
                return False
            differences = differences_from_grim(jpeg, grim)
            last[:] = [jpeg.size, grim[1:], differences and differences[:10]]
            return differences == []

        try:
            wait_until(same, timeout=20, interval=0.2)
        except AssertionError:
            self.fail("the capture never matched grim's image; last (capture size, grim's size, "
                      "differing points): %s" % last)


CORNERS_640_400 = [(5, 5), (320, 200), (634, 394), (5, 394), (634, 5)]


class ClientSizeCases:
    """Mixed into a SwayTestCase whose sway differs from another's."""

    def test_native_and_xwayland_windows_are_captured_at_their_client_size(self):
        for start, colour in ((lambda: self.session.start_foot("tavik", "native", "ff0000"), "red"),
                              (lambda: self.session.start_xterm("Tavik", "under X", "yellow"),
                               "yellow")):
            with self.subTest(colour=colour):
                client = start()
                self.session.float_at(client, 100, 100, 640, 400)
                self.capture_when_drawn("window.jpg", (640, 400), CORNERS_640_400, colour)
                self.session.close_all_windows()


class LabwcSession(WlrootsSession):
    """labwc, headless, with XWayland: a wlroots compositor without sway's window tree. Its one
    output is the headless backend's default; windows go where labwc places them."""

    def __init__(self, desktop=None):
        super().__init__("labwc", desktop)

    def start(self, timeout=30.0):
        self.require_tools("labwc", "xdpyinfo", "xwininfo")
        os.makedirs(self.runtime, mode=0o700)
        config = os.path.join(self.home, ".config", "labwc")
        os.makedirs(config)
        # labwc sets DISPLAY for what it starts once its XWayland listens.
        self._launch(["labwc", "-C", config, "-s",
                      'sh -c \'printf %%s "$DISPLAY" > %s/display\'' % self.runtime], 1)
        with stopped_on_failure(self.stop):
            self.wayland_display = wait_until(lambda: self.alive() and
                                              wayland_socket(self.runtime), timeout=timeout,
                                              interval=0.05, what="labwc's socket")
            self._wait_for_xwayland(timeout)
        return self

    def _start(self, args):
        process = start_process(args, env=self.environment(), cwd=self.home,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                **self.in_session())
        self._clients.append(process)
        return process

    def x_window_size(self, title):
        """(width, height) of the viewable X window of that title, or None."""
        completed = self.run(["xwininfo", "-name", title])
        if completed.returncode != 0 or "IsViewable" not in completed.stdout:
            return None
        values = dict(line.strip().split(": ", 1) for line in completed.stdout.splitlines()
                      if ": " in line)
        return int(values["Width"]), int(values["Height"])

    def start_xterm(self, owner, title, colour):
        """An X client all `colour`, 80 by 24 cells; returns once XWayland shows it mapped."""
        process = self._start(xterm_command(owner, title, colour, "-geometry", "80x24"))
        wait_until(lambda: process.poll() is None and self.x_window_size(title), timeout=20,
                   what="xterm %r to map" % title)
        return process

    def start_foot(self, app_id, title, colour):
        """A native client all `colour`; labwc tells no client when it is mapped, so the caller
        waits for its colour on screen."""
        return self._start(foot_command(self, app_id, title, colour, ["sh", "-c", HIDDEN_CURSOR]))
