// The service both variants of the extension share; its variant file gives it Gio, GLib, Meta
// and Shell. It owns a name on the session bus and answers three calls: the window list, and
// one window's or the desktop's pixels written into a pipe the caller passes. Nothing runs
// until a call comes.

const BUS_NAME = 'invalid.tarnwick.ScreenCapture';
const OBJECT_PATH = '/invalid/tarnwick/ScreenCapture';
const ERROR_PREFIX = 'invalid.tarnwick.ScreenCapture.Error.';
const SERVICE_VERSION = 1;
// A reader that stops reading gets this long before its pipe is closed on it.
const WRITE_LIMIT_MS = 10000;
// Pixels held for readers at once; beyond it, calls are refused until they drain.
const PENDING_WRITES_LIMIT = 4;
const CHUNK_BYTES = 1 << 20;

const INTERFACE_XML = `<node>
  <interface name="${BUS_NAME}">
    <method name="ListWindows">
      <arg type="s" direction="out" name="windows"/>
    </method>
    <method name="WindowPixels">
      <arg type="s" direction="in" name="id"/>
      <arg type="h" direction="in" name="pipe"/>
      <arg type="u" direction="out" name="width"/>
      <arg type="u" direction="out" name="height"/>
      <arg type="u" direction="out" name="stride"/>
      <arg type="s" direction="out" name="format"/>
      <arg type="t" direction="out" name="bytes"/>
    </method>
    <method name="DesktopPixels">
      <arg type="h" direction="in" name="pipe"/>
      <arg type="u" direction="out" name="width"/>
      <arg type="u" direction="out" name="height"/>
      <arg type="u" direction="out" name="stride"/>
      <arg type="s" direction="out" name="format"/>
      <arg type="t" direction="out" name="bytes"/>
    </method>
    <property name="Version" type="u" access="read"/>
  </interface>
</node>`;

const WINDOW_TYPES = new Map([
    [Meta.WindowType.NORMAL, 'normal'],
    [Meta.WindowType.DESKTOP, 'desktop'],
    [Meta.WindowType.DOCK, 'dock'],
    [Meta.WindowType.DIALOG, 'dialog'],
    [Meta.WindowType.MODAL_DIALOG, 'modal_dialog'],
    [Meta.WindowType.TOOLBAR, 'toolbar'],
    [Meta.WindowType.MENU, 'menu'],
    [Meta.WindowType.UTILITY, 'utility'],
    [Meta.WindowType.SPLASHSCREEN, 'splashscreen'],
    [Meta.WindowType.DROPDOWN_MENU, 'dropdown_menu'],
    [Meta.WindowType.POPUP_MENU, 'popup_menu'],
    [Meta.WindowType.TOOLTIP, 'tooltip'],
    [Meta.WindowType.NOTIFICATION, 'notification'],
    [Meta.WindowType.COMBO, 'combo'],
    [Meta.WindowType.DND, 'dnd'],
    [Meta.WindowType.OVERRIDE_OTHER, 'override_other'],
]);

class Refusal extends Error {
    constructor(name, message) {
        super(message);
        this.errorName = ERROR_PREFIX + name;
    }
}

function rectangle(rect) {
    return {x: rect.x, y: rect.y, width: rect.width, height: rect.height};
}

// What the client draws of its window: mutter's frame, around an X11 client, is left out; the
// shadow a client draws around its own decorations is left out too (the frame rectangle).
function clientArea(window) {
    const frame = window.get_frame_rect();
    const client = window.frame_rect_to_client_rect(frame);
    const left = Math.max(frame.x, client.x);
    const top = Math.max(frame.y, client.y);
    return {
        x: left,
        y: top,
        width: Math.max(0, Math.min(frame.x + frame.width, client.x + client.width) - left),
        height: Math.max(0, Math.min(frame.y + frame.height, client.y + client.height) - top),
    };
}

function describeWindow(actor, activeWorkspace) {
    const window = actor.get_meta_window();
    const frame = window.get_frame_rect();
    const workspace = window.get_workspace();
    return {
        id: String(window.get_id()),
        title: window.get_title() ?? '',
        wmClass: window.get_wm_class() ?? '',
        appId: window.get_gtk_application_id() ?? '',
        sandboxedAppId: window.get_sandboxed_app_id() ?? '',
        pid: window.get_pid(),
        client: window.get_client_type() === Meta.WindowClientType.X11 ? 'x11' : 'wayland',
        type: WINDOW_TYPES.get(window.get_window_type()) ?? 'other',
        frame: rectangle(frame),
        buffer: rectangle(window.get_buffer_rect()),
        clientArea: clientArea(window),
        minimized: window.minimized,
        hidden: window.is_hidden(),
        above: window.is_above(),
        onActiveWorkspace: window.is_on_all_workspaces() ||
            (workspace !== null && workspace === activeWorkspace),
        focused: window.has_focus(),
        opacity: actor.get_opacity() / 255,
    };
}

