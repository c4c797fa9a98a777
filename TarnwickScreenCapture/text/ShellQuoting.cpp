#include "TarnwickScreenCapture/text/ShellQuoting.hpp"

namespace tarnwick {

std::string quotedForShell(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace tarnwick
