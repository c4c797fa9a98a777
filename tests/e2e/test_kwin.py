"""The binary under a headless KWin: windows from its listing script, images from ScreenShot2.

Real GTK 3 clients (solid-window.c) on Wayland and one on XWayland, in Breeze's frames with
borders on every side, so that a frame pixel in a capture would show.
"""

import os
import shutil
import signal
import time
import unittest

from harness import (MESSAGES, blocked_in_poll, give_to, require_tools, rgb, run_binary,
                     stop_and_collect, stop_process, wait_until)
from kwin_session import KWinTestCase

RED, GREEN, BLUE, YELLOW, MAGENTA = "ff0000", "00ff00", "0000ff", "ffff00", "ff00ff"
BLACK = (0, 0, 0)


class WindowsAndDesktop(KWinTestCase):
    border_size = "Large"  # KWin's frame on every side of a window, not only its title bar

    def tearDown(self):
        # Whatever ran, KWin is left with no script of ours loaded.
        self.assertEqual(self.session.loaded_scripts(), [])

    def capture_window(self, name="window.jpg"):
        self.assertSucceeded(self.capture(name, "0.9", "0"))
        return self.jpeg(name)

    def test_the_raised_window_wins_and_minimized_small_and_kept_above_ones_are_passed_over(self):
        green = self.session.start_gtk("Tavik green", "tavik", GREEN, (500, 400))
        blue = self.session.start_gtk("Tavik blue", "tavik", BLUE, (500, 400))
        above = self.session.start_gtk("Tavik kept above", "tavik", MAGENTA, (600, 450))
        above.act(do="keepAbove", value=True)
        minimized = self.session.start_gtk("Tavik minimized", "tavik", YELLOW, (600, 450))
        minimized.act(do="minimize")
        wait_until(lambda: minimized.window()["minimized"], what="the window to be minimized")
        small = self.session.start_gtk("Tavik small", "tavik", RED, (300, 200))
        for raised, colour in ((green, GREEN), (blue, BLUE), (green, GREEN)):
            with self.subTest(raised=raised.title):
                self.raise_window(raised)
                self.raise_window(small)  # in front of it, and too small to be taken
                jpeg = self.capture_window()
                self.assertEqual(jpeg.size, (500, 400))
                self.assertUniform(jpeg, rgb(colour))

        run = self.capture("--list-windows")
        self.assertEqual((run.returncode, run.stderr), (0, b""), run)
        lines = run.stdout.decode().splitlines()
        self.assertIn("(KWin on %s)" % self.session.socket_name, lines[0])
        by_title = {title: [line for line in lines if '"%s"' % title in line]
                    for title in ("Tavik green", "Tavik blue", "Tavik kept above",
                                  "Tavik minimized", "Tavik small")}
        self.assertEqual(by_title["Tavik minimized"], [])
        self.assertTrue(by_title["Tavik green"][0].startswith("* "), lines)
        self.assertIn("bounds 500x400 at ", by_title["Tavik green"][0])
        self.assertIn("qualifies, but one in front is taken", by_title["Tavik blue"][0])
        self.assertIn("passed over: smaller than 320x240", by_title["Tavik small"][0])
        self.assertIn("layer kept above", by_title["Tavik kept above"][0])

    def test_each_kind_of_window_is_its_client_area_without_frame_or_shadow(self):
        kinds = (("native, KWin's frame", dict()),
                 ("native, its own header bar", dict(csd=True)),
                 ("XWayland, KWin's frame", dict(backend="x11")),
                 ("XWayland, its own header bar", dict(backend="x11", csd=True)))
        for kind, options in kinds:
            with self.subTest(kind=kind):
                client = self.session.start_gtk("Tavik " + kind, "tavik", GREEN, (420, 320),
                                                **options)
                window = client.window()
                jpeg = self.capture_window()
                if options.get("csd"):
                    # The header bar is the client's own: below it, its colour to every edge.
                    frame = window["frameGeometry"]
                    self.assertEqual(jpeg.size, (frame["width"], frame["height"]))
                    body = jpeg.height - 320
                    for x in (0, 5, jpeg.width // 2, jpeg.width - 1):
                        for y in (body + 2, jpeg.height // 2 + body // 2, jpeg.height - 1):
                            self.assertColour(jpeg, x, y, rgb(GREEN))
                else:
                    self.assertEqual(jpeg.size, (420, 320))
                    self.assertUniform(jpeg, rgb(GREEN))
                self.session.close_all_windows()

    def test_a_window_just_made_full_screen_is_captured_though_nothing_repaints(self):
        client = self.session.start_gtk("Tavik full screen", "tavik", GREEN, (500, 400))
        client.act(do="fullScreen", value=True)
        wait_until(lambda: client.window()["bufferGeometry"]["width"] == 1280,
                   what="the window to fill the screen")
        for _ in range(2):
            jpeg = self.capture_window()
            self.assertEqual(jpeg.size, (1280, 800))
            self.assertUniform(jpeg, rgb(GREEN))

    def test_a_covered_window_comes_with_its_own_pixels(self):
        below = self.session.start_gtk("Tavik below", "tavik", GREEN, (500, 400))
        self.session.start_gtk("a terminal", "terminal", RED, (700, 500))
        self.session.start_gtk("under X", "xterm", BLUE, (600, 450), backend="x11")
        self.assertNotEqual(self.session.windows()[-1]["pid"], below.pid)
        jpeg = self.capture_window()
        self.assertEqual(jpeg.size, (500, 400))
        self.assertUniform(jpeg, rgb(GREEN))

    def test_the_desktop_at_full_size_and_at_a_maximum_width(self):
        client = self.session.start_gtk("a window", "terminal", RED, (400, 300))
        window = self.place(client, 100, 60)
        area = window["bufferGeometry"]
        centre = (area["x"] + area["width"] // 2, area["y"] + area["height"] // 2)
        self.assertSucceeded(self.capture("full.jpg", "0.9", "0", "desktop"))
        full = self.jpeg("full.jpg")
        self.assertEqual(full.size, (1280, 800))
        self.assertColour(full, *centre, rgb(RED))
        self.assertColour(full, 1270, 790, BLACK)
        self.assertSucceeded(self.capture("small.jpg", "0.9", "640", "DESKTOP"))
        small = self.jpeg("small.jpg")
        self.assertEqual(small.size, (640, 400))
        self.assertColour(small, centre[0] // 2, centre[1] // 2, rgb(RED))
        self.assertColour(small, 630, 390, BLACK)

    def test_no_qualifying_window_is_code_5(self):
        self.session.start_gtk("just a terminal", "terminal", GREEN, (500, 400))
        self.assertFailedWith(self.capture("window.jpg"), 5)
        self.assertEqual(os.listdir(self.sandbox.work), [])


def leftovers(runtime):
    """What runs of the binary keep in XDG_RUNTIME_DIR: ledgers, and older versions' folders."""
    return sorted(name for name in os.listdir(runtime) if name.startswith("tarnwick-kwin-"))


def remove_leftovers(runtime):
    for name in leftovers(runtime):
        path = os.path.join(runtime, name)
        if os.path.isdir(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)


class OtherScriptsAndKilledRuns(KWinTestCase):
    """KWin 5.27 numbers a script by how many scripts it has, so a number can be held twice; and
    a run killed before it unloaded leaves its script in KWin."""

    # Runs itself once: unloads itself, so that whether it was started shows.
    SELF_UNLOADING = ('callDBus("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", '
                      '"unloadScript", "%s");\n')

    def setUp(self):
        super().setUp()
        self.session.start_gtk("Tavik", "tavik", GREEN, (500, 400))
        self.runtime = self.session.runtime

    def write_script(self, name, text):
        folder = self.sandbox.make_folder("scripts")
        path = os.path.join(folder, name + ".js")
        with open(path, "w") as stream:
            stream.write(text)
        give_to(folder, self.session.uid, self.session.gid)
        return path

    def assertWindowCaptured(self, name="w.jpg"):
        self.assertSucceeded(self.capture(name, "0.9", "0"))
        jpeg = self.jpeg(name)
        self.assertEqual(jpeg.size, (500, 400))
        self.assertUniform(jpeg, rgb(GREEN))

    def test_a_foreign_script_holding_the_next_number_is_never_started(self):
        a = self.write_script("a", "")
        b = self.write_script("b", self.SELF_UNLOADING % "user-b")
        first = self.session.scripting("load", a, "user-a")
        self.assertEqual(self.session.scripting("load", b, "user-b"), first + 1)
        self.addCleanup(self.session.scripting, "unload", "user-b")
        self.assertTrue(self.session.scripting("unload", "user-a"))
        wait_until(lambda: self.session.loaded_scripts() == ["/%d" % (first + 1)],
                   what="KWin to unload user-a")
        # The next script gets user-b's number: runs of the binary keep to their own.
        for _ in range(3):
            self.assertWindowCaptured()
            listing = self.capture("--list-windows")
            self.assertEqual((listing.returncode, listing.stderr), (0, b""), listing)
        self.assertTrue(self.session.scripting("isloaded", "user-b"), "user-b was started")
        self.assertEqual(self.session.loaded_scripts(), ["/%d" % (first + 1)])
        # Checked the other way: user-b, once run, is gone.
        self.session.scripting("unload", "user-b")

    def test_runs_in_a_pid_namespace_keep_to_their_own_scripts(self):
        require_tools("unshare")
        # There every run is process 1: a name made from the process number repeats.
        other = "tarnwick-screen-capture-1-0"
        self.assertGreaterEqual(self.session.scripting("load", self.write_script("o", ""), other),
                                0)
        self.addCleanup(self.session.scripting, "unload", other)
        for name in ("w1.jpg", "w2.jpg"):
            run = run_binary([name, "0.9", "0"], self.sandbox,
                             env=self.session.binary_environment(),
                             prefix=["unshare", "--user", "--map-current-user", "--pid", "--fork",
                                     "--"], **self.session.as_user())
            self.assertSucceeded(run)
            self.assertUniform(self.jpeg(name), rgb(GREEN))
        self.assertTrue(self.session.scripting("isloaded", other))

    def test_ten_window_captures_at_once_all_succeed(self):
        for round_ in range(3):
            processes = [self.start_capture("w%d-%d.jpg" % (round_, i), "0.9", "0")
                         for i in range(10)]
            try:
                for process in processes:
                    process.wait(timeout=60)
                results = [(process.returncode,) + stop_and_collect(process)
                           for process in processes]
            finally:
                for process in processes:
                    stop_process(process)
            self.assertEqual([result for result in results if result[0] != 0], [])
            for i in range(10):
                self.assertUniform(self.jpeg("w%d-%d.jpg" % (round_, i)), rgb(GREEN))
        self.assertEqual(self.session.loaded_scripts(), [])
        self.assertEqual(leftovers(self.runtime), [])

    def test_what_a_killed_run_left_the_next_run_clears(self):
        # A run killed before it unloaded: the ledger naming its script stays, unlocked.
        token = "5f0e" * 8
        name = "tarnwick-screen-capture-%s-0" % token
        self.assertGreaterEqual(self.session.scripting("load", self.write_script("left", ""),
                                                       name), 0)
        self.addCleanup(self.session.scripting, "unload", name)
        ledger = os.path.join(self.runtime, "tarnwick-kwin-" + token)
        with open(ledger, "w") as stream:
            stream.write(name + "\n")
        # An earlier version's folder, left an hour ago, and one a run may still use.
        for folder, age in (("tarnwick-kwin-Ab12Cd", 3600), ("tarnwick-kwin-Ef34Gh", 0)):
            os.mkdir(os.path.join(self.runtime, folder), 0o700)
            with open(os.path.join(self.runtime, folder, "list-windows.js"), "w") as stream:
                stream.write("// left\n")
            then = time.time() - age
            os.utime(os.path.join(self.runtime, folder), (then, then))
        give_to(self.runtime, self.session.uid, self.session.gid)
        self.addCleanup(remove_leftovers, self.runtime)
        self.assertWindowCaptured()
        self.assertFalse(self.session.scripting("isloaded", name))
        self.assertEqual(self.session.loaded_scripts(), [])
        self.assertEqual(leftovers(self.runtime), ["tarnwick-kwin-Ef34Gh"])

    def test_the_doctor_needs_no_folder_it_may_write_to(self):
        # Runtime and temporary folders it cannot write to: the KWin socket named by its path.
        closed = self.sandbox.make_folder("closed")
        give_to(closed, self.session.uid, self.session.gid)
        os.chmod(closed, 0o500)
        socket = os.path.join(self.runtime, self.session.socket_name)
        doctor = self.capture("--doctor", env={"XDG_RUNTIME_DIR": closed, "TMPDIR": closed,
                                               "WAYLAND_DISPLAY": socket})
        lines = doctor.stdout.decode().splitlines()
        self.assertEqual(doctor.returncode, 0, lines)
        self.assertIn("window system: KWin on " + socket, "\n".join(lines))
        self.assertEqual(os.listdir(closed), [])
        self.assertEqual(self.session.loaded_scripts(), [])


class BackendChoice(KWinTestCase):

    def listing_header(self, env=None):
        run = self.capture("--list-windows", env=env)
        self.assertEqual((run.returncode, run.stderr), (0, b""), run)
        return run.stdout.decode().splitlines()

    def test_kwin_is_chosen_unless_another_backend_or_sway_is_named(self):
        self.session.start_gtk("Tavik native", "tavik", GREEN, (500, 400))
        kwin = "on-screen windows (KWin on %s)" % self.session.socket_name
        for env in (None, {"TARNWICK_CAPTURE_BACKEND": "kwin"}):
            lines = self.listing_header(env)
            self.assertTrue(lines[0].startswith(kwin), lines)
            self.assertTrue(lines[1].startswith("* ") and '"Tavik native"' in lines[1], lines)
        # Forced back to XWayland's windows: the native one is missing, and the listing says why.
        lines = self.listing_header({"TARNWICK_CAPTURE_BACKEND": "wlroots"})
        self.assertIn("(wlroots on %s, windows from XWayland (X11 on %s))"
                      % (self.session.socket_name, self.session.display), lines[0])
        self.assertIn("native Wayland windows", lines[1])
        # SWAYSOCK says sway: the session bus is not asked, and sway is not there.
        self.assertFailedWith(self.capture("w.jpg", env={"SWAYSOCK": "/nonexistent/sway.sock"}),
                              2)

    def test_kwin_out_of_reach_is_code_2_for_windows_and_6_for_the_desktop(self):
        gone = {"TARNWICK_CAPTURE_BACKEND": "kwin",
                "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}
        self.assertFailedWith(self.capture("w.jpg", env=gone), 2)
        self.assertFailedWith(self.capture("d.jpg", "0.8", "0", "desktop", env=gone), 6)
        self.assertEqual(os.listdir(self.sandbox.work), [])

    def test_the_agent_answers_desktop_and_window_requests(self):
        self.session.start_gtk("Tavik for the agent", "tavik", MAGENTA, (500, 400))
        agent = self.start_agent()
        for target, size in (("desktop", (1280, 800)), ("tavik", (500, 400))):
            response = self.ask_agent({"output": self.sandbox.path(target + ".jpg"),
                                       "quality": 0.8, "maxWidth": 0, "target": target})
            self.assertTrue(response["ok"], response)
            jpeg = self.jpeg(target + ".jpg")
            self.assertEqual(jpeg.size, size)
            if target == "tavik":
                self.assertUniform(jpeg, rgb(MAGENTA))
        _, _, stderr = agent.stop()
        self.assertIn(" with KWin on %s" % self.session.socket_name,
                      stderr.decode().splitlines()[0])


class Permission(KWinTestCase):
    """KWin's own rule: ScreenShot2 only for an executable a .desktop file names."""

    permission_checks = True

    def test_refused_without_a_desktop_entry_and_granted_with_one(self):
        self.session.start_gtk("Tavik", "tavik", GREEN, (500, 400))
        # Refused: code 6 and no file, also for the desktop, which finds no portal to ask.
        self.assertFailedWith(self.capture("w.jpg"), 6)
        self.assertFailedWith(self.capture("d.jpg", "0.8", "0", "desktop"), 6)
        self.assertEqual(os.listdir(self.sandbox.work), [])
        agent = self.start_agent()
        response = self.ask_agent({"output": self.sandbox.path("a.jpg"), "target": "tavik"})
        self.assertEqual((response["ok"], response["detail"]), (False, MESSAGES[6]))
        agent.stop()
        # --doctor names the rule and prints the .desktop file that satisfies it.
        doctor = self.capture("--doctor")
        self.assertEqual(doctor.returncode, 6, doctor.stdout)
        permission = [line for line in doctor.stdout.decode().splitlines()
                      if line.startswith("permission: problem: ")]
        self.assertEqual(len(permission), 1, doctor.stdout)
        self.assertIn("Exec=%s\\nNoDisplay=true\\nX-KDE-DBUS-Restricted-Interfaces="
                      "org.kde.KWin.ScreenShot2" % self.binary_path(), permission[0])

        entry = self.session.add_desktop_entry(self.binary_path())
        self.addCleanup(os.unlink, entry)

        def granted():
            run = self.capture("w.jpg", "0.9", "0")
            return run if run.returncode == 0 else None

        # KWin reads its applications folder again within about two seconds.
        self.assertSucceeded(wait_until(granted, timeout=15, interval=0.3,
                                        what="KWin to honour the .desktop file"))
        jpeg = self.jpeg("w.jpg")
        self.assertEqual(jpeg.size, (500, 400))
        self.assertUniform(jpeg, rgb(GREEN))
        self.assertSucceeded(self.capture("d.jpg", "0.8", "0", "desktop"))
        self.assertEqual(self.jpeg("d.jpg").size, (1280, 800))


    def test_an_xwayland_window_kwin_refuses_comes_from_the_x_server(self):
        self.session.start_gtk("Tavik", "tavik", BLUE, (420, 310), backend="x11")
        self.assertSucceeded(self.capture("x.jpg", "0.9", "0"))
        jpeg = self.jpeg("x.jpg")
        self.assertEqual(jpeg.size, (420, 310))
        self.assertUniform(jpeg, rgb(BLUE))


class StoppedOrKilledKWin(KWinTestCase):
    """Each test its own KWin, which it stops or kills: the binary gives up in time."""

    width, height = 640, 480
    session_per_test = True

    def setUp(self):
        super().setUp()
        self.session.start_gtk("Tavik", "tavik", GREEN, (400, 300))

    def test_a_stopped_kwin_is_given_up_after_five_seconds_and_keeps_no_script(self):
        os.kill(self.session.kwin.pid, signal.SIGSTOP)
        try:
            started = time.monotonic()
            window = self.capture("w.jpg")
            window_took = time.monotonic() - started
            started = time.monotonic()
            desktop = self.capture("d.jpg", "0.8", "0", "desktop")
            desktop_took = time.monotonic() - started
        finally:
            os.kill(self.session.kwin.pid, signal.SIGCONT)
        self.assertFailedWith(window, 2)
        self.assertFailedWith(desktop, 6)
        for took in (window_took, desktop_took):
            self.assertTrue(4.5 < took < 20, took)
        self.assertEqual(os.listdir(self.sandbox.work), [])
        # The unloading went out after the loading: KWin, running again, takes up both.
        wait_until(lambda: self.session.loaded_scripts() == [], timeout=10,
                   what="KWin to unload the script")

    def killed_while_waiting(self, args, code):
        """KWin is stopped while the binary waits on it, then killed: the binary ends at once
        with `code` and writes nothing."""
        os.kill(self.session.kwin.pid, signal.SIGSTOP)
        process = self.start_capture(*args)
        try:
            wait_until(lambda: blocked_in_poll(process.pid), timeout=20,
                       what="the binary to wait on KWin")
            killed_at = time.monotonic()
            os.kill(self.session.kwin.pid, signal.SIGKILL)
            process.wait(timeout=20)
            took = time.monotonic() - killed_at
            stdout, stderr = stop_and_collect(process)
        finally:
            stop_process(process)
        self.assertEqual((process.returncode, stdout, stderr.decode()),
                         (code, b"", MESSAGES[code] + "\n"))
        self.assertLess(took, 3.0)
        self.assertEqual(os.listdir(self.sandbox.work), [])

    def test_a_run_killed_while_kwin_is_stopped_leaves_nothing_once_the_next_has_run(self):
        runtime = self.session.runtime
        os.kill(self.session.kwin.pid, signal.SIGSTOP)
        try:
            process = self.start_capture("w.jpg")
            try:
                wait_until(lambda: leftovers(runtime), timeout=20,
                           what="the run to put its script's name down")
            finally:
                process.kill()
                stop_process(process)
        finally:
            os.kill(self.session.kwin.pid, signal.SIGCONT)
        self.assertSucceeded(self.capture("w.jpg", "0.9", "0"))
        self.assertEqual(self.session.loaded_scripts(), [])
        self.assertEqual(leftovers(runtime), [])

    def test_a_kwin_killed_while_listing_is_code_2(self):
        self.killed_while_waiting(["w.jpg"], 2)

    def test_a_kwin_killed_while_taking_the_desktop_is_code_6(self):
        self.killed_while_waiting(["d.jpg", "0.8", "0", "desktop"], 6)


if __name__ == "__main__":
    unittest.main()
