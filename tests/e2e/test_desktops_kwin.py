"""The binary on the host against Plasma 6: KWin 6.3 (Debian 13) and 6.7 (unstable) headless in
desktop roots, with a native GTK window and an xterm under XWayland.

Without a GPU KWin 6 composites with QPainter: 6.3 then has no ScreenShot2 at all, 6.7 cancels
each capture. The listing works; an XWayland window comes from the X server; a native window
and the desktop fail with the cause named.
"""

import re
import unittest

from harness import rgb
from kwin_session import KWinTestCase

GREEN, MAGENTA = "#20c040", "#c020a0"
NATIVE, XTERM = "Tavik native", "Tavik X"
LISTED = re.compile(r"^[* ] (\d+) owner \"[^\"]*\" title \"([^\"]*)\" bounds (\d+)x(\d+) at ")


class Plasma6Cases:
    """Mixed into one KWinTestCase per suite."""

    width, height = 1024, 768
    # What the screenshot service does without OpenGL, as a capture and --doctor say it.
    window_cause = desktop_cause = doctor_cause = None

    def start_both(self):
        """The native window, then the xterm in front of it."""
        native = self.session.start_gtk(NATIVE, "tavik", GREEN, (400, 300))
        xterm = self.session.start_xterm(XTERM, "Tavik", MAGENTA)
        self.raise_window(xterm)
        return native, xterm

    def doctor_lines(self):
        doctor = self.capture("--doctor")
        return doctor.returncode, doctor.stdout.decode().splitlines()

    def x11_id(self, title):
        found = self.session.run(["xwininfo", "-name", title])
        match = re.search(r"Window id: (0x[0-9a-f]+)", found.stdout)
        self.assertIsNotNone(match, found.stdout + found.stderr)
        return int(match.group(1), 16)

    def test_the_list_joins_the_xterm_to_its_x11_window_front_to_back(self):
        native, xterm = self.start_both()
        run = self.capture("--list-windows")
        self.assertEqual(run.returncode, 0, run)
        listed = [LISTED.match(line).groups() for line in run.stdout.decode().splitlines()
                  if LISTED.match(line)]
        client = xterm.window()["clientGeometry"]
        self.assertEqual(
            listed, [(str(self.x11_id(XTERM)), XTERM, str(client["width"]),
                      str(client["height"])), (listed[1][0], NATIVE, "400", "300")])
        self.assertGreaterEqual(int(listed[1][0]), 1 << 31)  # a native window's own number

    def test_an_xwayland_window_comes_from_the_x_server(self):
        native, xterm = self.start_both()
        self.assertSucceeded(self.capture("x.jpg", "0.9", "0"))
        client = xterm.window()["clientGeometry"]
        jpeg = self.jpeg("x.jpg")
        self.assertEqual(jpeg.size, (client["width"], client["height"]))
        self.assertUniform(jpeg, rgb(MAGENTA))

    def test_a_native_window_fails_with_code_6_and_the_doctor_names_why(self):
        native, xterm = self.start_both()
        self.raise_window(native)
        self.assertFailedWith(self.capture("n.jpg"), 6)
        code, lines = self.doctor_lines()
        self.assertEqual(code, 6, lines)
        window = [line for line in lines if line.startswith("Tavik window: problem: ")]
        self.assertEqual(len(window), 1, lines)
        self.assertIn('"%s", 400x300 at ' % NATIVE, window[0])
        self.assertIn("no image (code 6): " + self.window_cause, window[0])

    def test_the_desktop_fails_and_the_doctor_tells_no_service_from_a_refusal(self):
        self.start_both()
        self.assertFailedWith(self.capture("d.jpg", "0.8", "0", "desktop"), 6)
        code, lines = self.doctor_lines()
        self.assertEqual(code, 0, lines)  # the window a capture takes is the xterm
        self.assertIn("desktop: problem: the whole desktop: no image (code 6): " +
                      self.desktop_cause, lines)
        self.assertEqual([line for line in lines if line.startswith(("screenshots:",
                                                                     "permission:"))],
                         ["screenshots: problem: " + self.doctor_cause + "; windows of X11 "
                          "programs (XWayland) are taken through the X server; native Wayland "
                          "windows and the desktop cannot be"])


class KWin63(Plasma6Cases, KWinTestCase):
    suite = "trixie"
    window_cause = desktop_cause = doctor_cause = (
        'KWin has no screenshot service: it composites without OpenGL (compositing type '
        '"qpainter")')


class KWin67(Plasma6Cases, KWinTestCase):
    suite = "sid"
    window_cause = desktop_cause = (
        "KWin's screenshot service cancelled the capture: it composites without OpenGL "
        '(compositing type "qpainter")')
    doctor_cause = ("KWin's screenshot service gives no pictures: it composites without OpenGL "
                    '(compositing type "qpainter")')


class KWin67Refusing(KWinTestCase):
    """KWin 6.7 checking who may take screenshots: a refusal, not a missing service, and the
    xterm still comes from the X server."""

    suite = "sid"
    width, height = 800, 600
    permission_checks = True

    def test_a_refusal_is_a_permission_and_the_xterm_is_still_taken(self):
        xterm = self.session.start_xterm(XTERM, "Tavik", MAGENTA)
        self.assertSucceeded(self.capture("x.jpg", "0.9", "0"))
        client = xterm.window()["clientGeometry"]
        self.assertEqual(self.jpeg("x.jpg").size, (client["width"], client["height"]))
        doctor = self.capture("--doctor")
        lines = doctor.stdout.decode().splitlines()
        self.assertEqual(doctor.returncode, 0, lines)  # as the capture of the xterm
        permission = [line for line in lines if line.startswith(("permission:", "screenshots:"))]
        self.assertEqual(len(permission), 1, lines)
        self.assertTrue(permission[0].startswith(
            "permission: problem: KWin refused the screenshot: "), permission[0])
        self.assertFailedWith(self.capture("d.jpg", "0.8", "0", "desktop"), 6)


if __name__ == "__main__":
    unittest.main()
