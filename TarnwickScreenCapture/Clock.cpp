#include "TarnwickScreenCapture/Clock.hpp"

#include <chrono>

namespace tarnwick {

std::int64_t currentUnixSeconds() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
}

}  // namespace tarnwick
