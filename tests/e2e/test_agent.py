"""The agent (`--agent`) against a private Xvfb: request and response files, the polling loop."""

import json
import os
import shutil
import time
import unittest

import harness
from harness import (AGENT_DATA_FOLDER, MESSAGES, Agent, Jpeg, agent_start_line, wait_until)

NOBODY = 65534
NOT_FOUND = MESSAGES[5]


class AgentTestCase(harness.ServerTestCase):
    """A fresh home per test; agents stopped by PID."""

    def start_agent(self, folder=True, **keywords):
        """Starts an agent, by default on a data folder that exists, so that it has nothing to
        say about a missing one."""
        if folder:
            self.sandbox.make_agent_folder()
        agent = Agent(self.sandbox, display=self.server.display, **keywords)
        self.addCleanup(agent.stop)  # every path; a second stop is harmless
        return agent

    def stop_agent(self, agent, display=None, lines=None, prefixes=False):
        """Stops the agent and checks that it was still running and wrote nothing on standard
        error but these lines (or lines that begin so); by default the line that says it serves
        its folder."""
        was_running, stdout, stderr = agent.stop()
        self.assertTrue(was_running, "the agent ended by itself: %r" % stderr)
        if lines is None:
            lines = [agent_start_line(self.sandbox, display or self.server.display)]
        written = stderr.decode().splitlines()
        if prefixes and len(written) == len(lines):
            written = [line[:len(prefix)] for line, prefix in zip(written, lines)]
        self.assertEqual((stdout, written), (b"", lines))

    def start_line(self):
        return agent_start_line(self.sandbox, self.server.display)

    def no_request_line(self, reason):
        return "the request file '%s' is no request: %s" % (self.sandbox.agent_request_path(),
                                                             reason)

    def request(self, request_id, name, target="desktop", **fields):
        """Writes a request for the output name in the work folder; returns that path."""
        output = self.sandbox.path(name)
        self.sandbox.write_agent_request(dict(fields, id=request_id, output=output,
                                              target=target))
        return output

    def data_folder_listing(self):
        return sorted(os.listdir(os.path.join(self.sandbox.home, AGENT_DATA_FOLDER)))

    def assertAnswered(self, response, request_id, ok=True, detail=None, since=None):
        expected = {"id", "ok", "finished_at"} | ({"detail"} if detail is not None else set())
        self.assertEqual(set(response), expected, response)
        self.assertEqual((response["id"], response["ok"]), (request_id, ok))
        if detail is not None:
            self.assertEqual(response["detail"], detail)
        finished_at = response["finished_at"]
        self.assertIs(type(finished_at), int, "finished_at must be an integer: %r" % response)
        if since is not None:
            self.assertTrue(int(since) <= finished_at <= int(time.time()),
                            "finished_at %d is not the time of answering" % finished_at)

    def assertUnchangedOverPasses(self, agent, stamp, passes=6):
        """The response file, or its absence, stays exactly as it was over several passes."""
        agent.wait_for_passes(passes)
        self.assertEqual(self.sandbox.agent_response_stamp(), stamp)


