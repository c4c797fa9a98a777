#include "TarnwickScreenCapture/Error.hpp"

#include <utility>

namespace tarnwick {

CaptureError makeError(std::string message, std::int64_t code) {
    return CaptureError{kErrorDomain, code, std::move(message)};
}

}  // namespace tarnwick
