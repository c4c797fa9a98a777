#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TarnwickScreenCapture/agent/AgentLog.hpp"

namespace tarnwick {
namespace {

using std::chrono::seconds;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const CaptureFailure kNoFolder =
    failures::kCreateDestinationFailed.because("cannot open '/x/y.jpg' for writing: No such file");

TEST(AgentLog, AFailureRepeatedWithinAMinuteIsCountedAndTheCountSaidWhenTheMinuteIsOver) {
    AgentLog log;
    const auto start = AgentLog::Clock::time_point();
    EXPECT_THAT(log.requestFailed("id-1", kNoFolder, start),
                ElementsAre("request \"id-1\" failed (code 3): cannot open '/x/y.jpg' for "
                            "writing: No such file"));
    for (int i = 2; i <= 50; ++i) {
        EXPECT_THAT(log.requestFailed("id-" + std::to_string(i), kNoFolder, start + seconds(i)),
                    IsEmpty());
    }
    // Another cause is said at once, and the first one's count once its minute is over.
    EXPECT_THAT(log.requestFailed("other", failures::kWindowNotFound, start + seconds(59)),
                ElementsAre("request \"other\" failed (code 5): Tavik or Brevant window was "
                            "not found on screen."));
    EXPECT_THAT(log.tell(start + seconds(60)),
                ElementsAre("49 more requests failed the same way in the last minute (code 3): "
                            "cannot open '/x/y.jpg' for writing: No such file"));
    EXPECT_THAT(log.tell(start + seconds(61)), IsEmpty());
    // Past its minute a failure has a line of its own again.
    EXPECT_THAT(log.requestFailed("id-51", kNoFolder, start + seconds(62)),
                ElementsAre(::testing::StartsWith("request \"id-51\" failed (code 3): ")));
}

TEST(AgentLog, VersionsOfAFileThatIsNoRequestAreCountedWhateverTheirReason) {
    AgentLog log;
    const auto start = AgentLog::Clock::time_point();
    EXPECT_THAT(log.fileIsNoRequest("/d/r.json", "not JSON: \x1b[31m", start),
                ElementsAre("the request file '/d/r.json' is no request: not JSON: \\x1B[31m"));
    EXPECT_THAT(log.fileIsNoRequest("/d/r.json", "it has no 'output' string", start), IsEmpty());
    EXPECT_THAT(log.tell(start + seconds(60)),
                ElementsAre("1 more version of the request file was no request in the last "
                            "minute"));
}

TEST(AgentLog, AClientsIdCannotActOnATerminal) {
    EXPECT_EQ(requestFailedLine("a\x1b[2J\nb", failures::kWindowNotFound),
              "request \"a\\x1B[2J\\nb\" failed (code 5): Tavik or Brevant window was not "
              "found on screen.");
}

}  // namespace
}  // namespace tarnwick