class RequestAndResponseTests(AgentTestCase):

    def test_request_present_at_start_is_performed_then_new_ids_promptly(self):
        since = time.time()
        first = self.request("first", "first.jpg", quality=0.8, maxWidth=640)
        agent = self.start_agent()
        response = self.sandbox.wait_for_agent_response("first")
        self.assertAnswered(response, "first", since=since)
        raw, _ = self.sandbox.agent_response_stamp()
        self.assertNotIn(b" ", raw)  # compact text
        jpeg = Jpeg.from_file(first)
        self.assertEqual((jpeg.size, jpeg.quality), ((640, 400), 80))
        self.assertColour(jpeg, 320, 200, "green")

        # A new id is performed too (bench/agent-latency measures how soon).
        for request_id in ("second", "third"):
            with self.subTest(request_id=request_id):
                output = self.request(request_id, request_id + ".jpg", maxWidth=320)
                self.sandbox.wait_for_agent_response(request_id)
                self.assertEqual(Jpeg.from_file(output).size, (320, 200))
        # The loop writes only its response beside the request: no auxiliary files are left.
        self.assertEqual(self.data_folder_listing(), ["screen-capture-agent-request.json",
                                                      "screen-capture-agent-response.json"])
        self.assertEqual(self.sandbox.leftovers(), [])
        self.stop_agent(agent)

    def test_failure_is_answered_with_its_message_and_not_retried(self):
        since = time.time()
        output = self.request("no-window", "never.jpg", target="tavik")
        agent = self.start_agent()
        response = self.sandbox.wait_for_agent_response("no-window")
        self.assertAnswered(response, "no-window", ok=False, detail=NOT_FOUND, since=since)
        stamp = self.sandbox.agent_response_stamp()
        # Now the request could succeed; taking it up again would write the JPEG and a response.
        self.server.start_xterm("Tavik", background="red", pixel_size=(400, 300))
        self.assertUnchangedOverPasses(agent, stamp)
        self.assertFalse(os.path.exists(output), "the failed request was performed again")
        # A new id is performed, against the window that is there now.
        output = self.request("window", "window.jpg", target="TAVIK")
        self.assertAnswered(self.sandbox.wait_for_agent_response("window"), "window")
        jpeg = Jpeg.from_file(output)
        self.assertEqual(jpeg.size, (400, 300))
        self.assertColour(jpeg, 200, 150, "red")
        self.stop_agent(agent, lines=[self.start_line(), 'request "no-window" failed (code 5): '
                                      "no window is on screen"])

    def test_only_a_change_of_id_is_performed(self):
        agent = self.start_agent()
        # A, B and A again: each is new against the one id remembered.
        for request_id, name in (("A", "a1.jpg"), ("B", "b.jpg"), ("A", "a2.jpg")):
            with self.subTest(request_id=request_id, output=name):
                output = self.request(request_id, name, maxWidth=64)
                self.sandbox.wait_for_agent_response(request_id)
                self.assertEqual(Jpeg.from_file(output).size, (64, 40))
                os.remove(output)
        # The same id with other fields is the same request.
        stamp = self.sandbox.agent_response_stamp()
        self.request("A", "a3.jpg", maxWidth=32, quality=0.3)
        self.assertUnchangedOverPasses(agent, stamp)
        self.assertEqual(os.listdir(self.sandbox.work), [])
        # An empty id is an id like any other once another was taken up.
        output = self.request("", "empty-later.jpg", maxWidth=64)
        self.sandbox.wait_for_agent_response("")
        self.assertTrue(os.path.exists(output))
        self.stop_agent(agent)

    def test_empty_id_at_start_is_not_performed_but_a_restart_performs_again(self):
        self.request("", "empty.jpg", maxWidth=64)
        agent = self.start_agent()
        self.assertUnchangedOverPasses(agent, None)
        self.assertEqual(os.listdir(self.sandbox.work), [])
        self.stop_agent(agent)

        # The id taken up is not kept across runs: a new agent performs the same request again.
        output = self.request("again", "again.jpg", maxWidth=64)
        agent = self.start_agent()
        self.sandbox.wait_for_agent_response("again")
        os.remove(output)
        self.stop_agent(agent)
        agent = self.start_agent()
        wait_until_exists(output)
        self.stop_agent(agent)

    def test_request_written_in_two_halves_is_performed_once_and_whole(self):
        self.sandbox.make_agent_folder()
        agent = self.start_agent()
        output = self.sandbox.path("whole.jpg")
        # A reader that took the first half would see a width of 3.
        text = ('{"output":"%s","id":"halves","target":"desktop","maxWidth":320}' % output).encode()
        cut = text.index(b'320') + 1
        with open(self.sandbox.agent_request_path(), "wb") as stream:
            stream.write(text[:cut])
            stream.flush()
            agent.wait_for_passes(4)
            self.assertIsNone(self.sandbox.agent_response_stamp())
            self.assertEqual(os.listdir(self.sandbox.work), [])
            stream.write(text[cut:])
        self.assertAnswered(self.sandbox.wait_for_agent_response("halves"), "halves")
        self.assertEqual(Jpeg.from_file(output).size, (320, 200))
        stamp = self.sandbox.agent_response_stamp()
        jpeg_mtime = os.stat(output).st_mtime_ns
        self.assertUnchangedOverPasses(agent, stamp)
        self.assertEqual(os.stat(output).st_mtime_ns, jpeg_mtime)
        # The half it saw is said to be no request, once.
        self.stop_agent(agent, lines=[self.start_line(), self.no_request_line("not JSON: ")],
                        prefixes=True)


