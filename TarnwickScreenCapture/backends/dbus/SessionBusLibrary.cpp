#include "TarnwickScreenCapture/backends/dbus/SessionBusLibrary.hpp"

#include <string>

#include "TarnwickScreenCapture/posix/LoadedLibrary.hpp"

namespace tarnwick {

RuntimeLibrary sessionBusRuntimeLibrary() {
    return {"libsystemd.so.0", "libsystemd0",
            "the session bus: KWin's services and the desktop portal"};
}

const SessionBusLibrary* sessionBusLibrary() {
    static const std::string file = sessionBusRuntimeLibrary().file;
    return loadedOnce<SessionBusLibrary>(file.c_str(), [](void* library, SessionBusLibrary& bus) {
        return resolveSymbol(library, "sd_bus_open_user", bus.openUser) &&
               resolveSymbol(library, "sd_bus_close_unref", bus.closeUnref) &&
               resolveSymbol(library, "sd_bus_set_method_call_timeout", bus.setMethodCallTimeout) &&
               resolveSymbol(library, "sd_bus_is_ready", bus.isReady) &&
               resolveSymbol(library, "sd_bus_get_unique_name", bus.getUniqueName) &&
               resolveSymbol(library, "sd_bus_process", bus.process) &&
               resolveSymbol(library, "sd_bus_get_fd", bus.getFd) &&
               resolveSymbol(library, "sd_bus_get_events", bus.getEvents) &&
               resolveSymbol(library, "sd_bus_get_timeout", bus.getTimeout) &&
               resolveSymbol(library, "sd_bus_flush", bus.flush) &&
               resolveSymbol(library, "sd_bus_match_signal", bus.matchSignal) &&
               resolveSymbol(library, "sd_bus_slot_unref", bus.slotUnref) &&
               resolveSymbol(library, "sd_bus_message_new_method_call", bus.newMethodCall) &&
               resolveSymbol(library, "sd_bus_call", bus.call) &&
               resolveSymbol(library, "sd_bus_call_async", bus.callAsync) &&
               resolveSymbol(library, "sd_bus_call_method_async", bus.callMethodAsync) &&
               resolveSymbol(library, "sd_bus_send", bus.send) &&
               resolveSymbol(library, "sd_bus_add_object", bus.addObject) &&
               resolveSymbol(library, "sd_bus_reply_method_return", bus.replyMethodReturn) &&
               resolveSymbol(library, "sd_bus_reply_method_error", bus.replyMethodError) &&
               resolveSymbol(library, "sd_bus_message_ref", bus.messageRef) &&
               resolveSymbol(library, "sd_bus_message_unref", bus.messageUnref) &&
               resolveSymbol(library, "sd_bus_message_get_sender", bus.messageSender) &&
               resolveSymbol(library, "sd_bus_message_is_method_call", bus.isMethodCall) &&
               resolveSymbol(library, "sd_bus_message_get_error", bus.messageError) &&
               resolveSymbol(library, "sd_bus_message_set_expect_reply", bus.setExpectReply) &&
               resolveSymbol(library, "sd_bus_message_append", bus.append) &&
               resolveSymbol(library, "sd_bus_message_open_container", bus.openContainer) &&
               resolveSymbol(library, "sd_bus_message_close_container", bus.closeContainer) &&
               resolveSymbol(library, "sd_bus_message_read", bus.read) &&
               resolveSymbol(library, "sd_bus_message_peek_type", bus.peekType) &&
               resolveSymbol(library, "sd_bus_message_skip", bus.skip) &&
               resolveSymbol(library, "sd_bus_message_enter_container", bus.enterContainer) &&
               resolveSymbol(library, "sd_bus_message_exit_container", bus.exitContainer);
    });
}

}  // namespace tarnwick
