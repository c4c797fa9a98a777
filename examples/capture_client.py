#!/usr/bin/env python3
"""Asks a running TarnwickScreenCapture agent for one screenshot and waits for its answer.

    capture_client.py [-t|--timeout SECONDS] <output.jpg> [quality] [maxWidth] [tavik|desktop]

Prints the JPEG's absolute path on success. On failure prints the agent's detail (or why no answer
came) on standard error. Exit status: 0 captured, 1 the capture failed, 2 usage, 3 no agent folder,
4 no answer within the timeout. Python standard library only; import request_capture to use it
from a program. Clients that hold the lock file (flock) are served one after another.
"""

import argparse
import fcntl
import json
import math
import os
import stat
import sys
import tempfile
import time
import uuid

DATA_FOLDER = os.path.join(".tavik", "mobile-dropbox", "data")
REQUEST_NAME = "screen-capture-agent-request.json"
RESPONSE_NAME = "screen-capture-agent-response.json"
LOCK_NAME = "screen-capture-clients.lock"


class CaptureFailed(Exception):
    """The agent answered the request with ok false; the message is its detail."""


class NoAgentFolder(Exception):
    """The agent's data folder does not exist (the agent never creates it)."""


def request_capture(output, quality=None, max_width=None, target=None, timeout=30.0,
                    home=None, poll_interval=0.05):
    """Sends one request and returns the JPEG's absolute path once the agent reports success.

    Raises CaptureFailed, NoAgentFolder, or TimeoutError when no answer came in time.
    """
    folder = os.path.join(home or os.path.expanduser("~"), DATA_FOLDER)
    if not os.path.isdir(folder):
        raise NoAgentFolder("%s does not exist; create it and start the agent" % folder)

    # The agent resolves relative paths against its own working directory, not ours.
    output = os.path.abspath(output)
    request_id = str(uuid.uuid4())
    request = {"id": request_id, "output": output}
    if quality is not None:
        request["quality"] = quality
    if max_width is not None:
        request["maxWidth"] = max_width
    if target is not None:
        request["target"] = target

    # The request file holds one request: wait for our turn among clients that take this lock,
    # and hold it until the answer is in.
    deadline = time.monotonic() + timeout
    lock = os.open(os.path.join(folder, LOCK_NAME),
                   os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                _wait_until(deadline, poll_interval, timeout)
        return _exchange(folder, request, deadline, poll_interval, timeout)
    finally:
        os.close(lock)


def _exchange(folder, request, deadline, poll_interval, timeout):
    # Atomic hand-over: the agent never sees a half-written request.
    request_path = os.path.join(folder, REQUEST_NAME)
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=".request-")
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as stream:
            json.dump(request, stream, ensure_ascii=False)
        os.replace(temporary, request_path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise

    response_path = os.path.join(folder, RESPONSE_NAME)
    while True:
        response = _read_response(response_path)
        if isinstance(response, dict) and response.get("id") == request["id"]:
            if response.get("ok") is True:
                return request["output"]
            raise CaptureFailed(response.get("detail") or "capture failed")
        try:
            _wait_until(deadline, poll_interval, timeout)
        except TimeoutError:
            _withdraw(request_path, request["id"])
            raise


def _wait_until(deadline, poll_interval, timeout):
    """Sleeps one poll interval, or less up to the deadline; raises TimeoutError past it."""
    left = deadline - time.monotonic()
    if left <= 0:
        raise TimeoutError("no answer from the agent within %g seconds" % timeout)
    time.sleep(min(poll_interval, left))


def _withdraw(request_path, request_id):
    """Removes our request if the file still holds it, so that no one is served after leaving."""
    try:
        with open(request_path, "rb") as stream:
            if json.loads(stream.read().decode("utf-8")).get("id") != request_id:
                return
            if os.stat(request_path).st_ino == os.fstat(stream.fileno()).st_ino:
                os.unlink(request_path)
    except (OSError, ValueError, AttributeError):
        pass


def refusal(folder):
    """Why an agent would leave requests in this folder alone, as far as a client can see it;
    None when it would not."""
    for path in (folder, os.path.join(folder, REQUEST_NAME)):
        try:
            status = os.lstat(path)
        except OSError:
            continue
        if stat.S_ISLNK(status.st_mode):
            return "%s is a symbolic link, which the agent refuses" % path
        if status.st_uid != os.geteuid():
            return "%s belongs to another user, so the agent refuses it" % path
        if status.st_mode & stat.S_IWOTH:
            return ("all users can write %s, so the agent refuses it; run: chmod go-w '%s'"
                    % (path, path))
    return None


def _read_response(path):
    try:
        with open(path, "rb") as stream:
            return json.loads(stream.read().decode("utf-8"))
    except (OSError, ValueError):
        return None


def _seconds(text):
    value = float(text)
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError("not a number of seconds: %s" % text)
    return value


def _quality(text):
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError("not a finite number: %s" % text)
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="capture_client.py",
        description="Asks the TarnwickScreenCapture agent for one screenshot.")
    parser.add_argument("-t", "--timeout", type=_seconds, default=30.0, metavar="SECONDS",
                        help="how long to wait for the answer (default 30; fractions allowed)")
    parser.add_argument("output", help="where the JPEG is written")
    parser.add_argument("quality", nargs="?", type=_quality, help="0.2 ... 0.95 (default 0.55)")
    parser.add_argument("max_width", nargs="?", type=int, metavar="maxWidth",
                        help="largest width in pixels, 0 for no limit (default 0)")
    parser.add_argument("target", nargs="?", help="tavik (default) or desktop")
    arguments = parser.parse_args(argv)

    try:
        path = request_capture(arguments.output, arguments.quality, arguments.max_width,
                               arguments.target, timeout=arguments.timeout)
    except CaptureFailed as failure:
        print(failure, file=sys.stderr)
        return 1
    except NoAgentFolder as failure:
        print("capture_client.py: %s" % failure, file=sys.stderr)
        return 3
    except TimeoutError as failure:
        print("capture_client.py: %s" % failure, file=sys.stderr)
        why = refusal(os.path.join(os.path.expanduser("~"), DATA_FOLDER))
        print("capture_client.py: %s" % (why or (
            "the agent says why on its standard error: journalctl --user -u "
            "tarnwick-screen-capture-agent.service; TarnwickScreenCapture --doctor checks "
            "everything")), file=sys.stderr)
        return 4
    print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