class MissingAndUnwritableFolderTests(AgentTestCase):

    def test_home_without_the_data_folder(self):
        agent = self.start_agent(folder=False)
        agent.wait_for_passes(6)
        # No folder is made, nothing is written.
        self.assertEqual(os.listdir(self.sandbox.home), [])
        self.assertEqual(self.sandbox.leftovers(), [])
        # A folder made later is watched from then on.
        output = self.request("late", "late.jpg", maxWidth=64)
        self.assertAnswered(self.sandbox.wait_for_agent_response("late"), "late")
        self.assertEqual(Jpeg.from_file(output).size, (64, 40))
        # Gone again: said once more, however many passes find it missing.
        folder = os.path.join(self.sandbox.home, AGENT_DATA_FOLDER)
        os.rename(folder, folder + ".old")
        agent.wait_for_passes(6)
        quoted = "'%s'" % folder
        waiting = "waiting for %s to exist; run: mkdir -p %s && chmod 700 %s" % (quoted, quoted,
                                                                                 quoted)
        self.stop_agent(agent, lines=[waiting, agent_start_line(self.sandbox, self.server.display),
                                      waiting])

    def test_start_line_says_when_there_is_no_display(self):
        self.sandbox.make_agent_folder()
        agent = Agent(self.sandbox)
        self.addCleanup(agent.stop)
        agent.wait_for_passes(6)
        was_running, stdout, stderr = agent.stop()
        self.assertEqual((was_running, stdout, stderr.decode()),
                         (True, b"", agent_start_line(self.sandbox, None) + "\n"))

    def test_a_replaced_data_folder_is_watched_anew(self):
        agent = self.start_agent()
        self.request("old", "old.jpg", maxWidth=64)
        self.assertAnswered(self.sandbox.wait_for_agent_response("old"), "old")
        # Another folder renamed into its place; a request renamed into that one is answered.
        folder = self.sandbox.make_agent_folder()
        replacement = folder + ".new"
        os.mkdir(replacement, 0o700)
        shutil.rmtree(folder)
        os.rename(replacement, folder)
        output = self.request("new", "new.jpg", maxWidth=64)
        self.assertAnswered(self.sandbox.wait_for_agent_response("new"), "new")
        self.assertEqual(Jpeg.from_file(output).size, (64, 40))
        # It may have said it waits for the folder while none stood at the path.
        was_running, stdout, _ = agent.stop()
        self.assertEqual((was_running, stdout), (True, b""))

    def test_answer_kept_while_the_data_folder_is_unwritable_until_a_newer_one(self):
        folder = self.sandbox.make_agent_folder()
        outputs = self.sandbox.make_folder("work/out")
        os.chmod(outputs, 0o777)
        keywords = {}
        if os.geteuid() == 0:
            # Root writes anywhere: run the agent as nobody, owner of its folder, the sandbox
            # open for reading.
            for path in (self.sandbox.root, self.sandbox.work, self.sandbox.home,
                         os.path.join(self.sandbox.home, ".tavik"),
                         os.path.dirname(folder)):
                os.chmod(path, 0o755)
            os.chmod(self.sandbox.tmpdir, 0o777)
            keywords = {"user": NOBODY, "group": NOBODY, "extra_groups": []}
        owner = os.geteuid() if not keywords else NOBODY

        def request(request_id, name):
            output = self.sandbox.path("out", name)
            write_in_place(self.sandbox.agent_request_path(), json.dumps(
                {"id": request_id, "output": output, "maxWidth": 64, "target": "desktop"}))
            return output

        first = request("one", "one.jpg")
        os.chown(self.sandbox.agent_request_path(), owner, owner)
        os.chown(folder, owner, owner)
        os.chmod(folder, 0o555)
        self.addCleanup(os.chmod, folder, 0o755)
        if os.geteuid() != 0 and os.access(folder, os.W_OK):
            self.skipTest("this user can write into a read-only folder")
        agent = self.start_agent(**keywords)
        # Performed, then answered into a folder that refuses the response.
        wait_until_exists(first)
        first_mtime = os.stat(first).st_mtime_ns
        agent.wait_for_passes(6)
        self.assertEqual(self.data_folder_listing(), ["screen-capture-agent-request.json"])
        self.assertEqual(Jpeg.from_file(first).size, (64, 40))
        # Not performed again while its answer waits.
        self.assertEqual(os.stat(first).st_mtime_ns, first_mtime)
        os.chmod(folder, 0o755)
        self.assertAnswered(self.sandbox.wait_for_agent_response("one"), "one")

        # A newer request supersedes an answer still waiting: only the newer one is written.
        os.chmod(folder, 0o555)
        second = request("two", "two.jpg")
        wait_until_exists(second)
        third = request("three", "three.jpg")
        wait_until_exists(third)
        agent.wait_for_passes(4)
        self.assertEqual(self.sandbox.read_agent_response()["id"], "one")
        os.chmod(folder, 0o755)
        self.assertAnswered(self.sandbox.wait_for_agent_response("three"), "three")
        self.assertUnchangedOverPasses(agent, self.sandbox.agent_response_stamp())
        self.stop_agent(agent)


