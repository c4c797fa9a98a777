#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick {

// How long the portal may take to answer: some desktops ask the user the first time.
inline constexpr std::chrono::seconds kPortalDeadline{30};

// Asks the desktop portal on the session bus for a screenshot, without a dialog of its own, and
// waits for its answer; the URI of the file it made, or none when there is no session bus or
// portal, the portal has no screenshot, answers other than with success or not in time.
std::optional<std::string> portalScreenshotUri(std::chrono::milliseconds deadline);

// Whether the session bus has the desktop portal (running, or to be started when called); none
// when there is no session bus to ask, with why.
std::optional<bool> portalOnSessionBus(std::string& why);

// The whole desktop as the portal sees it; its file is removed once read. Null on any failure.
SharedImage portalDesktopImage();

}  // namespace tarnwick
