#include "TarnwickScreenCapture/posix/Uuid.hpp"

#include <uuid/uuid.h>

namespace tarnwick {

std::string newUUIDString() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    return std::string(text);
}

}  // namespace tarnwick
