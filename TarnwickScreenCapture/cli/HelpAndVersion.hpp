#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// What `--help` prints; the agent folder is the one this user's agent serves.
std::string helpText(const std::filesystem::path& agentFolder);

// "TarnwickScreenCapture <version>" and a line feed.
std::string versionText();

// The text for standard output when `--help`, `-h` or `--version` is the only argument; none
// otherwise. Beside other arguments they are positional arguments like any other, so that
// `TarnwickScreenCapture -h 0.8` still writes the file "-h" as it always did.
std::optional<std::string> informationFromArguments(const std::vector<std::string>& arguments);

}  // namespace tarnwick
