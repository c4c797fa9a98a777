"""Helpers for end-to-end tests: a private X server, X clients, runs of the real binary, JPEG checks.

Every process started here is tracked by PID and stopped by PID (terminate, wait, kill) when a test
asks for it, and in any case when the interpreter exits.
"""

import atexit
import contextlib
import ctypes
import functools
import glob
import json
import os
import pwd
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

BINARY = os.environ.get("TARNWICK_BINARY", "")

USAGE_LINE = "usage: TarnwickScreenCapture <output.jpg> [quality] [maxWidth] [tavik|desktop]"
MESSAGES = {
    2: "failed to list on-screen windows",
    3: "failed to create JPEG destination",
    4: "failed to finalize JPEG",
    5: "Tavik or Brevant window was not found on screen.",
    6: "failed to capture screen; Screen Recording permission may be missing.",
}

AGENT_DATA_FOLDER = os.path.join(".tavik", "mobile-dropbox", "data")
AGENT_REQUEST_FILE = os.path.join(AGENT_DATA_FOLDER, "screen-capture-agent-request.json")
AGENT_RESPONSE_FILE = os.path.join(AGENT_DATA_FOLDER, "screen-capture-agent-response.json")

_tracked = {}  # pid -> Popen
_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def require_tools(*names):
    """Skips the calling test class when a tool is missing (install with scripts/install-dependencies)."""
    missing = [name for name in names if shutil.which(name) is None]
    if missing:
        raise unittest.SkipTest("missing tools: " + ", ".join(missing))


def require_binary():
    if not BINARY or not os.access(BINARY, os.X_OK):
        raise unittest.SkipTest("TARNWICK_BINARY does not name an executable")


def wait_until(predicate, timeout=10.0, interval=0.02, what="condition"):
    """Polls until predicate() gives a true value, which it returns; fails the test on timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


# ---------------------------------------------------------------------------------------------
# Processes


def _die_with_parent(then=None):
    # A test runner killed outright must not leave servers and clients behind.
    def prepare():
        _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
        if then is not None:
            then()

    return prepare


def start_process(args, **popen_arguments):
    """Starts a tracked process; stop it with stop_process (also done at interpreter exit)."""
    popen_arguments.setdefault("stdin", subprocess.DEVNULL)
    popen_arguments["preexec_fn"] = _die_with_parent(popen_arguments.get("preexec_fn"))
    process = subprocess.Popen(args, **popen_arguments)
    _tracked[process.pid] = process
    return process


def stop_process(process, grace=3.0):
    """Terminates, waits, kills if needed and reaps: only this process, by its PID."""
    if process is None:
        return
    try:
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=grace)
    finally:
        for stream in (process.stdout, process.stderr, process.stdin):
            if stream is not None:
                stream.close()
        _tracked.pop(process.pid, None)


def stop_and_collect(process, grace=3.0):
    """Stops a process started with pipes and returns (stdout, stderr) as bytes."""
    try:
        if process.poll() is None:
            process.terminate()
        try:
            return process.communicate(timeout=grace)
        except subprocess.TimeoutExpired:
            process.kill()
            return process.communicate(timeout=grace)
    finally:
        stop_process(process)


@atexit.register
def _stop_all_tracked():
    for process in list(_tracked.values()):
        try:
            stop_process(process, grace=1.0)
        except Exception:  # noqa: BLE001 - best effort at exit, every process gets its turn
            pass


def _exit_on_terminate(signum, frame):
    raise SystemExit(128 + signum)


# Turn SIGTERM into a normal exit so that the cleanups above run.
if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
    signal.signal(signal.SIGTERM, _exit_on_terminate)


class Sandbox:
    """Temporary home, temporary-files folder and working folder for runs of the binary."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="tarnwick-e2e-")
        self.home = self.make_folder("home")
        self.tmpdir = self.make_folder("tmp")
        self.work = self.make_folder("work")

    def make_folder(self, name):
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        return path

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def agent_request_path(self):
        return os.path.join(self.home, AGENT_REQUEST_FILE)

    def agent_response_path(self):
        return os.path.join(self.home, AGENT_RESPONSE_FILE)

    def make_agent_folder(self):
        folder = os.path.join(self.home, AGENT_DATA_FOLDER)
        os.makedirs(folder, exist_ok=True)
        return folder

    def write_agent_request(self, content, owner=None):
        """Writes the request file (a dict as JSON, or raw text/bytes) by atomic rename; owner
        (uid, gid) gives it to another user before it appears."""
        if isinstance(content, dict):
            content = json.dumps(content)
        if isinstance(content, str):
            content = content.encode("utf-8")
        folder = self.make_agent_folder()
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=".request-")
        with os.fdopen(fd, "wb") as stream:
            stream.write(content)
        if owner is not None:
            os.chown(temporary, *owner)
        os.replace(temporary, self.agent_request_path())

    def read_agent_response(self):
        """The parsed response file, or None when there is none."""
        try:
            with open(self.agent_response_path(), "rb") as stream:
                return json.loads(stream.read().decode("utf-8"))
        except FileNotFoundError:
            return None

    def agent_response_stamp(self):
        """(bytes, modification time in ns) of the response file, or None when there is none."""
        try:
            with open(self.agent_response_path(), "rb") as stream:
                return stream.read(), os.fstat(stream.fileno()).st_mtime_ns
        except FileNotFoundError:
            return None

    def wait_for_agent_response(self, request_id, timeout=10.0):
        """Polls until the response file answers request_id; returns the parsed response."""

        def answered():
            response = self.read_agent_response()
            return response if isinstance(response, dict) and \
                response.get("id") == request_id else None

        return wait_until(answered, timeout=timeout, interval=0.005,
                          what="the response to request %r" % request_id)

    def leftovers(self):
        """Files in the temporary-files folder: the binary should leave none behind."""
        return sorted(os.listdir(self.tmpdir))

    def give_to(self, user=None, group=None, **_):
        """Makes the sandbox's folders the user's (the arguments of ordinary_user)."""
        if user is None:
            return
        for directory, _, _ in os.walk(self.root):
            os.chown(directory, user, group)

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


