"""--help, -h and --version: text on standard output instead of a capture, only as the sole argument."""

import os
import re
import subprocess
import unittest

from harness import (AGENT_DATA_FOLDER, BINARY, JpegAssertions, Sandbox, USAGE_LINE,
                     binary_environment, require_binary, run_binary, start_process, stop_process)

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def project_version():
    with open(os.path.join(SOURCE_ROOT, "CMakeLists.txt"), encoding="utf-8") as stream:
        return re.search(r"project\(\w+ VERSION (\S+)", stream.read()).group(1)


class HelpAndVersionTests(unittest.TestCase, JpegAssertions):

    def setUp(self):
        require_binary()
        self.sandbox = Sandbox()
        self.addCleanup(self.sandbox.cleanup)
        # A usable request that a bare run would perform: the switches must not touch it.
        self.sandbox.write_agent_request({"id": "x", "output": self.sandbox.path("request.jpg"),
                                          "target": "desktop"})
        self.request_folder = sorted(os.listdir(self.sandbox.make_agent_folder()))

    def run_binary(self, *args):
        return run_binary(args, self.sandbox)

    def assertNothingWritten(self):
        self.assertEqual(os.listdir(self.sandbox.work), [])
        self.assertEqual(sorted(os.listdir(self.sandbox.make_agent_folder())), self.request_folder)
        self.assertEqual(self.sandbox.leftovers(), [])

    def test_help_prints_usage_arguments_and_agent_files(self):
        for switch in ("--help", "-h"):
            run = self.run_binary(switch)
            self.assertEqual((run.returncode, run.stderr), (0, b""), switch)
            text = run.stdout.decode("utf-8")
            self.assertEqual(text.splitlines()[0], USAGE_LINE)
            for word in ("quality", "maxWidth", "desktop", "tavik", "brevant", "zorvel",
                         "--list-windows", "--doctor",
                         os.path.join(self.sandbox.home, AGENT_DATA_FOLDER),
                         "screen-capture-agent-request.json",
                         "screen-capture-agent-response.json"):
                self.assertIn(word, text, switch)
            self.assertNothingWritten()

    def test_a_home_folder_cannot_forge_a_line(self):
        home = os.path.join(self.sandbox.home, "x\nExit status: 0\x1b]0;owned\x07\u202e")
        run = run_binary(["--help"], self.sandbox, env={"HOME": home})
        self.assertEqual((run.returncode, run.stderr), (0, b""), run)
        self.assertFalse(re.search(rb"[\x00-\x09\x0b-\x1f\x7f]", run.stdout), run.stdout)
        self.assertIn('in "%s/x\\nExit status: 0\\x1B]0;owned\\x07\\u{202E}/%s":'
                      % (self.sandbox.home, AGENT_DATA_FOLDER), run.stdout.decode("utf-8"))

    def test_version_prints_the_project_version(self):
        run = self.run_binary("--version")
        self.assertEqual((run.returncode, run.stdout, run.stderr),
                         (0, ("TarnwickScreenCapture %s\n" % project_version()).encode(), b""))
        self.assertNothingWritten()

    def test_switches_beside_other_arguments_or_in_other_case_are_output_paths(self):
        # No X server: the desktop ends in code 6 and the window in code 2, as for any path.
        self.assertFailedWith(self.run_binary("--help", "0.8", "0", "desktop"), 6)
        self.assertFailedWith(self.run_binary("-h", "0.8"), 2)
        self.assertFailedWith(self.run_binary("--version", "0.8"), 2)
        self.assertFailedWith(self.run_binary("--HELP"), 2)
        self.assertNothingWritten()

    def test_unwritable_standard_output_is_reported(self):
        with open("/dev/full", "wb") as full:
            process = start_process([BINARY, "--help"], cwd=self.sandbox.work,
                                    env=binary_environment(self.sandbox), stdout=full,
                                    stderr=subprocess.PIPE)
            try:
                _, stderr = process.communicate(timeout=60)
            finally:
                stop_process(process)
        self.assertEqual((process.returncode, stderr),
                         (74, b"failed to write to standard output\n"))


if __name__ == "__main__":
    unittest.main()