class MalformedRequestTests(AgentTestCase):

    def test_agent_survives_malformed_files_and_then_performs_a_valid_one(self):
        contents = {
            "garbage": bytes(range(256)) * 64,
            # Neither is a request, whether a reader takes in the whole file or stops early.
            "2 MiB without output": b'{"pad":"' + b"a" * (2 * 1024 * 1024) + b'"}',
            "2 MiB unterminated": b'{"id":"huge","output":"' + b"x" * (2 * 1024 * 1024),
            "nested arrays": b"[" * 400000 + b"]" * 400000,
            "nested objects": b'{"a":' * 100000 + b"1" + b"}" * 100000,
            "unclosed nesting": b"[" * 900000,
            "NUL bytes": b"\0" * 4096,
            "empty": b"",
        }
        # Made first: an agent quick to start would otherwise say it waits for the folder.
        self.sandbox.make_agent_folder()
        agent = self.start_agent()
        for name, content in contents.items():
            with self.subTest(content=name):
                self.sandbox.write_agent_request(content)
                agent.wait_for_passes(3)
                self.assertIsNone(self.sandbox.agent_response_stamp())
        output = self.request("valid", "valid.jpg", maxWidth=64)
        self.assertAnswered(self.sandbox.wait_for_agent_response("valid"), "valid")
        self.assertEqual(Jpeg.from_file(output).size, (64, 40))
        self.assertEqual(self.data_folder_listing(), ["screen-capture-agent-request.json",
                                                      "screen-capture-agent-response.json"])
        # Each reason is said once; another version for a reason said within the minute is
        # only counted.
        was_running, _, stderr = agent.stop()
        self.assertTrue(was_running)
        lines = stderr.decode().splitlines()
        self.assertEqual(lines[0], self.start_line())
        reasons = [line[len(self.no_request_line("")):] for line in lines[1:]]
        self.assertEqual(len(set(reasons)), len(reasons), lines)
        for reason in ("it is larger than 1048576 bytes", "nested deeper than 64 levels"):
            self.assertIn(reason, reasons)
        self.assertTrue(all(line.startswith(self.no_request_line("")) for line in lines[1:]))


