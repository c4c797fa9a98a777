"""A window's own pixels on sway 1.12, which offers per-window capture and the toplevel list:
covered windows come out in their own colour, and without sway's socket the window is still
found through the toplevel list, as on labwc (test_desktops), which has no window tree to ask.
sway 1.10 keeps the copy of the window's place on screen."""

import unittest

from harness import COLOURS, Jpeg, colour_distance, wait_until
from wayland_session import SwayTestCase

# A window at 100,100 of 480x312 (whole character cells of foot's), and one on top of it that
# covers its lower right quarter.
TAVIK_AREA = (100, 100, 480, 312)
COVER_AREA = (340, 256, 480, 312)
# Points of the Tavik window inside the part the other one covers on screen, and outside it.
COVERED_POINTS = [(300, 220), (470, 300), (400, 250)]
OPEN_POINTS = [(10, 10), (120, 60)]


class DesktopSwayTestCase(SwayTestCase):
    suite = "sid"

    def cover(self, tavik):
        """Places the Tavik window and a blue one above it over its lower right half."""
        self.session.float_at(tavik, *TAVIK_AREA)
        cover = self.session.start_foot("other", "cover", "0000ff")
        self.session.float_at(cover, *COVER_AREA)
        return cover


class OwnPixelsTests(DesktopSwayTestCase):
    def test_a_covered_native_or_xwayland_window_comes_out_in_its_own_colour(self):
        for kind, start in (("native", lambda: self.session.start_foot("tavik", "n", "ff0000")),
                            ("xwayland", lambda: self.session.start_xterm("Tavik", "x", "red"))):
            with self.subTest(kind):
                self.cover(start())
                self.capture_when_drawn("window.jpg", TAVIK_AREA[2:],
                                        COVERED_POINTS + OPEN_POINTS, "red")
                self.session.close_all_windows()

    def test_the_agent_takes_the_covered_window_in_its_own_colour(self):
        tavik = self.session.start_foot("tavik", "agent target", "ff00ff")
        self.cover(tavik)
        self.start_agent()

        def drawn():
            output = self.sandbox.path("agent.jpg")
            response = self.ask_agent({"output": output, "quality": 0.9, "maxWidth": 0,
                                       "target": "tavik"})
            self.assertTrue(response["ok"], response)
            jpeg = Jpeg.from_file(output)
            return jpeg.size == TAVIK_AREA[2:] and all(
                colour_distance(jpeg.pixel(x, y), COLOURS["magenta"]) <= 48
                for x, y in COVERED_POINTS + OPEN_POINTS)

        wait_until(drawn, timeout=20, interval=0.2, what="the window in its own colour")

    def test_the_listing_and_the_doctor_say_windows_are_taken_with_their_own_pixels(self):
        self.session.start_foot("tavik", "native", "ff0000")
        for args in (["--list-windows"], ["--doctor"]):
            run = self.capture(*args)
            self.assertIn(b"ext_foreign_toplevel_image_capture_source_manager_v1", run.stdout)
            self.assertIn(b"its own pixels, covered or not", run.stdout)


class WithoutSwaySocketTests(DesktopSwayTestCase):
    """A compositor whose only window list is the toplevel list, as labwc, niri or Hyprland."""

    def capture(self, *args, env=None, timeout=60):
        return super().capture(*args, env=dict(env or {}, SWAYSOCK=""), timeout=timeout)

    def test_a_native_window_is_found_through_the_toplevel_list(self):
        tavik = self.session.start_foot("tavik", "native", "ff0000")
        self.cover(tavik)
        self.capture_when_drawn("window.jpg", TAVIK_AREA[2:], COVERED_POINTS + OPEN_POINTS, "red")
        listing = self.capture("--list-windows")
        self.assertEqual(listing.returncode, 0)
        self.assertIn(b"windows from the toplevel list", listing.stdout)
        self.assertRegex(listing.stdout, rb'\* \d+ owner "tavik" title "native" bounds 480x312')

    def test_the_activated_window_is_taken_before_a_later_one(self):
        first = self.session.start_foot("tavik", "first", "ff0000")
        self.session.float_at(first, 100, 100, *TAVIK_AREA[2:])
        second = self.session.start_foot("tavik", "second", "00ff00")
        self.session.float_at(second, 600, 100, *TAVIK_AREA[2:])
        self.capture_when_drawn("second.jpg", TAVIK_AREA[2:], [(200, 150)], "green")
        self.session.command(first, "focus")
        self.capture_when_drawn("first.jpg", TAVIK_AREA[2:], [(200, 150)], "red")

    def test_windows_too_small_for_a_capture_are_passed_over(self):
        self.session.start_foot("tavik", "big", "ff0000")
        small = self.session.start_foot("tavik", "small", "00ff00")
        self.session.float_at(small, 50, 50, 300, 200)
        listing = wait_until(lambda: (lambda run: run if b"* " in run.stdout else None)(
            self.capture("--list-windows")), timeout=20, what="a listing that takes a window")
        self.assertRegex(listing.stdout, rb'owner "tavik" title "small" bounds 300x\d+ at 0,0 .*'
                                         rb'passed over: smaller than 320x240')
        self.assertRegex(listing.stdout, rb'\* \d+ owner "tavik" title "big"')


class OldRouteTests(DesktopSwayTestCase):
    """sway 1.10 offers no per-window capture: the window's place on screen is copied, so what
    covers it shows, and the tool says so."""

    suite = "trixie"

    def test_a_covered_window_is_cut_from_the_screen_and_the_doctor_says_so(self):
        tavik = self.session.start_foot("tavik", "native", "ff0000")
        self.cover(tavik)
        self.capture_when_drawn("window.jpg", TAVIK_AREA[2:], COVERED_POINTS[:2], "blue")
        self.assertIn(b"sway offers no per-window capture", self.capture("--doctor").stdout)


if __name__ == "__main__":
    unittest.main()
