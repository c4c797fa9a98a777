"""The agent against other users and other agents: who may drive it, one agent per data folder,
and an unchanged request file that is not read again."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

import harness
from harness import AGENT_DATA_FOLDER, Agent, wait_until

REQUEST_NAME = "screen-capture-agent-request.json"


class AgentCase(harness.ServerTestCase):

    def start_agent(self, **keywords):
        agent = Agent(self.sandbox, display=self.server.display, **keywords)
        self.addCleanup(agent.stop)
        return agent

    def folder(self):
        return os.path.join(self.sandbox.home, AGENT_DATA_FOLDER)

    def request(self, request_id, folder=None, owner=None, mode=0o600, pad=0):
        """Writes a desktop request by rename, with the owner and mode set before it appears."""
        folder = folder or self.sandbox.make_agent_folder()
        output = self.sandbox.path(request_id + ".jpg")
        text = json.dumps({"id": request_id, "output": output, "target": "desktop",
                           "maxWidth": 64, "pad": "x" * pad})
        fd, temporary = tempfile.mkstemp(dir=folder)
        with os.fdopen(fd, "w") as stream:
            stream.write(text)
        if owner is not None:
            os.chown(temporary, *owner)
        os.chmod(temporary, mode)
        os.replace(temporary, os.path.join(folder, REQUEST_NAME))
        return output

    def assertNotPerformed(self, agent, output, answered_id=None):
        agent.wait_for_passes(6)
        self.assertFalse(os.path.exists(output), "a refused request was performed")
        response = self.sandbox.read_agent_response()
        self.assertEqual(response and response["id"], answered_id)

    def start_line(self):
        return harness.agent_start_line(self.sandbox, self.server.display)

    def stderr_lines(self, agent):
        """Its lines on standard error, of which the one that says it serves the folder comes
        when the agent first holds the folder."""
        was_running, stdout, stderr = agent.stop()
        self.assertTrue(was_running, stderr)
        self.assertEqual(stdout, b"")
        return stderr.decode().splitlines()

    def answering(self):
        return "answering requests in " + self.folder()

    def waiting(self):
        quoted = "'%s'" % self.folder()
        return "waiting for %s to exist; run: mkdir -p %s && chmod 700 %s" % (quoted, quoted,
                                                                              quoted)


class SymbolicLinkTests(AgentCase):

    def test_symlinked_request_file_or_data_folder_is_refused(self):
        folder = self.sandbox.make_agent_folder()
        elsewhere = self.sandbox.make_folder("elsewhere")
        output = self.request("linked", folder=elsewhere)
        os.symlink(os.path.join(elsewhere, REQUEST_NAME), os.path.join(folder, REQUEST_NAME))
        agent = self.start_agent()
        self.assertNotPerformed(agent, output)
        shutil.rmtree(folder)
        os.symlink(elsewhere, folder)
        self.assertNotPerformed(agent, output)
        self.assertEqual(os.listdir(elsewhere), [REQUEST_NAME], "nothing written through the link")
        # A pass woken during the removal may find the folder without the link in it, or no
        # folder, before the linked folder appears.
        lines = [line for line in self.stderr_lines(agent)[1:]
                 if line not in (self.waiting(), self.answering())]
        self.assertEqual(len(lines), 2, lines)
        self.assertIn("%s' is a symbolic link" % os.path.join(folder, REQUEST_NAME), lines[0])
        self.assertIn("%s' is a symbolic link" % folder, lines[1])


class OtherUserTests(AgentCase):
    """The agent runs as one test user; a second one stands for everybody else."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root to create a second real user (useradd)")
        harness.require_tools("useradd", "userdel")
        cls.users = {}
        for role in ("owner", "other"):
            name = "tw-%s-%d" % (role, os.getpid())
            subprocess.run(["useradd", "--user-group", "--no-create-home", "--shell",
                            "/usr/sbin/nologin", name], check=True, capture_output=True)
            cls.addClassCleanup(subprocess.run, ["userdel", name], capture_output=True)
            entry = subprocess.run(["id", "-u", name], capture_output=True, text=True, check=True)
            group = subprocess.run(["id", "-g", name], capture_output=True, text=True, check=True)
            cls.users[role] = (int(entry.stdout), int(group.stdout))
        super().setUpClass()

    def setUp(self):
        super().setUp()
        self.folder_path = self.sandbox.make_agent_folder()
        for directory, _, _ in os.walk(self.sandbox.root):
            os.chown(directory, *self.users["owner"])

    def test_usual_group_folder_works_and_other_writers_are_refused_once(self):
        owner, other = self.users["owner"], self.users["other"]
        os.chmod(self.folder_path, 0o775)
        first = self.request("usual", owner=owner, mode=0o664)
        agent = self.start_agent(user=owner[0], group=owner[1], extra_groups=[])
        self.sandbox.wait_for_agent_response("usual")
        self.assertTrue(os.path.exists(first))

        # The folder's group is another user's: that user can write requests.
        os.chown(self.folder_path, owner[0], other[1])
        output = self.request("foreign-group", owner=owner)
        self.assertNotPerformed(agent, output, answered_id="usual")
        os.chown(self.folder_path, *owner)
        self.sandbox.wait_for_agent_response("foreign-group")

        # A request file of another user, in a good folder.
        output = self.request("foreign-file", owner=other, mode=0o644)
        self.assertNotPerformed(agent, output, answered_id="foreign-group")
        start, *lines = self.stderr_lines(agent)
        self.assertEqual(start, self.start_line())
        self.assertEqual(len(lines), 3, lines)
        self.assertIn("group ID %d, which has other members, can write '%s'"
                      % (other[1], self.folder_path), lines[0])
        self.assertEqual(lines[1], self.answering())
        self.assertIn("belongs to user ID %d, not to user ID %d" % (other[0], owner[0]),
                      lines[2])


