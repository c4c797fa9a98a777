#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/capture/CaptureFailure.hpp"

namespace tarnwick {

// What the agent says on standard error (the journal, under the user service) about requests
// that fail and request files that are no request: one line each, with the request's id and
// the cause. The same thing again within a minute of its line is counted, not repeated: a client
// that retries in a loop, or rewrites the file in place, fills no journal; the count is said once
// that minute is over. The methods give the lines to write now.
class AgentLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kRepeatWindow{60};

    std::vector<std::string> requestFailed(const std::string& id, const CaptureFailure& failure,
                                           Clock::time_point now);
    std::vector<std::string> fileIsNoRequest(const std::string& file, const std::string& reason,
                                             Clock::time_point now);

    // How often each thing whose minute is over came again since its line, if at all.
    std::vector<std::string> tell(Clock::time_point now);

private:
    struct Repeats {
        Clock::time_point said;  // when its last line was written
        std::size_t count = 0;   // how often it came since, unsaid
        std::string one;         // the count line's words after the number, for one and more
        std::string more;
    };

    std::vector<std::string> say(const std::string& kind, std::string line, Repeats repeats);

    std::map<std::string, Repeats> repeats_;  // by kind: what failed and why
};

// The line for a failed request: request "ID" failed (code N): CAUSE.
std::string requestFailedLine(const std::string& id, const CaptureFailure& failure);

}  // namespace tarnwick
