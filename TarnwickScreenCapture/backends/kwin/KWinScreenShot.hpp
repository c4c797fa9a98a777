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
#include "TarnwickScreenCapture/posix/Waiting.hpp"

namespace tarnwick {

// The pixels ScreenShot2 wrote into the pipe, stride x height bytes, as it described them.
struct KWinShot {
    KWinImageDescription description;
    std::shared_ptr<std::uint8_t[]> pixels;
};

// Why ScreenShot2 gave no picture, where it decides what is tried next.
enum class KWinShotFailure {
    kOther,      // silent, broken, or an image that cannot be used
    kNoService,  // KWin serves no ScreenShot2 (it does so only while compositing with OpenGL)
    kCancelled,  // the service cancelled the capture (KWin 6 compositing without OpenGL)
    kRefused,    // KWin does not let this program take screenshots
};

struct KWinShotAttempt {
    OrUnavailable<KWinShot> taken;
    KWinShotFailure failure = KWinShotFailure::kOther;
};

// org.kde.KWin.ScreenShot2: CaptureWindow of the window with this uuid, without KWin's frame,
// or CaptureWorkspace, every screen at its native resolution. The pixels are read from a pipe
// KWin writes into after it answered; every copy of its write end here is closed once the
// call is sent, so that a KWin that goes away ends the pipe. A failure when KWin refuses, does
// not know the window, stays silent for `silenceLimit` before answering or between pixels, or
// sends another number of bytes than it described; marked refused when KWin does not let this
// program take screenshots. A missing or cancelling service names the cause when KWin tells
// it (compositing without OpenGL).
KWinShotAttempt kwinScreenShot(sd_bus* bus, const std::optional<std::string>& windowUuid,
                               std::chrono::milliseconds silenceLimit = kKWinSilenceLimit);

// KWin's compositing type as it names it ("gl2", "gles", "qpainter", "none"); none when it does
// not tell.
std::optional<std::string> kwinCompositingType(sd_bus* bus, const Deadline& deadline);

}  // namespace tarnwick
