#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "TarnwickScreenCapture/backends/kwin/KWinImage.hpp"
#include "TarnwickScreenCapture/backends/kwin/KWinScript.hpp"
#include "TarnwickScreenCapture/posix/Unavailable.hpp"

namespace tarnwick {

// The pixels ScreenShot2 wrote into the pipe, stride x height bytes, as it described them.
struct KWinShot {
    KWinImageDescription description;
    std::shared_ptr<std::uint8_t[]> pixels;
};

// org.kde.KWin.ScreenShot2: CaptureWindow of the window with this uuid, without KWin's frame,
// or CaptureWorkspace, every screen at its native resolution. The pixels are read from a pipe
// KWin writes into after it answered; every copy of its write end here is closed once the
// call is sent, so that a KWin that goes away ends the pipe. A failure when KWin refuses, does
// not know the window, stays silent for `silenceLimit` before answering or between pixels, or
// sends another number of bytes than it described; marked refused when KWin does not let this
// program take screenshots.
OrUnavailable<KWinShot> kwinScreenShot(sd_bus* bus, const std::optional<std::string>& windowUuid,
                                       std::chrono::milliseconds silenceLimit = kKWinSilenceLimit);

}  // namespace tarnwick
