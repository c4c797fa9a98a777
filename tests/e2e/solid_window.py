#!/usr/bin/python3
"""solid-window.c in Python (python3-gi, GTK 3), for desktop roots that have no compiler: the
same options (--title, --app-id, --class, --colour, --size, --csd) and the same commands on
standard input ("minimize", "present", "resize W H", "colour RRGGBB", "title T", "quit"), each
answered "ok"; "mapped" once the first frame with the colour has been drawn."""

import argparse
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402


def rgb(text):
    text = text.lstrip("#")
    if len(text) != 6:
        raise argparse.ArgumentTypeError("RRGGBB")
    value = int(text, 16)
    return [((value >> shift) & 0xFF) / 255.0 for shift in (16, 8, 0)]


def size(text):
    width, height = (int(part) for part in text.split("x"))
    return width, height


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--title", default="solid")
    parser.add_argument("--app-id", default="solid-window")
    parser.add_argument("--class", dest="class_name")
    parser.add_argument("--colour", type=rgb, default=rgb("ff0000"))
    parser.add_argument("--size", type=size, default=(400, 300))
    parser.add_argument("--csd", action="store_true")
    options = parser.parse_args()
    colour = options.colour

    GLib.set_prgname(options.app_id)
    Gdk.set_program_class(options.class_name or options.app_id)
    window = Gtk.Window(title=options.title)
    area = Gtk.DrawingArea()
    area.set_size_request(*options.size)

    def draw(_widget, cr):
        cr.set_source_rgb(*colour)
        cr.paint()
        return False

    area.connect("draw", draw)
    window.add(area)
    if options.csd:
        bar = Gtk.HeaderBar(title=options.title, show_close_button=True)
        window.set_titlebar(bar)
    window.set_default_size(*options.size)
    window.connect("destroy", Gtk.main_quit)
    announced = []

    def after_paint(clock):
        if not announced and window.get_mapped():
            announced.append(True)
            say("mapped")
            clock.disconnect(handler[0])

    handler = []
    window.connect("realize", lambda widget: handler.append(
        widget.get_frame_clock().connect("after-paint", after_paint)))

    def command(channel, _condition):
        line = sys.stdin.readline()
        if not line:
            Gtk.main_quit()
            return False
        words = line.strip().split(" ", 1)
        if words[0] == "minimize":
            window.iconify()
        elif words[0] == "present":
            window.present()
        elif words[0] == "resize" and len(words) == 2:
            width, height = (int(part) for part in words[1].split())
            area.set_size_request(width, height)
            window.resize(width, height)
        elif words[0] == "colour" and len(words) == 2:
            colour[:] = rgb(words[1])
            area.queue_draw()
        elif words[0] == "title" and len(words) == 2:
            window.set_title(words[1])
        elif words[0] == "quit":
            say("ok")
            Gtk.main_quit()
            return False
        else:
            say("error")
            return True
        say("ok")
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, command)
    window.show_all()
    Gtk.main()


if __name__ == "__main__":
    main()
