#include "TarnwickScreenCapture/backends/dbus/SessionBus.hpp"

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarnwick {
namespace {

constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

// The deadline, or sooner the moment sd-bus has a timeout of its own to handle (a call's reply,
// authentication), which it gives in CLOCK_MONOTONIC microseconds, UINT64_MAX for none.
Deadline withBusTimeout(const Deadline& deadline, std::uint64_t busTimeout) {
    if (busTimeout == UINT64_MAX) {
        return deadline;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t current = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    const std::uint64_t left =
        busTimeout > current ? std::min(busTimeout - current, deadline.microsecondsLeft()) : 0;
    return deadline.noLaterThan(Deadline::Clock::now() + std::chrono::microseconds(left));
}

struct PendingCall {
    CallOutcome outcome;
    bool answered = false;
};

int onAnswer(sd_bus_message* message, void* data, sd_bus_error*) {
    auto& pending = *static_cast<PendingCall*>(data);
    pending.answered = true;
    if (const sd_bus_error* error = sdBus().messageError(message); error != nullptr) {
        // sd-bus answers its own timeout as an error; it is silence all the same.
        const std::string_view name = error->name != nullptr ? error->name : "";
        pending.outcome.kind =
            name == SD_BUS_ERROR_TIMEOUT ? CallOutcome::Kind::kSilent : CallOutcome::Kind::kError;
        pending.outcome.errorName = name;
        pending.outcome.errorMessage = error->message != nullptr ? error->message : "";
        return 0;
    }
    pending.outcome.kind = CallOutcome::Kind::kReplied;
    pending.outcome.reply.reset(sdBus().messageRef(message));
    return 0;
}

}  // namespace

const SessionBusLibrary& sdBus() {
    return *sessionBusLibrary();
}

void BusDeleter::operator()(sd_bus* bus) const {
    sdBus().closeUnref(bus);
}
void SlotDeleter::operator()(sd_bus_slot* slot) const {
    sdBus().slotUnref(slot);
}
void MessageDeleter::operator()(sd_bus_message* message) const {
    sdBus().messageUnref(message);
}

bool processUntil(sd_bus* bus, const Deadline& deadline, const std::function<bool()>& done) {
    while (!done()) {
        const int processed = sdBus().process(bus, nullptr);
        if (processed < 0) {
            return false;
        }
        if (processed > 0) {
            continue;
        }
        if (deadline.passed()) {
            return false;
        }
        const int fd = sdBus().getFd(bus);
        const int events = sdBus().getEvents(bus);
        std::uint64_t busTimeout = 0;
        if (fd < 0 || events < 0 || sdBus().getTimeout(bus, &busTimeout) < 0) {
            return false;
        }
        if (waitForDescriptor(fd, static_cast<short>(events),
                              withBusTimeout(deadline, busTimeout)) == Readiness::kFailed) {
            return false;
        }
    }
    return true;
}

OrUnavailable<Bus> openSessionBus(const Deadline& deadline) {
    if (sessionBusLibrary() == nullptr) {
        return Unavailable{missingLibraryText(sessionBusRuntimeLibrary())};
    }
    sd_bus* opened = nullptr;
    if (const int error = sdBus().openUser(&opened); error < 0) {
        return Unavailable{std::string("no session bus to connect to: ") + std::strerror(-error)};
    }
    Bus bus(opened);
    // Waiting here rather than inside sd-bus keeps a silent bus daemon within the deadline.
    if (!processUntil(bus.get(), deadline, [&] { return sdBus().isReady(bus.get()) != 0; }) ||
        sdBus().isReady(bus.get()) <= 0) {
        return Unavailable{deadline.passed() ? "the session bus did not answer in time"
                                             : "the session bus refused the connection"};
    }
    return bus;
}

sd_bus* SessionBusOnDemand::get() {
    if (!bus_ && whyNot_.empty()) {
        auto opened = openSessionBus(Deadline::after(silenceLimit_));
        if (auto* unavailable = std::get_if<Unavailable>(&opened)) {
            whyNot_ = std::move(unavailable->reason);
        } else {
            bus_ = std::get<Bus>(std::move(opened));
        }
    }
    return bus_.get();
}

Message newMethodCall(sd_bus* bus, const char* destination, const char* path, const char* interface,
                      const char* member) {
    sd_bus_message* created = nullptr;
    if (sdBus().newMethodCall(bus, &created, destination, path, interface, member) < 0) {
        return nullptr;
    }
    return Message(created);
}

std::string CallOutcome::describe() const {
    switch (kind) {
        case Kind::kReplied:
            return "answered";
        case Kind::kError:
            return errorName + ": " + errorMessage;
        case Kind::kSilent:
            return "no answer in time";
        case Kind::kDisconnected:
            return "the connection to the session bus broke";
    }
    return {};
}

CallOutcome callWithin(sd_bus* bus, sd_bus_message* call, const Deadline& deadline) {
    return callWithin(bus, call, deadline, std::chrono::milliseconds(0), {});
}

CallOutcome callWithin(sd_bus* bus, sd_bus_message* call, const Deadline& deadline,
                       std::chrono::milliseconds after, const std::function<void()>& meanwhile) {
    PendingCall pending;
    sd_bus_slot* slot = nullptr;
    // The slot goes before `pending`: a late answer never reaches it.
    if (sdBus().callAsync(bus, &slot, call, onAnswer, &pending,
                          std::max<std::uint64_t>(deadline.microsecondsLeft(), 1)) < 0) {
        pending.outcome.kind = CallOutcome::Kind::kDisconnected;
        return std::move(pending.outcome);
    }
    const Slot waiting(slot);
    const auto answered = [&] { return pending.answered; };
    bool done = false;
    if (meanwhile) {
        const Deadline early = deadline.noLaterThan(Deadline::Clock::now() + after);
        done = processUntil(bus, early, answered);
        if (!done && early.passed() && !deadline.passed()) {
            meanwhile();
            done = processUntil(bus, deadline, answered);
        }
    } else {
        done = processUntil(bus, deadline, answered);
    }
    if (!done) {
        pending.outcome.kind =
            deadline.passed() ? CallOutcome::Kind::kSilent : CallOutcome::Kind::kDisconnected;
    }
    return std::move(pending.outcome);
}

bool nameOwned(sd_bus* bus, const char* name, const Deadline& deadline) {
    const Message call = newMethodCall(bus, kBusName, kBusPath, kBusName, "NameHasOwner");
    if (!call || sdBus().append(call.get(), "s", name) < 0) {
        return false;
    }
    const auto outcome = callWithin(bus, call.get(), deadline);
    int owned = 0;
    return outcome.kind == CallOutcome::Kind::kReplied &&
           sdBus().read(outcome.reply.get(), "b", &owned) >= 0 && owned != 0;
}

bool nameActivatable(sd_bus* bus, const char* name, const Deadline& deadline) {
    const Message call = newMethodCall(bus, kBusName, kBusPath, kBusName, "ListActivatableNames");
    if (!call) {
        return false;
    }
    const auto outcome = callWithin(bus, call.get(), deadline);
    if (outcome.kind != CallOutcome::Kind::kReplied ||
        sdBus().enterContainer(outcome.reply.get(), SD_BUS_TYPE_ARRAY, "s") <= 0) {
        return false;
    }
    const char* listed = nullptr;
    while (sdBus().read(outcome.reply.get(), "s", &listed) > 0) {
        if (std::strcmp(listed, name) == 0) {
            return true;
        }
    }
    return false;
}

void sendWithoutWaiting(sd_bus* bus, sd_bus_message* call) {
    if (sdBus().setExpectReply(call, 0) >= 0 && sdBus().send(bus, call, nullptr) >= 0) {
        sdBus().flush(bus);
    }
}

}  // namespace tarnwick