def binary_environment(sandbox, display=None, extra=None):
    """A small, controlled environment: no inherited DISPLAY, HOME or TMPDIR."""
    environment = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": sandbox.home,
        "TMPDIR": sandbox.tmpdir,
        "LANG": "C.UTF-8",
    }
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if name in os.environ:
            environment[name] = os.environ[name]
    if display is not None:
        environment["DISPLAY"] = display
    environment.update(extra or {})
    return environment


class Run:
    """Outcome of one run of the binary."""

    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr

    def __repr__(self):
        return "Run(returncode=%r, stdout=%d bytes, stderr=%r)" % (
            self.returncode, len(self.stdout), self.stderr[:400])


_binary_for_all_users = None


def _executable_for(popen_arguments):
    """The binary, or for a run as another user a copy that user can reach: the build folder may
    lie under a home folder closed to others."""
    global _binary_for_all_users
    if "user" not in popen_arguments:
        return BINARY
    if _binary_for_all_users is None:
        folder = tempfile.mkdtemp(prefix="tarnwick-binary-")
        atexit.register(shutil.rmtree, folder, True)
        os.chmod(folder, 0o755)
        _binary_for_all_users = os.path.join(folder, os.path.basename(BINARY))
        shutil.copy2(BINARY, _binary_for_all_users)
        os.chmod(_binary_for_all_users, 0o755)
    return _binary_for_all_users


def binary_for(popen_arguments):
    """The path a run of the binary with these Popen arguments executes."""
    return _executable_for(popen_arguments)


def _command_line(args, argv0, prefix, popen_arguments):
    """(argv, executable): the binary with its arguments, run through prefix when one is given (a
    command that execs the rest, such as prlimit)."""
    executable = _executable_for(popen_arguments)
    if prefix:
        return list(prefix) + [executable] + list(args), shutil.which(prefix[0])
    return [argv0 if argv0 is not None else executable] + list(args), executable


def run_binary(args, sandbox, display=None, timeout=60, env=None, argv0=None, prefix=(),
               **popen_arguments):
    """Runs the binary to its end in sandbox.work; stdout and stderr are captured apart (bytes).

    prefix runs it through another command (["prlimit", "--nproc=1:1", "--"]). Further keyword
    arguments go to Popen (user, group, preexec_fn, ...).
    """
    argv, executable = _command_line(args, argv0, prefix, popen_arguments)
    process = start_process(argv, executable=executable, cwd=sandbox.work,
                            env=binary_environment(sandbox, display, env),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen_arguments)
    try:
        stdout, stderr = process.communicate(timeout=timeout)
        return Run(process.returncode, stdout, stderr)
    finally:
        stop_process(process)


def start_binary(args, sandbox, display=None, env=None, argv0=None, prefix=(), **popen_arguments):
    """Starts the binary without waiting (agent mode); stop it with stop_process."""
    argv, executable = _command_line(args, argv0, prefix, popen_arguments)
    return start_process(argv, executable=executable, cwd=sandbox.work,
                         env=binary_environment(sandbox, display, env),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen_arguments)


def library_path(name):
    """Where the dynamic loader finds a library (libspng.so.0), from its cache."""
    listing = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout
    for line in listing.splitlines():
        if line.strip().startswith(name + " ") and "=>" in line:
            return line.split("=>", 1)[1].strip()
    raise unittest.SkipTest("%s is not installed" % name)


def without_libraries(names, uid=None, gid=None):
    """Popen arguments that run a process, as that user, in a mount namespace of its own where
    each named library is an empty file: as on a system without its package. Needs root."""
    if os.geteuid() != 0:
        raise unittest.SkipTest("hiding a library needs root (a mount namespace)")
    paths = [os.path.realpath(library_path(name)).encode() for name in names]
    mount = ctypes.CDLL(None, use_errno=True).mount
    mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong,
                      ctypes.c_void_p]
    new_namespace, recursive_private, bind = 0x00020000, 0x4000 | 0x40000, 0x1000

    def enter():
        if _libc.unshare(new_namespace) != 0 or mount(None, b"/", None, recursive_private,
                                                      None) != 0:
            raise OSError(ctypes.get_errno(), "mount namespace")
        for path in paths:
            if mount(b"/dev/null", path, None, bind, None) != 0:
                raise OSError(ctypes.get_errno(), "bind over " + path.decode())
        if uid is not None:
            os.setgroups([])
            os.setgid(gid)
            os.setuid(uid)

    return {"preexec_fn": enter}


def ordinary_user(test_class):
    """Popen arguments (user, group, extra_groups) that run the binary as an ordinary user: a user
    made for the class when this runs as root (whose limits the kernel does not enforce), removed
    with it; none when this already runs as an ordinary user."""
    if os.geteuid() != 0:
        return {}
    require_tools("useradd", "userdel")
    name = "tw-%s-%d" % (test_class.__name__[:12].lower(), os.getpid())
    subprocess.run(["useradd", "--user-group", "--no-create-home", "--shell",
                    "/usr/sbin/nologin", name], check=True, capture_output=True)
    test_class.addClassCleanup(subprocess.run, ["userdel", name], capture_output=True)
    ids = [int(subprocess.run(["id", flag, name], capture_output=True, text=True,
                              check=True).stdout) for flag in ("-u", "-g")]
    return {"user": ids[0], "group": ids[1], "extra_groups": []}


