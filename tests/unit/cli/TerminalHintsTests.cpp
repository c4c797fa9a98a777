#include <gtest/gtest.h>

#include "TarnwickScreenCapture/cli/TerminalHints.hpp"

namespace tarnwick {
namespace {

std::string noteFor(std::vector<std::string> rest) {
    rest.insert(rest.begin(), "TarnwickScreenCapture");
    return argumentHintLine(rest).value_or("(none)");
}

TEST(ArgumentHint, SaysHowMistypedArgumentsWereTakenAndWhatWasMeant) {
    const std::string meant = "; did you mean `TarnwickScreenCapture ";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"shot.jpg", "0.2", "1280", "DeskTop"}, "(none)"},
        {{"/tmp/a b.jpg", "0.95", "0", "tavik"}, "(none)"},
        {{"0.8", "shot.jpg"},
         "note: 0.8 is taken as the output file; shot.jpg is no quality, so "
         "0.55 is used" +
             meant + "shot.jpg 0.8`?"},
        {{"shot.jpg", "desktop"},
         "note: desktop is no quality, so 0.55 is used; the window is "
         "captured, not the desktop (the target comes fourth)" +
             meant + "shot.jpg 0.55 0 desktop`?"},
        {{"shot.jpg", "80", "1280"},
         "note: quality 80 is taken as 0.95" + meant + "shot.jpg 0.8 1280`?"},
        {{"shot.jpg", "0,8"},
         "note: 0,8 is no quality, so 0.55 is used" + meant + "shot.jpg 0.8`?"},
        // Nothing better to suggest than what was done.
        {{"shot.jpg", "nan"}, "note: quality nan is taken as 0.2"},
        {{"--halp"}, "note: --halp is taken as the output file" + meant + "--help`?"},
        {{"-v"}, "note: -v is taken as the output file" + meant + "--version`?"},
        {{"--doctor", "x"},
         "note: --doctor is taken as the output file (options stand alone); x "
         "is no quality, so 0.55 is used" +
             meant + "--doctor`?"},
        {{"-q", "80"},
         "note: -q is taken as the output file; quality 80 is taken as 0.95" + meant +
             "shot.jpg 0.8`?"},
        {{"a.jpg", "0.8", "1280px", "screen", "x", "y"},
         "note: 1280px is no whole number, so the width has no limit; screen is taken as tavik "
         "(only desktop means the whole desktop); x y are ignored (at most four arguments)"},
        {{"0.8", "my shot.jpg"},
         "note: 0.8 is taken as the output file; 'my shot.jpg' is no "
         "quality, so 0.55 is used" +
             meant + "'my shot.jpg' 0.8`?"},
        {{"a.jpg", "0.8", "0", "\x1b]0;owned\x07\nx"},
         "note: \"\\x1B]0;owned\\x07\\nx\" is taken as tavik (only desktop means the whole "
         "desktop)"},
    };
    for (const auto& [rest, expected] : cases) {
        EXPECT_EQ(noteFor(rest), expected) << rest.front();
    }
}

TEST(FailureHint, CauseOnOneLineAndDoctorWhereItCanTell) {
    EXPECT_EQ(failureHintLine(failures::kListWindowsFailed.because("DISPLAY is not set")),
              "cause: DISPLAY is not set; run `TarnwickScreenCapture --doctor`");
    EXPECT_EQ(failureHintLine(failures::kCreateDestinationFailed.because("no such folder\n")),
              "cause: no such folder\\n");
    EXPECT_EQ(failureHintLine(failures::kCaptureFailed),
              "run `TarnwickScreenCapture --doctor` to see why");
}

}  // namespace
}  // namespace tarnwick
