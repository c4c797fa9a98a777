#pragma once

#include <cstdint>

namespace tarnwick {

// Whole seconds since 1970-01-01 00:00:00 UTC, truncated toward zero.
std::int64_t currentUnixSeconds();

}  // namespace tarnwick
