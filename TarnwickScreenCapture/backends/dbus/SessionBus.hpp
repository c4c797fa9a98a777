#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "TarnwickScreenCapture/backends/dbus/SessionBusLibrary.hpp"
#include "TarnwickScreenCapture/posix/Unavailable.hpp"
#include "TarnwickScreenCapture/posix/Waiting.hpp"

namespace tarnwick {

// The loaded library: only once sessionBusLibrary() has answered with one.
const SessionBusLibrary& sdBus();

// Without flushing: sd-bus would wait for a silent bus daemon to finish authentication.
struct BusDeleter {
    void operator()(sd_bus* bus) const;
};
struct SlotDeleter {
    void operator()(sd_bus_slot* slot) const;
};
struct MessageDeleter {
    void operator()(sd_bus_message* message) const;
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;
using Slot = std::unique_ptr<sd_bus_slot, SlotDeleter>;
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

// Processes the bus (answering calls to the objects it exports) until `done` holds; false on a
// broken connection or at the deadline. It waits on the bus's descriptor, never past the
// deadline nor past sd-bus's own next timeout.
bool processUntil(sd_bus* bus, const Deadline& deadline, const std::function<bool()>& done);

// The user's session bus, connected and greeted; why not when sd-bus cannot be loaded, there is
// no bus, or it is not ready by the deadline.
OrUnavailable<Bus> openSessionBus(const Deadline& deadline);

// The session bus of one capture, opened when first needed; a failure to open it is kept too, so
// that listing and taking the image ask once.
class SessionBusOnDemand {
public:
    explicit SessionBusOnDemand(std::chrono::milliseconds silenceLimit)
        : silenceLimit_(silenceLimit) {}

    // The connection, or null; then whyNot() says why.
    sd_bus* get();
    const std::string& whyNot() const { return whyNot_; }

private:
    std::chrono::milliseconds silenceLimit_;
    Bus bus_;
    std::string whyNot_;
};

// A new method call; null when it cannot be made.
Message newMethodCall(sd_bus* bus, const char* destination, const char* path, const char* interface,
                      const char* member);

// What became of one method call.
struct CallOutcome {
    enum class Kind {
        kReplied,       // `reply` holds the answer
        kError,         // the peer or the bus answered with the error `errorName`
        kSilent,        // no answer by the deadline
        kDisconnected,  // the connection to the bus broke
    };
    Kind kind = Kind::kSilent;
    Message reply;
    std::string errorName;
    std::string errorMessage;

    // "org.example.Error.Name: message", or what else happened.
    std::string describe() const;
};

// Sends `call` and processes the bus until its answer, the deadline or a broken connection.
CallOutcome callWithin(sd_bus* bus, sd_bus_message* call, const Deadline& deadline);
// The same, calling `meanwhile` once when the answer has not come within `after`.
CallOutcome callWithin(sd_bus* bus, sd_bus_message* call, const Deadline& deadline,
                       std::chrono::milliseconds after, const std::function<void()>& meanwhile);

// Whether a connection owns the name now; false too when the bus does not answer by the deadline.
bool nameOwned(sd_bus* bus, const char* name, const Deadline& deadline);

// Whether the bus would start a service for the name when it is called.
bool nameActivatable(sd_bus* bus, const char* name, const Deadline& deadline);

// Sends `call` asking for no answer and hands it to the bus: for a clean-up that a peer which
// is silent now takes up once it runs again.
void sendWithoutWaiting(sd_bus* bus, sd_bus_message* call);

}  // namespace tarnwick
