"""Outputs that can be trusted: nothing is written while the display is read, FIFOs and devices,
readers that go away, size limits, files a request may not replace, descriptors as they are
open, long names, and kills in the middle of a capture."""

import fcntl
import os
import random
import resource
import stat
import struct
import subprocess
import termios
import time
import unittest

import harness
from harness import (BINARY, MESSAGES, AgentSession, Jpeg, binary_environment, hidden_files,
                     read_bytes, run_binary, start_process, stop_process, wait_until)

PIPE_CAPACITY = 65536


def fill_root_with_noise(server):
    """A random tile on the root window: captures compress poorly and take long to encode."""
    generator = random.Random(7)
    bits = ["0x%02x" % generator.randrange(256) for _ in range(256 * 256 // 8)]
    tile = os.path.join(server.home, "noise.xbm")
    with open(tile, "w") as stream:
        stream.write("#define noise_width 256\n#define noise_height 256\n"
                     "static unsigned char noise_bits[] = {\n%s};\n"
                     % ",\n".join(",".join(bits[i:i + 12]) for i in range(0, len(bits), 12)))
    server.x(["xsetroot", "-bitmap", tile, "-fg", "yellow", "-bg", "blue"])


def bytes_waiting(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


def read_until_end(fd):
    chunks = []
    while True:
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


class OutputTests(harness.ServerTestCase):
    screen = (1280, 800)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        fill_root_with_noise(cls.server)

    def one_shot(self, *args, **keywords):
        return run_binary(args, self.sandbox, display=self.server.display, **keywords)

    def start(self, args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **streams):
        process = start_process([BINARY] + list(args), cwd=self.sandbox.work, stdout=stdout,
                                stderr=stderr, **streams,
                                env=binary_environment(self.sandbox, self.server.display))
        self.addCleanup(stop_process, process)
        return process

    def agent(self):
        return AgentSession(self, self.sandbox, self.server.display)

    def assertAnswered(self, response, code=None):
        self.assertEqual((response.get("ok"), response.get("detail")),
                         (code is None, MESSAGES.get(code)), response)

    def test_a_pipe_nobody_reads_holds_neither_the_display_nor_the_image(self):
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        process = self.start(["/dev/stdout", "0.95", "0", "desktop"], stdout=write_end)
        os.close(write_end)
        wait_until(lambda: bytes_waiting(read_end) >= PIPE_CAPACITY, timeout=60,
                   what="the pipe to fill")
        # The tool now waits in write; every other client must still be answered promptly.
        self.server.x(["xprop", "-root", "-len", "0", "_NET_NONE"], timeout=1)
        self.assertEqual(Jpeg(read_until_end(read_end)).size, self.screen)
        self.assertEqual((process.wait(timeout=30), process.stderr.read()), (0, b""))

    def test_fifos_need_a_reader_and_a_reader_that_goes_away_is_a_write_error(self):
        fifo = self.sandbox.path("fifo")
        os.mkfifo(fifo)
        self.assertFailedWith(self.one_shot(fifo, "0.8", "64", "desktop"), 3)
        agent = self.agent()
        self.assertAnswered(agent.request(output=fifo, target="desktop"), 3)

        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            self.assertAnswered(agent.request(output=fifo, target="desktop", maxWidth=64))
            self.assertEqual(Jpeg(os.read(reader, PIPE_CAPACITY)).size, (64, 40))
            request = agent.next_id()
            self.sandbox.write_agent_request({"id": request, "output": fifo, "target": "desktop"})
            wait_until(lambda: bytes_waiting(reader) >= PIPE_CAPACITY, timeout=60,
                       what="the FIFO to fill")
        finally:
            os.close(reader)
        self.assertAnswered(agent.wait_for(request), 4)
        self.assertAnswered(agent.request(output=self.sandbox.path("after.jpg"), target="desktop"))

        read_end, write_end = os.pipe()
        os.close(read_end)
        process = self.start(["/dev/stdout", "0.8", "64", "desktop"], stdout=write_end)
        os.close(write_end)
        self.assertEqual((process.wait(timeout=60), process.stderr.read()),
                         (4, (MESSAGES[4] + "\n").encode()))

    def test_a_file_size_limit_is_a_write_error(self):
        earlier = self.sandbox.path("shot.jpg")
        self.assertSucceeded(self.one_shot(earlier, "0.5", "64", "desktop"))
        before = read_bytes(earlier)
        limited = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))  # noqa: E731
        # subprocess gives the child SIGXFSZ's default action, which used to end the run.
        for output in (earlier, self.sandbox.path("new.jpg")):
            self.assertFailedWith(self.one_shot(output, "0.95", "0", "desktop",
                                                preexec_fn=limited), 4)
        self.assertEqual(read_bytes(earlier), before)
        self.assertEqual(os.listdir(self.sandbox.work), ["shot.jpg"])

    def test_devices(self):
        self.assertSucceeded(self.one_shot("/dev/null", "0.8", "64", "desktop"))
        if os.geteuid() != 0:
            self.skipTest("making a block device node needs root")
        number = os.listdir("/sys/dev/block")[0].split(":")
        disk = self.sandbox.path("disk")
        os.mknod(disk, stat.S_IFBLK | 0o600, os.makedev(int(number[0]), int(number[1])))
        self.assertFailedWith(self.one_shot(disk, "0.8", "64", "desktop"), 3)
        self.assertAnswered(self.agent().request(output=disk, target="desktop"), 3)
        self.assertTrue(stat.S_ISBLK(os.lstat(disk).st_mode))

    def test_requests_replace_only_jpegs_and_the_command_line_anything(self):
        bashrc = os.path.join(self.sandbox.home, ".bashrc")
        with open(bashrc, "w") as stream:
            stream.write("export PATH=$HOME/bin:$PATH\n")
        earlier = self.sandbox.path("earlier.jpg")
        self.assertSucceeded(self.one_shot(earlier, "0.8", "32", "desktop"))
        empty = self.sandbox.path("empty")
        open(empty, "w").close()

        agent = self.agent()
        self.assertAnswered(agent.request(output=bashrc, target="desktop"), 3)
        for output in (earlier, empty):
            self.assertAnswered(agent.request(output=output, target="desktop", maxWidth=64))
            self.assertEqual(Jpeg.from_file(output).size, (64, 40))
        stop_process(agent.process)

        self.sandbox.write_agent_request({"id": "file", "output": bashrc, "target": "desktop"})
        self.assertFailedWith(self.one_shot(), 3)
        self.assertEqual(read_bytes(bashrc), b"export PATH=$HOME/bin:$PATH\n")
        self.assertSucceeded(self.one_shot(bashrc, "0.8", "64", "desktop"))
        self.assertEqual(Jpeg.from_file(bashrc).size, (64, 40))

    def test_standard_output_is_written_as_it_is_open(self):
        log = self.sandbox.path("log.txt")
        with open(log, "w") as stream:
            stream.write("earlier line\n")
        with open(log, "ab") as appending:  # ">> log.txt"
            process = self.start(["/dev/stdout", "0.8", "64", "desktop"], stdout=appending)
        self.assertEqual(process.wait(timeout=60), 0)
        content = read_bytes(log)
        self.assertTrue(content.startswith(b"earlier line\n"), content[:40])
        self.assertEqual(Jpeg(content[len("earlier line\n"):]).size, (64, 40))
        self.assertFailedWith(self.one_shot("/dev/fd/9", "0.8", "64", "desktop"), 3)  # not open

    def test_standard_streams_open_read_only_are_never_written_through(self):
        kept = self.sandbox.path("ro.txt")
        with open(kept, "w") as stream:
            stream.write("read-only input\n")
        for name in ("/dev/stdin", "/dev/fd/0", "/proc/self/fd/0"):
            with open(kept, "rb") as reading:  # "< ro.txt"
                process = self.start([name, "0.5", "64", "desktop"], stdin=reading,
                                     stderr=subprocess.PIPE)
                _, stderr = process.communicate(timeout=60)
            self.assertEqual((process.returncode, stderr.decode()),
                             (3, MESSAGES[3] + "\n"), name)
            self.assertEqual(read_bytes(kept), b"read-only input\n", name)
        with open(kept, "wb") as writing:  # "2> ro.txt": written as it is open
            process = self.start(["/dev/stderr", "0.5", "64", "desktop"], stderr=writing)
        self.assertEqual(process.wait(timeout=60), 0)
        self.assertEqual(Jpeg.from_file(kept).size, (64, 40))

    def test_names_of_up_to_255_bytes(self):
        for length in (248, 255):
            output = self.sandbox.path("n" * length)
            for _ in range(2):  # new, then replaced
                self.assertSucceeded(self.one_shot(output, "0.8", "16", "desktop"))
            os.unlink(output)
        self.assertEqual(os.listdir(self.sandbox.work), [])


    def test_a_name_left_by_a_killed_run_is_removed_by_the_next_replacement(self):
        output = self.sandbox.path("kept.jpg")
        self.assertSucceeded(self.one_shot(output, "0.8", "16", "desktop"))
        left = self.sandbox.path(".kept.jpg.replacing")
        for held in (True, False):
            with self.subTest(held=held), open(left, "wb") as stream:
                stream.write(b"left by a run killed before its rename")
                stream.flush()
                if held:  # as a run still working on it holds it: it must stay
                    fcntl.flock(stream, fcntl.LOCK_EX)
                self.assertSucceeded(self.one_shot(output, "0.8", "16", "desktop"))
                self.assertEqual(os.path.exists(left), held)
                self.assertEqual(Jpeg.from_file(output).width, 16)
        self.assertEqual(sorted(os.listdir(self.sandbox.work)), ["kept.jpg"])


class KilledCaptureTests(harness.ServerTestCase):
    """SIGKILL at any moment of a capture leaves nothing in the output folder but whole JPEGs."""

    screen = (3840, 2160)
    runs = 40

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        fill_root_with_noise(cls.server)

    def test_sigkill_during_captures(self):
        folder = self.sandbox.make_folder("work/out")
        started = time.monotonic()
        self.assertEqual(run_binary([os.path.join(folder, "kept.jpg"), "0.95", "0", "desktop"],
                                    self.sandbox, display=self.server.display).returncode, 0)
        duration = time.monotonic() - started
        generator = random.Random(3)
        killed = 0
        for index in range(self.runs):
            # New names, and the same existing name, which is replaced.
            name = "kept.jpg" if index % 2 else "shot%02d.jpg" % index
            process = start_process([BINARY, os.path.join(folder, name), "0.95", "0", "desktop"],
                                    cwd=self.sandbox.work, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL,
                                    env=binary_environment(self.sandbox, self.server.display))
            time.sleep(generator.uniform(0, duration * 1.2))
            process.kill()
            killed += process.wait(timeout=30) == -9
            stop_process(process)
            # A kill between naming the replacement and renaming it can leave that one name,
            # which the next replacement of the same file removes.
            self.assertIn(hidden_files(folder), ([], [".kept.jpg.replacing"]),
                          "run %d left a temporary file" % index)
        self.assertEqual(run_binary([os.path.join(folder, "kept.jpg"), "0.95", "0", "desktop"],
                                    self.sandbox, display=self.server.display).returncode, 0)
        self.assertEqual(hidden_files(folder), [])
        self.assertGreater(killed, 0, "no kill landed in the middle of a capture")
        for name in os.listdir(folder):
            self.assertEqual(Jpeg.from_file(os.path.join(folder, name)).size, self.screen, name)
        self.assertEqual(self.sandbox.leftovers(), [])
        print("\ncapture %.0f ms; %d of %d runs killed mid-capture"
              % (duration * 1000, killed, self.runs))


if __name__ == "__main__":
    unittest.main()
