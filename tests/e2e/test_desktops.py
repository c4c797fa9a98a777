"""The binary on the host against today's wlroots desktops, each headless in a Debian root made by
scripts/desktop-roots: sway 1.10 (Debian 13), sway 1.12 (unstable) and labwc (0.8 in Debian 13,
whose native windows are out of reach, and the unstable one's, found through its toplevel list),
with native and XWayland clients. Skipped without the roots or without root."""

import os
import re
import unittest

from desktop_root import DesktopRoot
from harness import COLOURS, Jpeg, colour_distance, require_binary, require_tools, wait_until
from wayland_session import (CORNERS_640_400, ClientSizeCases, LabwcSession, SwaySession,
                             SwayTestCase)

def start_in_root(test_class, compositor, make_session):
    """The class's session, made by make_session(root) in the root of test_class.suite, started,
    and stopped when the class ends."""
    require_binary()
    require_tools("identify", "djpeg")
    root = DesktopRoot.require(test_class.suite)
    print("%s: %s %s, xwayland %s" % (test_class.suite, compositor,
                                      root.package_version(compositor),
                                      root.package_version("xwayland")))
    test_class.session = make_session(root)
    test_class.session.start()
    test_class.addClassCleanup(test_class.session.stop)


class SwayDesktop(ClientSizeCases, SwayTestCase):
    """The cases of the Debian 12 sway tests that tell one sway from another."""

    suite = None  # a root of desktop_root.SUITES

    @classmethod
    def setUpClass(cls):
        start_in_root(cls, "sway", lambda root: SwaySession(cls.outputs, desktop=root))

    def test_desktop_is_grims_image(self):
        foot = self.session.start_foot("tavik", "native", "00ff00")
        self.session.float_at(foot, 100, 50, 400, 300)
        self.assertSameAsGrim()

    def test_list_windows_names_sway_and_marks_the_window_taken(self):
        self.session.start_foot("tavik", "the real one", "00ff00")
        run = self.capture("--list-windows")
        self.assertEqual((run.returncode, run.stderr), (0, b""), run)
        lines = run.stdout.decode().splitlines()
        self.assertIn(", windows from sway)", lines[0])
        self.assertEqual([line for line in lines[1:] if line.startswith("* ")],
                         [line for line in lines[1:] if "the real one" in line], lines)

    def test_a_window_with_nothing_on_any_output_is_passed_over(self):
        # sway keeps it "visible" in its tree: its place is all there is to tell.
        away = self.session.start_foot("tavik", "far away", "ff0000")
        self.session.float_at(away, 3000, 100, 640, 400)
        self.assertFailedWith(self.capture("window.jpg"), 5)
        self.assertFalse(os.path.exists(self.sandbox.path("window.jpg")))
        listing = self.capture("--list-windows")
        self.assertNotIn(b"far away", listing.stdout)
        shown = self.session.start_foot("brevant", "on screen", "0000ff")
        self.session.float_at(shown, 100, 100, 640, 400)
        self.capture_when_drawn("window.jpg", (640, 400), CORNERS_640_400, "blue")

    def test_the_agent_answers_a_desktop_and_a_window_request(self):
        self.start_agent()
        foot = self.session.start_foot("tavik", "native", "00ff00")
        self.session.float_at(foot, 100, 100, 640, 400)
        for target in ("desktop", "tavik"):
            output = self.sandbox.path(target + ".jpg")
            response = self.ask_agent({"target": target, "output": output, "quality": 0.9})
            self.assertTrue(response["ok"], response)
            self.assertEqual(Jpeg.from_file(output).size,
                             (1280, 720) if target == "desktop" else (640, 400))


class SwayOnDebian13(SwayDesktop):
    suite = "trixie"


class SwayOnUnstable(SwayDesktop):
    suite = "sid"


