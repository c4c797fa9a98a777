"""Today's desktops for end-to-end tests: Debian roots made by scripts/desktop-roots, in which a
session's compositor and clients run, while the binary under test runs on the host.

A program of the root starts in a mount namespace of its own: the root's /proc, the host's /sys
and /dev, and the host's /tmp at the same path, so the session's runtime folder, its sockets and
the X sockets are the same files inside and out. The namespace ends with its last process, so no
mount outlives a test, whatever stops it.
"""

import ctypes
import os
import signal
import subprocess
import unittest

ROOTS = os.environ.get("TARNWICK_DESKTOP_ROOTS", "/var/cache/tarnwick-desktops")
SUITES = ("trixie", "sid")

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong,
                        ctypes.c_void_p]
_CLONE_NEWNS = 0x00020000
_MS_BIND, _MS_REC, _MS_PRIVATE = 0x1000, 0x4000, 0x40000
_PR_SET_PDEATHSIG = 1


def _check(result, what):
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, "%s: %s" % (what, os.strerror(error)))


def _enter(root, uid, gid):
    """Runs in the child between fork and exec: into the root, then down to the user."""
    folder = os.getcwd()
    _check(_libc.unshare(_CLONE_NEWNS), "unshare")
    _check(_libc.mount(None, b"/", None, _MS_REC | _MS_PRIVATE, None), "mount --make-rprivate")
    _check(_libc.mount(b"proc", os.path.join(root, "proc").encode(), b"proc", 0, None), "proc")
    for shared in ("/sys", "/dev", "/tmp"):
        _check(_libc.mount(shared.encode(), (root + shared).encode(), None, _MS_BIND | _MS_REC,
                           None), "bind " + shared)
    os.chroot(root)
    # The session's folders are under the shared /tmp; any other folder is the root's own.
    try:
        os.chdir(folder)
    except OSError:
        os.chdir("/")
    os.setgroups([gid])
    os.setgid(gid)
    os.setuid(uid)
    # Changing the user cleared it: a test runner killed outright must take the session along.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


class DesktopRoot:
    """One root: `suite` is trixie (Debian 13) or sid (unstable)."""

    def __init__(self, suite):
        self.suite = suite
        self.path = os.path.join(ROOTS, suite)

    @classmethod
    def require(cls, suite):
        """The root, or the test is skipped with the reason: roots need root, and are built by
        scripts/desktop-roots (which the desktops stage of scripts/test runs)."""
        if os.geteuid() != 0:
            raise unittest.SkipTest("desktop roots need root (mount namespaces, chroot)")
        desktop = cls(suite)
        if not os.path.exists(os.path.join(desktop.path, ".tarnwick-packages")):
            raise unittest.SkipTest("no %s root in %s: run scripts/desktop-roots" % (suite, ROOTS))
        return desktop

    def has(self, program):
        return any(os.access(os.path.join(self.path, folder, program), os.X_OK)
                   for folder in ("usr/bin", "usr/sbin", "usr/libexec", "bin"))

    def require_tools(self, *names):
        missing = [name for name in names if not self.has(name)]
        if missing:
            raise unittest.SkipTest("not in the %s root: %s" % (self.suite, ", ".join(missing)))

    def package_version(self, package):
        """The version of an installed package of the root, or None."""
        with open(os.path.join(self.path, "var/lib/dpkg/status"), errors="replace") as status:
            for stanza in status.read().split("\n\n"):
                fields = dict(line.split(": ", 1) for line in stanza.splitlines()
                              if ": " in line and not line.startswith(" "))
                if fields.get("Package") == package and "installed" in fields.get("Status", ""):
                    return fields.get("Version")
        return None

    def add_user(self, uid, gid, name="tarnwick-e2e"):
        """Gives the host's session user an entry in the root: dbus, XWayland and the shells look
        their user up by id."""
        for table, line in (("passwd", "%s:x:%d:%d::/nonexistent:/usr/sbin/nologin\n"),
                            ("group", "%s:x:%d:\n")):
            path = os.path.join(self.path, "etc", table)
            with open(path) as stream:
                ids = {entry.split(":")[2] for entry in stream if entry.count(":") >= 3}
            if str(uid if table == "passwd" else gid) not in ids:
                with open(path, "a") as stream:
                    stream.write(line % ((name, uid, gid) if table == "passwd" else (name, gid)))

    def popen_arguments(self, uid, gid):
        """Popen arguments that run a program of the root as that user."""
        self.add_user(uid, gid)
        return {"preexec_fn": lambda: _enter(self.path, uid, gid)}

    def run(self, args, timeout=60, **popen_arguments):
        """A command of the root as root (its own mounts, as for a session's programs)."""
        return subprocess.run(args, preexec_fn=lambda: _enter(self.path, 0, 0),
                              capture_output=True, text=True, timeout=timeout, **popen_arguments)
