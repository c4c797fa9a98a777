"""Down-scaling a real screen: fine detail at large ratios averages out instead of turning to noise."""

import os
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


if __name__ == "__main__":
    unittest.main()
