"""The binary forced to the desktop portal under a headless sway with the real portal stack."""

import os
import signal
import subprocess
import time
import unittest

from harness import (Jpeg, colour_distance, require_tools, run_binary, start_process,
                     stop_process, wait_until, without_libraries)
from portal_session import PORTAL_FILE, PortalStack
from wayland_session import SwayTestCase

BLUE_BACKGROUND = (0x30, 0x60, 0xc0)
PORTAL = {"TARNWICK_CAPTURE_BACKEND": "portal"}


def differing_pixels(first, second, step=8, tolerance=40):
    """How many pixels on a grid differ by more than JPEG noise."""
    return sum(1 for y in range(0, first.height, step) for x in range(0, first.width, step)
               if colour_distance(first.pixel(x, y), second.pixel(x, y)) > tolerance)


class ThroughThePortal(SwayTestCase):
    outputs = (("1280x720", 1, "#3060c0"),)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if os.path.lexists(PORTAL_FILE):
            if os.lstat(PORTAL_FILE).st_uid != cls.session.uid:
                raise unittest.SkipTest(PORTAL_FILE + " belongs to another user: the portal "
                                        "cannot write its screenshot")
            os.unlink(PORTAL_FILE)
        cls.portal = PortalStack(cls.session).start()
        cls.addClassCleanup(cls.portal.stop)

    def capture_portal(self, name, target="desktop", env=None):
        environment = dict(PORTAL, **self.portal.environment())
        environment.update(env or {})
        return self.capture(name, "0.9", "0", target, env=environment)

    def test_the_desktop_matches_the_screen_and_the_portals_file_is_gone(self):
        foot = self.session.start_foot("terminal", "on the desktop", "00ff00")
        self.session.float_at(foot, 100, 50, 400, 300)

        def drawn():
            self.assertSucceeded(self.capture_portal("portal.jpg"))
            jpeg = Jpeg.from_file(self.sandbox.path("portal.jpg"))
            return jpeg if colour_distance(jpeg.pixel(300, 200), (0, 255, 0)) <= 48 else None

        portal = wait_until(drawn, timeout=20, interval=0.2, what="the window in the portal's shot")
        self.assertFalse(os.path.lexists(PORTAL_FILE))
        self.assertEqual(portal.size, (1280, 720))
        self.assertColour(portal, 10, 10, BLUE_BACKGROUND)
        self.assertColour(portal, 1270, 710, BLUE_BACKGROUND)
        self.assertColour(portal, 95, 200, BLUE_BACKGROUND)
        # The same screen through screen copy, pixel for pixel up to JPEG's noise.
        self.assertSucceeded(self.capture("copy.jpg", "0.9", "0", "desktop",
                                          env={"TARNWICK_CAPTURE_BACKEND": "wlroots"}))
        self.assertEqual(differing_pixels(portal, Jpeg.from_file(self.sandbox.path("copy.jpg"))),
                         0)

    def test_the_window_target_still_reads_sways_tree(self):
        foot = self.session.start_foot("tavik", "window", "ff0000")
        self.session.float_at(foot, 100, 100, 640, 400)

        sizes = []

        def at_its_size():
            self.assertSucceeded(self.capture_portal("window.jpg", target="tavik"))
            # A commit at the old size can make sway report that size again for a moment, and
            # a busy client may take its own size back: place it again.
            sizes.append(Jpeg.from_file(self.sandbox.path("window.jpg")).size)
            if sizes[-1] != (640, 400):
                self.session.place_again()
                return False
            return True

        try:
            wait_until(at_its_size, timeout=20, interval=0.2)
        except AssertionError:
            self.fail("the window never came out at 640x400; seen: %s" % sorted(set(sizes)))
        listing = self.capture("--list-windows", env=dict(PORTAL, **self.portal.environment()))
        self.assertEqual(listing.returncode, 0, listing)
        self.assertIn("(desktop portal on wayland-", listing.stdout.decode().splitlines()[0])

    @unittest.skipUnless(os.getuid() == 0, "needs a file of another user")
    def test_a_portal_that_answers_failure_is_code_6(self):
        # The portal's fixed file name taken by another user: it cannot write and answers 2.
        with open(PORTAL_FILE, "wb") as stream:
            stream.write(b"someone else's")
        self.addCleanup(os.unlink, PORTAL_FILE)
        self.assertFailedWith(self.capture_portal("d.jpg"), 6)
        self.assertEqual(os.listdir(self.sandbox.work), [])
        with open(PORTAL_FILE, "rb") as stream:
            self.assertEqual(stream.read(), b"someone else's")

    def test_without_libspng_the_capture_says_so_and_leaves_the_portals_file(self):
        hidden = without_libraries(["libspng.so.0"], self.session.uid, self.session.gid)
        environment = dict(PORTAL, **self.portal.environment())
        run = run_binary(["d.jpg", "0.9", "0", "desktop"], self.sandbox,
                         env=self.session.binary_environment(environment), **hidden)
        self.addCleanup(lambda: os.path.lexists(PORTAL_FILE) and os.unlink(PORTAL_FILE))
        self.assertFailedWith(run, 6)
        self.assertEqual(os.listdir(self.sandbox.work), [])
        with open(PORTAL_FILE, "rb") as stream:
            self.assertEqual(stream.read(8), b"\x89PNG\r\n\x1a\n", "the portal's shot is kept")
        os.unlink(PORTAL_FILE)
        doctor = run_binary(["--doctor"], self.sandbox,
                            env=self.session.binary_environment(environment), **hidden)
        text = doctor.stdout.decode()
        self.assertRegex(text, r"desktop: problem: the whole desktop: no image \(code 6\): the "
                               r"desktop portal wrote /tmp/out.png, but libspng.so.0 cannot be "
                               r"loaded \(install libspng0\)")
        self.assertRegex(text, r"run-time library: problem: libspng.so.0 \(libspng0\) cannot be "
                               r"loaded \(.+\): reading the desktop portal's screenshots fails; "
                               r"run: sudo apt-get install libspng0\n")

    def test_a_portal_that_never_answers_is_given_up_after_30_seconds(self):
        # As with a permission dialog nobody answers: the frontend takes the call, its
        # screenshot backend stays silent.
        backend = self.portal.process("xdg-desktop-portal-wlr")
        os.kill(backend.pid, signal.SIGSTOP)
        try:
            started = time.monotonic()
            run = self.capture_portal("d.jpg")
            waited = time.monotonic() - started
        finally:
            os.kill(backend.pid, signal.SIGCONT)
            # The backend now takes the call it held and leaves its file, which nobody reads.
            wait_until(lambda: os.path.lexists(PORTAL_FILE), timeout=20,
                       what="the late screenshot")
            os.unlink(PORTAL_FILE)
        self.assertFailedWith(run, 6)
        self.assertGreaterEqual(waited, 29)
        self.assertEqual(os.listdir(self.sandbox.work), [])

    def test_a_compositor_without_screen_copy_takes_the_portal_for_the_desktop(self):
        # weston offers no screen copy; the portal on the bus shoots sway's screen.
        require_tools("weston")
        socket = "tarnwick-weston"
        weston = start_process(["weston", "--backend=headless-backend.so", "--socket=" + socket,
                                "--no-config", "--idle-time=0"],
                               env=self.session.environment(), cwd=self.session.home,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               **self.session.as_user())
        self.addCleanup(stop_process, weston)
        wait_until(lambda: weston.poll() is None and
                   os.path.exists(os.path.join(self.session.runtime, socket)),
                   timeout=20, what="weston's socket")
        environment = dict(self.portal.environment(), WAYLAND_DISPLAY=socket)
        self.assertSucceeded(self.capture("d.jpg", "0.9", "0", "desktop", env=environment))
        jpeg = Jpeg.from_file(self.sandbox.path("d.jpg"))
        self.assertEqual(jpeg.size, (1280, 720))
        self.assertColour(jpeg, 640, 360, BLUE_BACKGROUND)
        self.assertFalse(os.path.lexists(PORTAL_FILE))

    def test_a_session_bus_that_stops_answering_is_given_up_after_30_seconds(self):
        bare = PortalStack(self.session, name="silent", portal=False).start()
        self.addCleanup(bare.stop)
        daemon = bare.process("dbus-daemon")
        os.kill(daemon.pid, signal.SIGSTOP)
        try:
            started = time.monotonic()
            run = self.capture_portal("d.jpg", env=bare.environment())
            waited = time.monotonic() - started
        finally:
            os.kill(daemon.pid, signal.SIGCONT)
        self.assertFailedWith(run, 6)
        self.assertLess(waited, 45)  # not sd-bus's own 90 s for a connection to be set up

    def test_no_session_bus_and_no_portal_on_it_are_code_6(self):
        bare = PortalStack(self.session, name="bare", portal=False).start()
        self.addCleanup(bare.stop)
        for environment in ({"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"},
                            bare.environment()):
            with self.subTest(bus=environment["DBUS_SESSION_BUS_ADDRESS"]):
                self.assertFailedWith(self.capture_portal("d.jpg", env=environment), 6)
                self.assertEqual(os.listdir(self.sandbox.work), [])


if __name__ == "__main__":
    unittest.main()
