"""Captures a user can trust on a real desktop: the server is never held while the output is
written, a stalled server gets a deadline, windows off the screen do not count, and every kind of
visual gives the right colours."""

import array
import fcntl
import os
import socket
import subprocess
import termios
import threading
import time
import unittest

import harness
from harness import (MESSAGES, AgentSession, Jpeg, XServer, require_tools, run_binary,
                     start_process, stop_process, wait_until)

# How long the server may stay silent, and the slack the tests allow on top of it.
STALL_LIMIT = 5.0
SLACK = 1.0


class OutputWhileGrabbedTests(harness.ServerTestCase):
    screen = (1280, 800)

    def test_other_clients_are_answered_while_the_output_is_blocked(self):
        require_tools("xdpyinfo")
        # One-pixel plaid: the JPEG is far larger than a pipe holds.
        self.server.x(["xsetroot", "-mod", "2", "2", "-fg", "white", "-bg", "black"])
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        try:
            process = start_process(
                [harness.BINARY, "/dev/stdout", "0.95", "0", "desktop"], cwd=self.sandbox.work,
                env=harness.binary_environment(self.sandbox, self.server.display),
                stdout=write_end, stderr=subprocess.PIPE)
        finally:
            os.close(write_end)
        self.addCleanup(stop_process, process)

        # Once the pipe is full, the tool is blocked writing its output.
        capacity = fcntl.fcntl(read_end, fcntl.F_GETPIPE_SZ)
        wait_until(lambda: pending_bytes(read_end) >= capacity, timeout=30,
                   what="the tool to fill the pipe")
        started = time.monotonic()
        try:
            answered = self.server.x(["xdpyinfo"], check=False, timeout=5)
        except subprocess.TimeoutExpired:
            self.fail("another client got no answer while the tool wrote its output")
        self.assertEqual(answered.returncode, 0, answered.stderr)
        self.assertLess(time.monotonic() - started, 1.0,
                        "another client waited while the tool wrote its output")

        data = b"".join(iter(lambda: os.read(read_end, 1 << 16), b""))
        process.wait(timeout=30)
        self.assertEqual((process.returncode, process.stderr.read()), (0, b""))
        self.assertEqual(Jpeg(data).size, (1280, 800))


def pending_bytes(fd):
    count = array.array("i", [0])
    fcntl.ioctl(fd, termios.FIONREAD, count)
    return count[0]


class StalledServerTests(harness.ServerTestCase):
    screen = (640, 480)

    def setUp(self):
        super().setUp()
        self.window = self.server.start_xterm("Tavik", pixel_size=(400, 300))

    def run_within_deadline(self, *args):
        started = time.monotonic()
        run = run_binary(args, self.sandbox, display=self.server.display, timeout=60)
        elapsed = time.monotonic() - started
        self.assertLess(elapsed, STALL_LIMIT + SLACK, run)
        return run

    def assertGivesUp(self):
        """Code 6 for the desktop, code 2 for the window, each within the deadline, no litter."""
        self.assertFailedWith(self.run_within_deadline("d.jpg", "0.8", "0", "desktop"), 6)
        self.assertFailedWith(self.run_within_deadline("w.jpg"), 2)
        self.assertEqual((os.listdir(self.sandbox.work), self.sandbox.leftovers()), ([], []))

    def assertCapturesAgain(self):
        self.assertSucceeded(run_binary(["w.jpg"], self.sandbox, display=self.server.display))
        self.assertEqual(Jpeg.from_file(self.sandbox.path("w.jpg")).size, (400, 300))

    def test_a_stopped_server(self):
        self.addCleanup(self.server.resume)
        self.server.suspend()
        self.assertGivesUp()
        self.server.resume()
        self.assertCapturesAgain()

    def test_a_server_grabbed_by_another_client(self):
        holder = self.server.hold_grab()
        self.assertGivesUp()
        stop_process(holder)
        self.assertCapturesAgain()

    def test_the_agent_answers_and_serves_later_requests(self):
        self.addCleanup(self.server.resume)
        agent = AgentSession(self, self.sandbox, self.server.display)
        out = self.sandbox.path
        self.assertEqual(agent.request(output=out("before.jpg"))["ok"], True)

        self.server.suspend()
        for target, code in (("desktop", 6), ("tavik", 2)):
            response = agent.request(output=out("stalled.jpg"), target=target,
                                     timeout=STALL_LIMIT + SLACK + 1)
            self.assertEqual((response["ok"], response.get("detail")), (False, MESSAGES[code]))
        self.server.resume()

        response = agent.request(output=out("after.jpg"), target="desktop", maxWidth=320)
        self.assertEqual((response["ok"], Jpeg.from_file(out("after.jpg")).size),
                         (True, (320, 240)), response)
        self.assertEqual(sorted(os.listdir(self.sandbox.work)), ["after.jpg", "before.jpg"])
        self.assertEqual(self.sandbox.leftovers(), [])


