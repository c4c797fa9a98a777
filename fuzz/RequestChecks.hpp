#pragma once

#include "FuzzChecks.hpp"
#include "TarnwickScreenCapture/capture/CaptureRequest.hpp"

namespace tarnwick::fuzz {

// What every builder of a request promises, whatever it was given.
inline void checkRequestInvariants(const CaptureRequest& request) {
    check(request.quality >= kMinimumQuality && request.quality <= kMaximumQuality,
          "quality within [0.2, 0.95]");
    check(request.maxWidth >= 0, "maxWidth not negative");
    check(request.target == CaptureTarget::kDesktop || request.target == CaptureTarget::kTavik,
          "target is desktop or tavik");
}

}  // namespace tarnwick::fuzz