// The window's client area within its actor's texture, in texture pixels.
function clientAreaInTexture(window, texture) {
    const buffer = window.get_buffer_rect();
    const client = clientArea(window);
    if (buffer.width <= 0 || buffer.height <= 0)
        return null;
    const scaleX = texture.get_width() / buffer.width;
    const scaleY = texture.get_height() / buffer.height;
    const left = Math.max(client.x, buffer.x);
    const top = Math.max(client.y, buffer.y);
    const right = Math.min(client.x + client.width, buffer.x + buffer.width);
    const bottom = Math.min(client.y + client.height, buffer.y + buffer.height);
    if (right <= left || bottom <= top)
        return null;
    return {
        x: Math.round((left - buffer.x) * scaleX),
        y: Math.round((top - buffer.y) * scaleY),
        width: Math.round((right - left) * scaleX),
        height: Math.round((bottom - top) * scaleY),
    };
}

// Shell.Screenshot crops the texture and hands back its raw rows as a GdkPixbuf (it writes a
// PNG of them into the stream too, which nobody reads).
function compositeToPixbuf(texture, area, scale, done) {
    const sink = Gio.MemoryOutputStream.new_resizable();
    Shell.Screenshot.composite_to_stream(texture, area.x, area.y, area.width, area.height, scale,
        null, 0, 0, 1, sink, (source, result) => {
            try {
                done(null, Shell.Screenshot.composite_to_stream_finish(result));
            } catch (error) {
                done(error, null);
            }
        });
}

// A PNG's width and height, from its header.
function pngSize(png) {
    if (png.get_size() < 24)
        throw new Refusal('Failed', 'the shell made no picture of the desktop');
    const header = png.new_from_bytes(16, 8).get_data();
    const number = at => ((header[at] << 24) | (header[at + 1] << 16) | (header[at + 2] << 8) |
        header[at + 3]) >>> 0;
    return [number(0), number(4)];
}

