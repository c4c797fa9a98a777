// Test helper: does one thing to one window and answers, like kwin-list-windows.js, with callDBus.
//
// Placeholders: the four @REPLY_...@ ones, @WINDOW@ (the window's internalId as a JSON string)
// and @ACTION@ (a JSON object: {"do": "activate"}, {"do": "minimize"}, {"do": "unminimize"},
// {"do": "geometry", "x": X, "y": Y, "width": W, "height": H} (the frame, logical pixels),
// {"do": "keepAbove", "value": true|false}, {"do": "fullScreen", "value": true|false},
// {"do": "close"}).
// Answer: {"ok": true, "frameGeometry": {...}} or {"ok": false, "error": "..."}.
// KWin 5.27 and KWin 6 (activeClient / activeWindow, clientList / windowList).
(function () {
    "use strict";
    var reply = ["@REPLY_SERVICE@", "@REPLY_PATH@", "@REPLY_INTERFACE@", "@REPLY_METHOD@"];
    var wanted = @WINDOW@;
    var action = @ACTION@;
    var api6 = typeof workspace.windowList === "function";
    var answer;
    try {
        var list = api6 ? workspace.windowList() : workspace.clientList();
        var window = null;
        for (var i = 0; i < list.length; i++) {
            if (String(list[i].internalId) === wanted)
                window = list[i];
        }
        if (window === null)
            throw new Error("no window " + wanted);
        if (action.do === "activate") {
            if (api6)
                workspace.activeWindow = window;
            else
                workspace.activeClient = window;
        } else if (action.do === "minimize") {
            window.minimized = true;
        } else if (action.do === "unminimize") {
            window.minimized = false;
        } else if (action.do === "geometry") {
            window.frameGeometry = {x: action.x, y: action.y, width: action.width,
                                    height: action.height};
        } else if (action.do === "keepAbove") {
            window.keepAbove = action.value;
        } else if (action.do === "fullScreen") {
            window.fullScreen = action.value;
        } else if (action.do === "close") {
            window.closeWindow();
        } else {
            throw new Error("unknown action " + action.do);
        }
        var g = window.frameGeometry;
        answer = {ok: true, frameGeometry: {x: g.x, y: g.y, width: g.width, height: g.height}};
    } catch (error) {
        answer = {ok: false, error: String(error)};
    }
    callDBus(reply[0], reply[1], reply[2], reply[3], JSON.stringify(answer));
})();
