#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "TarnwickScreenCapture/agent/AgentLog.hpp"
#include "TarnwickScreenCapture/agent/RequestFile.hpp"
#include "TarnwickScreenCapture/capture/Platform.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"

namespace tarnwick {

inline constexpr double kAgentPollIntervalSeconds = 0.05;

// The outcome of a request, kept until the response file takes it.
struct AgentAnswer {
    std::string id;
    bool ok = false;
    std::optional<std::string> detail;
};

// What the agent carries from one pass to the next.
struct AgentState {
    std::filesystem::path requestFile;
    std::filesystem::path responseFile;
    Trust trust;
    // Takes one line for standard error.
    std::function<void(const std::string& line)> report;
    // What the folder watch told of the request file since the last pass.
    ChangeNotices notices;
    // The window system a capture would use now, for the line that says the agent serves its
    // folder: printed once, when the folder is first locked. Unset: no such line.
    std::function<std::string()> describeWindowSystem;
    bool announced = false;
    AgentLog log;
    // The request file last said to be no request, so that each version is said once.
    std::optional<FileFacts> toldNotARequest;

    std::string lastHandledID;
    std::optional<AgentAnswer> unsentAnswer;
    std::optional<RequestFileMemo> requestMemo;
    // Why requests are not answered (the folder is missing, or not trusted), as last reported,
    // while it lasts: each reason is reported once when it begins, and its end once.
    std::optional<std::string> problem;
    // The folder this agent serves, locked against a second agent, and which folder it is.
    FileDescriptor lockedFolder;
    std::optional<FileIdentity> lockedFolderIdentity;
};

// A state for these two files, trusting this process's user and reporting on standard error.
AgentState agentState(std::filesystem::path requestFile, std::filesystem::path responseFile);

enum class AgentPassOutcome { kGoOn, kAnotherAgentServesTheFolder };

// One pass: read the request, perform it when its id is new and answer it; or write an answer
// that could not be written before.
AgentPassOutcome runAgentPass(AgentState& state, const Platform& platform);

// The line the agent starts with: the folder it serves and the window system a capture would use.
std::string agentStartLine(const std::filesystem::path& folder, const std::string& windowSystem);

// Polls the request file until another agent is found serving the same folder.
[[noreturn]] void runAgent(const Platform& platform);

}  // namespace tarnwick
