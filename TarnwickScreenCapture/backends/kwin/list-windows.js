// KWin's windows as one JSON string, sent to the caller with callDBus.
//
// The caller replaces the four @REPLY_...@ placeholders (its bus name, an object path, an
// interface and a method taking one string) and @SCRIPT_NAME@ (the name it loads the script
// under) before KWin loads the file (org.kde.kwin.Scripting.loadScript), runs it and unloads it
// again; the script unloads itself too, for a caller killed before it could. The end-to-end
// tests run the same file to find their windows.
//
// Works with the scripting API of KWin 5.27 (workspace.clientList(), a stackingOrder index on
// each window, desktops as numbers) and of KWin 6 (workspace.windowList(),
// workspace.stackingOrder, desktops as objects, clientGeometry); which one is found at run time.
//
// Answer: {"api": 5 or 6, "order": "bottom-to-top", "windows": [...]} or {"api": ..., "error":
// "..."}. Geometries are logical pixels in the workspace's coordinates; what a KWin version does
// not have is null.
(function () {
    "use strict";
    var reply = ["@REPLY_SERVICE@", "@REPLY_PATH@", "@REPLY_INTERFACE@", "@REPLY_METHOD@"];
    var api6 = typeof workspace.windowList === "function";

    function defined(value) {
        return value === undefined ? null : value;
    }

    function rect(value) {
        if (value === undefined || value === null)
            return null;
        return {x: value.x, y: value.y, width: value.width, height: value.height};
    }

    function text(value) {
        return value === undefined || value === null ? null : String(value);
    }

    function onCurrentDesktop(window) {
        if (window.onAllDesktops)
            return true;
        if (!api6)
            return window.desktop === workspace.currentDesktop;
        var current = workspace.currentDesktop;
        var desktops = window.desktops || [];
        if (current === undefined || current === null)
            return null;
        for (var i = 0; i < desktops.length; i++) {
            if (desktops[i] && desktops[i].id === current.id)
                return true;
        }
        return false;
    }

    function describe(window, index) {
        return {
            stacking: index,
            caption: text(window.caption),
            resourceClass: text(window.resourceClass),
            desktopFileName: text(window.desktopFileName),
            // A QUuid: String() gives "{...}", which ScreenShot2 takes back.
            internalId: text(window.internalId),
            windowId: defined(window.windowId),
            pid: defined(window.pid),
            frameGeometry: rect(window.frameGeometry),
            bufferGeometry: rect(window.bufferGeometry),
            clientGeometry: rect(window.clientGeometry),
            clientSideDecorated: defined(window.clientSideDecorated),
            noBorder: defined(window.noBorder),
            opacity: defined(window.opacity),
            minimized: defined(window.minimized),
            hidden: defined(window.hidden),
            deleted: defined(window.deleted),
            managed: defined(window.managed),
            onCurrentDesktop: onCurrentDesktop(window),
            keepAbove: defined(window.keepAbove),
            normalWindow: defined(window.normalWindow),
            dialog: defined(window.dialog),
            desktopWindow: defined(window.desktopWindow),
            dock: defined(window.dock)
        };
    }

    function windowsBottomToTop() {
        if (api6)
            return Array.prototype.slice.call(workspace.stackingOrder);
        var list = Array.prototype.slice.call(workspace.clientList());
        list.sort(function (a, b) { return a.stackingOrder - b.stackingOrder; });
        return list;
    }

    var answer;
    try {
        var windows = windowsBottomToTop();
        var described = [];
        for (var i = 0; i < windows.length; i++)
            described.push(describe(windows[i], i));
        answer = {api: api6 ? 6 : 5, order: "bottom-to-top", windows: described};
    } catch (error) {
        answer = {api: api6 ? 6 : 5, error: String(error)};
    }
    callDBus(reply[0], reply[1], reply[2], reply[3], JSON.stringify(answer));
    callDBus("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "unloadScript",
             "@SCRIPT_NAME@");
})();
