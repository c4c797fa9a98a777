#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/agent/AgentLog.hpp"
#include "TarnwickScreenCapture/agent/RequestFile.hpp"
#include "TarnwickScreenCapture/capture/Platform.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"

namespace tarnwick {

inline constexpr double kAgentPollIntervalSeconds = 0.05;

enum class AgentPassOutcome { kGoOn, kAnotherAgentServesTheFolder };

// The agent over one request file: each pass reads the request, performs it when its id is new
// and answers it, or writes an answer that could not be written before; what it says goes to
// `report`, one line at a time.
class Agent {
public:
    struct Settings {
        std::filesystem::path requestFile;
        std::filesystem::path responseFile;
        Trust trust;
        std::function<void(const std::string& line)> report;
        // The window system a capture would use now, for the line that says the agent serves its
        // folder: said once, when the folder is first locked. Unset: no such line.
        std::function<std::string()> describeWindowSystem;
    };

    explicit Agent(Settings settings);

    // notices: what the folder watch told of the request file since the last pass.
    AgentPassOutcome runPass(const Platform& platform, const ChangeNotices& notices = {});

    // The id of the last request taken up.
    const std::string& lastHandledID() const { return lastHandledID_; }

private:
    // The outcome of a request, kept until the response file takes it.
    struct Answer {
        std::string id;
        bool ok = false;
        std::optional<std::string> detail;
    };

    AgentPassOutcome pass(const Platform& platform, const ChangeNotices& notices);
    std::filesystem::path folderPath() const;
    bool holdsFolderLock(OpenedFile& folder);
    void announceOnce(const std::filesystem::path& folder);
    void perform(const CaptureRequest& request, const Platform& platform);
    bool writeAnswer(const Answer& answer) const;
    void reportProblem(const std::string& line);
    void reportAll(const std::vector<std::string>& lines) const;
    void reportNotARequest(const AgentRequestRead& read);

    Settings settings_;
    AgentLog log_;
    bool announced_ = false;
    // The request file last said to be no request, so that each version is said once.
    std::optional<FileFacts> toldNotARequest_;
    std::string lastHandledID_;
    std::optional<Answer> unsentAnswer_;
    std::optional<RequestFileMemo> requestMemo_;
    // Why requests are not answered (the folder is missing, or not trusted), as last reported,
    // while it lasts: each reason is reported once when it begins, and its end once.
    std::optional<std::string> problem_;
    // The folder this agent serves, locked against a second agent, and which folder it is.
    FileDescriptor lockedFolder_;
    std::optional<FileIdentity> lockedFolderIdentity_;
};

// This user's agent on these two files, reporting on standard error.
Agent::Settings agentSettings(std::filesystem::path requestFile,
                              std::filesystem::path responseFile);

// The line the agent starts with: the folder it serves and the window system a capture would use.
std::string agentStartLine(const std::filesystem::path& folder, const std::string& windowSystem);

// Polls the request file until another agent is found serving the same folder; returns the status
// to exit with then.
int runAgent(const Platform& platform);

}  // namespace tarnwick
