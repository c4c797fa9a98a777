"""What a person at a terminal is told besides the one line: the real binary with its standard
error on a pseudo-terminal, against a private Xvfb; through a pipe the same runs say one line."""

import errno
import os
import subprocess

import harness
from harness import (Jpeg, binary_environment, run_binary, start_process, stop_process,
                     unused_display)

DOCTOR = "run `TarnwickScreenCapture --doctor`"


def run_on_terminal(args, sandbox, display):
    """(exit status, standard error's lines as a terminal got them, standard output bytes)."""
    controller, terminal = os.openpty()
    try:
        process = start_process([harness.BINARY, *args], cwd=sandbox.work,
                                env=binary_environment(sandbox, display),
                                stdout=subprocess.PIPE, stderr=terminal)
        os.close(terminal)
        terminal = None
        try:
            stdout, _ = process.communicate(timeout=60)
        finally:
            stop_process(process)
        text = b""
        while True:  # what the terminal holds; EIO once it is read and the program has gone
            try:
                chunk = os.read(controller, 4096)
            except OSError as error:
                if error.errno != errno.EIO:
                    raise
                break
            if not chunk:
                break
            text += chunk
        return process.returncode, text.decode("utf-8").replace("\r\n", "\n").splitlines(), stdout
    finally:
        os.close(controller)
        if terminal is not None:
            os.close(terminal)


class TerminalLinesTests(harness.ServerTestCase):

    def both_ways(self, *args, display=None):
        """The run on a terminal and through a pipe: same status, the pipe's one line first."""
        display = display or self.server.display
        status, lines, stdout = run_on_terminal(args, self.sandbox, display)
        piped = run_binary(args, self.sandbox, display=display)
        self.assertEqual((status, stdout, piped.stdout), (piped.returncode, b"", b""))
        return piped, lines

    def test_a_failure_adds_its_cause_and_the_doctor_only_on_a_terminal(self):
        missing = self.sandbox.path("missing", "shot.jpg")
        for args, code, cause in (
                ((missing, "0.8", "0", "desktop"), 3,
                 "cause: cannot open '%s' for writing: No such file or directory" % missing),
                (("shot.jpg",), 5, None),  # no Tavik window on this screen
                ((), 64, None)):
            piped, lines = self.both_ways(*args)
            self.assertFailedWith(piped, code)
            self.assertEqual((len(lines), lines[0]), (2, piped.stderr.decode().rstrip("\n")))
            if cause:
                self.assertEqual(lines[1], cause)
        self.assertTrue(lines[1].endswith(self.sandbox.agent_request_path() + " holds no "
                                          "request; `TarnwickScreenCapture --help` shows the "
                                          "arguments"), lines)
        piped, lines = self.both_ways("shot.jpg", display=unused_display())
        self.assertFailedWith(piped, 2)
        self.assertTrue(lines[1].startswith("cause: ") and lines[1].endswith("; " + DOCTOR), lines)

    def test_swapped_arguments_still_do_what_they_say_and_say_so(self):
        self.server.start_xterm("Tavik", background="blue", pixel_size=(400, 300))
        piped, lines = self.both_ways("0.8", "shot.jpg")
        self.assertSucceeded(piped)
        self.assertEqual(lines, ["note: 0.8 is taken as the output file; shot.jpg is no quality, "
                                 "so 0.55 is used; did you mean `TarnwickScreenCapture shot.jpg "
                                 "0.8`?"])
        self.assertEqual(Jpeg.from_file(self.sandbox.path("0.8")).size, (400, 300))
        piped, lines = self.both_ways("shot.jpg", "0.8", "200")  # as meant: not a word
        self.assertSucceeded(piped)
        self.assertEqual(lines, [])
        self.assertEqual(Jpeg.from_file(self.sandbox.path("shot.jpg")).size, (200, 150))