class SlowServerTests(unittest.TestCase, harness.JpegAssertions):
    """A remote server behind a link so slow that one image reply takes longer than the stall
    limit, yet keeps sending: the capture finishes."""

    RATE = 40_000  # bytes per second from the server

    def test_a_slow_but_progressing_server_is_not_cut_off(self):
        harness.require_binary()
        server = XServer(1024, 128, tcp=True)
        self.addCleanup(server.stop)
        server.start()
        server.set_root_colour("#3070c0")
        sandbox = harness.Sandbox()
        self.addCleanup(sandbox.cleanup)
        # Any free port stands for a display: display N listens on port 6000 + N.
        listener = socket.create_server(("127.0.0.1", 0))
        number = listener.getsockname()[1] - 6000
        self.addCleanup(listener.close)
        threading.Thread(target=self.relay, args=(listener, 6000 + int(server.display[1:])),
                         daemon=True).start()

        started = time.monotonic()
        run = run_binary(["slow.jpg", "0.9", "0", "desktop"], sandbox,
                         display="127.0.0.1:%d" % number, timeout=120)
        elapsed = time.monotonic() - started
        self.assertSucceeded(run)
        jpeg = Jpeg.from_file(sandbox.path("slow.jpg"))
        self.assertEqual(jpeg.size, (1024, 128))
        self.assertColour(jpeg, 512, 64, (0x30, 0x70, 0xc0), 6)
        # Each 64-row band (256 KiB) took longer than the limit: the test proves something.
        self.assertGreater(elapsed, 2 * STALL_LIMIT)

    def relay(self, listener, server_port):
        client, _ = listener.accept()
        upstream = socket.create_connection(("127.0.0.1", server_port))

        def pump(source, target, rate):
            try:
                while True:
                    data = source.recv(2048)
                    if not data:
                        break
                    target.sendall(data)
                    if rate:
                        time.sleep(len(data) / rate)
            except OSError:
                pass
            finally:
                for end in (source, target):
                    try:
                        end.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass

        threading.Thread(target=pump, args=(client, upstream, None), daemon=True).start()
        pump(upstream, client, self.RATE)
        client.close()
        upstream.close()


class OffScreenWindowTests(harness.ServerTestCase):
    screen = (1280, 800)

    def test_a_window_moved_off_the_screen_does_not_hide_the_visible_one(self):
        visible = self.server.start_xterm("Tavik", background="red", geometry="40x10+10+10",
                                          pixel_size=(400, 300))
        above = self.server.start_xterm("Tavik", background="blue", geometry="40x10+500+10",
                                        pixel_size=(400, 300))
        for place, expected in (((3000, 100), "red"), ((-600, 100), "red"),
                                ((100, 900), "red"), ((1180, 100), "blue")):
            with self.subTest(place=place):
                self.server.x(["xdotool", "windowmove", "--sync", str(above.id), *map(str, place)])
                self.server.settle()
                run = run_binary(["shot.jpg"], self.sandbox, display=self.server.display)
                self.assertSucceeded(run)
                jpeg = Jpeg.from_file(self.sandbox.path("shot.jpg"))
                # A window partly on the screen is still taken, cut at the screen's edge.
                self.assertEqual(jpeg.size, (400, 300) if expected == "red" else (100, 300))
                self.assertColour(jpeg, jpeg.width // 2, jpeg.height // 2, expected)
        self.assertEqual(visible.map_state(), "IsViewable")


class VisualTests(unittest.TestCase, harness.JpegAssertions):
    """The desktop and a window under default visuals of every class Xvfb offers."""

    COLOUR = (0x30, 0x70, 0xc0)

    def capture_under(self, visual_class, depth):
        harness.require_binary()
        server = XServer(640, 480, depth=depth, visual_class=visual_class)
        self.addCleanup(server.stop)
        server.start()
        sandbox = harness.Sandbox()
        self.addCleanup(sandbox.cleanup)
        server.set_root_colour("#3070c0")
        server.start_xterm("Tavik", background="#c07030", geometry="40x10+200+100",
                           pixel_size=(400, 300))
        shots = {}
        for target in ("desktop", "tavik"):
            output = sandbox.path(target + ".jpg")
            self.assertSucceeded(run_binary([output, "0.95", "0", target], sandbox,
                                            display=server.display))
            shots[target] = Jpeg.from_file(output)
        return shots["desktop"], shots["tavik"]

    def assertWindowAsOnTheDesktop(self, desktop, window):
        # The window lies at (200, 100) of the screen.
        self.assertLessEqual(harness.colour_distance(window.pixel(200, 150),
                                                     desktop.pixel(400, 250)), 6)

    def test_colour_visuals(self):
        # StaticColor and TrueColor at depth 8 offer only nearby colours: allow for that. Under
        # DirectColor xterm writes its colours as pixel values without allocating them, so its
        # window shows whatever the colormap's ramps make of them.
        for visual_class, depth, tolerance in ((3, 8, 6), (5, 24, 6), (4, 24, 6), (4, 16, 8),
                                               (5, 30, 6), (2, 8, 56), (4, 8, 56)):
            with self.subTest(visual_class=visual_class, depth=depth):
                desktop, window = self.capture_under(visual_class, depth)
                self.assertColour(desktop, 20, 20, self.COLOUR, tolerance)
                self.assertWindowAsOnTheDesktop(desktop, window)
                if visual_class != 5:
                    self.assertColour(window, 200, 150, self.COLOUR[::-1], tolerance)

    def test_grey_visuals(self):
        for visual_class in (0, 1):
            with self.subTest(visual_class=visual_class):
                desktop, window = self.capture_under(visual_class, 8)
                for jpeg, (r, g, b) in ((desktop, self.COLOUR), (window, self.COLOUR[::-1])):
                    grey = (30 * r + 59 * g + 11 * b) // 100
                    self.assertColour(jpeg, 20, 20, (grey, grey, grey), 6)
                self.assertWindowAsOnTheDesktop(desktop, window)


if __name__ == "__main__":
    unittest.main()
