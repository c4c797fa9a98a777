"""Down-scaling a real screen: fine detail at large ratios averages out instead of turning to noise."""

import os
import random
import unittest

import harness
from harness import Jpeg, run_binary

# One-pixel black and white checks: every large enough area of it averages to mid grey.
CHECKER_XBM = b"""#define checker_width 2
#define checker_height 2
static unsigned char checker_bits[] = {
   0x01, 0x02};
"""


class FineDetailTests(harness.ServerTestCase):

    screen = (3840, 1080)

    def test_a_checkered_screen_scales_to_even_grey_at_every_large_ratio(self):
        bitmap = self.sandbox.path("checker.xbm")
        with open(bitmap, "wb") as stream:
            stream.write(CHECKER_XBM)
        self.server.x(["xsetroot", "-bitmap", bitmap, "-fg", "white", "-bg", "black"])
        self.addCleanup(self.server.set_root_colour, self.root_colour)
        # 128, 100 and 40 wide are among the widths whose weights once wrapped around. An output
        # pixel covers at least 30 source pixels each way, so the checks' share in it is within
        # a few levels of one half.
        for max_width in (128, 100, 64, 40, 1):
            with self.subTest(max_width=max_width):
                run = run_binary(["shot.jpg", "0.95", str(max_width), "desktop"], self.sandbox,
                                 display=self.server.display)
                self.assertSucceeded(run)
                jpeg = Jpeg.from_file(self.sandbox.path("shot.jpg"))
                self.assertEqual(jpeg.width, max_width)
                worst = max(abs(channel - 127.5)
                            for y in range(jpeg.height) for x in range(jpeg.width)
                            for channel in jpeg.pixel(x, y))
                self.assertLess(worst, 10, "a pixel strays %.1f levels from mid grey" % worst)
                os.remove(self.sandbox.path("shot.jpg"))

    def test_every_row_keeps_its_place_across_the_bands_the_screen_is_read_in(self):
        # Rows of random black and white, repeating every 97 rows: a row taken from another
        # band, or from a band the server was already refilling, shows in the average.
        period = 97
        pick = random.Random(period)
        bits = [pick.randrange(2) for _ in range(period)]
        bitmap = self.sandbox.path("rows.xbm")
        with open(bitmap, "wb") as stream:
            stream.write(b"#define rows_width 1\n#define rows_height %d\n"
                         b"static unsigned char rows_bits[] = {\n%s};\n"
                         % (period, b", ".join(b"0x%02x" % bit for bit in bits)))
        self.server.x(["xsetroot", "-bitmap", bitmap, "-fg", "white", "-bg", "black"])
        self.addCleanup(self.server.set_root_colour, self.root_colour)
        # 1080 rows to 843: most output rows straddle two source rows, and some a band's end.
        run = run_binary(["rows.jpg", "1", "3000", "desktop"], self.sandbox,
                         display=self.server.display)
        self.assertSucceeded(run)
        jpeg = Jpeg.from_file(self.sandbox.path("rows.jpg"))
        width, height = self.screen
        self.assertEqual(jpeg.size, (3000, height * 3000 // width))
        for row in range(jpeg.height):
            top, bottom = row * height / jpeg.height, (row + 1) * height / jpeg.height
            covered = [(min(bottom, y + 1) - max(top, y), bits[y % period])
                       for y in range(int(top), min(height, int(bottom) + 1)) if y < bottom]
            expected = 255 * sum(share * bit for share, bit in covered) / (bottom - top)
            self.assertLess(abs(jpeg.pixel(1500, row)[1] - expected), 24, "row %d" % row)


if __name__ == "__main__":
    unittest.main()
