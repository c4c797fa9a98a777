"""The binary under a headless sway: screen copy for the desktop, sway's tree for windows."""

import os
import random
import signal
import time
import unittest

import harness
from harness import (COLOURS, MESSAGES, Agent, Jpeg, agent_start_line, colour_distance,
                     run_binary, start_binary, stop_process, wait_until)
from wayland_session import CORNERS_640_400, ClientSizeCases, SwayTestCase

BLUE_BACKGROUND = (0x30, 0x60, 0xc0)


class OneOutput(ClientSizeCases, SwayTestCase):
    outputs = (("1280x720", 1, "#3060c0"),)

    def test_desktop_is_the_output_with_its_windows(self):
        foot = self.session.start_foot("tavik", "tiled", "00ff00")
        self.session.float_at(foot, 100, 50, 400, 300)
        jpeg = self.capture_when_drawn("desktop.jpg", (1280, 720), [(300, 200)], "green", "desktop")
        self.assertColour(jpeg, 10, 10, BLUE_BACKGROUND)
        self.assertColour(jpeg, 1270, 710, BLUE_BACKGROUND)
        self.assertColour(jpeg, 300, 200, "green")
        self.assertColour(jpeg, 95, 200, BLUE_BACKGROUND)

    def test_without_sways_tree_only_xwayland_windows_are_found(self):
        # As on compositors that offer no window list: XWayland's windows through X11.
        no_tree = {"SWAYSOCK": ""}
        native = self.session.start_foot("tavik", "native", "ff0000")
        self.session.float_at(native, width=640, height=400)
        self.assertFailedWith(self.capture("w.jpg", env=no_tree), 5)
        xterm = self.session.start_xterm("Tavik", "under X", "yellow")
        self.session.float_at(xterm, 100, 100, 500, 300)

        def drawn():
            self.assertSucceeded(self.capture("w.jpg", "0.9", "0", env=no_tree))
            jpeg = Jpeg.from_file(self.sandbox.path("w.jpg"))
            if jpeg.size != (500, 300):
                # An xterm may take back its own size after sway set it: set it again.
                self.session.float_at(xterm, 100, 100, 500, 300)
                return None
            return jpeg if colour_distance(jpeg.pixel(494, 294), COLOURS["yellow"]) <= 48 else None

        jpeg = wait_until(drawn, timeout=20, interval=0.2, what="the xterm at its new size")
        self.assertColour(jpeg, 250, 150, "yellow")

    def test_a_floating_window_comes_before_the_tiled_one_under_it(self):
        self.session.start_foot("tavik-tiled", "big tiled", "0000ff")
        floating = self.session.start_xterm("Brevant", "floating", "red")
        self.session.float_at(floating, 200, 100, 500, 300)
        self.capture_when_drawn("window.jpg", (500, 300), [(5, 5), (250, 150), (494, 294)],
                                "red")

    def test_list_windows_shows_what_sway_sees(self):
        self.session.start_foot("tavik", "the real one", "00ff00")
        small = self.session.start_foot("tavik", "too small", "ff0000")
        self.session.float_at(small, width=300, height=200)
        run = self.listing_once_shown("passed over: smaller than")
        self.assertEqual((run.returncode, run.stderr), (0, b""), run)
        lines = run.stdout.decode().splitlines()
        self.assertIn("(wlroots on wayland-", lines[0])
        self.assertIn(", windows from sway)", lines[0])
        self.assertEqual(len(lines), 3, lines)
        self.assertTrue(lines[1].startswith("  ") and "too small" in lines[1] and
                        lines[1].endswith("passed over: smaller than 320x240"), lines)
        self.assertTrue(lines[2].startswith("* ") and "the real one" in lines[2], lines)

    def test_a_window_that_closes_while_it_is_captured_is_never_taken_for_what_was_under_it(self):
        outcomes = {}
        for attempt in range(30):
            client = self.session.start_foot("tavik", "closing", "ff0000")
            self.session.float_at(client, 100, 100, 640, 400)
            self.capture_when_drawn("drawn.jpg", (640, 400), CORNERS_640_400, "red")
            output = self.sandbox.path("window-%d.jpg" % attempt)
            run = start_binary([output, "0.9", "0"], self.sandbox,
                               env=self.session.binary_environment(), **self.session.as_user())
            self.addCleanup(stop_process, run)
            time.sleep(random.uniform(0, 0.03))
            os.kill(client.pid, signal.SIGKILL)
            stdout, stderr = run.communicate(timeout=60)
            self.session.close_all_windows()
            outcomes[run.returncode] = outcomes.get(run.returncode, 0) + 1
            self.assertEqual(stdout, b"")
            if run.returncode == 0:
                self.assertEqual(stderr, b"")
                jpeg = Jpeg.from_file(output)
                self.assertEqual(jpeg.size, (640, 400), "attempt %d" % attempt)
                for x, y in CORNERS_640_400:
                    self.assertColour(jpeg, x, y, "red")
            else:
                self.assertIn(run.returncode, (5, 6), stderr)
                self.assertEqual(stderr.decode(), MESSAGES[run.returncode] + "\n")
                self.assertFalse(os.path.exists(output))
        print("outcomes by exit status: %s" % outcomes)

    def test_a_title_that_is_not_utf8_costs_no_window_its_capture(self):
        # As an X client may set it: sway passes the byte on into its JSON.
        self.session.start_foot("tavik", "the real one", "00ff00")
        menu = self.session.start_xterm("Menu", "plain", "blue")
        window = self.session.window(menu.pid)["window"]
        self.session.run(["xprop", "-id", str(window), "-f", "_NET_WM_NAME", "8u", "-set",
                          "_NET_WM_NAME", b"caf\xe9 menu"])
        wait_until(lambda: self.session.window(menu.pid)["name"] == "caf\ufffd menu",
                   what="sway to show the new title")
        listing = self.capture("--list-windows")
        self.assertEqual((listing.returncode, listing.stderr), (0, b""), listing)
        lines = listing.stdout.decode("utf-8").splitlines()
        self.assertEqual(len(lines), 3, lines)
        self.assertTrue(any('title "caf\ufffd menu"' in line for line in lines), lines)
        self.assertTrue(any(line.startswith("* ") and "the real one" in line for line in lines),
                        lines)
        self.assertSucceeded(self.capture("window.jpg"))
        self.assertColour(Jpeg.from_file(self.sandbox.path("window.jpg")), 20, 20, "green")

    def test_no_qualifying_window_is_code_5(self):
        self.session.start_foot("terminal", "just a terminal", "00ff00")
        small = self.session.start_foot("tavik", "too small", "ff0000")
        self.session.float_at(small, width=300, height=200)
        self.listing_once_shown("passed over: smaller than")
        self.assertFailedWith(self.capture("window.jpg"), 5)
        self.assertFalse(os.path.exists(self.sandbox.path("window.jpg")))

    def test_an_unreachable_compositor_is_code_2_for_windows_and_6_for_the_desktop(self):
        gone = {"WAYLAND_DISPLAY": "wayland-gone", "SWAYSOCK": "/nonexistent/sway.sock",
                "TARNWICK_CAPTURE_BACKEND": "wlroots"}
        self.assertFailedWith(self.capture("d.jpg", "0.8", "0", "desktop", env=gone), 6)
        self.assertFailedWith(self.capture("w.jpg", env=gone), 2)
        self.assertEqual(os.listdir(self.sandbox.work), [])

    def test_a_compositor_that_stops_answering_is_given_up_after_five_seconds(self):
        os.kill(self.session.process.pid, signal.SIGSTOP)
        try:
            desktop = self.capture("d.jpg", "0.8", "0", "desktop")
            window = self.capture("w.jpg")
        finally:
            os.kill(self.session.process.pid, signal.SIGCONT)
        self.assertFailedWith(desktop, 6)
        self.assertFailedWith(window, 2)
        self.assertEqual(os.listdir(self.sandbox.work), [])

    def test_xwaylands_root_never_stands_for_the_desktop(self):
        # Its root window shows nothing of the Wayland desktop: no image rather than black.
        run = self.capture("d.jpg", "0.8", "0", "desktop",
                           env={"TARNWICK_CAPTURE_BACKEND": "x11"})
        self.assertFailedWith(run, 6)
        self.assertFalse(os.path.exists(self.sandbox.path("d.jpg")))

    def test_an_unknown_backend_name_is_ignored(self):
        run = self.capture("d.jpg", "0.8", "0", "desktop",
                           env={"TARNWICK_CAPTURE_BACKEND": "mir"})
        self.assertSucceeded(run)
        self.assertColour(Jpeg.from_file(self.sandbox.path("d.jpg")), 640, 360, BLUE_BACKGROUND)

    def test_the_agent_answers_under_wayland(self):
        self.session.start_foot("tavik", "agent target", "ff00ff")
        agent = self.start_agent()
        for target, expected in (("desktop", (1280, 720)), ("tavik", None)):
            output = self.sandbox.path(target + ".jpg")
            response = self.ask_agent({"output": output, "quality": 0.8, "maxWidth": 0,
                                       "target": target})
            self.assertTrue(response["ok"], response)
            jpeg = Jpeg.from_file(output)
            if expected:
                self.assertEqual(jpeg.size, expected)
            else:
                self.assertColour(jpeg, jpeg.width // 2, jpeg.height // 2, "magenta")
        _, _, stderr = agent.stop()
        self.assertIn(" with wlroots on wayland-", stderr.decode().splitlines()[0])


class TwoOutputsSideBySide(SwayTestCase):
    outputs = (("1280x720", 1, "#ff0000"), ("640x480", 1, "#0000ff"))

    def test_the_desktop_covers_both_with_black_where_neither_is(self):
        run = self.capture("desktop.jpg", "0.9", "0", "desktop")
        self.assertSucceeded(run)
        jpeg = Jpeg.from_file(self.sandbox.path("desktop.jpg"))
        self.assertEqual(jpeg.size, (1920, 720))
        self.assertColour(jpeg, 640, 360, "red")
        self.assertColour(jpeg, 1270, 710, "red")
        self.assertColour(jpeg, 1600, 240, "blue")
        self.assertColour(jpeg, 1600, 600, (0, 0, 0))


class TransformedOutput(SwayTestCase):
    """A rotated or flipped output beside a plain one, against grim's image of the same scene:
    two backgrounds and a window off centre with a block in its top left corner."""

    outputs = (("1280x720", 1, "#3060c0"), ("640x480", 1, "#c0a030"))
    transforms = ("normal", "90", "180", "270", "flipped", "flipped-90", "flipped-180",
                  "flipped-270")

    def setUp(self):
        super().setUp()
        self.addCleanup(self.session.swaymsg, "output", "HEADLESS-1", "transform", "normal")

    def turn(self, transform, client):
        """Turns the first output; the window is placed again, since sway keeps a floating
        window inside an output that changed shape."""
        self.session.swaymsg("output", "HEADLESS-1", "transform", transform)
        return self.session.float_at(client, 100, 50, 400, 300)

    def test_the_desktop_is_grims_for_every_transform(self):
        foot = self.session.start_foot_with_corner("terminal", "off centre", "ff0000", "00ff00")
        for transform in self.transforms:
            with self.subTest(transform=transform):
                self.turn(transform, foot)
                self.assertSameAsGrim()

    def test_a_window_on_a_transformed_output_is_grims_cut_of_it(self):
        foot = self.session.start_foot_with_corner("tavik", "turned", "ff0000", "00ff00")
        for transform in self.transforms:
            with self.subTest(transform=transform):
                area = self.turn(transform, foot)
                self.assertSameAsGrim("tavik", area)

    def test_where_outputs_overlap_the_first_is_drawn_as_grim_draws_it(self):
        self.session.swaymsg("output", "HEADLESS-2", "position", "1000", "100")
        self.addCleanup(self.session.swaymsg, "output", "HEADLESS-2", "position", "1280", "0")
        self.assertSameAsGrim()
        self.assertColour(Jpeg.from_file(self.sandbox.path("capture.jpg")), 1100, 300,
                          BLUE_BACKGROUND)


class ScaleTwoOutput(SwayTestCase):
    # 640×360 logical beside a 1280×720 output at scale 1: the image is drawn at scale 2.
    outputs = (("1280x720", 1, "#ff0000"), ("1280x720", 2, "#0000ff"))

    def test_the_desktop_is_drawn_at_the_largest_scale(self):
        run = self.capture("desktop.jpg", "0.9", "0", "desktop")
        self.assertSucceeded(run)
        jpeg = Jpeg.from_file(self.sandbox.path("desktop.jpg"))
        self.assertEqual(jpeg.size, ((1280 + 640) * 2, 720 * 2))
        self.assertColour(jpeg, 1280, 720, "red")
        self.assertColour(jpeg, 2560 + 640, 360, "blue")
        self.assertColour(jpeg, 2560 + 640, 1080, (0, 0, 0))

    def test_a_window_on_it_has_twice_its_logical_size(self):
        foot = self.session.start_foot("tavik", "scaled", "00ff00")
        self.session.float_at(foot, 1400, 50, 400, 250)  # on the scale-2 output
        self.capture_when_drawn("window.jpg", (800, 500), [(5, 5), (400, 250), (794, 494)],
                                "green")


class FractionalScaleOutput(SwayTestCase):
    """wlroots cuts an output's logical size at a fractional scale down to whole units (1366 at
    1.5 is 910, not 910.67), while its screen copy is the whole mode: the desktop is that copy,
    pixel for pixel. grim scales both sides by the width's ratio and truncates, which agrees
    here; at 1001x1000 and scale 2 it loses a column to rounding (1000x1000)."""

    outputs = (("1366x768", 1.5, "#ff0000"),)

    def test_the_desktop_is_the_outputs_every_pixel(self):
        self.assertSameAsGrim()
        self.assertEqual(Jpeg.from_file(self.sandbox.path("capture.jpg")).size, (1366, 768))
        self.session.swaymsg("output", "HEADLESS-1", "mode", "1001x1000", "scale", "2")
        self.addCleanup(self.session.swaymsg, "output", "HEADLESS-1", "mode", "1366x768",
                        "scale", "1.5")
        self.capture_when_drawn("desktop.jpg", (1001, 1000), [(2, 2), (998, 997)], "red",
                                target="desktop")


class NoRuntimeFolder(harness.ServerTestCase):
    """X11 with WAYLAND_DISPLAY set but no XDG_RUNTIME_DIR: libwayland cannot look for the
    compositor and has its complaint ready for standard error."""

    root_colour = "green"
    stray_wayland = {"WAYLAND_DISPLAY": "wayland-0"}

    def run_under_x(self, *args):
        return run_binary(list(args), self.sandbox, display=self.server.display,
                          env=self.stray_wayland)

    def test_a_capture_is_silent_and_a_failure_says_its_one_line(self):
        self.assertSucceeded(self.run_under_x("d.jpg", "0.8", "0", "desktop"))
        self.assertColour(Jpeg.from_file(self.sandbox.path("d.jpg")), 20, 20, "green")
        self.assertFailedWith(self.run_under_x("w.jpg"), 5)
        self.assertFailedWith(self.run_under_x(self.sandbox.path("gone", "d.jpg"), "0.8", "0",
                                               "desktop"), 3)
        listing = self.run_under_x("--list-windows")
        self.assertEqual((listing.returncode, listing.stderr), (0, b""), listing)

    def test_the_agent_says_only_that_it_serves_its_folder(self):
        self.sandbox.make_agent_folder()
        agent = Agent(self.sandbox, display=self.server.display, env=self.stray_wayland)
        self.addCleanup(stop_process, agent.process)
        for request_id, target, succeeds in (("one", "desktop", True), ("two", "tavik", False)):
            self.sandbox.write_agent_request({"id": request_id, "target": target,
                                              "output": self.sandbox.path(request_id + ".jpg")})
            response = self.sandbox.wait_for_agent_response(request_id, timeout=30)
            self.assertEqual(response["ok"], succeeds, response)
        _, stdout, stderr = agent.stop()
        # Its own lines, and nothing of libwayland's.
        self.assertEqual((stdout, stderr.decode().splitlines()),
                         (b"", [agent_start_line(self.sandbox, self.server.display),
                                'request "two" failed (code 5): no window is on screen']))


if __name__ == "__main__":
    unittest.main()