@functools.lru_cache(maxsize=None)
def sanitized_binary():
    """Whether the binary runs under a sanitizer, which reserves far more address space than a
    bound on it leaves, and starts threads of its own."""
    needed = subprocess.run(["readelf", "--dynamic", BINARY], capture_output=True,
                            text=True).stdout
    return any(name in needed for name in ("libasan", "libtsan", "libubsan"))


def agent_start_line(sandbox, display):
    """The line the agent starts with on standard error, under X11."""
    window_system = "X11 on %s" % display if display else "X11, but DISPLAY is not set"
    return "serving %s with %s" % (os.path.join(sandbox.home, AGENT_DATA_FOLDER), window_system)


class Agent:
    """A running `--agent` process, its passes counted from outside, its output kept for stop()."""

    def __init__(self, sandbox, display=None, env=None, **popen_arguments):
        self.sandbox = sandbox
        self.process = start_binary(["--agent"], sandbox, display=display, env=env,
                                    **popen_arguments)
        self.pid = self.process.pid
        self._counter = 0

    def running(self):
        return self.process.poll() is None

    alive = running

    def next_id(self):
        self._counter += 1
        return "r%d-%d" % (os.getpid(), self._counter)

    def request(self, timeout=30.0, **fields):
        """Writes a request with a fresh id and returns the response that answers it."""
        fields.setdefault("id", self.next_id())
        self.sandbox.write_agent_request(fields)
        return self.wait_for(fields["id"], timeout)

    def wait_for(self, request_id, timeout=30.0):
        """The response to request_id; fails at once if the agent ends."""

        def answered():
            if not self.running():
                raise AssertionError("the agent ended with status %r" % self.process.returncode)
            response = self.sandbox.read_agent_response()
            return response if isinstance(response, dict) and \
                response.get("id") == request_id else None

        return wait_until(answered, timeout=timeout, interval=0.005,
                          what="the response to %s" % request_id)

    def wait_for_passes(self, count, timeout=10.0):
        """Waits until at least count whole passes of the loop have run from now on.

        Each pass ends in the loop's sleep of 0.05 s and wakes up to be scheduled again, so it
        takes at least that long and at least one turn on a CPU; count + 1 turns (the scheduler's
        count in /proc/<pid>/schedstat) and count sleeps' time enclose count whole passes even
        when the machine is too busy to run the agent on time.
        """
        started = time.monotonic()
        turns = process_scheduled_turns(self.pid)

        def done():
            if not self.running():
                raise AssertionError("the agent ended with status %r" % self.process.returncode)
            if time.monotonic() - started < (count + 1) * 0.05:
                return False
            return turns is None or process_scheduled_turns(self.pid) >= turns + count + 1

        wait_until(done, timeout=timeout, interval=0.01, what="%d passes of the agent" % count)

    def stop(self):
        """Stops the agent; returns (was still running, stdout bytes, stderr bytes)."""
        was_running = self.running()
        stdout, stderr = stop_and_collect(self.process)
        return was_running, stdout, stderr


class AgentSession(Agent):
    """An agent process of one test, stopped by PID when the test ends."""

    def __init__(self, test, sandbox, display=None, **popen_arguments):
        super().__init__(sandbox, display=display, **popen_arguments)
        test.addCleanup(stop_process, self.process)


def process_status_field(pid, name):
    """An integer field of /proc/<pid>/status (VmRSS in KiB, voluntary_ctxt_switches, ...)."""
    with open("/proc/%d/status" % pid) as stream:
        for line in stream:
            key, _, value = line.partition(":")
            if key == name:
                return int(value.split()[0])
    raise AssertionError("no %s in /proc/%d/status" % (name, pid))


def process_scheduled_turns(pid):
    """How often the process has been put on a CPU, or None without scheduler statistics."""
    try:
        with open("/proc/%d/schedstat" % pid) as stream:
            return int(stream.read().split()[2])
    except (FileNotFoundError, IndexError, ValueError):
        return None


def process_cpu_seconds(pid):
    """User plus system CPU time of the process so far, from /proc/<pid>/stat."""
    with open("/proc/%d/stat" % pid) as stream:
        # The command name may hold spaces and parentheses; the fields follow its last ')'.
        fields = stream.read().rsplit(")", 1)[1].split()
    utime, stime = int(fields[11]), int(fields[12])
    return (utime + stime) / os.sysconf("SC_CLK_TCK")


def process_fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


_POLL, _PPOLL, _CLOCK_NANOSLEEP = 7, 271, 230  # x86-64 system call numbers


def _blocked_call(pid):
    """(system call number, its arguments) the main thread of pid is blocked in, or None while
    it runs or is gone."""
    try:
        with open("/proc/%d/syscall" % pid) as stream:
            fields = stream.read().split()
    except OSError:
        return None
    if len(fields) < 4 or not fields[0].isdigit():
        return None  # "running"
    return int(fields[0]), [int(field, 16) for field in fields[1:]]


def blocked_in_poll(pid):
    """Whether the process waits in poll() or ppoll(): on a reply, a socket, a notification."""
    call = _blocked_call(pid)
    return call is not None and call[0] in (_POLL, _PPOLL)


