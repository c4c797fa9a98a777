#include "TarnwickScreenCapture/agent/AgentLoop.hpp"

#include <unistd.h>
#include <chrono>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>

#include "TarnwickScreenCapture/agent/ResponseFile.hpp"
#include "TarnwickScreenCapture/capture/Capture.hpp"
#include "TarnwickScreenCapture/posix/FileLocks.hpp"
#include "TarnwickScreenCapture/posix/FolderWatch.hpp"
#include "TarnwickScreenCapture/posix/Waiting.hpp"
#include "TarnwickScreenCapture/text/ShellQuoting.hpp"

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

// Standard error may be a pipe that nobody reads: a line that cannot be written at once is
// dropped rather than holding up the agent. Lines are short (well below PIPE_BUF), so one that
// is written is written whole.
void writeLineToStandardError(const std::string& line) {
    if (waitForDescriptor(STDERR_FILENO, POLLOUT, Deadline::after(std::chrono::milliseconds(0))) !=
        Readiness::kReady) {
        return;
    }
    const std::string text = line + "\n";
    writeAll(STDERR_FILENO, text);
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

// The answer goes into the folder this agent holds, the one its request came from, not into
// whatever the folder's path names by the time the answer is ready.
bool writeAnswer(const AgentState& state, const AgentAnswer& answer) {
    std::filesystem::path file = state.responseFile;
    if (state.lockedFolder) {
        if (const auto held = pathOfOpenFolder(state.lockedFolder.get())) {
            file = *held / state.responseFile.filename();
        }
    }
    return writeAgentResponse(file, answer.id, answer.ok, answer.detail);
}

// Whether this agent holds (or has now taken) the lock of the open folder. A folder replaced at
// the same path is locked anew.
bool holdsFolderLock(AgentState& state, OpenedFile& folder) {
    const FileIdentity identity = folder.facts.identity;
    if (state.lockedFolderIdentity == identity) {
        return true;
    }
    switch (lockExclusively(folder.fd.get())) {
        case LockOutcome::kLocked:
            state.lockedFolder = std::move(folder.fd);
            break;
        case LockOutcome::kHeldElsewhere:
            return false;
        case LockOutcome::kUnsupported:
            // Nothing to guard with on this file system; go on unguarded rather than not at all.
            state.lockedFolder.reset();
            break;
    }
    state.lockedFolderIdentity = identity;
    return true;
}

void reportProblem(AgentState& state, const std::string& line) {
    if (line != state.problem) {
        state.report(line);
        state.problem = line;
    }
}

void reportAll(AgentState& state, const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        state.report(line);
    }
}

bool sameVersion(const FileFacts& a, const FileFacts& b) {
    return a.identity == b.identity && a.size == b.size && a.modified == b.modified &&
           a.changed == b.changed;
}

// A client that waits for an answer to a file that is no request waits in vain: say why, once
// for each version of the file.
void reportNotARequest(AgentState& state, const AgentRequestRead& read) {
    // An empty file is a request not yet written (or written in place, caught just truncated).
    if (!read.notARequest || read.facts.size == 0) {
        state.toldNotARequest.reset();
        return;
    }
    if (state.toldNotARequest && sameVersion(*state.toldNotARequest, read.facts)) {
        return;
    }
    reportAll(state, state.log.fileIsNoRequest(state.requestFile.native(), *read.notARequest,
                                               AgentLog::Clock::now()));
    state.toldNotARequest = read.facts;
}

}  // namespace

std::string agentStartLine(const std::filesystem::path& folder, const std::string& windowSystem) {
    return "serving " + folder.native() + " with " + windowSystem;
}

AgentState agentState(std::filesystem::path requestFile, std::filesystem::path responseFile) {
    AgentState state;
    state.requestFile = std::move(requestFile);
    state.responseFile = std::move(responseFile);
    state.trust = cachingTrust(trustOfThisUser());
    state.report = writeLineToStandardError;
    return state;
}

