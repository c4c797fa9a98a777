"""The end-to-end cases under GNOME Shell, shared by the host's shell (test_gnome.py) and the
Debian 13 root's (test_desktops_gnome.py): mixins for gnome_session.GnomeTestCase."""

import os
import subprocess

from gnome_session import EXTENSION_UUID, SERVICE, start_gtk
from harness import colour_distance, rgb, start_process, stop_process, wait_until

RED, BLUE, GREEN, MAGENTA = "ff0000", "0000ff", "00ff00", "ff00ff"


def differing_pixels(first, second, step=8, tolerance=40):
    return sum(1 for y in range(0, first.height, step) for x in range(0, first.width, step)
               if colour_distance(first.pixel(x, y), second.pixel(x, y)) > tolerance)


# A caller that asks for the desktop's pixels and then never reads them.
STALLED_READER = """
import fcntl, os, sys
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
read_end, write_end = os.pipe()
fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)  # less than even a plain desktop's PNG
fds = Gio.UnixFDList.new()
fds.append(write_end)
os.close(write_end)
bus.call_with_unix_fd_list_sync(sys.argv[1], sys.argv[2], sys.argv[1], "DesktopPixels",
    GLib.Variant("(h)", (0,)), None, Gio.DBusCallFlags.NONE, 10000, fds, None)
print("asked", flush=True)
sys.stdin.read()
"""


