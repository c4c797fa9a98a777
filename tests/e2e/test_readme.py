"""The README's shell blocks, run as written by an ordinary user with a home of its own: in page
order under a private Xvfb with a Tavik window, the sway block in a headless sway and the
Plasma block under KWin, which must then let the binary it names take screenshots. A command
that cannot run here is skipped with its reason; one the test does not know fails it, so that
a new block is either run here or says why not."""

import os
import re
import shutil
import signal
import subprocess
import unittest

import harness
from harness import Jpeg, Sandbox, ordinary_user, start_process, stop_process, wait_until

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# First words of commands that cannot run here, and why.
NOT_HERE = {
    "sudo": "installs the package system-wide (test_install installs it into a scratch root)",
    "scripts/install-dependencies": "installs packages with apt",
    "cmake": "builds the tool; this test runs the one built",
    "scripts/capture-demo": "installs packages and builds the tool",
    "scripts/test": "runs every test",
    "scripts/fuzz": "fuzzes for minutes",
    "systemctl": "needs the account's systemd user manager",
    "journalctl": "needs the account's systemd journal",
    "export": "names the reader's own session; the test gives its session's",
}
RUNS_HERE = {"TarnwickScreenCapture", "mkdir", "cat", "nohup", "examples/capture-client.sh"}
# Programs of a Wayland session: the block runs in a headless sway.
NEEDS_SWAY = {"foot"}
KWIN_PERMISSION = "X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2"


def session_of(body):
    """Which session a block needs: "sway", "kwin", or X11's None."""
    if any(word in NEEDS_SWAY for _, word in commands(body)):
        return "sway"
    return "kwin" if any(KWIN_PERMISSION in line for line in body) else None


def shell_blocks():
    """(line number, [lines]) of each ```sh block, those indented inside list items included."""
    with open(os.path.join(SOURCE_ROOT, "README.md"), encoding="utf-8") as stream:
        lines = stream.read().splitlines()
    blocks, number = [], 0
    while number < len(lines):
        opening = re.match(r"^( *)```sh\s*$", lines[number])
        number += 1
        if not opening:
            continue
        indent, start, body = opening.group(1), number, []
        while not re.match(r"^ *```\s*$", lines[number]):
            body.append(lines[number][len(indent):])
            number += 1
        blocks.append((start, body))
    return blocks


def commands(body):
    """(index, command word) of each command line, past variables set for it ("=" for a line
    that only sets variables); here-document bodies are no commands."""
    ending = None
    for index, line in enumerate(body):
        if ending is not None:
            if line.strip() == ending:
                ending = None
            continue
        words = ("" if line.lstrip().startswith("#") else line.split(" #")[0]).split()
        if words:
            command = next((word for word in words
                            if not re.match(r"[A-Za-z_]\w*=", word)), "=")
            yield index, command
        document = re.search(r"<<-?\s*'?(\w+)'?", line)
        if document:
            ending = document.group(1)


