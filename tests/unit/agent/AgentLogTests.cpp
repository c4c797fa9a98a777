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

TEST(AgentLog, OnlyVersionsOfTheFileWithTheSameReasonAreCounted) {
    AgentLog log;
    const auto start = AgentLog::Clock::time_point();
    const std::string file = "the request file '/d/r.json' is no request: ";
    EXPECT_THAT(log.fileIsNoRequest("/d/r.json", "not JSON: \x1b[31m", start),
                ElementsAre(file + "not JSON: \\x1B[31m"));
    EXPECT_THAT(log.fileIsNoRequest("/d/r.json", "it has no 'output' string", start),
                ElementsAre(file + "it has no 'output' string"));
    EXPECT_THAT(log.fileIsNoRequest("/d/r.json", "the name 'id' stands twice in one object", start),
                ElementsAre(file + "the name 'id' stands twice in one object"));
    EXPECT_THAT(log.fileIsNoRequest("/d/r.json", "it has no 'output' string", start), IsEmpty());
    EXPECT_THAT(log.tell(start + seconds(60)),
                ElementsAre("1 more version of the request file was no request in the last "
                            "minute: it has no 'output' string"));
}

// What a client wrote can neither start a line of its own nor act on a terminal, and a huge id
// or output path still makes a short line that keeps the cause's end.
TEST(AgentLog, AClientsTextCannotForgeALineOrActOnATerminal) {
    const std::string forged =
        "/nonexistent/b\nrequest \"forged\" failed (code 2): "
        "FORGED\x1b[2J\x1b]0;T\a\u202e\u2028.jpg";
    const auto noFolder = failures::kCreateDestinationFailed.because(
        "cannot open '" + forged + "' for writing: No such file or directory");
    EXPECT_EQ(requestFailedLine("a\x1b[2J\nb", noFolder),
              "request \"a\\x1B[2J\\nb\" failed (code 3): cannot open '/nonexistent/b\\nrequest "
              "\\\"forged\\\" failed (code 2): FORGED\\x1B[2J\\x1B]0;T\\x07\\u{202E}\\u{2028}.jpg' "
              "for writing: No such file or directory");

    const std::string huge(1 << 20, 'x');
    const auto hugePath = failures::kCreateDestinationFailed.because(
        "cannot open '/" + huge + "' for writing: No such file or directory");
    const auto line = requestFailedLine(huge, hugePath);
    EXPECT_LT(line.size(), 1024u);
    EXPECT_THAT(line, ::testing::EndsWith("' for writing: No such file or directory"));
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace tarnwick
