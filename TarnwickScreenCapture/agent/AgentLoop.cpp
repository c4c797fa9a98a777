#include "TarnwickScreenCapture/agent/AgentLoop.hpp"

#include <limits.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <map>
#include <memory>
#include <utility>

#include "TarnwickScreenCapture/agent/ResponseFile.hpp"
#include "TarnwickScreenCapture/capture/Capture.hpp"
#include "TarnwickScreenCapture/posix/FileLocks.hpp"
#include "TarnwickScreenCapture/posix/FolderWatch.hpp"
#include "TarnwickScreenCapture/posix/Waiting.hpp"

namespace tarnwick {
namespace {

// Group membership seldom changes, and asking may mean reading the whole user database: a
// verdict is kept for a while rather than asked for at every pass.
constexpr auto kGroupVerdictLifetime = std::chrono::seconds(10);

Trust cachingTrust(Trust trust) {
    struct Verdict {
        bool holdsOnlyUser;
        std::chrono::steady_clock::time_point asked;
    };
    auto verdicts = std::make_shared<std::map<std::uint32_t, Verdict>>();
    trust.groupHoldsOnlyUser = [verdicts, ask = trust.groupHoldsOnlyUser](std::uint32_t group) {
        const auto now = std::chrono::steady_clock::now();
        const auto found = verdicts->find(group);
        if (found != verdicts->end() && now - found->second.asked < kGroupVerdictLifetime) {
            return found->second.holdsOnlyUser;
        }
        const bool holdsOnlyUser = ask(group);
        (*verdicts)[group] = {holdsOnlyUser, now};
        return holdsOnlyUser;
    };
    return trust;
}

// Standard error may be a pipe that nobody reads. A pipe with room for one more page takes a
// write of up to PIPE_BUF bytes whole and at once, so a line is cut to that (the client's text in
// it is already short) and written once when there is room; otherwise it is dropped rather than
// holding up the agent.
void writeLineToStandardError(const std::string& line) {
    std::string text = line.substr(0, PIPE_BUF - 1);
    while (text.size() < line.size() && !text.empty() &&
           (static_cast<unsigned char>(line[text.size()]) & 0xC0) == 0x80) {
        text.pop_back();  // not in the middle of a character
    }
    text += '\n';
    short seen = 0;
    if (waitForDescriptor(STDERR_FILENO, POLLOUT, Deadline::after(std::chrono::milliseconds(0)),
                          &seen) == Readiness::kReady &&
        (seen & POLLOUT) != 0) {
        [[maybe_unused]] const auto written = ::write(STDERR_FILENO, text.data(), text.size());
    }
}

// The agent must outlive any one request: an unexpected exception from the capture (out of
// memory, a platform fault) is answered as a failed capture instead of ending the process.
std::optional<CaptureFailure> guardedCapture(const CaptureRequest& request,
                                             const Platform& platform) {
    try {
        return capture(request, platform);
    } catch (const std::exception& error) {
        return failures::kCaptureFailed.because(std::string("unexpected: ") + error.what());
    } catch (...) {
        return failures::kCaptureFailed.because("unexpected failure");
    }
}

bool sameVersion(const FileFacts& a, const FileFacts& b) {
    return a.identity == b.identity && a.size == b.size && a.modified == b.modified &&
           a.changed == b.changed;
}

}  // namespace

std::string agentStartLine(const std::filesystem::path& folder, const std::string& windowSystem) {
    return "serving " + folder.native() + " with " + windowSystem;
}

Agent::Settings agentSettings(std::filesystem::path requestFile,
                              std::filesystem::path responseFile) {
    return {.requestFile = std::move(requestFile),
            .responseFile = std::move(responseFile),
            .trust = cachingTrust(trustOfThisUser()),
            .report = writeLineToStandardError};
}

Agent::Agent(Settings settings) : settings_(std::move(settings)) {}

AgentPassOutcome Agent::runPass(const Platform& platform, const ChangeNotices& notices) {
    try {
        return pass(platform, notices);
    } catch (...) {
        // Whatever a pass meets that the capture's own guard does not (no memory for a path or
        // a line), the agent lives on and the next pass starts afresh.
    }
    return AgentPassOutcome::kGoOn;
}

AgentPassOutcome Agent::pass(const Platform& platform, const ChangeNotices& notices) {
    const auto folderPath = this->folderPath();
    auto folder = judgeRequestFolder(folderPath, settings_.trust);
    if (folder.verdict == Verdict::kAbsent) {
        // No folder (yet): nothing to read and nothing wrong, but a reason why nothing happens
        // that the user may be looking for.
        reportProblem("waiting for " + folder.reason);
        return AgentPassOutcome::kGoOn;
    }
    if (folder.verdict != Verdict::kTrusted) {
        reportProblem("ignoring requests: " + folder.reason);
        return AgentPassOutcome::kGoOn;
    }
    const int folderFd = folder.opened.fd.get();
    if (!holdsFolderLock(folder.opened)) {
        settings_.report("another agent already serves " + folderPath.native() + "; this one ends");
        return AgentPassOutcome::kAnotherAgentServesTheFolder;
    }
    announceOnce(folderPath);
    const auto read =
        requestFromAgentFolder(folderFd, folderPath, settings_.requestFile.filename().string(),
                               settings_.trust, requestMemo_, notices);
    if (read.refusal) {
        reportProblem("ignoring requests: " + *read.refusal);
        return AgentPassOutcome::kGoOn;
    }
    if (problem_) {
        settings_.report("answering requests in " + folderPath.native());
        problem_.reset();
    }
    reportAll(log_.tell(AgentLog::Clock::now()));
    reportNotARequest(read);

    if (read.request && read.request->id != lastHandledID_) {
        perform(*read.request, platform);
    } else if (unsentAnswer_ && writeAnswer(*unsentAnswer_)) {
        unsentAnswer_.reset();
    }
    return AgentPassOutcome::kGoOn;
}

std::filesystem::path Agent::folderPath() const {
    return settings_.requestFile.has_parent_path() ? settings_.requestFile.parent_path() : ".";
}

// Whether this agent holds (or has now taken) the lock of the open folder. A folder replaced at
// the same path is locked anew.
bool Agent::holdsFolderLock(OpenedFile& folder) {
    const FileIdentity identity = folder.facts.identity;
    if (lockedFolderIdentity_ == identity) {
        return true;
    }
    switch (lockExclusively(folder.fd.get())) {
        case LockOutcome::kLocked:
            lockedFolder_ = std::move(folder.fd);
            break;
        case LockOutcome::kHeldElsewhere:
            return false;
        case LockOutcome::kUnsupported:
            // Nothing to guard with on this file system; go on unguarded rather than not at all.
            lockedFolder_.reset();
            break;
    }
    lockedFolderIdentity_ = identity;
    return true;
}

// Only once the folder is this agent's: a second agent says nothing of serving.
void Agent::announceOnce(const std::filesystem::path& folder) {
    if (!announced_ && settings_.describeWindowSystem) {
        settings_.report(agentStartLine(folder, settings_.describeWindowSystem()));
        announced_ = true;
        problem_.reset();
    }
}

void Agent::perform(const CaptureRequest& request, const Platform& platform) {
    // Taken up before the capture, so that a failed request is not retried; a newer request
    // makes an answer still unsent pointless.
    lastHandledID_ = request.id;
    unsentAnswer_.reset();
    const auto failure = guardedCapture(request, platform);
    Answer answer{
        .id = request.id,
        .ok = !failure,
        .detail = failure ? std::optional<std::string>(failure->message) : std::nullopt,
    };
    // The client waits for the answer, not for the line.
    if (!writeAnswer(answer)) {
        unsentAnswer_ = std::move(answer);
    }
    if (failure) {
        reportAll(log_.requestFailed(request.id, *failure, AgentLog::Clock::now()));
    }
}

// The answer goes into the folder this agent holds, the one its request came from, not into
// whatever the folder's path names by the time the answer is ready.
bool Agent::writeAnswer(const Answer& answer) const {
    if (lockedFolder_) {
        return writeAgentResponseIn(lockedFolder_.get(), settings_.responseFile.filename(),
                                    answer.id, answer.ok, answer.detail);
    }
    return writeAgentResponse(settings_.responseFile, answer.id, answer.ok, answer.detail);
}

void Agent::reportProblem(const std::string& line) {
    if (line != problem_) {
        settings_.report(line);
        problem_ = line;
    }
}

void Agent::reportAll(const std::vector<std::string>& lines) const {
    for (const auto& line : lines) {
        settings_.report(line);
    }
}

// A client that waits for an answer to a file that is no request waits in vain: say why, once
// for each version of the file.
void Agent::reportNotARequest(const AgentRequestRead& read) {
    // An empty file is a request not yet written (or written in place, caught just truncated).
    if (!read.notARequest || read.facts.size == 0) {
        toldNotARequest_.reset();
        return;
    }
    if (toldNotARequest_ && sameVersion(*toldNotARequest_, read.facts)) {
        return;
    }
    reportAll(log_.fileIsNoRequest(settings_.requestFile.native(), *read.notARequest,
                                   AgentLog::Clock::now()));
    toldNotARequest_ = read.facts;
}

int runAgent(const Platform& platform) {
    auto settings = agentSettings(requestFilePath(), responseFilePath());
    settings.describeWindowSystem = [&platform] { return platform.openWindowSystem().description; };
    Agent agent(settings);
    // The poll still runs, for file systems that tell of no changes; a request written where
    // they do is taken up at once, and a file they tell nothing of is not read again.
    FolderWatch watch(
        settings.requestFile.has_parent_path() ? settings.requestFile.parent_path() : ".",
        settings.requestFile.filename().string());
    const auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(kAgentPollIntervalSeconds));
    ChangeNotices notices;
    for (;;) {
        notices.delivered = watch.watching();
        if (agent.runPass(platform, notices) == AgentPassOutcome::kAnotherAgentServesTheFolder) {
            return exitCodes::kAnotherAgent;
        }
        notices.sinceLastRead = watch.waitForChange(interval);
    }
}

}  // namespace tarnwick