def agent_waits_between_passes(pid):
    """Whether the agent is in its wait between passes: poll() on its one folder watch with at
    most the pass interval left, or the plain sleep it takes without a watch."""
    call = _blocked_call(pid)
    if call is None:
        return False
    number, arguments = call
    return number == _CLOCK_NANOSLEEP or (
        number == _POLL and arguments[1] == 1 and 0 < arguments[2] <= 50)


def _context_switches(pid):
    return process_status_field(pid, "voluntary_ctxt_switches") + \
        process_status_field(pid, "nonvoluntary_ctxt_switches")


def while_agent_waits(process, look=lambda: None, timeout=30.0):
    """look()'s value, taken while the agent process waits between passes: it waited before and
    after, and its main thread was not switched in between, so it did not run meanwhile. Without
    look, this waits for the end of the pass under way (or of the first one)."""
    pid = process.pid

    def between_passes():
        if process.poll() is not None:
            raise AssertionError("the agent ended with status %r" % process.returncode)
        before = _context_switches(pid)
        if not agent_waits_between_passes(pid):
            return None
        value = look()
        if agent_waits_between_passes(pid) and _context_switches(pid) == before:
            return [value]
        return None

    return wait_until(between_passes, timeout=timeout, interval=0.005,
                      what="the agent to wait between passes")[0]


def file_size_limit(limit):
    """A preexec_fn under which writing past limit bytes fails with EFBIG, as on a full disk."""

    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # stays ignored across exec
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    return apply


def read_bytes(path):
    with open(path, "rb") as stream:
        return stream.read()


def hidden_files(folder):
    """The temporary files that the binary writes beside a target are hidden ('.name.XXXXXX')."""
    return sorted(name for name in os.listdir(folder) if name.startswith("."))


def snapshot(folder):
    """{relative path: bytes} of every file below folder, to tell what a run left or changed."""
    files = {}
    for directory, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(directory, name)
            if not os.path.isfile(path):
                files[os.path.relpath(path, folder)] = None
                continue
            with open(path, "rb") as stream:
                files[os.path.relpath(path, folder)] = stream.read()
    return files


def unused_display():
    """A display name with no server behind it."""
    for number in range(900, 1000):
        if not os.path.exists("/tmp/.X11-unix/X%d" % number) and \
                not os.path.exists("/tmp/.X%d-lock" % number):
            return ":%d" % number
    raise AssertionError("no unused display number")


# ---------------------------------------------------------------------------------------------
# Sessions: a display server under test and the clients started on it

SESSION_USER = "tarnwick-e2e-wl"

# A private session bus that activates nothing (it names no service folder), so no process
# starts behind the tests' back.
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


SYSTEM_BUS_CONFIG = BUS_CONFIG.replace("<type>session</type>", "<type>system</type>")


def bus_has_owner(run, name):
    """Whether `name` is taken on the session bus that run(args) runs dbus-send against."""
    reply = run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                 "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name])
    return reply.returncode == 0 and "boolean true" in reply.stdout


def read_published(path):
    """What a session's program wrote to `path` (DISPLAY, say), or None while it has not."""
    try:
        with open(path) as stream:
            return stream.read().strip() or None
    except FileNotFoundError:
        return None


def wayland_socket(runtime):
    """The name of the Wayland socket a compositor made in `runtime`, or None."""
    sockets = [path for path in glob.glob(os.path.join(runtime, "wayland-*"))
               if not path.endswith(".lock")]
    return os.path.basename(sockets[0]) if sockets else None


# What a terminal runs: its cursor hidden, which newer xterms draw in black and newer foots in
# the inverse colour, whatever colour it is given.
HIDDEN_CURSOR = "printf '\\033[?25l'; exec sleep 100000"


def xterm_command(owner, title, colour, *options):
    """An xterm of that class and title, all `colour`, its cursor hidden."""
    return ["xterm", "-class", owner, "-title", title, *options, "-bg", colour, "-fg", colour,
            "-cr", colour, "+sb", "-bw", "0", "-e", "sh", "-c", HIDDEN_CURSOR]


@contextlib.contextmanager
def stopped_on_failure(stop):
    """Calls stop() (what was started so far) when the block fails, and fails on."""
    try:
        yield
    except BaseException:
        stop()
        raise


class Servers:
    """A session's server processes, each logging to FOLDER/NAME.log; stop() ends them last
    started first, so that a bus outlives what uses it."""

    def __init__(self, folder):
        self.folder = folder
        self.processes = []

    def start(self, name, args, **popen_arguments):
        with open(os.path.join(self.folder, name + ".log"), "wb") as log:
            process = start_process(args, stdout=log, stderr=subprocess.STDOUT,
                                    **popen_arguments)
        process.name = name
        self.processes.append(process)
        return process

    def start_bus(self, name, config, socket, timeout, **popen_arguments):
        """dbus-daemon with that configuration (BUS_CONFIG % socket), once it listens."""
        path = os.path.join(self.folder, name + ".conf")
        with open(path, "w") as stream:
            stream.write(config)
        process = self.start(name, ["dbus-daemon", "--config-file=" + path, "--nofork",
                                    "--nopidfile"], **popen_arguments)
        wait_until(lambda: self.alive() and os.path.exists(socket), timeout=timeout, what=name)
        return process

    def alive(self):
        """True, or fails naming the first that ended and the end of its log."""
        for process in self.processes:
            if process.poll() is not None:
                raise AssertionError("%s ended early (%d): %s" % (
                    process.name, process.returncode, self.log(process.name)[-3000:]))
        return True

    def process(self, name):
        return next(process for process in self.processes if process.name == name)

    def log(self, name):
        try:
            with open(os.path.join(self.folder, name + ".log"), errors="replace") as stream:
                return stream.read()
        except OSError:
            return ""

    def stop(self, grace=5.0):
        try:
            for process in reversed(self.processes):
                stop_process(process, grace=grace)
        finally:
            self.processes.clear()


