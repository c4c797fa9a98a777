#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// The text as one word for a POSIX shell, in single quotes ('it'\''s'), so that a command
// shown to the user can be pasted as it is whatever the text holds.
std::string quotedForShell(std::string_view text);

}  // namespace tarnwick