class AgentLogTests(AgentTestCase):
    """Why requests fail, on standard error: a client that waits in vain can be told why."""

    def test_a_request_to_a_missing_folder_says_why(self):
        agent = self.start_agent()
        missing = self.sandbox.path("no-such-folder", "shot.jpg")
        self.sandbox.write_agent_request({"id": "lost", "output": missing, "target": "desktop"})
        response = self.sandbox.wait_for_agent_response("lost")
        self.assertEqual(response["detail"], MESSAGES[3])  # the answer is as it always was
        agent.wait_for_passes(2)  # the line comes after the answer
        self.stop_agent(agent, lines=[
            self.start_line(),
            "request \"lost\" failed (code 3): cannot open '%s' for writing: No such file or "
            "directory" % missing])

    def test_a_malformed_request_is_said_once(self):
        agent = self.start_agent()
        self.sandbox.write_agent_request('{"id": "m", "target": "desktop"}')
        agent.wait_for_passes(6)
        self.stop_agent(agent, lines=[self.start_line(),
                                      self.no_request_line("it has no 'output' string")])

    def test_fifty_identical_failures_are_one_line(self):
        agent = self.start_agent()
        for number in range(50):
            request_id = "same-%d" % number
            self.sandbox.write_agent_request({"id": request_id, "target": "tavik",
                                              "output": self.sandbox.path("never.jpg")})
            self.sandbox.wait_for_agent_response(request_id)
        agent.wait_for_passes(2)
        self.stop_agent(agent, lines=[
            self.start_line(), 'request "same-0" failed (code 5): no window is on screen'])

    def test_a_clients_text_neither_forges_a_line_nor_drives_a_terminal(self):
        agent = self.start_agent()
        output = ('/nonexistent/b\nrequest "forged" failed (code 2): FORGED'
                  '\x1b[2J\x1b]0;T\x07\u202e\u2028.jpg')
        self.sandbox.write_agent_request({"id": "f\u2028\x1b[2J", "output": output,
                                          "target": "desktop"})
        self.sandbox.wait_for_agent_response("f\u2028\x1b[2J")
        agent.wait_for_passes(2)
        self.stop_agent(agent, lines=[
            self.start_line(),
            'request "f\\u{2028}\\x1B[2J" failed (code 3): cannot open \'/nonexistent/b\\n'
            'request \\"forged\\" failed (code 2): FORGED\\x1B[2J\\x1B]0;T\\x07\\u{202E}'
            '\\u{2028}.jpg\' for writing: No such file or directory'])

    def test_each_reason_a_file_is_no_request_is_said(self):
        agent = self.start_agent()
        reasons = {
            "{": "not JSON: ",
            '{"id": "a"}': "it has no 'output' string",
            '{"id": "a", "id": "b", "output": "/tmp/x.jpg"}':
                "the name 'id' stands twice in one object",
            '{"id": "c"}': None,  # the second reason again: counted, not said
        }
        for text in reasons:
            self.sandbox.write_agent_request(text)
            agent.wait_for_passes(3)
        self.stop_agent(agent, lines=[self.start_line()] + [
            self.no_request_line(reason) for reason in reasons.values() if reason], prefixes=True)

    def test_an_unread_standard_error_never_holds_up_the_agent(self):
        # Nobody reads the agent's standard error (a pipe) until it is stopped. Lines that carry
        # 20 KiB ids and output paths, the id escaped fourfold, would each fill that pipe.
        agent = self.start_agent()
        huge = "\x01" * (20 * 1024)
        for number in range(40):
            request_id = "%d%s" % (number, huge)
            self.sandbox.write_agent_request({
                "id": request_id, "target": "desktop",
                "output": "/nonexistent/%d%s.jpg" % (number, huge)})
            self.assertAnswered(self.sandbox.wait_for_agent_response(request_id), request_id,
                                ok=False, detail=MESSAGES[3])
        # Still answering with a full pipe; what it took are whole lines, each one short, and
        # the lines it could not write at once were dropped.
        output = self.request("after", "after.jpg", maxWidth=64)
        self.assertAnswered(self.sandbox.wait_for_agent_response("after"), "after")
        self.assertEqual(Jpeg.from_file(output).size, (64, 40))
        was_running, _, stderr = agent.stop()
        self.assertTrue(was_running)
        lines = stderr.decode().splitlines()
        self.assertEqual(lines[0], self.start_line())
        self.assertLess(len(lines), 1 + 40)
        for line in lines[1:]:
            self.assertRegex(line, r'^request "\d+(\\x01)+\.\.\.(\\x01)+" failed \(code 3\): '
                                   r"cannot open '/nonexistent/\d+(\\x01)+\.\.\.(\\x01)+\.jpg' "
                                   r"for writing: File name too long$")


def write_in_place(path, text):
    """Rewrites a file without a rename: its owner stays, and no new name is made."""
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(text)


def wait_until_exists(path):
    wait_until(lambda: os.path.exists(path), interval=0.01, what=path + " to appear")


if __name__ == "__main__":
    unittest.main()
