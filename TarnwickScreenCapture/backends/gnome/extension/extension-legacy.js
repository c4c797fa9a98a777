// GNOME Shell 43 and 44: the legacy imports style.
/* exported init */
const {Gio, GLib, Meta, Shell} = imports.gi;

// @SERVICE@

class TarnwickScreenCaptureExtension {
    enable() {
        this._service = new CaptureService();
    }

    disable() {
        this._service?.destroy();
        this._service = null;
    }
}

function init() {
    return new TarnwickScreenCaptureExtension();
}
