"""`--doctor`: what it finds on a real Xvfb and a real headless sway, and the exit status."""

import os
import re
import socket
import unittest

import harness
from harness import require_tools, run_binary
from wayland_session import SwayTestCase


def findings(run):
    """{subject: text} of the doctor's lines."""
    lines = run.stdout.decode().splitlines()
    found = {}
    for line in lines:
        subject, _, text = line.partition(": ")
        found.setdefault(subject, text)
    return found


class DoctorOnX11Tests(harness.ServerTestCase):

    def doctor(self, display="server", env=None):
        return run_binary(["--doctor"], self.sandbox,
                          display=self.server.display if display == "server" else display, env=env)

    def assertNothingWritten(self):
        self.assertEqual(self.sandbox.leftovers(), [])
        self.assertEqual(os.listdir(self.sandbox.work), [])

    def test_a_tavik_window_present_is_exit_zero(self):
        self.sandbox.make_agent_folder()
        self.server.start_xterm("Tavik", background="red", pixel_size=(400, 300))
        run = self.doctor()
        self.assertEqual((run.returncode, run.stderr), (0, b""), run.stdout)
        found = findings(run)
        self.assertEqual(found["window system"],
                         "X11 on %s (no Wayland compositor answers (WAYLAND_DISPLAY is not set); "
                         "DISPLAY=%s)" % (self.server.display, self.server.display))
        self.assertRegex(found["desktop"], r"^the whole desktop: 1280x800 captured in \d+ ms")
        self.assertRegex(found["Tavik window"], r'"Tavik", 400x300 at \d+,\d+: 400x300 captured')
        self.assertEqual(found["request file"], "none waits")
        self.assertNothingWritten()

    def test_no_tavik_window_is_exit_five_with_the_reason(self):
        self.server.start_xterm("a shell", background="blue")
        run = self.doctor()
        self.assertEqual(run.returncode, 5, run.stdout)
        self.assertEqual(findings(run)["Tavik window"],
                         "problem: none (code 5): none of the 1 windows on screen qualifies "
                         "(--list-windows says why); TarnwickScreenCapture --list-windows shows "
                         "each window and its rule")
        self.assertNothingWritten()

    def test_every_library_loaded_at_run_time_is_named_with_the_package_that_brings_it(self):
        # The package's dependencies name them too: ldd and the shared-library scan do not.
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "packaging",
                               "Packaging.cmake")) as stream:
            depends = re.search(r'CPACK_DEBIAN_PACKAGE_DEPENDS\s+"([^"]*)"', stream.read())
        loading = findings(self.doctor())["run-time libraries"]
        self.assertTrue(loading.endswith(" load"), loading)
        packages = re.findall(r"([^ ,]+) \(([^)]+)\)", loading)
        self.assertEqual(len(packages), 4, packages)
        self.assertEqual([package.replace("${TARNWICK_ICU_MAJOR}", "")
                          for package in depends.group(1).split(", ")],
                         [re.sub(r"\d+$", "", package) if package.startswith("libicu") else
                          package for _, package in packages])

    def test_no_display_is_exit_two_naming_display(self):
        run = self.doctor(display=None)
        self.assertEqual(run.returncode, 2, run.stdout)
        self.assertIn("DISPLAY is not set", findings(run)["window system"])
        self.assertIn("export DISPLAY=", findings(run)["window system"])

    def test_an_untrusted_data_folder_gets_the_exact_chmod(self):
        folder = self.sandbox.make_agent_folder()
        os.chmod(folder, 0o777)
        self.server.start_xterm("Tavik", background="red", pixel_size=(400, 300))
        run = self.doctor()
        self.assertEqual(run.returncode, 0, run.stdout)  # a capture works; the agent would not serve
        self.assertEqual(findings(run)["agent folder"],
                         "problem: the agent ignores requests: all users can write '%s'; run: "
                         "chmod go-w '%s'" % (folder, folder))
        os.chmod(folder, 0o700)

    def test_a_request_that_waits_unanswered_and_no_agent(self):
        self.sandbox.make_agent_folder()
        self.sandbox.write_agent_request({"id": "waiting", "output": "/tmp/x.jpg"})
        found = findings(self.doctor())
        self.assertTrue(found["agent"].startswith("problem: none serves it; run: systemctl --user "
                                                  "enable --now"), found["agent"])
        self.assertRegex(found["request file"], r'^problem: request "waiting" waits unanswered, '
                                                r"written \d+ s ago: no agent serves the folder$")
        agent = harness.Agent(self.sandbox, display=self.server.display)
        self.addCleanup(agent.stop)
        self.sandbox.wait_for_agent_response("waiting")
        found = findings(self.doctor())
        self.assertEqual(found["agent"], "serves it now (process %d)" % agent.pid)
        self.assertEqual(found["request file"], 'request "waiting" is answered')

    def test_the_request_file_lines_take_nothing_from_a_client_as_it_stands(self):
        folder = self.sandbox.make_agent_folder()
        # A key named twice, its name made to forge a line and drive a terminal.
        self.sandbox.write_agent_request(
            '{"output": "/tmp/x.jpg", "k\\nagent: fine\\u001b[2J\\u202e": 1, '
            '"k\\nagent: fine\\u001b[2J\\u202e": 2}')
        run = self.doctor()
        self.assertEqual(findings(run)["request file"],
                         "problem: it is no request: the name 'k\\nagent: fine\\x1B[2J"
                         "\\u{202E}' stands twice in one object")
        self.assertEqual(len(run.stdout.decode().splitlines()),
                         len(findings(run)), run.stdout)
        # A response that answers the request, reached only through a symbolic link, is none.
        self.sandbox.write_agent_request({"id": "linked", "output": "/tmp/x.jpg"})
        elsewhere = self.sandbox.path("response.json")
        with open(elsewhere, "w") as stream:
            stream.write('{"id": "linked", "ok": true, "finished_at": 1}')
        os.symlink(elsewhere, os.path.join(folder, "screen-capture-agent-response.json"))
        self.assertRegex(findings(self.doctor())["request file"],
                         r'^problem: request "linked" waits unanswered')


    def test_a_wayland_socket_that_never_speaks_is_no_answer_and_the_status_is_the_captures(self):
        # The kernel completes a connection to a listening socket that nobody accepts: the
        # compositor "accepts", and never says a word.
        runtime = self.sandbox.make_folder("runtime")
        silent = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(silent.close)
        silent.bind(os.path.join(runtime, "wayland-silent"))
        silent.listen(8)
        env = {"WAYLAND_DISPLAY": "wayland-silent", "XDG_RUNTIME_DIR": runtime}
        self.server.start_xterm("Tavik", background="red", pixel_size=(400, 300))
        run = self.doctor(env=env)
        self.assertNothingWritten()
        capture = run_binary(["w.jpg"], self.sandbox, display=self.server.display, env=env)
        self.assertEqual((capture.returncode, capture.stderr), (0, b""))
        self.assertEqual(run.returncode, capture.returncode, run.stdout)
        found = findings(run)
        self.assertEqual(found["window system"],
                         "wlroots on wayland-silent, windows from XWayland (X11 on %s) "
                         "(WAYLAND_DISPLAY=wayland-silent accepts connections; SWAYSOCK is not "
                         "set and the session bus has no KWin nor GNOME Shell's extension)"
                         % self.server.display)
        self.assertEqual(found["desktop"], "problem: the whole desktop: no image (code 6): the "
                                           "compositor on wayland-silent sent nothing for 5 s")
        self.assertRegex(found["Tavik window"], r'"Tavik", 400x300 at \d+,\d+: 400x300 captured')


class DoctorUnderSwayTests(SwayTestCase):

    def test_sway_is_named_and_a_native_window_found(self):
        require_tools("foot")
        self.session.start_foot("tavik", "Tavik notes", "ff0000")
        run = run_binary(["--doctor"], self.sandbox, env=self.session.binary_environment(),
                         **self.session.as_user())
        found = findings(run)
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertRegex(found["window system"],
                         r"^wlroots on wayland-\d+, windows from sway \(WAYLAND_DISPLAY=wayland-\d+ "
                         r"accepts connections, and SWAYSOCK=.+\)$")
        self.assertRegex(found["desktop"], r"^the whole desktop: 1280x720 captured in \d+ ms")
        self.assertIn('"Tavik notes"', found["Tavik window"])


if __name__ == "__main__":
    unittest.main()