class ReadmeBlocksTests(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        harness.require_binary()
        cls.blocks = shell_blocks()

    def setUp(self):
        self.sandbox = Sandbox()
        self.addCleanup(self.sandbox.cleanup)

    def become(self, user):
        """Runs the blocks as user (Popen arguments), in the sandbox made theirs, with the binary
        on PATH and the clone's examples in the working folder."""
        self.user = user
        self.bin = self.sandbox.make_folder("bin")
        os.symlink(harness.binary_for(user), os.path.join(self.bin, "TarnwickScreenCapture"))
        os.symlink(os.path.join(SOURCE_ROOT, "examples"), self.sandbox.path("examples"))
        os.chmod(self.sandbox.root, 0o755)
        self.sandbox.give_to(**user)

    def script(self, start, body):
        """The block as a script of what can run here; each skipped line is a skipped subtest."""
        lines = list(body)
        for index, word in commands(body):
            if word in NOT_HERE:
                with self.subTest(line=start + index + 1, command=body[index].strip()):
                    self.skipTest(NOT_HERE[word])
                lines[index] = ":"
            elif word not in RUNS_HERE | NEEDS_SWAY | {"="}:
                self.fail("README line %d: teach test_readme to run or skip %r"
                          % (start + index + 1, word))
            elif body[index].rstrip().endswith("&"):
                # A reader goes on once the window is up and drawn: a capture would work.
                lines[index] += "\nuntil TarnwickScreenCapture --doctor >/dev/null; do " \
                                "sleep 0.1; done"
        return "set -e\n" + "\n".join(lines) + "\n"

    def run_blocks(self, session, session_environment, home=None):
        """Runs the blocks that need this session (in page order); returns their outputs."""
        ran = [self.run_block(start, body, session_environment, home)
               for start, body in self.blocks if session_of(body) == session]
        self.assertTrue(ran, "no README block for %s" % (session or "X11"))
        return ran

    def run_block(self, start, body, session_environment, home=None):
        # SHELL as a login sets it: the test's users have none to log in with.
        environment = dict(session_environment, HOME=home or self.sandbox.home, LANG="C.UTF-8",
                           PATH=self.bin + ":/usr/bin:/bin", SHELL="/bin/bash")
        environment.update({name: value for name, value in os.environ.items()
                            if name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")})
        # Its own process group: what the block leaves running (the agent, a window) ends with
        # the test. Its output goes to files, which what it leaves running may hold open.
        outputs = [open(os.path.join(self.sandbox.root, "block-%d.%s" % (start, kind)), "w+b")
                   for kind in ("out", "err")]
        with outputs[0] as out, outputs[1] as err:
            process = start_process(["bash", "-c", self.script(start, body)],
                                    cwd=self.sandbox.work, env=environment, stdout=out,
                                    stderr=err, start_new_session=True, **self.user)
            self.addCleanup(self.end_group, process.pid)
            try:
                process.wait(timeout=120)
            finally:
                stop_process(process)
            stdout, stderr = (stream.seek(0) or stream.read() for stream in (out, err))
        if process.returncode != 0:
            self.fail("README block at line %d ended with %d:\n%s\n%s%s" % (
                start, process.returncode, stdout.decode(errors="replace"),
                stderr.decode(errors="replace"), self.agent_log()))
        return stdout.decode()

    def agent_log(self):
        try:
            with open(os.path.join(self.sandbox.home, ".tarnwick-agent.log"), "rb") as log:
                return "\nthe agent's log:\n" + log.read().decode(errors="replace")
        except FileNotFoundError:
            return ""

    @staticmethod
    def end_group(group):
        try:
            os.killpg(group, signal.SIGTERM)
        except ProcessLookupError:
            pass

    def test_blocks_run_under_x11_in_page_order(self):
        self.become(ordinary_user(type(self)))
        server = harness.XServer()
        self.addCleanup(server.stop)
        server.start()
        server.start_xterm("Tavik", background="blue", pixel_size=(640, 400))
        outputs = self.run_blocks(None, server.environment())
        work = self.sandbox.work
        # The window's shot.jpg was taken (or --doctor's exit status had ended its block); the
        # example client then asked the agent for the desktop at that name.
        self.assertIn(os.path.join(work, "shot.jpg") + "\n", outputs)
        for name in ("shot.jpg", "desktop.jpg"):
            self.assertEqual(Jpeg.from_file(os.path.join(work, name)).size, (1280, 800))
        self.assertIn("serving ", self.agent_log())

    def test_sway_block_runs_in_a_headless_sway(self):
        harness.require_tools("sway", "foot")
        from wayland_session import SwaySession
        session = SwaySession()
        self.addCleanup(session.stop)
        session.start()
        self.become(session.as_user())
        ran = self.run_blocks("sway", session.environment())
        self.assertIn('* ', ran[0])
        # The exports for a terminal outside the session name this session, given where its
        # runtime folder is.
        exports = [line.replace("/run/user/$(id -u)", session.runtime)
                   for _, body in self.blocks for line in body
                   if line.startswith("export XDG_RUNTIME_DIR=") or
                   line.startswith("export ") and line.endswith("# sway")]
        named = subprocess.run(["bash", "-c", "\n".join(exports + [
            'echo "$WAYLAND_DISPLAY $SWAYSOCK"'])], capture_output=True, text=True, env={},
            **self.user).stdout.split()
        self.assertEqual(named, [session.wayland_display, session.swaysock])
        self.assertTrue(Jpeg.from_file(self.sandbox.path("w.jpg")).size[0] > 0)

    def test_plasma_block_lets_the_build_take_screenshots_under_kwin(self):
        from kwin_session import KWinSession
        session = KWinSession(permission_checks=True)
        self.addCleanup(session.stop)
        session.start()
        self.become(session.as_user())
        # The build route the block names, as a build there would leave it.
        built = os.path.join(self.sandbox.make_folder(os.path.join("work", "build")),
                             "TarnwickScreenCapture")
        shutil.copy2(harness.BINARY, built)
        self.sandbox.give_to(**self.user)
        session.start_gtk("Tavik", "tavik", "#20c020", (500, 400))
        self.run_blocks("kwin", session.environment(), home=session.home)

        def granted():  # KWin reads its applications folder again within seconds
            return subprocess.run([built, "w.jpg", "0.9", "0"], cwd=self.sandbox.work,
                                  env=session.environment(), capture_output=True,
                                  **self.user).returncode == 0

        wait_until(granted, timeout=30, interval=0.3, what="KWin to honour the .desktop file")
        self.assertEqual(Jpeg.from_file(self.sandbox.path("w.jpg")).size, (500, 400))