AgentPassOutcome runAgentPass(AgentState& state, const Platform& platform) {
    try {
        const auto folderPath =
            state.requestFile.has_parent_path() ? state.requestFile.parent_path() : ".";
        auto folder = openFolderNoFollow(folderPath);
        std::optional<std::string> refusal;
        AgentRequestRead read;
        if (folder.outcome == OpenOutcome::kSymbolicLink) {
            refusal = symbolicLinkRefusal(folderPath, true);
        } else if (folder.outcome != OpenOutcome::kOpened || !folder.facts.isFolder) {
            // No folder (yet): nothing to read and nothing wrong, but a reason why nothing
            // happens that the user may be looking for.
            reportProblem(state, "waiting for " + unusableFolder(folderPath, folder.outcome));
            return AgentPassOutcome::kGoOn;
        } else {
            refusal = distrustOf(folderPath, folder.facts, state.trust);
        }
        if (!refusal) {
            const int folderFd = folder.fd.get();
            if (!holdsFolderLock(state, folder)) {
                state.report("another agent already serves " + folderPath.native() +
                             "; this one ends");
                return AgentPassOutcome::kAnotherAgentServesTheFolder;
            }
            if (!state.announced && state.describeWindowSystem) {
                // Only once the folder is this agent's: a second agent says nothing of serving.
                state.report(agentStartLine(folderPath, state.describeWindowSystem()));
                state.announced = true;
                state.problem.reset();
            }
            read =
                requestFromAgentFolder(folderFd, folderPath, state.requestFile.filename().string(),
                                       state.trust, state.requestMemo, state.notices);
            refusal = read.refusal;
        }
        if (refusal) {
            reportProblem(state, "ignoring requests: " + *refusal);
            return AgentPassOutcome::kGoOn;
        }
        if (state.problem) {
            state.report("answering requests in " + folderPath.native());
            state.problem.reset();
        }
        reportAll(state, state.log.tell(AgentLog::Clock::now()));
        reportNotARequest(state, read);

        const auto& request = read.request;
        if (!request || request->id == state.lastHandledID) {
            if (state.unsentAnswer && writeAnswer(state, *state.unsentAnswer)) {
                state.unsentAnswer.reset();
            }
            return AgentPassOutcome::kGoOn;
        }
        // Taken up before the capture, so that a failed request is not retried; a newer request
        // makes an answer still unsent pointless.
        state.lastHandledID = request->id;
        state.unsentAnswer.reset();
        const auto failure = guardedCapture(*request, platform);
        if (failure) {
            reportAll(state,
                      state.log.requestFailed(request->id, *failure, AgentLog::Clock::now()));
        }
        AgentAnswer answer{
            .id = request->id,
            .ok = !failure,
            .detail = failure ? std::optional<std::string>(failure->message) : std::nullopt,
        };
        if (!writeAnswer(state, answer)) {
            state.unsentAnswer = std::move(answer);
        }
    } catch (...) {
        // Only allocation can fail here; the next pass starts afresh.
    }
    return AgentPassOutcome::kGoOn;
}

void runAgent(const Platform& platform) {
    AgentState state = agentState(requestFilePath(), responseFilePath());
    state.describeWindowSystem = [&platform] { return platform.openWindowSystem().description; };
    // The poll still runs, for file systems that tell of no changes; a request written where
    // they do is taken up at once, and a file they tell nothing of is not read again.
    FolderWatch watch(state.requestFile.has_parent_path() ? state.requestFile.parent_path() : ".",
                      state.requestFile.filename().string());
    const auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(kAgentPollIntervalSeconds));
    for (;;) {
        state.notices.delivered = watch.watching();
        if (runAgentPass(state, platform) == AgentPassOutcome::kAnotherAgentServesTheFolder) {
            std::exit(exitCodes::kAnotherAgent);
        }
        state.notices.sinceLastRead = watch.waitForChange(interval);
    }
}

}  // namespace tarnwick