def session_user():
    """(uid, gid) a compositor session runs as: this process's own unless it is root, which
    compositors, session buses and XWayland refuse; then a user made for the purpose."""
    if os.getuid() != 0:
        return os.getuid(), os.getgid()
    try:
        entry = pwd.getpwnam(SESSION_USER)
    except KeyError:
        require_tools("useradd")
        subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                        "--shell", "/usr/sbin/nologin", SESSION_USER], check=True,
                       capture_output=True, timeout=30)
        entry = pwd.getpwnam(SESSION_USER)
    return entry.pw_uid, entry.pw_gid


def give_to(path, uid, gid):
    for folder, folders, files in os.walk(path):
        os.chown(folder, uid, gid)
        for name in files:
            os.chown(os.path.join(folder, name), uid, gid)


class Session:
    """A display server under test with the clients started on it: what the X, sway and KWin
    sessions share. stop() stops the clients (close_all_windows), then the servers
    (_stop_servers), then removes the session's folder."""

    def __init__(self, prefix, desktop=None):
        # A desktop root shares the host's /tmp alone: the session's sockets must be there.
        self.root = tempfile.mkdtemp(prefix=prefix, dir="/tmp" if desktop else None)
        self.uid, self.gid = os.getuid(), os.getgid()
        self.desktop = desktop  # a desktop_root.DesktopRoot its own programs run in, or None
        self._clients = []

    def as_user(self):
        """Popen arguments that run a process of the host (the binary) as the session's user."""
        if self.uid == os.getuid():
            return {}
        return {"user": self.uid, "group": self.gid, "extra_groups": []}

    def in_session(self):
        """Popen arguments that run one of the session's own programs (its servers, clients and
        their tools): as its user, inside its desktop root when it has one."""
        if self.desktop is None:
            return self.as_user()
        return self.desktop.popen_arguments(self.uid, self.gid)

    def require_tools(self, *names):
        if self.desktop is None:
            require_tools(*names)
        else:
            self.desktop.require_tools(*names)

    def environment(self):
        """What a client of the session needs."""
        raise NotImplementedError

    def binary_environment(self, extra=None):
        """For the binary: the session without HOME, PATH and LANG, which the sandbox sets."""
        environment = {key: value for key, value in self.environment().items()
                       if key not in ("HOME", "PATH", "LANG")}
        environment.update(extra or {})
        return environment

    def close_all_windows(self):
        for process in self._clients:
            stop_process(process)
        self._clients.clear()

    def _stop_servers(self):
        raise NotImplementedError

    def stop(self):
        try:
            self.close_all_windows()
        finally:
            try:
                self._stop_servers()
            finally:
                shutil.rmtree(self.root, ignore_errors=True)


class UserSession(Session):
    """A compositor session: its user (see session_user), its home and runtime folder."""

    def __init__(self, prefix, desktop=None):
        super().__init__(prefix, desktop)
        os.chmod(self.root, 0o755)
        self.uid, self.gid = session_user()
        self.runtime = os.path.join(self.root, "runtime")
        self.home = os.path.join(self.root, "home")

    def _base_environment(self):
        return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home,
                "LANG": "C.UTF-8", "XDG_RUNTIME_DIR": self.runtime}


# ---------------------------------------------------------------------------------------------
# X server, window manager, windows

# A client that grabs the server through libxcb, says so, and keeps the grab until it ends.
_GRAB_HOLDER = """
import ctypes, signal, sys
xcb = ctypes.CDLL("libxcb.so.1")
xcb.xcb_connect.restype = ctypes.c_void_p
xcb.xcb_connect.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
xcb.xcb_connection_has_error.argtypes = [ctypes.c_void_p]
xcb.xcb_grab_server_checked.argtypes = [ctypes.c_void_p]
xcb.xcb_grab_server_checked.restype = ctypes.c_uint
xcb.xcb_request_check.argtypes = [ctypes.c_void_p, ctypes.c_uint]
xcb.xcb_request_check.restype = ctypes.c_void_p
connection = xcb.xcb_connect(None, None)
if xcb.xcb_connection_has_error(connection) or \
        xcb.xcb_request_check(connection, xcb.xcb_grab_server_checked(connection)):
    sys.exit(1)
print("grabbed", flush=True)
signal.pause()
"""


class Window:
    """A client window of a started X program."""

    def __init__(self, server, process, instance, window_id):
        self.server = server
        self.process = process
        self.instance = instance
        self.id = window_id

    def geometry(self):
        return self.server.geometry(self.id)

    def map_state(self):
        return self.server.map_state(self.id)


