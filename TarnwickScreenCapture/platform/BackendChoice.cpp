#include "TarnwickScreenCapture/platform/BackendChoice.hpp"

namespace tarnwick {

Backend chooseBackend(const char* forced, const std::function<bool()>& waylandReachable) {
    const std::string_view name = forced == nullptr ? std::string_view() : forced;
    if (name == "x11") {
        return Backend::x11;
    }
    if (name == "wlroots") {
        return Backend::wlroots;
    }
    if (name == "portal") {
        return Backend::portal;
    }
    return waylandReachable() ? Backend::wlroots : Backend::x11;
}

}  // namespace tarnwick
