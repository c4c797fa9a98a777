// GNOME Shell 45 and later: ES modules.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Meta from 'gi://Meta';
import Shell from 'gi://Shell';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

// @SERVICE@

export default class TarnwickScreenCaptureExtension extends Extension {
    enable() {
        this._service = new CaptureService();
    }

    disable() {
        this._service?.destroy();
        this._service = null;
    }
}
