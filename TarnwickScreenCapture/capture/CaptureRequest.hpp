#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tarnwick {

inline constexpr double kDefaultQuality = 0.55;
inline constexpr double kMinimumQuality = 0.2;
inline constexpr double kMaximumQuality = 0.95;

// The whole desktop, or the window of the captured application.
enum class CaptureTarget { kTavik, kDesktop };

// What to capture and where to write it. Builders establish: quality in [0.2, 0.95],
// maxWidth >= 0 (0: no limit).
struct CaptureRequest {
    std::string id;
    std::filesystem::path output;
    double quality = kDefaultQuality;
    std::int64_t maxWidth = 0;
    CaptureTarget target = CaptureTarget::kTavik;
};

// min-then-max in this order: NaN becomes 0.2, +inf 0.95, -inf 0.2.
double clampedQuality(double quality);

// The desktop when the Unicode lower-case of the text is exactly "desktop", else the window.
CaptureTarget targetFromKeyword(const std::string& keyword);

// A relative path taken against the current working directory; '~' is an ordinary character.
std::filesystem::path fileLocationFromPath(const std::string& path);

}  // namespace tarnwick
