#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tarnwick {

// The compact JSON text of a response ("\/" for '/', non-ASCII raw).
std::string agentResponseText(const std::string& requestID, bool ok,
                              const std::optional<std::string>& detail, std::int64_t finishedAt);

// The id the response file `name` in an open folder answers; none when there is no readable
// response, or a symbolic link or no regular file stands there.
std::optional<std::string> answeredRequestId(int folderFd, const std::string& name);

// Replaces the response file atomically and says whether it did; a failure is silent, creates
// nothing and leaves an earlier response file as it was.
bool writeAgentResponse(const std::filesystem::path& file, const std::string& requestID, bool ok,
                        const std::optional<std::string>& detail);

// The same for the response file `name` in an open folder, never through the folder's path.
bool writeAgentResponseIn(int folderFd, const std::string& name, const std::string& requestID,
                          bool ok, const std::optional<std::string>& detail);

}  // namespace tarnwick
