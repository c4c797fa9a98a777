#include "TarnwickScreenCapture/agent/AgentLog.hpp"

#include "TarnwickScreenCapture/text/ShellQuoting.hpp"
#include "TarnwickScreenCapture/text/UnicodeText.hpp"

namespace tarnwick {
namespace {

// What a client wrote (an id, an output path in a cause, its file's bytes in a reason) is
// escaped, so that it cannot act on a terminal or forge a line, and shortened, so that every
// line stays one short write.
constexpr std::size_t kLongestId = 200;
constexpr std::size_t kLongestText = 400;

// The code ties the line to the response's fixed detail; the cause says what really happened.
std::string failureText(const CaptureFailure& failure) {
    return "(code " + std::to_string(failure.exitCode) + "): " +
           escapedForTerminal(failure.cause.empty() ? failure.message : failure.cause,
                              kLongestText);
}

}  // namespace

std::string requestFailedLine(const std::string& id, const CaptureFailure& failure) {
    return "request \"" + escapedForTerminal(id, kLongestId) + "\" failed " + failureText(failure);
}

std::vector<std::string> AgentLog::requestFailed(const std::string& id,
                                                 const CaptureFailure& failure,
                                                 Clock::time_point now) {
    const std::string text = failureText(failure);
    return say(text, requestFailedLine(id, failure),
               Repeats{.said = now,
                       .one = " more request failed the same way in the last minute " + text,
                       .more = " more requests failed the same way in the last minute " + text});
}

std::vector<std::string> AgentLog::fileIsNoRequest(const std::string& file,
                                                   const std::string& reason,
                                                   Clock::time_point now) {
    // Only the same reason is counted: each other one is a line of its own.
    const std::string shown = escapedForTerminal(reason, kLongestText);
    return say("no request: " + shown,
               "the request file " + quotedForShell(file) + " is no request: " + shown,
               Repeats{.said = now,
                       .one = " more version of the request file was no request in the last "
                              "minute: " +
                              shown,
                       .more = " more versions of the request file were no request in the last "
                               "minute: " +
                               shown});
}

std::vector<std::string> AgentLog::say(const std::string& kind, std::string line, Repeats repeats) {
    auto lines = tell(repeats.said);
    if (const auto found = repeats_.find(kind); found != repeats_.end()) {
        ++found->second.count;
        return lines;
    }
    lines.push_back(std::move(line));
    repeats_.emplace(kind, std::move(repeats));
    return lines;
}

std::vector<std::string> AgentLog::tell(Clock::time_point now) {
    std::vector<std::string> lines;
    for (auto it = repeats_.begin(); it != repeats_.end();) {
        if (now - it->second.said < kRepeatWindow) {
            ++it;
            continue;
        }
        const auto count = it->second.count;
        if (count > 0) {
            lines.push_back(std::to_string(count) +
                            (count == 1 ? it->second.one : it->second.more));
        }
        it = repeats_.erase(it);
    }
    return lines;
}

}  // namespace tarnwick