class SwayAtScaleTwo(SwayTestCase):
    """640x360 logical beside a 1280x720 output at scale 1: drawn at scale 2."""

    suite = None  # a root of desktop_root.SUITES
    outputs = (("1280x720", 1, "#ff0000"), ("1280x720", 2, "#0000ff"))

    @classmethod
    def setUpClass(cls):
        start_in_root(cls, "sway", lambda root: SwaySession(cls.outputs, desktop=root))

    window_scale = 2  # a window cut from the screen has the output's pixels

    def test_the_desktop_and_a_window_on_the_scaled_output(self):
        foot = self.session.start_foot("tavik", "scaled", "00ff00")
        self.session.float_at(foot, 1400, 50, 400, 250)
        self.assertSameAsGrim()
        width, height = 400 * self.window_scale, 250 * self.window_scale
        self.capture_when_drawn("window.jpg", (width, height),
                                [(5, 5), (width // 2, height // 2), (width - 6, height - 6)],
                                "green")


class SwayAtScaleTwoOnDebian13(SwayAtScaleTwo):
    suite = "trixie"


class SwayAtScaleTwoOnUnstable(SwayAtScaleTwo):
    suite = "sid"

    def test_a_covered_window_on_the_scaled_output_comes_out_in_its_own_colour(self):
        # sway gives a window's own pixels at scale 1 only: its own colour beats sharpness.
        tavik = self.session.start_foot("tavik", "covered", "00ff00")
        self.session.float_at(tavik, 1400, 50, 400, 250)
        cover = self.session.start_foot("other", "cover", "0000ff")
        self.session.float_at(cover, 1700, 200, 200, 150)
        self.capture_when_drawn("window.jpg", (400, 250), [(5, 5), (200, 125), (394, 244)],
                                "green")
        self.assertIn(b"window that nothing covers is cut from the screen",
                      self.capture("--list-windows").stdout)
        self.session.close_all_windows()


class LabwcDesktop(SwayTestCase):
    """labwc: the desktop by screen copy, and --doctor naming labwc."""

    suite = None  # a root of desktop_root.SUITES

    @classmethod
    def setUpClass(cls):
        start_in_root(cls, "labwc", lambda root: LabwcSession(desktop=root))

    def test_desktop_is_grims_image(self):
        self.session.start_xterm("Tavik", "under X", "yellow")
        self.assertSameAsGrim()

    def _on_screen(self, colour):
        """Whether grim's image shows a block of that colour."""
        pixels, width, height = self.session.grim(self.sandbox.path("grim.ppm"))
        expected = COLOURS.get(colour, colour)
        hits = sum(colour_distance(tuple(pixels[offset:offset + 3]), expected) <= 24
                   for offset in range(0, len(pixels), 3 * 97))
        return hits > 50


class LabwcOnDebian13(LabwcDesktop):
    """labwc 0.8: XWayland's windows through X11, native windows out of reach."""

    suite = "trixie"

    def test_an_xwayland_window_is_captured_and_a_native_one_is_not_found(self):
        self.session.start_foot("tavik", "native", "ff0000")
        wait_until(lambda: self._on_screen("red"), timeout=20, what="foot's window on screen")
        self.assertFailedWith(self.capture("w.jpg"), 5)
        self.session.start_xterm("Tavik", "under X", "yellow")
        size = self.session.x_window_size("under X")

        def drawn():
            self.assertSucceeded(self.capture("w.jpg", "0.9", "0"))
            jpeg = Jpeg.from_file(self.sandbox.path("w.jpg"))
            return jpeg if colour_distance(jpeg.pixel(jpeg.width // 2, jpeg.height // 2),
                                           COLOURS["yellow"]) <= 48 else None

        self.assertEqual(wait_until(drawn, timeout=20, interval=0.2).size, size)

    def test_doctor_and_the_listing_name_labwc_and_no_other_desktop(self):
        self.session.start_xterm("Tavik", "under X", "yellow")
        listing = self.capture("--list-windows")
        doctor = self.capture("--doctor")
        self.assertEqual((listing.returncode, listing.stderr), (0, b""), listing)
        for run in (listing, doctor):
            # What was looked for and not found may name other desktops; what is there may not.
            text = re.sub(r"\(WAYLAND_DISPLAY=[^)]*\)", "", run.stdout.decode())
            self.assertIn("native Wayland windows are not listed", text)
            self.assertIn("labwc tells no program where a native window is", text)
            for other in ("GNOME", "KWin has", "KDE"):
                self.assertNotIn(other, text)
        self.assertIn("* ", listing.stdout.decode())
        self.assertIn(b"lists its windows (ext_foreign_toplevel_list_v1) but offers no "
                      b"per-window capture", doctor.stdout)


class LabwcOnUnstable(LabwcDesktop):
    """A labwc that lists its windows and captures each (see test_desktops_toplevel)."""

    suite = "sid"

    def test_a_native_window_is_found_through_the_toplevel_list_and_captured(self):
        self.session.start_foot("tavik", "native", "ff0000")
        taken = re.compile(rb'^\* \d+ owner "tavik" title "native" bounds (\d+)x(\d+) ', re.M)
        listing = wait_until(lambda: (lambda run: run if taken.search(run.stdout) else None)(
            self.capture("--list-windows")), timeout=20, what="the window in the listing")
        self.assertIn(b"windows from the toplevel list", listing.stdout)
        width, height = (int(side) for side in taken.search(listing.stdout).groups())
        run = self.capture("window.jpg", "0.9", "0", "tavik")
        self.assertEqual(run.returncode, 0, run.stdout)
        jpeg = Jpeg.from_file(self.sandbox.path("window.jpg"))
        self.assertEqual(jpeg.size, (width, height))
        self.assertColour(jpeg, width // 2, height // 2, "red")


# The cases run once per desktop, not on their own.
del SwayDesktop, SwayAtScaleTwo, LabwcDesktop

if __name__ == "__main__":
    unittest.main()
