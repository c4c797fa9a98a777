#include "TarnwickScreenCapture/agent/AgentLog.hpp"

#include "TarnwickScreenCapture/text/ShellQuoting.hpp"
#include "TarnwickScreenCapture/text/UnicodeText.hpp"

namespace tarnwick {
namespace {

// The code ties the line to the response's fixed detail; the cause says what really happened.
std::string failureText(const CaptureFailure& failure) {
    return "(code " + std::to_string(failure.exitCode) +
           "): " + (failure.cause.empty() ? failure.message : failure.cause);
}

// A reason that may quote the file's own bytes: escaped, and short enough for one line.
std::string shown(const std::string& reason) {
    constexpr std::size_t kLongest = 300;
    std::string cut = reason.substr(0, kLongest);
    while (cut.size() < reason.size() && !cut.empty() &&
           (static_cast<unsigned char>(reason[cut.size()]) & 0xC0) == 0x80) {
        cut.pop_back();  // not in the middle of a character
    }
    const std::string quoted = quotedForTerminal(cut);
    return quoted.substr(1, quoted.size() - 2) + (cut.size() < reason.size() ? "..." : "");
}

}  // namespace

std::string requestFailedLine(const std::string& id, const CaptureFailure& failure) {
    // The id is a client's text: quoted and escaped, so that it cannot act on a terminal.
    return "request " + quotedForTerminal(id) + " failed " + failureText(failure);
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
    // Whatever was wrong with it: a file rewritten in place may be caught half written each time.
    return say("no request",
               "the request file " + quotedForShell(file) + " is no request: " + shown(reason),
               Repeats{.said = now,
                       .one = " more version of the request file was no request in the last "
                              "minute",
                       .more = " more versions of the request file were no request in the last "
                               "minute"});
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
