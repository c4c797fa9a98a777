"""Runs under limits that only a build without sanitizers shows whole: bounds on the processes
and the address space of an ordinary user's run, and a short soak of the agent whose memory
AddressSanitizer's quarantine would hide."""

import importlib.machinery
import importlib.util
import os
import unittest

import harness
from harness import AgentSession, Jpeg, require_tools, run_binary

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class LimitTestCase(harness.ServerTestCase):
    screen = (640, 480)

    def one_shot(self, *args, **keywords):
        keywords.setdefault("display", self.server.display)
        return run_binary(args, self.sandbox, **keywords)


class LimitedRunTestCase(LimitTestCase):
    """Runs of the binary as an ordinary user (the kernel does not hold root to these limits)
    under real limits on its processes and its address space."""

    @classmethod
    def setUpClass(cls):
        require_tools("prlimit", "readelf")
        cls.run_as = harness.ordinary_user(cls)
        super().setUpClass()

    def setUp(self):
        super().setUp()
        self.sandbox.give_to(**self.run_as)

    def limited(self, limit, *args):
        return self.one_shot(*args, prefix=["prlimit", limit, "--"], env=self.sanitizer_options(),
                             **self.run_as)

    def sanitizer_options(self):
        # LeakSanitizer needs a thread of its own at exit, which a process limit refuses it.
        if not harness.sanitized_binary():
            return None
        return {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}

    def address_space_limits(self, *kib):
        """The bounds under which the program starts at all: how much its loader needs depends
        on the build (a debug build's is larger); below that it never reaches main."""
        if harness.sanitized_binary():
            return []  # a sanitizer reserves far more than these
        limits = ["--as=%d" % (value * 1024) for value in kib]
        return [limit for limit in limits if self.limited(limit, "--version").returncode == 0]


class ResourceLimitTests(LimitedRunTestCase):
    """Without room for the stall watchdog's thread a capture goes on without it."""

    def test_captures_and_listing_with_no_thread_to_spare(self):
        window = self.server.start_xterm("Tavik", background="blue", pixel_size=(400, 300))
        # One process for the user; room for the program but not for a thread's 8 MiB stack.
        for limit in ["--nproc=1:1"] + self.address_space_limits(11000, 13500, 16000):
            with self.subTest(limit=limit):
                self.assertSucceeded(self.limited(limit, "d.jpg", "0.8", "0", "desktop"))
                self.assertEqual(Jpeg.from_file(self.sandbox.path("d.jpg")).size, (640, 480))
                self.assertSucceeded(self.limited(limit, "w.jpg"))
                jpeg = Jpeg.from_file(self.sandbox.path("w.jpg"))
                self.assertEqual(jpeg.size, (400, 300))
                self.assertColour(jpeg, 200, 150, "blue")
                listing = self.limited(limit, "--list-windows")
                self.assertEqual((listing.returncode, listing.stderr), (0, b""), listing)
                self.assertIn("* %d " % window.id, listing.stdout.decode())

    def test_the_agent_performs_requests_under_a_process_limit(self):
        owner = (self.run_as["user"], self.run_as["group"]) if self.run_as else None
        self.sandbox.make_agent_folder()
        self.sandbox.give_to(**self.run_as)
        agent = AgentSession(self, self.sandbox, self.server.display,
                             prefix=["prlimit", "--nproc=1:1", "--"], env=self.sanitizer_options(),
                             **self.run_as)
        for target in ("desktop", "tavik"):
            if target == "tavik":
                self.server.start_xterm("Tavik", pixel_size=(400, 300))
            request_id = agent.next_id()
            output = self.sandbox.path(target + ".jpg")
            self.sandbox.write_agent_request({"id": request_id, "output": output,
                                              "target": target}, owner=owner)
            response = agent.wait_for(request_id)
            self.assertEqual((response.get("ok"), response.get("detail")), (True, None), response)
            Jpeg.from_file(output)


class AddressSpaceSweepTests(LimitedRunTestCase):
    """Bounds from just above what the program needs to start up to where a full-size capture
    fits: each one ends in a capture, or in the code and line of the step that ran out."""

    screen = (3840, 2160)

    def test_every_bound_ends_in_a_capture_or_the_code_of_its_step(self):
        limits = self.address_space_limits(*range(11000, 24001, 250))
        if not limits:
            self.skipTest("a sanitizer reserves more address space than any of these bounds")
        self.server.start_xterm("Tavik", geometry="80x24+100+100", pixel_size=(1600, 1000))
        outcomes = {}
        for limit in limits:
            for args, step_codes in ((("d.jpg", "0.9", "0", "desktop"), (4, 6)),
                                     (("w.jpg", "0.9", "640"), (2, 4, 6))):
                with self.subTest(limit=limit, target=args[-1]):
                    run = self.limited(limit, *args)
                    if run.returncode == 0:
                        self.assertSucceeded(run)
                        Jpeg.from_file(self.sandbox.path(args[0]))
                    else:
                        self.assertIn(run.returncode, step_codes, run)
                        self.assertFailedWith(run, run.returncode)
                    outcomes[run.returncode] = outcomes.get(run.returncode, 0) + 1
        print("\nexit statuses over %d bounds: %r" % (len(limits), outcomes))


def load_soak():
    path = os.path.join(ROOT, "bench", "agent-soak")
    loader = importlib.machinery.SourceFileLoader("agent_soak", path)
    spec = importlib.util.spec_from_loader("agent_soak", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


class AgentSoakTests(LimitTestCase):
    """A short soak: memory, descriptors and X connections do not grow with requests."""

    def test_five_hundred_mixed_requests(self):
        soak = load_soak()
        samples = soak.soak(self.sandbox, self.server.display, requests=500,
                            checkpoints=(100, 250, 500), time_limit=300)
        print("\n" + soak.table(samples))
        first, last = samples[0], samples[-1]
        self.assertEqual(last.fds, first.fds, samples)
        self.assertEqual(last.x_sockets, 0, samples)
        if not last.sanitized:
            self.assertLess(last.rss_kib - first.rss_kib, 2048, samples)


if __name__ == "__main__":
    unittest.main()