class XServer(Session):
    """A private Xvfb on a display number of its own choosing, with helpers around X clients."""

    def __init__(self, width=1280, height=800, depth=24, display_number=None, visual_class=None,
                 tcp=False, auth=False):
        """display_number fixes the display (to start a server again where one was killed);
        visual_class (the protocol's number: 3 PseudoColor, 5 DirectColor, ...) is the class of
        the default visual; tcp also listens on TCP port 6000 + the display number; auth makes
        the server admit only clients with the cookie in the file self.authority."""
        super().__init__("tarnwick-e2e-x-")
        self.home = self.root
        self.tcp = tcp
        self.authority = None
        self.width = width
        self.height = height
        self.depth = depth
        self.display_number = display_number
        self.visual_class = visual_class
        self.process = None
        self.display = None
        self.window_manager = None
        if auth:
            require_tools("xauth")
            if self.display_number is None:
                self.display_number = int(unused_display()[1:])
            self.authority = os.path.join(self.home, "Xauthority")
            subprocess.run(["xauth", "-f", self.authority, "add", ":%d" % self.display_number, ".",
                            os.urandom(16).hex()], check=True, capture_output=True)
        self._windows = []
        self._counter = 0

    # -- life cycle

    def start(self, timeout=15.0):
        require_tools("Xvfb", "xprop", "xwininfo", "xdotool", "xsetroot")
        if self.display_number is not None:
            return self._start_on_fixed_display(timeout)
        read_end, write_end = os.pipe()
        try:
            self.process = start_process(
                ["Xvfb", "-displayfd", str(write_end), *self._screen_arguments()],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                env=self._client_environment(display=None))
            os.close(write_end)
            write_end = None
            number = self._read_display_number(read_end, timeout)
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        self.display = ":%d" % number
        wait_until(lambda: self.x(["xprop", "-root", "-len", "0", "_NET_NONE"], check=False)
                   .returncode == 0, timeout=timeout, what="the X server to accept clients")
        return self

    def _start_on_fixed_display(self, timeout):
        self.process = start_process(
            ["Xvfb", ":%d" % self.display_number, *self._screen_arguments()],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=self._client_environment(display=None))
        self.display = ":%d" % self.display_number

        def accepting():
            if self.process.poll() is not None:
                raise AssertionError("Xvfb ended early with status %d" % self.process.returncode)
            return self.x(["xprop", "-root", "-len", "0", "_NET_NONE"], check=False).returncode == 0

        wait_until(accepting, timeout=timeout, what="the X server to accept clients")
        return self

    def _screen_arguments(self):
        arguments = ["-screen", "0", "%dx%dx%d" % (self.width, self.height, self.depth),
                     "-listen" if self.tcp else "-nolisten", "tcp", "-noreset"]
        if self.authority is not None:
            arguments += ["-auth", self.authority]
        if self.visual_class is not None:
            arguments += ["-cc", str(self.visual_class)]
        return arguments

    def _read_display_number(self, read_end, timeout):
        deadline = time.monotonic() + timeout
        text = b""
        os.set_blocking(read_end, False)
        while not text.endswith(b"\n"):
            if self.process.poll() is not None:
                raise AssertionError("Xvfb ended early with status %d" % self.process.returncode)
            if time.monotonic() >= deadline:
                raise AssertionError("Xvfb did not report its display number")
            try:
                chunk = os.read(read_end, 64)
            except BlockingIOError:
                chunk = None
            if chunk == b"":
                raise AssertionError("Xvfb closed its display pipe")
            if chunk:
                text += chunk
            else:
                time.sleep(0.02)
        return int(text.strip())

    def _stop_servers(self):
        try:
            stop_process(self.window_manager)
            stop_process(self.process)
        finally:
            self.window_manager = self.process = None

    def _client_environment(self, display):
        environment = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home,
            "LANG": "C.UTF-8",
        }
        if display:
            environment["DISPLAY"] = display
        if self.authority is not None:
            environment["XAUTHORITY"] = self.authority
        return environment

    def environment(self):
        return self._client_environment(self.display)

    def x(self, args, check=True, timeout=20):
        """Runs an X utility against this server; returns the CompletedProcess (text)."""
        completed = subprocess.run(args, env=self.environment(), stdin=subprocess.DEVNULL,
                                   capture_output=True, text=True, timeout=timeout)
        if check and completed.returncode != 0:
            raise AssertionError("%s failed (%d): %s" % (args, completed.returncode,
                                                         completed.stderr.strip()))
        return completed

    def suspend(self):
        """Stops the server (SIGSTOP) until resume(); a test that suspends adds resume as a
        cleanup, so the server is never left stopped."""
        os.kill(self.process.pid, signal.SIGSTOP)

    def resume(self):
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGCONT)

    def hold_grab(self):
        """Starts a client that grabs the server and holds the grab until it is stopped; returns
        it once the grab is in place."""
        process = start_process([sys.executable, "-c", _GRAB_HOLDER], env=self.environment(),
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._clients.append(process)
        if process.stdout.readline() != b"grabbed\n":
            raise AssertionError("the grabbing client did not get its grab")
        return process

    # -- screen

    def set_root_colour(self, colour):
        self.x(["xsetroot", "-solid", colour])

    def start_window_manager(self, timeout=15.0):
        """Starts openbox and waits until it has announced itself on the root window."""
        require_tools("openbox")
        self.window_manager = start_process(
            ["openbox", "--sm-disable"], env=self.environment(),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def announced():
            if self.window_manager.poll() is not None:
                raise AssertionError("openbox ended early")
            out = self.x(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], check=False).stdout
            return "window id #" in out and self.root_property("_NET_CLIENT_LIST_STACKING") \
                is not None

        wait_until(announced, timeout=timeout, what="openbox to manage the screen")

    def root_property(self, name):
        out = self.x(["xprop", "-root", name], check=False).stdout.strip()
        if not out or "not found" in out or "no such atom" in out:
            return None
        return out

    def stacking_ids(self):
        """Client ids in _NET_CLIENT_LIST_STACKING order (bottom to top)."""
        out = self.root_property("_NET_CLIENT_LIST_STACKING") or ""
        if "#" not in out:
            return []
        return [int(part.strip(), 16) for part in out.split("#", 1)[1].split(",") if part.strip()]

    # -- windows

    def start_xterm(self, title, owner="XTerm", geometry="60x20+10+10", background="red",
                    pixel_size=None, extra_args=(), wait=True, instance=None, env=None):
        """Starts an xterm with this title and WM_CLASS class (the owner name), mapped and idle.

        pixel_size (width, height) resizes it to an exact size after mapping (xterm geometry
        counts character cells); env adds to its environment (its locale decides how it encodes
        its title).
        """
        require_tools("xterm")
        self._counter += 1
        instance = instance or "e2ewin%d" % self._counter
        args = ["xterm", "-name", instance, "-class", owner, "-title", title,
                "-geometry", geometry, "-bg", background, "-fg", background,
                "-cr", background, "+sb", "-bw", "0", *extra_args, "-e", "sleep", "100000"]
        process = start_process(args, env=dict(self.environment(), **(env or {})),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._clients.append(process)
        window_id = wait_until(lambda: self._find_by_instance(instance, process), timeout=15,
                               what="xterm %r to create its window" % title)
        window = Window(self, process, instance, window_id)
        self._windows.append(window)
        if wait:
            self.wait_viewable(window)
        if pixel_size is not None:
            self.resize(window, *pixel_size)
        return window

    def _find_by_instance(self, instance, process):
        if process.poll() is not None:
            raise AssertionError("xterm ended early with status %d" % process.returncode)
        out = self.x(["xdotool", "search", "--classname", "^%s$" % instance], check=False).stdout
        ids = [int(line) for line in out.split() if line.strip().isdigit()]
        return ids[0] if ids else None

    def map_state(self, window_id):
        out = self.x(["xwininfo", "-id", str(window_id)], check=False).stdout
        for line in out.splitlines():
            if "Map State:" in line:
                return line.split(":", 1)[1].strip()
        return None

    def geometry(self, window_id):
        """(x, y, width, height) of the window in root coordinates, without any frame."""
        out = self.x(["xwininfo", "-id", str(window_id)]).stdout
        values = {}
        for line in out.splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]),
                int(values["Width"]), int(values["Height"]))

    def top_level(self, window_id):
        """The child of the root that holds the window: its frame under a reparenting manager."""
        current = window_id
        while True:
            out = self.x(["xwininfo", "-children", "-id", str(current)]).stdout
            root = re.search(r"Root window id: (0x[0-9a-f]+)", out).group(1)
            parent = re.search(r"Parent window id: (0x[0-9a-f]+)", out).group(1)
            if parent == root:
                return current
            current = int(parent, 16)

    def frame_geometry(self, window_id):
        """(x, y, width, height) of the window including the window manager's frame."""
        return self.geometry(self.top_level(window_id))

    def wait_viewable(self, window, timeout=15):
        def ready():
            if self.map_state(window.id) != "IsViewable":
                return False
            if self.window_manager is not None:
                return window.id in self.stacking_ids()
            return True

        wait_until(ready, timeout=timeout, what="window %s to be viewable" % window.instance)
        self.settle()

    def wait_not_viewable(self, window, timeout=15):
        wait_until(lambda: self.map_state(window.id) != "IsViewable", timeout=timeout,
                   what="window %s to leave the screen" % window.instance)
        self.settle()

    def settle(self):
        """A round trip through the server so that earlier requests of other clients are done."""
        self.x(["xprop", "-root", "-len", "0", "_NET_NONE"], check=False)

    def resize(self, window, width, height):
        self.x(["xdotool", "windowsize", str(window.id), str(width), str(height)])
        wait_until(lambda: self.geometry(window.id)[2:] == (width, height), timeout=10,
                   what="window %s to take the size %dx%d" % (window.instance, width, height))
        self.settle()

    def raise_window(self, window):
        """Brings the window to the top of the stacking order (through the window manager)."""
        if self.window_manager is not None:
            self.x(["xdotool", "windowactivate", "--sync", str(window.id)])
            wait_until(lambda: self.stacking_ids()[-1:] == [window.id], timeout=10,
                       what="window %s to be raised" % window.instance)
        else:
            self.x(["xdotool", "windowraise", str(window.id)])
        self.settle()

    def unmap(self, window):
        self.x(["xdotool", "windowunmap", "--sync", str(window.id)])
        self.wait_not_viewable(window)

    def iconify(self, window):
        self.x(["xdotool", "windowminimize", "--sync", str(window.id)])
        self.wait_not_viewable(window)

    def set_opacity(self, window, value):
        """Sets _NET_WM_WINDOW_OPACITY (0 ... 0xffffffff) on the client window."""
        self.x(["xprop", "-id", str(window.id), "-f", "_NET_WM_WINDOW_OPACITY", "32c",
                "-set", "_NET_WM_WINDOW_OPACITY", str(value)])
        wait_until(lambda: str(value) in self.x(
            ["xprop", "-id", str(window.id), "_NET_WM_WINDOW_OPACITY"], check=False).stdout,
            timeout=10, what="the opacity property")

    def close_window(self, window):
        stop_process(window.process)
        if window.process in self._clients:
            self._clients.remove(window.process)
        if window in self._windows:
            self._windows.remove(window)
        # The server destroys the window once it sees the client gone.
        if self.process is not None and self.process.poll() is None:
            wait_until(lambda: self.map_state(window.id) is None, timeout=10,
                       what="window %s to be destroyed" % window.instance)

    def close_all_windows(self):
        for window in list(self._windows):
            self.close_window(window)
        for process in list(self._clients):
            stop_process(process)
        self._clients.clear()


