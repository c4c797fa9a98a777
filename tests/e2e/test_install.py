"""The Debian package and the install rules: what lands where, and that the installed files work."""

import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import (BINARY, Jpeg, JpegAssertions, Sandbox, XServer, binary_environment,
                     require_binary, require_tools, start_process, stop_process)

UNIT = "tarnwick-screen-capture-agent.service"
DESKTOP_ENTRY = os.path.join("share", "applications", "tarnwick-screen-capture.desktop")
DOC = os.path.join("share", "doc", "tarnwick-screen-capture")
MAN_PAGE = os.path.join("share", "man", "man1", "TarnwickScreenCapture.1.gz")
SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


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
        # The libraries the binary links against dynamically, each through its package, and
        # those it loads when first needed (libstdc++ is linked in).
        for package in ("libc6", "libxcb1", "libxcb-shm0", "libxcb-composite0",
                        "libturbojpeg0", "libuuid1", "libsystemd0", "libspng0"):
            self.assertIn(package, depends)
        self.assertTrue(any(re.fullmatch(r"libicu\d+", name) for name in depends), depends)

    def test_package_holds_binary_man_page_unit_and_examples(self):
        binary = self.installed("bin", "TarnwickScreenCapture")
        self.assertTrue(os.access(binary, os.X_OK), binary)
        for path in (self.installed(MAN_PAGE), self.installed("lib", "systemd", "user", UNIT),
                     self.installed(DOC, "README.md")):
            self.assertTrue(os.path.isfile(path), path)
        for example in ("capture-client.sh", "capture_client.py"):
            path = self.installed(DOC, "examples", example)
            self.assertTrue(os.access(path, os.X_OK), path)

    def test_installed_readme_links_resolve_inside_the_package(self):
        with open(self.installed(DOC, "README.md"), encoding="utf-8") as stream:
            targets = re.findall(r"\]\(([^)#\s]+)", stream.read())
        local = [target for target in targets if "://" not in target]
        self.assertIn("docs/hostile-inputs.md", local)
        for target in local:
            self.assertTrue(os.path.isfile(self.installed(DOC, target)), target)

    def test_copyright_file_is_machine_readable_mit(self):
        with open(self.installed(DOC, "copyright"), encoding="utf-8") as stream:
            text = stream.read()
        self.assertTrue(text.startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
        # Expat is Debian's name for the MIT licence; the text below it is LICENSE's, indented.
        header, _, body = text.partition("License: Expat\n")
        self.assertIn("Files: *\nCopyright: 2026 The TarnwickScreenCapture developers\n", header)
        unfolded = "\n".join("" if line == " ." else line[1:] for line in body.splitlines())
        with open(os.path.join(SOURCE_ROOT, "LICENSE"), encoding="utf-8") as stream:
            licence = stream.read()
        self.assertEqual(unfolded, licence[licence.index("Permission"):].strip())

    def test_changelog_and_man_page_are_compressed_as_debian_expects(self):
        for path in (self.installed(DOC, "changelog.gz"), self.installed(MAN_PAGE)):
            with open(path, "rb") as stream:
                header = stream.read(10)
            # gzip: no file name flag, no time stamp, maximum compression (gzip -9n).
            self.assertEqual((header[:3], header[3] & 0x08, header[4:8], header[8]),
                             (b"\x1f\x8b\x08", 0, b"\0\0\0\0", 2), path)
        with gzip.open(self.installed(DOC, "changelog.gz"), "rt", encoding="utf-8") as stream:
            first = stream.readline()
        self.assertTrue(first.startswith("tarnwick-screen-capture (%s) " % self.field("Version")),
                        first)

    def test_binary_is_hardened(self):
        require_tools("readelf")
        binary = self.installed("bin", "TarnwickScreenCapture")
        header = run(["readelf", "--file-header", "--program-headers", "--dynamic", binary])
        self.assertEqual(header.returncode, 0, header.stderr)
        self.assertRegex(header.stdout, r"Type:\s+DYN ")  # PIE
        self.assertIn("GNU_RELRO", header.stdout)
        self.assertRegex(header.stdout, r"FLAGS.*\bNOW\b")
        if not self.sanitized():
            symbols = run(["readelf", "--dyn-syms", "--wide", binary]).stdout
            self.assertRegex(symbols, r"__\w+_chk\b")  # fortified libc calls

    def test_lintian_finds_no_errors_or_warnings(self):
        if shutil.which("lintian") is None:
            self.skipTest("lintian is not installed (scripts/install-dependencies --test)")
        checked = run(["lintian", "--display-info", self.deb])
        tags = [line for line in checked.stdout.splitlines() if re.match(r"[EWI]: ", line)]
        # Fortification is left out of sanitizer builds, which replace the checked calls.
        expected = ["hardening-no-fortify-functions"] if self.sanitized() else []
        self.assertEqual([tag for tag in tags if (tag.startswith(("E:", "W:")) or "hardening" in tag)
                          and not any(name in tag for name in expected)],
                         [], checked.stdout + checked.stderr)

    def sanitized(self):
        symbols = run(["readelf", "--dyn-syms", "--wide",
                       self.installed("bin", "TarnwickScreenCapture")]).stdout
        return "__asan_init" in symbols

    def test_desktop_entry_lets_kwin_take_screenshots_for_the_packaged_binary(self):
        with open(self.installed(DESKTOP_ENTRY), encoding="utf-8") as stream:
            lines = stream.read().splitlines()
        for line in ("[Desktop Entry]", "Exec=/usr/bin/TarnwickScreenCapture", "NoDisplay=true",
                     "X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2"):
            self.assertIn(line, lines)

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
        page = os.path.join(self.scratch, "TarnwickScreenCapture.1")
        with gzip.open(self.installed(MAN_PAGE)) as packed, open(page, "wb") as unpacked:
            shutil.copyfileobj(packed, unpacked)
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
        self.assertTrue(os.path.isfile(os.path.join(prefix, MAN_PAGE)))
        with open(os.path.join(prefix, DESKTOP_ENTRY), encoding="utf-8") as stream:
            self.assertIn("Exec=%s/bin/TarnwickScreenCapture" % prefix, stream.read().splitlines())

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

    def test_package_preset_configures_without_the_test_tool_chain(self):
        require_tools("cmake")
        scratch = tempfile.mkdtemp(prefix="tarnwick-package-preset-")
        self.addCleanup(shutil.rmtree, scratch, ignore_errors=True)
        configured = run(["cmake", "--preset", "package", "-B", scratch,
                          "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON",
                          "-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"], cwd=SOURCE_ROOT)
        self.assertEqual(configured.returncode, 0, configured.stdout + configured.stderr)


if __name__ == "__main__":
    unittest.main()
