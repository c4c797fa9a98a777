#!/usr/bin/python3
"""KWin scripts for the end-to-end tests, run as the session's user under Debian's python3 (which
has python3-dbus and python3-gi, whatever interpreter runs the tests).

    /usr/bin/python3 kwin_script.py run [--timeout S] SCRIPT.js
        Loads the script, runs it, prints {"answer": TEXT} with the one string it sent back (or
        {"error": TEXT}, exit 1), and unloads it again whatever happened. The script's
        @REPLY_SERVICE@, @REPLY_PATH@, @REPLY_INTERFACE@ and @REPLY_METHOD@ are replaced by an
        object exported here for the moment, which takes a string from KWin alone, and
        @SCRIPT_NAME@ by the name the script is loaded under.
    /usr/bin/python3 kwin_script.py loaded
        Prints {"scripts": [...]}: the object paths of the scripts KWin has loaded (KWin 5.27
        puts each at /<id>, KWin 6 at /Scripting/Script<id>).
    /usr/bin/python3 kwin_script.py load PATH NAME | unload NAME | isloaded NAME
        Another client's use of KWin's scripting, one call each: prints {"result": ...}, the
        number loadScript answered or unloadScript's and isScriptLoaded's truth. Nothing is run.
"""

import itertools
import json
import os
import re
import sys
import tempfile
import time
import xml.etree.ElementTree

KWIN = "org.kde.KWin"
SCRIPTING = "org.kde.kwin.Scripting"
REPLY_PATH = "/org/tarnwick/E2E/Reply"
REPLY_INTERFACE = "org.tarnwick.E2E.Reply"
CALL_TIMEOUT = 5.0  # seconds, for each D-Bus call: a stopped KWin never answers

_counter = itertools.count(1)


class ScriptError(Exception):
    pass


def session_bus():
    import dbus
    import dbus.mainloop.glib
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    return dbus.SessionBus(private=True)


def run_script(source, timeout=5.0):
    import dbus
    import dbus.service
    from gi.repository import GLib
    bus = session_bus()
    loop = GLib.MainLoop()
    answer = []
    kwin = bus.get_name_owner(KWIN)

    class Receiver(dbus.service.Object):
        @dbus.service.method(REPLY_INTERFACE, in_signature="s", out_signature="",
                             sender_keyword="sender")
        def Deliver(self, text, sender=None):
            if sender != kwin:
                raise dbus.exceptions.DBusException("not from KWin",
                                                    name="org.tarnwick.E2E.Error.Refused")
            answer.append(str(text))
            loop.quit()

    receiver = Receiver(bus, REPLY_PATH)
    name = "tarnwick-e2e-%d-%d" % (os.getpid(), next(_counter))
    folder = tempfile.mkdtemp(prefix="tarnwick-e2e-script-")
    path = os.path.join(folder, "script.js")
    scripting = dbus.Interface(bus.get_object(KWIN, "/Scripting", introspect=False), SCRIPTING)
    try:
        with open(path, "w") as stream:
            stream.write(source.replace("@REPLY_SERVICE@", bus.get_unique_name())
                         .replace("@REPLY_PATH@", REPLY_PATH)
                         .replace("@REPLY_INTERFACE@", REPLY_INTERFACE)
                         .replace("@REPLY_METHOD@", "Deliver")
                         .replace("@SCRIPT_NAME@", name))
        script_id = int(scripting.loadScript(path, name, signature="ss", timeout=CALL_TIMEOUT))
        if script_id < 0:
            raise ScriptError("loadScript answered %d" % script_id)
        errors = []
        for object_path in ("/Scripting/Script%d" % script_id, "/%d" % script_id):
            try:
                bus.call_blocking(KWIN, object_path, "org.kde.kwin.Script", "run", "", (),
                                  timeout=CALL_TIMEOUT)
                break
            except dbus.exceptions.DBusException as error:
                errors.append("%s: %s" % (object_path, error.get_dbus_name()))
        else:
            raise ScriptError("could not run the script: " + "; ".join(errors))
        if not answer:
            timer = GLib.timeout_add(int(timeout * 1000), loop.quit)
            loop.run()
            GLib.source_remove(timer) if answer else None
        if not answer:
            raise ScriptError("no answer from the script within %.1f s" % timeout)
        return answer[0]
    finally:
        try:
            scripting.unloadScript(name, timeout=CALL_TIMEOUT)
        finally:
            receiver.remove_from_connection()
            if os.path.exists(path):
                os.unlink(path)
            os.rmdir(folder)
            bus.close()


def loaded_scripts():
    import dbus
    bus = session_bus()
    found = []
    try:
        for parent, pattern in (("/", r"\d+"), ("/Scripting", r"Script\d+")):
            text = bus.call_blocking(KWIN, parent, "org.freedesktop.DBus.Introspectable",
                                     "Introspect", "", (), timeout=CALL_TIMEOUT)
            for node in xml.etree.ElementTree.fromstring(str(text)).findall("node"):
                if re.fullmatch(pattern, node.get("name", "")):
                    found.append(parent.rstrip("/") + "/" + node.get("name"))
    except dbus.exceptions.DBusException as error:
        raise ScriptError(str(error))
    finally:
        bus.close()
    return found


def scripting_call(method, *arguments):
    import dbus
    bus = session_bus()
    try:
        scripting = dbus.Interface(bus.get_object(KWIN, "/Scripting", introspect=False),
                                   SCRIPTING)
        signature = "s" * len(arguments)
        return getattr(scripting, method)(*arguments, signature=signature, timeout=CALL_TIMEOUT)
    finally:
        bus.close()


def main(argv):
    try:
        if argv[1] == "loaded":
            print(json.dumps({"scripts": loaded_scripts()}))
            return 0
        methods = {"load": "loadScript", "unload": "unloadScript", "isloaded": "isScriptLoaded"}
        if argv[1] in methods:
            result = scripting_call(methods[argv[1]], *argv[2:])
            print(json.dumps({"result": int(result) if argv[1] == "load" else bool(result)}))
            return 0
        timeout = 5.0
        if argv[2] == "--timeout":
            timeout = float(argv[3])
            argv = argv[:2] + argv[4:]
        with open(argv[2]) as stream:
            source = stream.read()
        started = time.monotonic()
        answer = run_script(source, timeout)
        print(json.dumps({"answer": answer, "seconds": time.monotonic() - started}))
        return 0
    except Exception as error:  # noqa: BLE001 - reported to the caller as JSON
        print(json.dumps({"error": "%s: %s" % (type(error).__name__, error)}))
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