class OneAgentPerFolderTests(AgentCase):

    def assertTurnedAway(self, agent, *lines):
        agent.process.wait(timeout=20)
        _, stdout, stderr = agent.stop()
        self.assertEqual((agent.process.returncode, stdout, stderr.decode().splitlines()),
                         (75, b"", [*lines, "another agent already serves %s; this one ends"
                                    % self.folder()]))

    def test_second_agent_says_so_and_ends_while_the_first_serves(self):
        self.sandbox.make_agent_folder()
        first = self.start_agent()
        first.wait_for_passes(2)
        self.assertTurnedAway(self.start_agent())
        output = self.request("served")
        self.sandbox.wait_for_agent_response("served")
        self.assertTrue(os.path.exists(output))
        self.assertEqual(self.stderr_lines(first), [self.start_line()])

    def test_a_folder_made_after_the_start_goes_to_one_of_two_agents(self):
        agents = [self.start_agent(), self.start_agent()]
        for agent in agents:
            agent.wait_for_passes(2)
        self.sandbox.make_agent_folder()
        ended = wait_until(lambda: [a for a in agents if not a.running()], timeout=20,
                           what="one agent to end")
        self.assertEqual(len(ended), 1)
        self.assertTurnedAway(ended[0], self.waiting())
        survivor = agents[1 - agents.index(ended[0])]
        self.request("after")
        self.sandbox.wait_for_agent_response("after")
        # Its lock goes with it: a later agent serves the folder.
        self.assertEqual(self.stderr_lines(survivor), [self.waiting(), self.start_line()])
        self.request("later")
        replacement = self.start_agent()
        self.sandbox.wait_for_agent_response("later")
        self.assertEqual(self.stderr_lines(replacement), [self.start_line()])


class UnchangedRequestFileTests(AgentCase):

    def test_a_request_file_of_one_mebibyte_is_read_once_for_each_change(self):
        # The folder watch tells of every change: a file it tells nothing of is not read again,
        # not even in the seconds in which coarse file times could hide a rewrite.
        self.sandbox.make_agent_folder()
        agent = self.start_agent()
        for request_id in ("big", "next"):
            output = self.request(request_id, pad=1024 * 1024 - 200)
            self.sandbox.wait_for_agent_response(request_id)
            self.assertTrue(os.path.exists(output))
            before = bytes_read(agent.pid)
            agent.wait_for_passes(10)
            self.assertLess(bytes_read(agent.pid) - before, 64 * 1024, request_id)
        self.assertEqual(self.stderr_lines(agent), [self.start_line()])


def bytes_read(pid):
    with open("/proc/%d/io" % pid) as stream:
        for line in stream:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    raise AssertionError("no rchar in /proc/%d/io" % pid)


if __name__ == "__main__":
    unittest.main()
