#pragma once

#include <systemd/sd-bus.h>

#include "TarnwickScreenCapture/posix/LoadedLibrary.hpp"

namespace tarnwick {

// The parts of libsystemd's sd-bus in use. The library is loaded when the session bus is first
// needed rather than at start: it brings a handful of libraries of its own, and loading them
// costs an X11 or wlroots capture, which never needs them, more than its pixel work at small
// sizes.
struct SessionBusLibrary {
    int (*openUser)(sd_bus** bus);
    sd_bus* (*closeUnref)(sd_bus* bus);
    int (*setMethodCallTimeout)(sd_bus* bus, uint64_t microseconds);
    int (*isReady)(sd_bus* bus);
    int (*getUniqueName)(sd_bus* bus, const char** name);
    int (*process)(sd_bus* bus, sd_bus_message** message);
    int (*getFd)(sd_bus* bus);
    int (*getEvents)(sd_bus* bus);
    int (*getTimeout)(sd_bus* bus, uint64_t* monotonicMicroseconds);
    int (*flush)(sd_bus* bus);
    int (*matchSignal)(sd_bus* bus, sd_bus_slot** slot, const char* sender, const char* path,
                       const char* interface, const char* member, sd_bus_message_handler_t callback,
                       void* userdata);
    sd_bus_slot* (*slotUnref)(sd_bus_slot* slot);
    int (*newMethodCall)(sd_bus* bus, sd_bus_message** message, const char* destination,
                         const char* path, const char* interface, const char* member);
    int (*call)(sd_bus* bus, sd_bus_message* message, uint64_t timeout, sd_bus_error* error,
                sd_bus_message** reply);
    int (*callAsync)(sd_bus* bus, sd_bus_slot** slot, sd_bus_message* message,
                     sd_bus_message_handler_t callback, void* userdata, uint64_t timeout);
    int (*callMethodAsync)(sd_bus* bus, sd_bus_slot** slot, const char* destination,
                           const char* path, const char* interface, const char* member,
                           sd_bus_message_handler_t callback, void* userdata, const char* types,
                           ...);
    int (*send)(sd_bus* bus, sd_bus_message* message, uint64_t* cookie);
    int (*addObject)(sd_bus* bus, sd_bus_slot** slot, const char* path,
                     sd_bus_message_handler_t callback, void* userdata);
    int (*replyMethodReturn)(sd_bus_message* call, const char* types, ...);
    int (*replyMethodError)(sd_bus_message* call, const sd_bus_error* error);
    sd_bus_message* (*messageRef)(sd_bus_message* message);
    sd_bus_message* (*messageUnref)(sd_bus_message* message);
    const char* (*messageSender)(sd_bus_message* message);
    int (*isMethodCall)(sd_bus_message* message, const char* interface, const char* member);
    const sd_bus_error* (*messageError)(sd_bus_message* message);
    int (*setExpectReply)(sd_bus_message* message, int expect);
    int (*append)(sd_bus_message* message, const char* types, ...);
    int (*openContainer)(sd_bus_message* message, char type, const char* contents);
    int (*closeContainer)(sd_bus_message* message);
    int (*read)(sd_bus_message* message, const char* types, ...);
    int (*peekType)(sd_bus_message* message, char* type, const char** contents);
    int (*skip)(sd_bus_message* message, const char* types);
    int (*enterContainer)(sd_bus_message* message, char type, const char* contents);
    int (*exitContainer)(sd_bus_message* message);
};

// Null when the library cannot be loaded.
const SessionBusLibrary* sessionBusLibrary();

RuntimeLibrary sessionBusRuntimeLibrary();

}  // namespace tarnwick
