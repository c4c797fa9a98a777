"""A capture is one consistent picture even while the screen changes under it."""

import unittest

from harness import (COLOURS, Jpeg, JpegAssertions, Sandbox, XServer, colour_distance,
                     require_binary, run_binary, start_process, stop_process)

CAPTURES = 25


class SnapshotTest(unittest.TestCase, JpegAssertions):
    def setUp(self):
        require_binary()
        self.server = XServer(1920, 1080)
        self.addCleanup(self.server.stop)
        self.server.start()
        self.sandbox = Sandbox()
        self.addCleanup(self.sandbox.cleanup)

    def test_the_screen_changing_while_it_is_read_never_tears_the_image(self):
        # The whole root flips between red and blue as fast as xsetroot can run. The image is
        # read in bands; a band read after a flip would leave rows of both colours in one JPEG.
        # The first capture may come before the first flip: start from one of the two colours.
        self.server.set_root_colour("red")
        flipper = start_process(
            ["sh", "-c", "while :; do xsetroot -solid red; xsetroot -solid blue; done"],
            env=self.server.environment())
        self.addCleanup(stop_process, flipper)
        colours_seen = set()
        for attempt in range(CAPTURES):
            output = self.sandbox.path("shot%d.jpg" % attempt)
            run = run_binary([output, "0.9", "0", "desktop"], self.sandbox,
                             display=self.server.display)
            self.assertSucceeded(run)
            jpeg = Jpeg.from_file(output)
            rows = [jpeg.pixel(960, y) for y in (2, 300, 540, 800, 1077)]
            names = {name for row in rows for name in ("red", "blue")
                     if colour_distance(row, COLOURS[name]) <= 48}
            self.assertEqual(len(names), 1, "capture %d mixes pictures: %r" % (attempt, rows))
            colours_seen |= names
        self.assertEqual(colours_seen, {"red", "blue"},
                         "the screen did not change during the captures; the test proves nothing")


class BandReaderTest(unittest.TestCase, JpegAssertions):
    """The bands read ahead through shared memory give the same picture as image replies."""

    def test_shared_memory_and_plain_image_requests_give_the_same_jpeg(self):
        require_binary()
        # 1000 rows: the last band is partial. A plaid root puts edges across band boundaries.
        server = XServer(1000, 1000, tcp=True)
        self.addCleanup(server.stop)
        server.start()
        server.x(["xsetroot", "-mod", "5", "3", "-fg", "#3070c0", "-bg", "#f0e010"])
        sandbox = Sandbox()
        self.addCleanup(sandbox.cleanup)
        number = server.display[1:]
        for max_width in ("0", "333"):
            outputs = []
            # A TCP connection is never offered shared memory.
            for display in (server.display, "127.0.0.1:" + number):
                outputs.append(sandbox.path("%s-%d.jpg" % (max_width, len(outputs))))
                self.assertSucceeded(run_binary([outputs[-1], "0.9", max_width, "desktop"],
                                                sandbox, display=display))
            with open(outputs[0], "rb") as shared, open(outputs[1], "rb") as plain:
                self.assertEqual(shared.read(), plain.read(), "maxWidth " + max_width)
        jpeg = Jpeg.from_file(outputs[0])
        self.assertEqual(jpeg.size, (333, 333))


if __name__ == "__main__":
    unittest.main()
