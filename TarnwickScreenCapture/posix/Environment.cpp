#include "TarnwickScreenCapture/posix/Environment.hpp"

#include <cstdlib>

namespace tarnwick {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

std::string variableText(const char* name) {
    const auto value = environmentValue(name);
    return value ? std::string(name) + "=" + *value : std::string(name) + " is not set";
}

std::string placeText(std::string_view system, const char* variable) {
    const auto value = environmentValue(variable);
    return std::string(system) +
           (value ? " on " + *value : ", but " + std::string(variable) + " is not set");
}

}  // namespace tarnwick
