"""Faults around the real binary: a lost X server, vanishing windows, failing outputs, a response
folder that cannot be written, a request file caught half-written, termination mid-capture."""

import json
import os
import random
import shutil
import signal
import subprocess
import threading
import time
import unittest

import harness
from harness import (MESSAGES, AgentSession, Jpeg, JpegAssertions, Sandbox, XServer,
                     hidden_files, read_bytes, require_binary, require_tools, run_binary,
                     start_process, stop_process, unused_display, wait_until)

NOBODY = 65534
JPEG_SIGNATURE = b"\xff\xd8\xff"


def files_open_in(pid, folder):
    """The files in folder that the process holds open (an unnamed one shows as 'folder/#N')."""
    names = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except FileNotFoundError:
            continue
        if target.startswith(folder + "/"):
            names.append(target)
    return names


def write_in_place(path, content, chunks=1, pause=0.0):
    """Rewrites a file through open-with-truncate, in chunks, without any rename."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        cut = sorted(random.sample(range(1, len(content)), chunks - 1)) if chunks > 1 else []
        start = 0
        for end in cut + [len(content)]:
            os.write(fd, content[start:end])
            start = end
            if pause:
                time.sleep(pause)
    finally:
        os.close(fd)


class FaultTestCase(harness.ServerTestCase):
    screen = (640, 480)

    def agent(self, **popen_arguments):
        return AgentSession(self, self.sandbox, self.server.display, **popen_arguments)

    def one_shot(self, *args, **keywords):
        keywords.setdefault("display", self.server.display)
        return run_binary(args, self.sandbox, **keywords)

    def assertAnsweredOk(self, response, output):
        self.assertEqual((response.get("ok"), response.get("detail")), (True, None), response)
        return Jpeg.from_file(output)

    def assertAnsweredFailure(self, response, code):
        self.assertEqual((response.get("ok"), response.get("detail")), (False, MESSAGES[code]),
                         response)


# ---------------------------------------------------------------------------------------------


class ServerLossTests(unittest.TestCase, JpegAssertions):
    """The X connection is opened per capture: losing the server fails requests, not the agent."""

    def setUp(self):
        require_binary()
        self.sandbox = Sandbox()
        self.addCleanup(self.sandbox.cleanup)

    def start_server(self, number, colour):
        server = XServer(640, 480, display_number=number)
        self.addCleanup(server.stop)
        server.start()
        server.set_root_colour(colour)
        return server

    def test_agent_outlives_the_x_server_and_uses_a_new_one_on_the_same_display(self):
        number = int(unused_display()[1:])
        server = self.start_server(number, "green")
        agent = AgentSession(self, self.sandbox, server.display)
        out = self.sandbox.path

        response = agent.request(output=out("before.jpg"), target="desktop", maxWidth=160)
        self.assertEqual(response["ok"], True, response)

        # No goodbye to the clients: the socket stays behind, connections are refused.
        server.process.kill()
        server.process.wait(timeout=10)
        for round_ in range(3):
            response = agent.request(output=out("gone-d%d.jpg" % round_), target="desktop")
            self.assertEqual((response["ok"], response.get("detail")), (False, MESSAGES[6]))
            response = agent.request(output=out("gone-t%d.jpg" % round_), target="tavik")
            self.assertEqual((response["ok"], response.get("detail")), (False, MESSAGES[2]))
        self.assertEqual(sorted(os.listdir(self.sandbox.work)), ["before.jpg"])
        server.stop()

        server = self.start_server(number, "blue")
        window = server.start_xterm("Tavik after restart", background="magenta",
                                    pixel_size=(400, 300))
        response = agent.request(output=out("after.jpg"), target="desktop", maxWidth=160)
        jpeg = Jpeg.from_file(out("after.jpg"))
        self.assertEqual((response["ok"], jpeg.size), (True, (160, 120)), response)
        self.assertColour(jpeg, 150, 110, "blue")  # beside the window
        response = agent.request(output=out("window.jpg"), target="tavik")
        jpeg = Jpeg.from_file(out("window.jpg"))
        self.assertEqual((response["ok"], jpeg.size), (True, (400, 300)), response)
        self.assertColour(jpeg, 200, 150, "magenta")
        self.assertTrue(agent.alive())
        server.close_window(window)


# ---------------------------------------------------------------------------------------------


class WindowChurnTests(FaultTestCase):
    """Windows of the captured application appear, vanish and die while captures run."""

    screen = (800, 600)
    requests = 200

    def start_map_churn(self, window, seconds):
        # One xdotool process runs a long chain of unmap/map requests, so the window flips as
        # fast as the server takes them; the shell loop is bounded in time.
        chain = " ".join("windowunmap %d windowmap %d" % (window.id, window.id)
                         for _ in range(100))
        script = 'end=$((SECONDS + %d)); while [ "$SECONDS" -lt "$end" ]; do xdotool %s; done' % (
            seconds, chain)
        process = start_process(["bash", "-c", script], env=self.server.environment(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, process)
        return process

    def start_short_lived_windows(self, stop, limit=400):
        # Whole clients created and killed outright: the server destroys their windows.
        def run():
            for index in range(limit):
                if stop.is_set():
                    return
                process = start_process(
                    ["xterm", "-title", "Tavik ephemeral %d" % index, "-geometry", "70x25+50+50",
                     "-bg", "blue", "+sb", "-e", "sleep", "100"],
                    env=self.server.environment(), stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL)
                time.sleep(random.uniform(0.03, 0.2))
                process.kill()
                stop_process(process)

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        return thread

    def test_captures_while_windows_are_mapped_unmapped_created_and_destroyed(self):
        require_tools("xterm", "xdotool")
        window = self.server.start_xterm("Tavik churn", background="red", pixel_size=(400, 300))
        churn = self.start_map_churn(window, seconds=120)
        stop = threading.Event()
        self.addCleanup(stop.set)
        clients = self.start_short_lived_windows(stop)
        agent = self.agent()

        outcomes = {}
        for index in range(self.requests):
            output = self.sandbox.path("shot%03d.jpg" % index)
            response = agent.request(output=output, target="tavik",
                                     maxWidth=random.choice([0, 200]))
            if response["ok"] is True:
                self.assertNotIn("detail", response)
                Jpeg.from_file(output)
                outcome = "ok"
            else:
                self.assertIs(response["ok"], False, response)
                self.assertIn(response.get("detail"), (MESSAGES[5], MESSAGES[6]), response)
                self.assertFalse(os.path.exists(output), "a failed capture left a file")
                outcome = response["detail"]
            outcomes[outcome] = outcomes.get(outcome, 0) + 1

        self.assertIsNone(churn.poll(), "the map/unmap churn ended early")
        stop.set()
        clients.join(timeout=30)
        self.assertTrue(agent.alive())
        self.assertEqual(hidden_files(self.sandbox.work), [])
        self.assertEqual(self.sandbox.leftovers(), [])
        self.assertGreater(outcomes.get("ok", 0), 0, outcomes)
        print("\nwindow churn outcomes: %r" % outcomes)


# ---------------------------------------------------------------------------------------------


def make_read_only(test, folder):
    """Makes folder unwritable even for root; returns keywords that run the binary so it applies.

    Root ignores permission bits, so the folder is made immutable; where the file system has no
    such attribute the binary runs as nobody against a folder without write permission.
    """
    if shutil.which("chattr") and subprocess.run(
            ["chattr", "+i", folder], capture_output=True).returncode == 0:
        test.addCleanup(subprocess.run, ["chattr", "-i", folder], capture_output=True)
        return {}
    if os.geteuid() != 0:
        os.chmod(folder, 0o555)
        test.addCleanup(os.chmod, folder, 0o755)
        return {}
    if not shutil.which("setpriv"):
        test.skipTest("neither chattr +i nor setpriv to make a folder read-only for root")
    os.chmod(folder, 0o555)
    test.addCleanup(os.chmod, folder, 0o755)
    # nobody must reach the sandbox and write its other folders.
    for path in (test.sandbox.root, test.sandbox.home, test.sandbox.work, test.sandbox.tmpdir):
        os.chmod(path, 0o777 if path != test.sandbox.root else 0o755)
    return {"user": NOBODY, "group": NOBODY, "extra_groups": []}


class OutputFaultTests(FaultTestCase):
    """Outputs that cannot be created or written: exact failures, nothing earlier lost, no litter."""

    def assertOneShotFails(self, output, code, **keywords):
        run = self.one_shot(output, "0.8", "0", "desktop", **keywords)
        self.assertFailedWith(run, code)
        self.assertEqual(self.sandbox.leftovers(), [])

    def test_output_folder_removed_between_requests(self):
        folder = self.sandbox.make_folder("work/out")
        agent = self.agent()
        self.assertAnsweredOk(agent.request(output=os.path.join(folder, "a.jpg"),
                                            target="desktop"), os.path.join(folder, "a.jpg"))
        shutil.rmtree(folder)
        self.assertAnsweredFailure(agent.request(output=os.path.join(folder, "b.jpg"),
                                                 target="desktop"), 3)
        self.assertOneShotFails(os.path.join(folder, "c.jpg"), 3)
        self.assertFalse(os.path.exists(folder), "the output folder was created again")
        self.assertTrue(agent.alive())

    def test_read_only_output_folder(self):
        folder = self.sandbox.make_folder("work/out")
        earlier = os.path.join(folder, "shot.jpg")
        self.assertSucceeded(self.one_shot(earlier, "0.5", "64", "desktop"))
        before = read_bytes(earlier)
        run_as = make_read_only(self, folder)
        for name in ("shot.jpg", "new.jpg"):
            self.assertOneShotFails(os.path.join(folder, name), 3, **run_as)
        agent = self.agent(**run_as)
        for name in ("shot.jpg", "new.jpg"):
            self.assertAnsweredFailure(
                agent.request(output=os.path.join(folder, name), target="desktop"), 3)
        self.assertEqual(os.listdir(folder), ["shot.jpg"])
        self.assertEqual(read_bytes(earlier), before)

    def test_device_that_refuses_writes(self):
        self.assertOneShotFails("/dev/full", 4)
        agent = self.agent()
        self.assertAnsweredFailure(agent.request(output="/dev/full", target="desktop"), 4)

    def test_output_naming_an_existing_folder(self):
        folder = self.sandbox.make_folder("work/shot.jpg")
        self.assertOneShotFails(folder, 3)
        agent = self.agent()
        self.assertAnsweredFailure(agent.request(output=folder, target="desktop"), 3)
        self.assertEqual(os.listdir(folder), [])
        self.assertEqual(os.listdir(self.sandbox.work), ["shot.jpg"])

    def mount_small_file_system(self, folder):
        if os.geteuid() != 0:
            self.skipTest("mounting a tmpfs needs root")
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=0755", "tmpfs",
                                  folder], capture_output=True, text=True)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a tmpfs here: " + mounted.stderr.strip())
        self.addCleanup(subprocess.run, ["umount", folder], capture_output=True)

    def test_full_disk(self):
        folder = self.sandbox.make_folder("work/full")
        self.mount_small_file_system(folder)
        earlier = os.path.join(folder, "shot.jpg")
        self.assertSucceeded(self.one_shot(earlier, "0.5", "64", "desktop"))
        before = read_bytes(earlier)
        fd = os.open(os.path.join(folder, "filler"), os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            for _ in range(1024):
                os.write(fd, b"\0" * 4096)
        except OSError:
            pass  # full
        finally:
            os.close(fd)
        for name in ("shot.jpg", "new.jpg"):
            self.assertOneShotFails(os.path.join(folder, name), 4)
        agent = self.agent()
        for name in ("shot.jpg", "new.jpg"):
            self.assertAnsweredFailure(
                agent.request(output=os.path.join(folder, name), target="desktop"), 4)
        self.assertEqual(sorted(os.listdir(folder)), ["filler", "shot.jpg"])
        self.assertEqual(read_bytes(earlier), before)


# ---------------------------------------------------------------------------------------------


class ResponseFolderTests(FaultTestCase):
    """Responses that cannot be written are lost; requests are still performed."""

    def test_read_only_agent_folder(self):
        out = self.sandbox.path
        self.sandbox.write_agent_request({"id": "first", "output": out("1.jpg"),
                                          "target": "desktop"})
        data = os.path.dirname(self.sandbox.agent_request_path())
        run_as = make_read_only(self, data)
        if run_as:  # the agent takes requests only from its own user's folder and file
            for path in (data, self.sandbox.agent_request_path()):
                os.chown(path, run_as["user"], run_as["group"])
        agent = self.agent(**run_as)
        wait_until(lambda: os.path.exists(out("1.jpg")), timeout=20, what="the first JPEG")
        # The folder takes no new names; the request file itself can still be rewritten.
        write_in_place(self.sandbox.agent_request_path(), json.dumps(
            {"id": "second", "output": out("2.jpg"), "target": "desktop"}).encode())
        wait_until(lambda: os.path.exists(out("2.jpg")), timeout=20, what="the second JPEG")
        harness.while_agent_waits(agent.process)  # its response tried and lost
        self.assertEqual(os.listdir(data), [os.path.basename(self.sandbox.agent_request_path())])
        for name in ("1.jpg", "2.jpg"):
            self.assertTrue(read_bytes(out(name)).startswith(JPEG_SIGNATURE))
        self.assertTrue(agent.alive())

    def test_missing_agent_folder(self):
        agent = self.agent()
        harness.while_agent_waits(agent.process)  # a pass with nothing to read
        self.assertEqual(os.listdir(self.sandbox.home), [])
        response = agent.request(output=self.sandbox.path("late.jpg"), target="desktop")
        self.assertAnsweredOk(response, self.sandbox.path("late.jpg"))


# ---------------------------------------------------------------------------------------------


class TornRequestTests(FaultTestCase):
    """The request file rewritten in place, in pieces, while the agent polls it.

    Every request has the same length and names its number twice, in the id and in the output
    name, e.g. {"id":"00042","output":"<dir>/00042-00042.jpg",...}. A read that caught the new
    first chunk with the old tail still in place (or any other mix of two requests) would then be
    valid JSON whose output name carries two different numbers; a read of a bare prefix is no
    JSON object at all. So a JPEG whose name's numbers differ proves a torn read taken as a
    request. The first cut always falls inside the second number of the output name, before its
    last digit (where consecutive numbers always differ), the second anywhere after it.
    """

    rewrites = 3000

    def content(self, folder, number):
        return ('{"id":"%05d","output":"%s/%05d-%05d.jpg","target":"desktop","maxWidth":16}'
                % (number, folder, number, number)).encode()

    def rewrite(self, path, content, cut):
        fd = os.open(path, os.O_WRONLY | os.O_TRUNC)
        try:
            cuts = sorted({cut, random.randrange(cut + 1, len(content))})
            start = 0
            for end in cuts + [len(content)]:
                os.write(fd, content[start:end])
                start = end
                time.sleep(0.0002)
        finally:
            os.close(fd)

    def test_in_place_rewrites_are_performed_only_when_whole(self):
        folder = self.sandbox.make_folder("work/out")
        request = self.sandbox.agent_request_path()
        self.sandbox.write_agent_request(b"")
        agent = self.agent()
        for number in range(1, self.rewrites + 1):
            content = self.content(folder, number)
            cut = content.index(b"-%05d.jpg" % number) + 1 + random.randrange(0, 5)
            self.rewrite(request, content, cut)
            time.sleep(random.uniform(0, 0.002))
        last = "%05d" % self.rewrites
        agent.wait_for(last)

        names = sorted(os.listdir(folder))
        performed = []
        for name in names:
            first, _, rest = name.partition("-")
            self.assertEqual(rest, first + ".jpg", "a torn request was performed: " + name)
            self.assertTrue(1 <= int(first) <= self.rewrites, name)
            self.assertTrue(read_bytes(os.path.join(folder, name)).startswith(JPEG_SIGNATURE))
            performed.append(int(first))
        self.assertIn(self.rewrites, performed)
        self.assertGreater(len(performed), 20, "the agent performed too few requests to tell")
        self.assertTrue(agent.alive())
        print("\n%d of %d rewrites performed" % (len(performed), self.rewrites))


# ---------------------------------------------------------------------------------------------


class TerminationTests(FaultTestCase):
    """The agent stopped by a signal in the middle of a long capture."""

    screen = (3840, 2160)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A random tile on the root window makes every capture slow to encode.
        tile = os.path.join(cls.server.home, "noise.xbm")
        rows = []
        generator = random.Random(7)
        for _ in range(256 * 256 // 8):
            rows.append("0x%02x" % generator.randrange(256))
        with open(tile, "w") as stream:
            stream.write("#define noise_width 256\n#define noise_height 256\n"
                         "static unsigned char noise_bits[] = {\n%s};\n"
                         % ",\n".join(",".join(rows[i:i + 12]) for i in range(0, len(rows), 12)))
        cls.server.x(["xsetroot", "-bitmap", tile, "-fg", "yellow", "-bg", "blue"])

    def setUp(self):
        super().setUp()
        self.output = self.sandbox.path("big.jpg")
        self.data = self.sandbox.make_agent_folder()
        self._counter = 0

    def request(self):
        self._counter += 1
        self.sandbox.write_agent_request({"id": "big%d" % self._counter, "output": self.output,
                                          "target": "desktop", "maxWidth": 0, "quality": 0.95})

    def assertResponseWhole(self):
        path = self.sandbox.agent_response_path()
        if os.path.exists(path):
            response = json.loads(read_bytes(path).decode("utf-8"))
            self.assertIsInstance(response, dict)
            self.assertIn("id", response)
        self.assertEqual(sorted(os.listdir(self.data)),
                         sorted(name for name in ("screen-capture-agent-request.json",
                                                  "screen-capture-agent-response.json")
                                if os.path.exists(os.path.join(self.data, name))))

    def idle_agent(self):
        """An agent in its loop with no request to perform (a restart would redo the last one)."""
        request = self.sandbox.agent_request_path()
        if os.path.exists(request):
            os.unlink(request)
        agent = self.agent()
        harness.while_agent_waits(agent.process)
        return agent

    def stop_with(self, agent, signum, when):
        """Writes a request, waits for the moment `when` names, signals, and waits for the end."""
        self.request()
        if when == "temporary file":
            wait_until(lambda: files_open_in(agent.process.pid, self.sandbox.work), timeout=30,
                       interval=0.001, what="the temporary JPEG file")
        else:
            time.sleep(when)
        agent.process.send_signal(signum)
        agent.process.wait(timeout=30)
        self.assertEqual(agent.process.returncode, -signum, "not ended by the signal itself")

    def test_timed_requests_and_signals(self):
        # One capture uncut, to know how long it runs.
        agent = self.idle_agent()
        self.request()
        started = time.monotonic()
        agent.wait_for("big1", timeout=60)
        duration = time.monotonic() - started
        Jpeg.from_file(self.output)
        stop_process(agent.process)

        timings = ["temporary file", 0.0, 0.01, 0.03, duration * 0.3, duration * 0.6,
                   duration * 0.9, duration + 0.05]
        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGKILL):
            for when in timings:
                with self.subTest(signal=signum, when=when):
                    agent = self.idle_agent()
                    self.stop_with(agent, signum, when)
                    self.assertResponseWhole()
                    # The temporary file has no name, so not even SIGKILL leaves it behind.
                    self.assertEqual(hidden_files(self.sandbox.work), [],
                                     "a temporary file outlived the agent")
                    if os.path.exists(self.output):
                        Jpeg.from_file(self.output)
        print("\ncapture %.0f ms" % (duration * 1000))
