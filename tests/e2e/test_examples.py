"""The example clients in examples/ against the real agent on a private Xvfb."""

import os
import subprocess
import sys
import unittest

import harness
from harness import (Jpeg, MESSAGES, require_tools, start_binary, start_process, stop_process)

EXAMPLES = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                         "examples"))

LOCK_FILE = "screen-capture-clients.lock"

CLIENTS = {
    "sh": ["sh", os.path.join(EXAMPLES, "capture-client.sh")],
    "python": [sys.executable, os.path.join(EXAMPLES, "capture_client.py")],
}


def timeout_option(client, seconds):
    return ["-t", str(seconds)] if client == "sh" else ["--timeout", str(seconds)]


class ExampleClientsTest(harness.ServerTestCase):
    """One X server for all; each test gets a fresh home with the agent folder and a fresh agent."""

    @classmethod
    def setUpClass(cls):
        require_tools("od", "mktemp", "sed", "grep", "flock", "awk")
        super().setUpClass()

    def setUp(self):
        super().setUp()
        self.folder = self.sandbox.make_agent_folder()
        self.client_folder = self.sandbox.make_folder("client")

    def start_agent(self):
        agent = start_binary(["--agent"], self.sandbox, display=self.server.display)
        self.addCleanup(stop_process, agent)
        return agent

    def client_environment(self):
        return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.sandbox.home,
                "LANG": "C.UTF-8"}

    def run_client(self, client, *args):
        return subprocess.run(CLIENTS[client] + list(args), cwd=self.client_folder,
                              env=self.client_environment(), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=60)

    def assertClientSucceeded(self, completed, path):
        self.assertEqual((completed.returncode, completed.stdout, completed.stderr),
                         (0, path + "\n", ""))

    def test_desktop_capture_resolves_a_relative_path_against_the_client(self):
        self.start_agent()
        for client in CLIENTS:
            with self.subTest(client=client):
                name = "desktop-%s.jpg" % client
                completed = self.run_client(client, name, "0.7", "640", "desktop")
                path = os.path.join(self.client_folder, name)
                self.assertClientSucceeded(completed, path)
                jpeg = Jpeg.from_file(path)
                self.assertEqual((jpeg.size, jpeg.quality), ((640, 400), 70))
                self.assertColour(jpeg, 320, 200, "green")
                self.assertFalse(os.path.exists(self.sandbox.path(name)))

    def test_window_capture_and_defaults(self):
        self.server.start_xterm("Tavik", geometry="80x24+100+100", background="red",
                                pixel_size=(500, 300))
        self.start_agent()
        for client in CLIENTS:
            with self.subTest(client=client):
                path = os.path.join(self.client_folder, "tavik-%s.jpg" % client)
                self.assertClientSucceeded(self.run_client(client, path), path)
                jpeg = Jpeg.from_file(path)
                self.assertEqual((jpeg.size, jpeg.quality), ((500, 300), 55))
                self.assertColour(jpeg, 250, 150, "red")

    def test_failure_prints_the_detail_and_fails(self):
        self.start_agent()
        for client in CLIENTS:
            with self.subTest(client=client):
                completed = self.run_client(client, "missing.jpg")
                self.assertEqual((completed.returncode, completed.stdout, completed.stderr),
                                 (1, "", MESSAGES[5] + "\n"))

    def test_requests_in_a_row_each_get_their_own_answer(self):
        # Fresh ids: the agent takes up every request, the same output path included.
        self.start_agent()
        path = os.path.join(self.client_folder, "again.jpg")
        for client in ("sh", "python", "sh"):
            with self.subTest(client=client):
                self.assertClientSucceeded(
                    self.run_client(client, path, "0.5", "320", "desktop"), path)
                self.assertEqual(Jpeg.from_file(path).size, (320, 200))

    def test_no_agent_times_out_and_withdraws_its_request(self):
        # An answer to an earlier request is not taken for this one.
        with open(self.sandbox.agent_response_path(), "w", encoding="utf-8") as stream:
            stream.write('{"id":"earlier","ok":true,"finished_at":1}')
        for client in CLIENTS:
            with self.subTest(client=client):
                completed = self.run_client(client, *timeout_option(client, 0.5), "late.jpg")
                self.assertEqual((completed.returncode, completed.stdout), (4, ""))
                self.assertIn("no answer from the agent within 0.5 seconds", completed.stderr)
                self.assertIn("journalctl --user -u tarnwick-screen-capture-agent.service",
                              completed.stderr)
                # A late agent finds no request left to perform for nobody.
                self.assertEqual(sorted(os.listdir(self.folder)),
                                 ["screen-capture-agent-response.json", LOCK_FILE])

    def test_concurrent_clients_take_turns_and_each_gets_its_own_answer(self):
        self.start_agent()
        clients = []
        for number in range(8):
            client = ("sh", "python")[number % 2]
            path = os.path.join(self.client_folder, "turn-%d.jpg" % number)
            process = start_process(
                CLIENTS[client] + [path, "0.5", str(64 + number), "desktop"],
                cwd=self.client_folder, env=self.client_environment(), text=True,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.addCleanup(stop_process, process)
            clients.append((path, process))
        for number, (path, process) in enumerate(clients):
            with self.subTest(client=number):
                stdout, stderr = process.communicate(timeout=120)
                self.assertEqual((process.returncode, stdout, stderr), (0, path + "\n", ""))
                self.assertEqual(Jpeg.from_file(path).width, 64 + number)

    def test_help_prints_the_usage(self):
        for client in CLIENTS:
            for switch in ("--help", "-h"):
                with self.subTest(client=client, switch=switch):
                    completed = self.run_client(client, switch)
                    self.assertEqual((completed.returncode, completed.stderr), (0, ""))
                    self.assertIn("usage: capture", completed.stdout)

    def test_a_timeout_says_when_the_agent_refuses_the_folder(self):
        self.start_agent()
        os.chmod(self.folder, 0o777)
        self.addCleanup(os.chmod, self.folder, 0o700)
        for client in CLIENTS:
            with self.subTest(client=client):
                completed = self.run_client(client, *timeout_option(client, 0.5), "never.jpg")
                self.assertEqual(completed.returncode, 4)
                self.assertIn("all users can write %s, so the agent refuses it; run: chmod go-w "
                              "'%s'" % (self.folder, self.folder), completed.stderr)

    def test_missing_agent_folder_is_reported(self):
        os.rmdir(self.folder)
        for client in CLIENTS:
            with self.subTest(client=client):
                completed = self.run_client(client, "shot.jpg")
                self.assertEqual((completed.returncode, completed.stdout), (3, ""))
                self.assertIn("does not exist", completed.stderr)


if __name__ == "__main__":
    unittest.main()
