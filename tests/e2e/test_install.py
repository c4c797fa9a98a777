"""The Debian package and the install rules: what lands where, and that the installed files work."""

import os
import shutil
import subprocess
import tempfile
import unittest

from harness import (BINARY, Jpeg, JpegAssertions, Sandbox, XServer, binary_environment,
                     require_binary, require_tools, start_process, stop_process)

UNIT = "tarnwick-screen-capture-agent.service"


def run(args, **keywords):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **keywords)


def build_folder():
    """The build folder of the binary under test, which holds the CPack configuration."""
    folder = os.path.dirname(os.path.abspath(BINARY))
    if not os.path.isfile(os.path.join(folder, "CPackConfig.cmake")):
        raise unittest.SkipTest("no CPackConfig.cmake beside " + BINARY)
    return folder


class DebianPackageTest(unittest.TestCase, JpegAssertions):
    """Builds the .deb once, extracts it into a scratch root and checks the installed files."""

    @classmethod
    def setUpClass(cls):
        require_binary()
        require_tools("cpack", "dpkg-deb", "dpkg-shlibdeps")
        cls.build = build_folder()
        cls.scratch = tempfile.mkdtemp(prefix="tarnwick-install-")
        cls.addClassCleanup(shutil.rmtree, cls.scratch, ignore_errors=True)

        packaged = run(["cpack", "--config", os.path.join(cls.build, "CPackConfig.cmake"),
                        "-B", os.path.join(cls.scratch, "package")])
        if packaged.returncode != 0:
            raise AssertionError("cpack failed:\n" + packaged.stdout + packaged.stderr)
        debs = [name for name in os.listdir(os.path.join(cls.scratch, "package"))
                if name.endswith(".deb")]
        if len(debs) != 1:
            raise AssertionError("expected one .deb, found %r" % debs)
        cls.deb = os.path.join(cls.scratch, "package", debs[0])
        cls.root = os.path.join(cls.scratch, "root")
        extracted = run(["dpkg-deb", "-x", cls.deb, cls.root])
        if extracted.returncode != 0:
            raise AssertionError("dpkg-deb -x failed: " + extracted.stderr)

    def field(self, name):
        completed = run(["dpkg-deb", "-f", self.deb, name])
        self.assertEqual(completed.returncode, 0, completed.stderr)
        return completed.stdout.strip()

    def installed(self, *parts):
        return os.path.join(self.root, "usr", *parts)

    def test_control_fields_name_the_package_and_its_libraries(self):
        self.assertEqual(self.field("Package"), "tarnwick-screen-capture")
        self.assertRegex(self.field("Maintainer"), r"^[^<>]+ <[^<>@\s]+@[^<>@\s]+>$")
        self.assertTrue(self.field("Description"))
        depends = [entry.strip().split(" ")[0] for entry in self.field("Depends").split(",")]
        # The libraries the binary links against dynamically, each through its package.
        for package in ("libc6", "libstdc++6", "libxcb1", "libxcb-shm0", "libxcb-composite0",
                        "libturbojpeg0", "libuuid1"):
            self.assertIn(package, depends)
        self.assertTrue(any(name.startswith("libicu") for name in depends), depends)

    def test_package_holds_binary_man_page_unit_and_examples(self):
        binary = self.installed("bin", "TarnwickScreenCapture")
        self.assertTrue(os.access(binary, os.X_OK), binary)
        for path in (self.installed("share", "man", "man1", "TarnwickScreenCapture.1"),
                     self.installed("lib", "systemd", "user", UNIT),
                     self.installed("share", "doc", "tarnwick-screen-capture", "README.md")):
            self.assertTrue(os.path.isfile(path), path)
        for example in ("capture-client.sh", "capture_client.py"):
            path = self.installed("share", "doc", "tarnwick-screen-capture", "examples", example)
            self.assertTrue(os.access(path, os.X_OK), path)

    def test_unit_starts_the_packaged_binary_as_agent(self):
        with open(self.installed("lib", "systemd", "user", UNIT), encoding="utf-8") as stream:
            lines = stream.read().splitlines()
        self.assertIn("ExecStart=/usr/bin/TarnwickScreenCapture --agent", lines)
        self.assertIn("Restart=on-failure", lines)

    def test_installed_binary_captures_the_desktop(self):
        server = XServer(1280, 800)
        self.addCleanup(server.stop)
        server.start()
        server.set_root_colour("blue")
        sandbox = Sandbox()
        self.addCleanup(sandbox.cleanup)
        process = start_process(
            [self.installed("bin", "TarnwickScreenCapture"), "shot.jpg", "0.8", "640", "desktop"],
            cwd=sandbox.work, env=binary_environment(sandbox, server.display),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            stdout, stderr = process.communicate(timeout=60)
        finally:
            stop_process(process)
        self.assertEqual((process.returncode, stdout, stderr), (0, b"", b""))
        jpeg = Jpeg.from_file(sandbox.path("shot.jpg"))
        self.assertEqual((jpeg.size, jpeg.quality), ((640, 400), 80))
        self.assertColour(jpeg, 320, 200, "blue")

    def test_man_page_renders_without_warnings(self):
        require_tools("groff", "man")
        page = self.installed("share", "man", "man1", "TarnwickScreenCapture.1")
        for macros in ("-man", "-mandoc"):
            checked = run(["groff", "-ww", "-z", macros, page])
            self.assertEqual((checked.returncode, checked.stderr), (0, ""), macros)
        shown = run(["man", "--warnings", "-l", page],
                    env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
        self.assertEqual((shown.returncode, shown.stderr), (0, ""))
        for heading in ("SYNOPSIS", "EXIT STATUS", "AGENT PROTOCOL", "FILES"):
            self.assertIn(heading, shown.stdout)


class CmakeInstallTest(unittest.TestCase):
    """cmake --install into a prefix of its own: the unit names that prefix's binary."""

    def test_unit_follows_the_install_prefix_and_passes_systemd_verify(self):
        require_binary()
        require_tools("cmake")
        build = build_folder()
        scratch = tempfile.mkdtemp(prefix="tarnwick-install-")
        self.addCleanup(shutil.rmtree, scratch, ignore_errors=True)
        prefix = os.path.join(scratch, "prefix")
        installed = run(["cmake", "--install", build, "--prefix", prefix])
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)

        unit = os.path.join(prefix, "lib", "systemd", "user", UNIT)
        with open(unit, encoding="utf-8") as stream:
            lines = stream.read().splitlines()
        self.assertIn("ExecStart=%s/bin/TarnwickScreenCapture --agent" % prefix, lines)
        self.assertTrue(os.path.isfile(os.path.join(prefix, "share", "man", "man1",
                                                    "TarnwickScreenCapture.1")))

        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed")
        # A user manager needs a runtime folder; a private one keeps the check self-contained.
        # MANPATH lets the check of the unit's Documentation= find the installed page.
        runtime = os.path.join(scratch, "runtime")
        os.mkdir(runtime, 0o700)
        verified = run(["systemd-analyze", "verify", "--user", unit],
                       env=dict(os.environ, XDG_RUNTIME_DIR=runtime,
                                MANPATH=os.path.join(prefix, "share", "man")))
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertEqual(verified.stderr, "")


if __name__ == "__main__":
    unittest.main()
