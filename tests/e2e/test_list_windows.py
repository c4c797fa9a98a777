"""`--list-windows` against a private Xvfb with real xterms: the window it marks is the one a
capture takes, and every other window shows the rule that passed it over."""

import os
import re

import harness
from harness import Jpeg, run_binary, unused_display

HEADER = "on-screen windows (X11 on %s), front to back; * marks the one a window capture takes:"


class ListWindowsTests(harness.ServerTestCase):

    def list_windows(self, display=""):
        """display None runs without DISPLAY; the default is this class's server."""
        return run_binary(["--list-windows"], self.sandbox,
                          display=self.server.display if display == "" else display)

    def listing(self):
        run = self.list_windows()
        self.assertEqual((run.returncode, run.stderr), (0, b""), run)
        self.assertEqual(os.listdir(self.sandbox.work), [], "a listing captures nothing")
        return run.stdout.decode("utf-8").splitlines()

    def line_of(self, lines, window):
        found = [line for line in lines if re.match(r"[* ] %d " % window.id, line)]
        self.assertEqual(len(found), 1, lines)
        return found[0]

    def test_the_marked_window_is_the_one_a_capture_takes(self):
        # Front to back: a small Tavik window, a terminal whose title names Tavik, the real one.
        real = self.server.start_xterm("Inbox", owner="Tavik", background="blue",
                                       pixel_size=(700, 500))
        decoy = self.server.start_xterm("man tavik - browser tab", background="red",
                                        pixel_size=(400, 300))
        small = self.server.start_xterm("Tavik palette", owner="Tavik", background="yellow",
                                        pixel_size=(200, 150))
        lines = self.listing()
        self.assertEqual(lines[0], HEADER % self.server.display)
        self.assertEqual([line[0] for line in lines[1:]].count("*"), 1, lines)
        self.assertTrue(self.line_of(lines, small).endswith(
            "passed over: smaller than 320x240"), lines)
        taken = self.line_of(lines, decoy)
        self.assertTrue(taken.startswith("* "), lines)
        self.assertIn('title "man tavik - browser tab" bounds 400x300 at ', taken)
        self.assertTrue(taken.endswith('taken: title holds "tavik"'), taken)
        self.assertTrue(self.line_of(lines, real).endswith(
            'qualifies, but one in front is taken: owner name holds "tavik"'), lines)
        self.assertLess(lines.index(self.line_of(lines, small)), lines.index(taken))

        # The capture agrees.
        self.assertSucceeded(run_binary(["shot.jpg"], self.sandbox, display=self.server.display))
        jpeg = Jpeg.from_file(self.sandbox.path("shot.jpg"))
        self.assertEqual(jpeg.size, (400, 300))
        self.assertColour(jpeg, 200, 150, "red")

    def test_titles_are_printed_safely_and_no_match_is_said(self):
        window = self.server.start_xterm("bash", background="blue")
        title = "bash\x1b]2;owned\x07\u202eevil"
        self.server.x(["xprop", "-id", str(window.id), "-f", "_NET_WM_NAME", "8u", "-set",
                       "_NET_WM_NAME", title])
        self.server.settle()
        run = self.list_windows()
        self.assertEqual((run.returncode, run.stderr), (0, b""), run)
        self.assertFalse(re.search(rb"[\x00-\x09\x0b-\x1f\x7f]", run.stdout), run.stdout)
        lines = run.stdout.decode("utf-8").splitlines()
        line = self.line_of(lines, window)
        self.assertIn(r'title "bash\x1B]2;owned\x07\u{202E}evil"', line)
        self.assertTrue(line.endswith(
            "passed over: neither owner name nor title holds tavik, brevant or zorvel"), line)
        self.assertEqual(lines[-1], "no window qualifies: a window capture fails with code 5")

    def test_titles_in_other_encodings_are_listed_decoded(self):
        # A title beyond Latin-1 from an xterm in a UTF-8 locale, and one in a C locale.
        compound = self.server.start_xterm("Tavik \u2013 \u03a9\u03bc\u03ad\u03b3\u03b1 "
                                           "\u20ac \u6771\u4eac", background="red",
                                           pixel_size=(400, 300))
        c_locale = self.server.start_xterm("caf\u00e9 \u00fcn\u00efcode Tavik",
                                           background="blue", pixel_size=(500, 350),
                                           env={"LANG": "C", "LC_ALL": "C"})
        self.assertEqual([self.title_type(window) for window in (compound, c_locale)],
                         ["COMPOUND_TEXT", "STRING"])
        lines = self.listing()
        self.assertIn('title "Tavik \u2013 \u03a9\u03bc\u03ad\u03b3\u03b1 \u20ac \u6771\u4eac" '
                      'bounds 400x300', self.line_of(lines, compound))
        taken = self.line_of(lines, c_locale)
        self.assertIn('title "caf\u00e9 \u00fcn\u00efcode Tavik" bounds 500x350', taken)
        self.assertTrue(taken.startswith("* ") and taken.endswith('taken: title holds "tavik"'),
                        taken)
        self.assertSucceeded(run_binary(["shot.jpg"], self.sandbox, display=self.server.display))
        jpeg = Jpeg.from_file(self.sandbox.path("shot.jpg"))
        self.assertEqual(jpeg.size, (500, 350))
        self.assertColour(jpeg, 250, 175, "blue")

    def test_a_display_name_cannot_forge_a_line(self):
        # libxcb reaches the local server through "unix/HOST:N" whatever HOST holds.
        display = 'unix/x\n* 1 owner "Tavik"\x1b[2J\u2028' + self.server.display
        self.server.start_xterm("Inbox", owner="Tavik", background="blue")
        run = self.list_windows(display=display)
        self.assertEqual((run.returncode, run.stderr), (0, b""), run)
        self.assertFalse(re.search(rb"[\x00-\x09\x0b-\x1f\x7f]", run.stdout), run.stdout)
        lines = run.stdout.decode("utf-8").splitlines()
        self.assertEqual(lines[0], HEADER.replace(
            "(X11 on %s)", '("X11 on unix/x\\n* 1 owner \\"Tavik\\"\\x1B[2J\\u{2028}%s")'
            % self.server.display))
        self.assertEqual([line[0] for line in lines[1:]], ["*"])

    def title_type(self, window):
        out = self.server.x(["xprop", "-id", str(window.id), "WM_NAME"]).stdout
        return re.match(r"WM_NAME\((\w+)\)", out).group(1)

    def test_no_display_is_code_two(self):
        for display in (None, unused_display()):
            with self.subTest(display=display):
                self.assertFailedWith(self.list_windows(display=display), 2)
