#pragma once

#include <chrono>

namespace tarnwick::testing {

// How long the body took: for the few tests that check hostile input costs little, with bounds
// far above what it should take.
template <class Body>
double secondsTaken(Body body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace tarnwick::testing