# ---------------------------------------------------------------------------------------------
# JPEG checks


class Jpeg:
    """A decoded JPEG: size, estimated quality and RGB pixels."""

    def __init__(self, data):
        if not data.startswith(b"\xff\xd8") or not data.rstrip(b"\0").endswith(b"\xff\xd9"):
            raise AssertionError("not a complete JPEG (%d bytes)" % len(data))
        self.data = data
        info = subprocess.run(["identify", "-format", "%w %h %Q %m", "-"], input=data,
                              capture_output=True, timeout=30)
        if info.returncode != 0:
            raise AssertionError("identify refused the JPEG: " + info.stderr.decode(errors="replace"))
        width, height, quality, kind = info.stdout.decode().split()
        if kind != "JPEG":
            raise AssertionError("identify reads the file as " + kind)
        self.width, self.height, self.quality = int(width), int(height), int(quality)
        decoded = subprocess.run(["djpeg", "-pnm"], input=data, capture_output=True, timeout=30)
        if decoded.returncode != 0:
            raise AssertionError("djpeg refused the JPEG: " + decoded.stderr.decode(errors="replace"))
        self._pixels, ppm_width, ppm_height = _parse_ppm(decoded.stdout)
        if (ppm_width, ppm_height) != (self.width, self.height):
            raise AssertionError("identify and djpeg disagree on the size")

    @classmethod
    def from_file(cls, path):
        with open(path, "rb") as stream:
            return cls(stream.read())

    @property
    def size(self):
        return self.width, self.height

    def pixel(self, x, y):
        if x < 0:
            x += self.width
        if y < 0:
            y += self.height
        offset = 3 * (y * self.width + x)
        return tuple(self._pixels[offset:offset + 3])