class ExtensionCases:
    """With the extension enabled before the shell started."""

    def test_a_native_window_is_its_own_client_area_even_half_covered(self):
        tavik = start_gtk(self.session, "Tavik native", "tavik", RED, (400, 300))
        cover = start_gtk(self.session, "a cover", "cover", BLUE, (300, 300))
        # New windows open centred, so the later one covers the middle of the earlier.
        area, over = tavik.listed()["clientArea"], cover.listed()["clientArea"]
        self.assertLess(over["x"], area["x"] + area["width"] // 2)
        jpeg = self.capture_window_until("tavik.jpg", tavik, rgb(RED))
        self.assertEqual(jpeg.width, 400)
        self.assertUniform(jpeg, rgb(RED), top=self.title_bar(jpeg, (400, 300)))

    def test_an_xwayland_window_and_the_listing_of_both_kinds(self):
        native = start_gtk(self.session, "native listed", "native", GREEN, (360, 280))
        xwayland = start_gtk(self.session, "Tavik on X", "tavik", MAGENTA, (420, 320),
                             backend="x11", csd=False)
        self.assertEqual(xwayland.listed()["client"], "x11")
        # Inside mutter's frame: the client's own pixels alone.
        jpeg = self.capture_window_until("x.jpg", xwayland, rgb(MAGENTA))
        self.assertEqual(jpeg.size, (420, 320))
        self.assertUniform(jpeg, rgb(MAGENTA))
        listing = self.capture("--list-windows")
        self.assertEqual(listing.returncode, 0, listing)
        text = listing.stdout.decode()
        self.assertIn("GNOME Shell's extension", text.splitlines()[0])
        for window in (native, xwayland):
            self.assertIn(window.title, text)

    def test_a_minimized_window_is_passed_over(self):
        tavik = start_gtk(self.session, "Tavik minimized", "tavik", RED, (400, 300))
        self.capture_window_until("before.jpg", tavik, rgb(RED))
        tavik.command("minimize")
        wait_until(lambda: tavik.listed()["minimized"], timeout=10, what="the minimize")
        self.assertFailedWith(self.capture("a.jpg", "0.9", "0", "tavik"), 5)
        self.assertFalse(os.path.exists(self.sandbox.path("a.jpg")))

    def test_the_desktop_matches_the_portals_image_of_the_same_screen(self):
        start_gtk(self.session, "on the desktop", "desktop-window", GREEN, (500, 400))
        last = []

        def same():
            self.assertSucceeded(self.capture("ours.jpg", "0.95", "0", "desktop"))
            portal = self.capture("portal.jpg", "0.95", "0", "desktop",
                                  env={"TARNWICK_CAPTURE_BACKEND": "portal"})
            self.assertSucceeded(portal)
            ours, theirs = self.jpeg("ours.jpg"), self.jpeg("portal.jpg")
            last[:] = [ours.size, theirs.size]
            if ours.size != (self.session.width, self.session.height) or ours.size != theirs.size:
                return False
            last.append(differing_pixels(ours, theirs))
            return last[-1] == 0

        try:
            wait_until(same, timeout=30, interval=0.2)
        except AssertionError:
            self.fail("the extension's desktop never matched the portal's: %s" % last)

    def test_the_agent_answers_through_the_extension(self):
        start_gtk(self.session, "Tavik for the agent", "tavik", MAGENTA, (380, 300))
        agent = self.start_agent()
        response = self.ask_agent({"output": self.sandbox.path("agent.jpg"), "quality": 0.8,
                                   "maxWidth": 0, "target": "tavik"})
        self.assertTrue(response["ok"], response)
        jpeg = self.jpeg("agent.jpg")
        self.assertUniform(jpeg, rgb(MAGENTA), top=self.title_bar(jpeg, (380, 300)))
        _, _, stderr = agent.stop()
        self.assertIn("GNOME Shell's extension", stderr.decode().splitlines()[0])

    def test_a_reader_that_stops_reading_does_not_stop_the_shell(self):
        environment = self.session.environment()
        reader = start_process(["/usr/bin/python3", "-c", STALLED_READER, SERVICE,
                                "/invalid/tarnwick/ScreenCapture"],
                               env=environment, cwd=self.session.home, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               **self.session.as_user())
        self.addCleanup(stop_process, reader)
        self.assertEqual(reader.stdout.readline().strip(), b"asked")
        tavik = start_gtk(self.session, "Tavik meanwhile", "tavik", GREEN, (320, 240))
        self.capture_window_until("meanwhile.jpg", tavik, rgb(GREEN))
        self.assertSucceeded(self.capture("desktop.jpg", "0.9", "0", "desktop"))

    def test_doctor_says_the_extension_answers(self):
        run = self.capture("--doctor")
        text = run.stdout.decode()
        self.assertIn("extension %s is enabled and answers" % EXTENSION_UUID, text)
        self.assertIn("window system: GNOME Shell's extension", text)


class DisabledExtensionCases:
    """The extension installed, then disabled while the shell runs: today's routes."""

    def test_without_the_extension_todays_routes_stay(self):
        disabled = self.session.extension_command("disable", EXTENSION_UUID)
        self.assertEqual(disabled.returncode, 0, disabled.stderr)
        self.addCleanup(self.session.extension_command, "enable", EXTENSION_UUID)
        wait_until(lambda: not self.session.has_owner(SERVICE), timeout=10,
                   what="the extension to leave the bus")
        start_gtk(self.session, "Tavik native unseen", "tavik", RED, (400, 300), listed=False)
        self.assertFailedWith(self.capture("n.jpg", "0.9", "0", "tavik"), 5)
        start_gtk(self.session, "Tavik on X still", "tavik", MAGENTA, (420, 320), backend="x11",
                  csd=False, listed=False)

        def through_x11():
            run = self.capture("x.jpg", "0.9", "0", "tavik")
            return run.returncode == 0 and self.jpeg("x.jpg").size == (420, 320)

        wait_until(through_x11, timeout=20, interval=0.2, what="the XWayland window through X11")
        self.assertUniform(self.jpeg("x.jpg"), rgb(MAGENTA))
        self.assertSucceeded(self.capture("d.jpg", "0.9", "0", "desktop"))
        self.assertEqual(self.jpeg("d.jpg").size, (self.session.width, self.session.height))
        doctor = self.capture("--doctor").stdout.decode()
        self.assertIn("is installed but not enabled", doctor)
        self.assertIn("gnome-extensions enable " + EXTENSION_UUID, doctor)


class RefusingPortalCases:
    """GNOME's portal back end refusing every screenshot at once (portal_refuses; GNOME 48's
    does, 43's shows its dialog all the same)."""

    def test_a_portal_refusal_is_told_as_one(self):
        run = self.capture("a.jpg", "0.9", "0", "desktop")
        self.assertFailedWith(run, 6)
        desktop = [line for line in self.capture("--doctor").stdout.decode().splitlines()
                   if line.startswith("desktop:")]
        self.assertEqual(len(desktop), 1, desktop)
        self.assertIn("the desktop portal refused the screenshot (response 2", desktop[0])


class MissingPermissionCases:
    """No extension, and no screenshot permission stored for GNOME's portal."""

    def test_doctor_tells_the_missing_permission_and_the_command(self):
        doctor = self.capture("--doctor").stdout.decode()
        self.assertIn("GNOME's portal has no stored permission for screenshots", doctor)
        self.assertIn("PermissionStore.SetPermission screenshot true screenshot '' "
                      "\"['yes']\"", doctor)
        self.assertIn("is not installed", doctor)
