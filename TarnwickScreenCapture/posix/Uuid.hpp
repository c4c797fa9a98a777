#pragma once

#include <string>

namespace tarnwick {

// A fresh random (version 4) UUID in canonical upper-case text form.
std::string newUUIDString();

}  // namespace tarnwick