var CaptureService = class CaptureService {
    constructor() {
        this._uid = new Gio.Credentials().get_unix_user();
        this._writes = new Set();
        this._object = Gio.DBusExportedObject.wrapJSObject(INTERFACE_XML, this);
        this._object.export(Gio.DBus.session, OBJECT_PATH);
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, BUS_NAME,
            Gio.BusNameOwnerFlags.NONE, null, null);
    }

    destroy() {
        Gio.bus_unown_name(this._nameId);
        this._object.unexport();
        for (const write of [...this._writes])
            write.cancellable.cancel();
    }

    get Version() {
        return SERVICE_VERSION;
    }

    ListWindowsAsync(parameters, invocation) {
        this._serve(invocation, null, () => {
            const active = global.workspace_manager.get_active_workspace();
            // The actors are in stacking order, bottom first; callers want the front first.
            const windows = global.get_window_actors()
                .filter(actor => !actor.is_destroyed() && actor.get_meta_window() !== null)
                .map(actor => describeWindow(actor, active))
                .reverse();
            invocation.return_value(new GLib.Variant('(s)', [JSON.stringify(windows)]));
        });
    }

    WindowPixelsAsync([id, pipeIndex], invocation) {
        this._serve(invocation, pipeIndex, stream => {
            const actor = global.get_window_actors().find(candidate =>
                !candidate.is_destroyed() &&
                String(candidate.get_meta_window()?.get_id()) === id);
            if (!actor)
                throw new Refusal('NoSuchWindow', `no window has the id ${id}`);
            const window = actor.get_meta_window();
            const texture = actor.paint_to_content(null)?.get_texture();
            if (!texture)
                throw new Refusal('NoPixels', 'the window has drawn nothing yet');
            const area = clientAreaInTexture(window, texture);
            if (!area)
                throw new Refusal('NoPixels', 'the window\'s client area lies outside its buffer');
            this._sendPixels(invocation, stream, texture, area, 1);
        });
    }

    // The desktop goes as the shell's own PNG of the stage (format 'png', stride 0): GJS gets
    // raw pixels only through composite_to_stream, which encodes a PNG anyway, so this skips
    // its crop and sends a few hundred kilobytes through the pipe instead of 4 bytes a pixel.
    DesktopPixelsAsync([pipeIndex], invocation) {
        this._serve(invocation, pipeIndex, stream => {
            this._checkPending();
            const shooter = new Shell.Screenshot();
            const sink = Gio.MemoryOutputStream.new_resizable();
            shooter.screenshot(false, sink, (source, result) => {
                this._guard(invocation, stream, () => {
                    shooter.screenshot_finish(result);
                    sink.close(null);
                    const png = sink.steal_as_bytes();
                    const [width, height] = pngSize(png);
                    this._reply(invocation, stream, width, height, 0, 'png', png);
                });
            });
        });
    }

    // Takes the pipe the call passed (closing every other descriptor it carried at once),
    // checks the caller, then runs `work` with the pipe's stream. A Refusal, or any other
    // error, is the call's D-Bus error.
    _serve(invocation, pipeIndex, work) {
        let stream = null;
        try {
            stream = this._takePipe(invocation, pipeIndex);
        } catch (error) {
            this._refuse(invocation, error);
            return;
        }
        Gio.DBus.session.call('org.freedesktop.DBus', '/org/freedesktop/DBus',
            'org.freedesktop.DBus', 'GetConnectionUnixUser',
            new GLib.Variant('(s)', [invocation.get_sender() ?? '']), new GLib.VariantType('(u)'),
            Gio.DBusCallFlags.NONE, 5000, null, (connection, result) => {
                this._guard(invocation, stream, () => {
                    const [uid] = connection.call_finish(result).deepUnpack();
                    if (uid !== this._uid)
                        throw new Refusal('AccessDenied', 'the caller runs as another user');
                    work(stream);
                });
            });
    }

    _guard(invocation, stream, work) {
        try {
            work();
        } catch (error) {
            stream?.close(null);
            this._refuse(invocation, error);
        }
    }

    _refuse(invocation, error) {
        if (error instanceof Refusal)
            invocation.return_dbus_error(error.errorName, error.message);
        else
            invocation.return_dbus_error(`${ERROR_PREFIX}Failed`, String(error));
    }

    _takePipe(invocation, pipeIndex) {
        const list = invocation.get_message().get_unix_fd_list();
        // Stolen: the message would keep every descriptor open until it is collected.
        const descriptors = list ? list.steal_fds() : [];
        let stream = null;
        descriptors.forEach((descriptor, index) => {
            if (index === pipeIndex) {
                GLib.unix_set_fd_nonblocking(descriptor, true);
                stream = Gio.UnixOutputStream.new(descriptor, true);
            } else {
                GLib.close(descriptor);
            }
        });
        if (pipeIndex !== null && stream === null)
            throw new Refusal('NoPipe', 'the call passed no pipe for the pixels');
        return stream;
    }

    _checkPending() {
        if (this._writes.size >= PENDING_WRITES_LIMIT)
            throw new Refusal('Busy', 'earlier callers have not read their pixels yet');
    }

    // The pixels, then the reply that announces their size, then the write.
    _sendPixels(invocation, stream, texture, area, scale) {
        this._checkPending();
        compositeToPixbuf(texture, area, scale, (error, pixbuf) => {
            this._guard(invocation, stream, () => {
                if (error || !pixbuf)
                    throw error ?? new Error('no pixels');
                const channels = pixbuf.get_n_channels();
                const format = channels === 4 && pixbuf.get_has_alpha() ? 'RGBA8888'
                    : channels === 3 && !pixbuf.get_has_alpha() ? 'RGB888' : null;
                if (!format)
                    throw new Refusal('Failed', 'the pixels come in an unknown layout');
                this._reply(invocation, stream, pixbuf.get_width(), pixbuf.get_height(),
                    pixbuf.get_rowstride(), format, pixbuf.read_pixel_bytes());
            });
        });
    }

    _reply(invocation, stream, width, height, stride, format, bytes) {
        invocation.return_value(new GLib.Variant('(uuust)', [width, height, stride, format,
            bytes.get_size()]));
        try {
            this._write(stream, bytes);
        } catch (writeError) {
            stream.close(null);
            logError(writeError, 'TarnwickScreenCapture: writing pixels');
        }
    }

    // Writes without ever blocking the shell: a reader that stops reading is cut off after
    // WRITE_LIMIT_MS, and its pixels are dropped.
    _write(stream, bytes) {
        const write = {cancellable: new Gio.Cancellable(), timeout: 0};
        this._writes.add(write);
        const finish = () => {
            if (write.timeout)
                GLib.source_remove(write.timeout);
            write.timeout = 0;
            this._writes.delete(write);
            try {
                stream.close(null);
            } catch (error) {
                // the reader has gone; nothing is left to tell
            }
        };
        write.timeout = GLib.timeout_add(GLib.PRIORITY_DEFAULT, WRITE_LIMIT_MS, () => {
            write.timeout = 0;
            write.cancellable.cancel();
            return GLib.SOURCE_REMOVE;
        });
        const total = bytes.get_size();
        const next = offset => {
            if (offset >= total) {
                finish();
                return;
            }
            const chunk = bytes.new_from_bytes(offset, Math.min(CHUNK_BYTES, total - offset));
            stream.write_bytes_async(chunk, GLib.PRIORITY_DEFAULT, write.cancellable,
                (source, result) => {
                    let written = 0;
                    try {
                        written = source.write_bytes_finish(result);
                    } catch (error) {
                        finish();  // cancelled, or the reader has gone
                        return;
                    }
                    next(offset + written);
                });
        };
        next(0);
    }
};