def _parse_ppm(data):
    fields = []
    position = 0
    while len(fields) < 4:
        while data[position:position + 1].isspace():
            position += 1
        if data[position:position + 1] == b"#":
            position = data.index(b"\n", position)
            continue
        start = position
        while not data[position:position + 1].isspace():
            position += 1
        fields.append(data[start:position])
    if fields[0] != b"P6" or fields[3] != b"255":
        raise AssertionError("unexpected PPM from djpeg: %r" % fields)
    width, height = int(fields[1]), int(fields[2])
    pixels = data[position + 1:position + 1 + 3 * width * height]
    return pixels, width, height


COLOURS = {
    "red": (255, 0, 0),
    "blue": (0, 0, 255),
    "green": (0, 255, 0),
    "yellow": (255, 255, 0),
    "magenta": (255, 0, 255),
    "white": (255, 255, 255),
}


def rgb(colour):
    """(red, green, blue) of "RRGGBB" or "#RRGGBB"."""
    return tuple(bytes.fromhex(colour.lstrip("#")))


def colour_distance(a, b):
    return max(abs(x - y) for x, y in zip(a, b))


class JpegAssertions:
    """Mixin for unittest.TestCase."""

    def assertColour(self, jpeg, x, y, colour, tolerance=48):
        expected = COLOURS.get(colour, colour)
        actual = jpeg.pixel(x, y)
        self.assertLessEqual(colour_distance(actual, expected), tolerance,
                             "pixel (%d, %d) is %r, expected %s" % (x, y, actual, colour))

    def assertFailedWith(self, run, code):
        """Exit status code, exactly its message and a line feed on stderr, nothing on stdout."""
        message = USAGE_LINE if code == 64 else MESSAGES[code]
        self.assertEqual((run.returncode, run.stderr.decode("utf-8", "replace")),
                         (code, message + "\n"), run)
        self.assertEqual(run.stdout, b"", "nothing may be written to standard output")

    def assertSucceeded(self, run):
        self.assertEqual((run.returncode, run.stderr, run.stdout), (0, b"", b""), run)


class SessionTestCase(unittest.TestCase, JpegAssertions):
    """Tests against self.session (a Session): a fresh sandbox that the session's user owns and
    no windows left behind, per test."""

    def setUp(self):
        self.sandbox = Sandbox()
        self.addCleanup(self.sandbox.cleanup)
        self.addCleanup(self.session.close_all_windows)
        if self.session.as_user():
            os.chmod(self.sandbox.root, 0o755)
            give_to(self.sandbox.root, self.session.uid, self.session.gid)

    def capture(self, *args, env=None, timeout=60):
        return run_binary(list(args), self.sandbox, env=self.session.binary_environment(env),
                          timeout=timeout, **self.session.as_user())

    def start_agent(self):
        """An agent of the session's user serving the sandbox's data folder; stopped on cleanup."""
        self.sandbox.make_agent_folder()
        give_to(self.sandbox.home, self.session.uid, self.session.gid)
        return AgentSession(self, self.sandbox, env=self.session.binary_environment(),
                            **self.session.as_user())

    def ask_agent(self, request):
        """The agent's response to a request, with a fresh id, written as the session's user."""
        request = dict(request, id=str(uuid.uuid4()))
        self.sandbox.write_agent_request(request)
        give_to(self.sandbox.home, self.session.uid, self.session.gid)
        return self.sandbox.wait_for_agent_response(request["id"], timeout=30)


class ServerTestCase(SessionTestCase):
    """One private X server per class (optionally with openbox), self.server and self.session;
    a fresh sandbox and no leftover windows per test."""

    screen = (1280, 800)
    root_colour = "green"
    with_window_manager = False

    @classmethod
    def setUpClass(cls):
        require_binary()
        cls.server = cls.session = XServer(*cls.screen)
        cls.addClassCleanup(cls.server.stop)
        cls.server.start()
        if cls.with_window_manager:
            cls.server.start_window_manager()
        cls.server.set_root_colour(cls.root_colour)
