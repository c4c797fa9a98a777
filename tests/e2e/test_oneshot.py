"""One-shot runs of the real binary against a private Xvfb with real X clients."""

import os
import unittest

import harness
from harness import (Jpeg, file_size_limit, run_binary, snapshot, start_binary, stop_and_collect,
                     unused_display)

SCREEN = (1280, 800)
NOBODY = 65534


class ServerTestCase(harness.ServerTestCase):
    """Helpers for one-shot runs."""

    def run_binary(self, *args, **keywords):
        keywords.setdefault("display", self.server.display)
        return run_binary(args, self.sandbox, **keywords)

    def capture(self, *args):
        """Runs with output shot.jpg and these further arguments; expects success and no litter."""
        run = self.run_binary("shot.jpg", *args)
        self.assertSucceeded(run)
        self.assertEqual(sorted(os.listdir(self.sandbox.work)), ["shot.jpg"])
        self.assertEqual(self.sandbox.leftovers(), [])
        return Jpeg.from_file(self.sandbox.path("shot.jpg"))

    def assertWholeWindow(self, jpeg, colour):
        """Every sampled point, corners and top/bottom rows included, shows the window's colour."""
        w, h = jpeg.size
        for x, y in ((w // 2, h // 2), (8, 8), (w - 9, 8), (8, h - 9), (w - 9, h - 9),
                     (w // 2, 3), (w // 2, h - 4)):
            self.assertColour(jpeg, x, y, colour)

    def assertCapturedWindow(self, window, colour, *args):
        jpeg = self.capture(*args)
        self.assertEqual(jpeg.size, window.geometry()[2:])
        self.assertWholeWindow(jpeg, colour)
        return jpeg

    def assertNoWindowFound(self):
        self.assertFailedWith(self.run_binary("shot.jpg"), 5)
        self.assertEqual(os.listdir(self.sandbox.work), [])


class DesktopCaptureTests(ServerTestCase):

    def test_desktop_is_the_whole_screen_at_the_requested_quality(self):
        jpeg = self.capture("0.8", "0", "desktop")
        self.assertEqual(jpeg.size, SCREEN)
        self.assertEqual(jpeg.quality, 80)
        for x, y in ((640, 400), (5, 5), (1274, 794)):
            self.assertColour(jpeg, x, y, "green")

    def test_target_keyword_is_case_insensitive(self):
        # No Tavik window exists: the window path would end in code 5.
        self.assertEqual(self.capture("0.8", "0", "DeskTop").size, SCREEN)

    def test_quality_is_clamped_and_defaults(self):
        for quality, expected in (("2", 95), ("0", 20), ("0.5", 50), ("nan", 20),
                                  ("not-a-number", 55), ("0.8 ", 55)):
            with self.subTest(quality=quality):
                self.assertEqual(self.capture(quality, "0", "desktop").quality, expected)
                os.remove(self.sandbox.path("shot.jpg"))

    def test_scaling_to_max_width(self):
        for max_width, expected in (("640", (640, 400)), ("1001", (1001, 625)),
                                    ("3", (3, 1)), ("0", SCREEN), ("1280", SCREEN),
                                    ("5000", SCREEN), ("-100", SCREEN), ("12.5", SCREEN)):
            with self.subTest(max_width=max_width):
                jpeg = self.capture("0.8", max_width, "desktop")
                self.assertEqual(jpeg.size, expected)
                self.assertColour(jpeg, expected[0] // 2, expected[1] // 2, "green")
                os.remove(self.sandbox.path("shot.jpg"))

    def test_earlier_file_is_replaced_whole(self):
        path = self.sandbox.path("shot.jpg")
        with open(path, "wb") as stream:
            stream.write(b"old content " * 100000)  # longer than the new JPEG
        jpeg = self.capture("0.8", "640", "desktop")
        self.assertEqual(jpeg.size, (640, 400))
        with open(path, "rb") as stream:
            self.assertNotIn(b"old content", stream.read())

    def test_relative_output_and_literal_tilde(self):
        os.mkdir(self.sandbox.path("~"))
        self.assertSucceeded(self.run_binary("~/shot.jpg", "0.8", "100", "desktop"))
        self.assertEqual(Jpeg.from_file(self.sandbox.path("~", "shot.jpg")).size, (100, 62))
        self.assertEqual(os.listdir(self.sandbox.home), [])

    def test_dev_stdout_as_output_writes_the_jpeg_there(self):
        run = self.run_binary("/dev/stdout", "0.7", "320", "desktop")
        self.assertEqual((run.returncode, run.stderr), (0, b""), run)
        jpeg = Jpeg(run.stdout)
        self.assertEqual((jpeg.size, jpeg.quality), ((320, 200), 70))
        self.assertEqual(os.listdir(self.sandbox.work), [])


class FailureTests(ServerTestCase):
    """Every failure: its exit status, exactly its line on stderr, nothing on stdout, no damage."""

    def setUp(self):
        super().setUp()
        # Windows that must not count as the captured application's.
        self.server.start_xterm("Notes", owner="Editor", background="blue", pixel_size=(500, 400))
        self.server.start_xterm("Terminal", owner="XTerm", instance="tavik", background="blue",
                                geometry="60x20+600+10", pixel_size=(500, 400))

    def write_earlier_file(self, name="shot.jpg"):
        path = self.sandbox.path(name)
        with open(path, "wb") as stream:
            stream.write(b"earlier file\n")
        return path

    def assertUntouched(self, before):
        self.assertEqual(snapshot(self.sandbox.work), before)
        self.assertEqual(self.sandbox.leftovers(), [])

    def test_no_arguments_and_no_request_file_print_the_usage_line(self):
        self.assertFailedWith(self.run_binary(), 64)
        self.assertEqual(snapshot(self.sandbox.root), {})

    def test_no_matching_window_is_code_5_and_keeps_the_earlier_file(self):
        self.write_earlier_file()
        before = snapshot(self.sandbox.work)
        for args in (["shot.jpg"], ["shot.jpg", "0.8", "0", "tavik"],
                     ["shot.jpg", "0.8", "0", "desktop "]):
            with self.subTest(args=args):
                self.assertFailedWith(self.run_binary(*args), 5)
                self.assertUntouched(before)

    def test_no_x_server(self):
        self.write_earlier_file()
        before = snapshot(self.sandbox.work)
        for display in (unused_display(), None):
            with self.subTest(display=display):
                self.assertFailedWith(self.run_binary("shot.jpg", display=display), 2)
                self.assertUntouched(before)
                self.assertFailedWith(
                    self.run_binary("shot.jpg", "0.8", "0", "desktop", display=display), 6)
                self.assertUntouched(before)

    def test_destination_that_cannot_be_created_is_code_3(self):
        os.mkdir(self.sandbox.path("folder"))
        self.write_earlier_file("folder/inside.jpg")
        before = snapshot(self.sandbox.work)
        for output in ("missing/shot.jpg", "folder", "folder/", ""):
            with self.subTest(output=output):
                self.assertFailedWith(self.run_binary(output, "0.8", "0", "desktop"), 3)
                self.assertUntouched(before)
                self.assertFalse(os.path.exists(self.sandbox.path("missing")))

    def test_folder_without_write_permission_is_code_3(self):
        folder = self.sandbox.make_folder("work/locked")
        earlier = self.write_earlier_file("locked/shot.jpg")
        os.chmod(folder, 0o555)
        self.addCleanup(os.chmod, folder, 0o755)
        keywords = {}
        if os.geteuid() == 0:
            # Root writes anywhere: run as nobody, with the sandbox open for reading.
            for path in (self.sandbox.root, self.sandbox.work, self.sandbox.home):
                os.chmod(path, 0o755)
            os.chmod(self.sandbox.tmpdir, 0o777)
            keywords = {"user": NOBODY, "group": NOBODY, "extra_groups": []}
        elif os.access(folder, os.W_OK):
            self.skipTest("this user can write into a read-only folder")
        before = snapshot(self.sandbox.work)
        for output in ("locked/new.jpg", earlier):
            with self.subTest(output=output):
                self.assertFailedWith(
                    self.run_binary(output, "0.8", "0", "desktop", **keywords), 3)
                self.assertUntouched(before)

    def test_write_failure_is_code_4(self):
        self.assertFailedWith(self.run_binary("/dev/full", "0.8", "0", "desktop"), 4)

    def test_write_failure_keeps_the_earlier_file(self):
        self.write_earlier_file()
        before = snapshot(self.sandbox.work)
        # Writes past 200 bytes fail as on a full disk; the earlier file is shorter than that.
        run = self.run_binary("shot.jpg", "0.8", "0", "desktop", preexec_fn=file_size_limit(200))
        self.assertFailedWith(run, 4)
        self.assertUntouched(before)


class ModeSwitchTests(ServerTestCase):

    def assertRunsAsAgent(self, args, argv0=None):
        process = start_binary(args, self.sandbox, display=self.server.display, argv0=argv0)
        try:
            harness.while_agent_waits(process)
        finally:
            stdout, stderr = stop_and_collect(process)
        self.assertEqual(stdout, b"")
        # That its folder does not exist (it serves none yet).
        lines = stderr.decode().splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith("waiting for "), lines)
        self.assertEqual(snapshot(self.sandbox.root), {})

    def test_agent_switch_anywhere_starts_the_agent(self):
        for args, argv0 in ((["--agent"], None),
                            (["shot.jpg", "0.8", "0", "desktop", "--agent"], None),
                            (["shot.jpg", "--agent", "0", "desktop"], None),
                            (["shot.jpg", "0.8", "0", "desktop"], "--agent")):
            with self.subTest(args=args, argv0=argv0):
                self.assertRunsAsAgent(args, argv0)

    def test_without_arguments_the_request_file_is_performed_once(self):
        output = self.sandbox.path("from-file.jpg")
        request = {"output": output, "quality": 0.9, "maxWidth": 320, "target": "Desktop"}
        self.sandbox.write_agent_request(request)
        self.assertSucceeded(self.run_binary())
        jpeg = Jpeg.from_file(output)
        self.assertEqual((jpeg.size, jpeg.quality), ((320, 200), 90))
        # Left in place and not answered.
        self.assertEqual(sorted(os.listdir(os.path.dirname(self.sandbox.agent_request_path()))),
                         ["screen-capture-agent-request.json"])
        # An output path on the command line wins; the file is not read at all.
        self.assertSucceeded(self.run_binary("shot.jpg", "0.8", "100", "desktop"))
        self.assertEqual(Jpeg.from_file(self.sandbox.path("shot.jpg")).size, (100, 62))
        self.assertEqual(Jpeg.from_file(output).data, jpeg.data)

    def test_unusable_request_file_prints_the_usage_line(self):
        for content in ("", "{", "[]", '{"output": ""}', '{"output": 5}'):
            with self.subTest(content=content):
                self.sandbox.write_agent_request(content)
                self.assertFailedWith(self.run_binary(), 64)

    def test_near_misses_of_the_agent_switch_are_output_paths(self):
        for switch in ("--Agent", "--agent ", "-agent"):
            with self.subTest(switch=switch):
                run = self.run_binary(switch, "0.8", "64", "desktop")
                self.assertSucceeded(run)
                self.assertEqual(Jpeg.from_file(self.sandbox.path(switch)).size, (64, 40))


class WindowCaptureWithoutWindowManagerTests(ServerTestCase):
    """Top-level windows are children of the root; the later mapped one is on top."""

    def xterm(self, title, background, place, size=(400, 300), **keywords):
        geometry = "40x10+%d+%d" % place
        return self.server.start_xterm(title, background=background, geometry=geometry,
                                       pixel_size=size, **keywords)

    def test_tavik_window_is_captured_at_its_size(self):
        window = self.xterm("Tavik", "red", (10, 10))
        self.xterm("Notes", "blue", (500, 10), size=(600, 500))  # on top, not a Tavik window
        jpeg = self.assertCapturedWindow(window, "red")
        self.assertEqual(jpeg.quality, 55)
        scaled = self.capture("0.8", "200")
        self.assertEqual((scaled.size, scaled.quality), ((200, 150), 80))
        self.assertColour(scaled, 100, 75, "red")

    def test_title_and_owner_name_are_matched_without_case(self):
        cases = (dict(title="BREVANT"), dict(title="my tAvIk project"),
                 dict(title="untitled", owner="ZorvelStudio"),
                 dict(title="untitled", owner="org.brevant.App"))
        for case in cases:
            with self.subTest(**case):
                window = self.xterm(background="red", place=(100, 100), **case)
                self.assertCapturedWindow(window, "red")
                self.server.close_window(window)
                os.remove(self.sandbox.path("shot.jpg"))
        # The instance part of WM_CLASS is not the owner name.
        self.xterm("Notes", "red", (100, 100), owner="Editor", instance="tavik")
        self.assertNoWindowFound()

    def test_windows_below_320_by_240_are_passed_over(self):
        lower = self.xterm("Tavik", "blue", (10, 10), size=(320, 240))
        upper = self.xterm("Tavik", "red", (500, 10), size=(319, 600))
        self.assertCapturedWindow(lower, "blue")
        os.remove(self.sandbox.path("shot.jpg"))
        self.server.resize(upper, 600, 239)
        self.assertCapturedWindow(lower, "blue")
        os.remove(self.sandbox.path("shot.jpg"))
        self.server.resize(upper, 320, 240)
        self.assertCapturedWindow(upper, "red")

    def test_nearly_transparent_windows_are_passed_over(self):
        lower = self.xterm("Tavik", "blue", (10, 10))
        upper = self.xterm("Tavik", "red", (500, 10))
        self.server.set_opacity(upper, 42949672)  # just below 0.01
        self.assertCapturedWindow(lower, "blue")
        os.remove(self.sandbox.path("shot.jpg"))
        self.server.set_opacity(upper, 0x80000000)
        self.assertCapturedWindow(upper, "red")

    def test_topmost_matching_window_wins(self):
        first = self.xterm("Tavik", "red", (10, 10))
        second = self.xterm("Brevant", "blue", (500, 10), size=(500, 400))
        self.assertCapturedWindow(second, "blue")
        os.remove(self.sandbox.path("shot.jpg"))
        self.server.raise_window(first)
        self.assertCapturedWindow(first, "red")

    def test_unmapped_windows_are_not_taken(self):
        lower = self.xterm("Tavik", "red", (10, 10))
        upper = self.xterm("Tavik", "blue", (500, 10))
        self.server.unmap(upper)
        self.assertCapturedWindow(lower, "red")
        os.remove(self.sandbox.path("shot.jpg"))
        self.server.unmap(lower)
        self.assertNoWindowFound()


class WindowCaptureWithWindowManagerTests(ServerTestCase):
    """Under openbox the client window is reparented into a frame with a title bar."""

    with_window_manager = True

    def xterm(self, title, background, place, cells="60x20", **keywords):
        geometry = "%s+%d+%d" % ((cells,) + place)
        return self.server.start_xterm(title, background=background, geometry=geometry,
                                       **keywords)

    def test_client_window_is_captured_without_its_frame(self):
        window = self.xterm("Tavik", "red", (10, 10))
        self.xterm("Notes", "blue", (500, 10))
        frame = self.server.frame_geometry(window.id)
        self.assertNotEqual(frame[2:], window.geometry()[2:], "openbox gave no frame")
        self.assertCapturedWindow(window, "red")

    def test_size_limit_applies_to_the_client_not_the_frame(self):
        lower = self.xterm("Tavik", "blue", (10, 10))
        upper = self.xterm("Tavik", "red", (500, 10), cells="60x18")
        client_height = upper.geometry()[3]
        frame_height = self.server.frame_geometry(upper.id)[3]
        if not client_height < 240 <= frame_height:
            self.skipTest("font cells give a client %d and a frame %d high"
                          % (client_height, frame_height))
        self.assertCapturedWindow(lower, "blue")

    def test_topmost_matching_window_wins(self):
        first = self.xterm("Tavik", "red", (10, 10))
        second = self.xterm("BREVANT", "blue", (500, 10))
        self.assertCapturedWindow(second, "blue")
        os.remove(self.sandbox.path("shot.jpg"))
        self.server.raise_window(first)
        self.assertCapturedWindow(first, "red")

    def test_iconified_and_transparent_windows_are_not_taken(self):
        lower = self.xterm("Tavik", "red", (10, 10), owner="TavikApp")
        upper = self.xterm("Tavik", "blue", (500, 10))
        self.server.iconify(upper)
        self.assertCapturedWindow(lower, "red")
        os.remove(self.sandbox.path("shot.jpg"))
        self.server.set_opacity(lower, 42949672)
        self.assertNoWindowFound()



class RefusedConnectionTests(unittest.TestCase, harness.JpegAssertions):
    """A server that admits only clients with its cookie. XCB prints the server's refusal on
    standard error itself, where a failure has its one line alone."""

    def test_a_refused_connection_fails_with_its_one_line(self):
        harness.require_binary()
        server = harness.XServer(640, 480, auth=True)
        self.addCleanup(server.stop)
        server.start()
        sandbox = harness.Sandbox()
        self.addCleanup(sandbox.cleanup)
        for args, code in ((["--list-windows"], 2), (["d.jpg", "0.8", "0", "desktop"], 6),
                           (["w.jpg"], 2)):
            with self.subTest(args=args):
                self.assertFailedWith(run_binary(args, sandbox, display=server.display), code)
        sandbox.make_agent_folder()
        agent = harness.Agent(sandbox, display=server.display)
        self.addCleanup(agent.stop)
        sandbox.write_agent_request({"id": "refused", "output": sandbox.path("a.jpg"),
                                     "target": "desktop"})
        response = sandbox.wait_for_agent_response("refused", timeout=30)
        self.assertEqual((response["ok"], response["detail"]), (False, harness.MESSAGES[6]))
        _, stdout, stderr = agent.stop()
        self.assertEqual((stdout, stderr.decode().splitlines()),
                         (b"", [harness.agent_start_line(sandbox, server.display),
                                'request "refused" failed (code 6): cannot connect to the X '
                                f'server on {server.display}: refused (Authorization required, '
                                'but no authorization protocol specified)']))
        self.assertSucceeded(run_binary(["d.jpg", "0.8", "0", "desktop"], sandbox,
                                        display=server.display,
                                        env={"XAUTHORITY": server.authority}))


if __name__ == "__main__":
    unittest.main()
