#include <gtest/gtest.h>

#include "TarnwickScreenCapture/cli/TerminalHints.hpp"

namespace tarnwick {
namespace {

std::string noteFor(std::vector<std::string> rest) {
    rest.insert(rest.begin(), "TarnwickScreenCapture");
    return argumentHintLine(rest).value_or("(none)");
}

TEST(ArgumentHint, ArgumentsThatReadAsMeantGetNoNote) {
    for (const auto& rest :
         std::vector<std::vector<std::string>>{{"shot.jpg"},
                                               {"shot.jpg", "0.8"},
                                               {"shot.jpg", "0.2", "1280", "DeskTop"},
                                               {"/tmp/a b.jpg", "0.95", "0", "tavik"}}) {
        EXPECT_EQ(noteFor(rest), "(none)") << rest.front();
    }
}

TEST(ArgumentHint, SwappedArgumentsSayHowTheyWereTakenAndWhatWasMeant) {
    EXPECT_EQ(noteFor({"0.8", "shot.jpg"}),
              "note: 0.8 is taken as the output file; shot.jpg is no quality, so 0.55 is used; "
              "did you mean `TarnwickScreenCapture shot.jpg 0.8`?");
    EXPECT_EQ(noteFor({"desktop", "out.jpg"}),
              "note: desktop is taken as the output file; out.jpg is no quality, so 0.55 is "
              "used; did you mean `TarnwickScreenCapture out.jpg 0.55 0 desktop`?");
    EXPECT_EQ(noteFor({"shot.jpg", "desktop"}),
              "note: desktop is no quality, so 0.55 is used; the window is captured, not the "
              "desktop (the target comes fourth); did you mean `TarnwickScreenCapture shot.jpg "
              "0.55 0 desktop`?");
    EXPECT_EQ(noteFor({"0.8"}),
              "note: 0.8 is taken as the output file; did you mean "
              "`TarnwickScreenCapture shot.jpg 0.8`?");
}

TEST(ArgumentHint, QualitiesOutOfRangeOrMistypedSayWhatIsUsed) {
    EXPECT_EQ(noteFor({"shot.jpg", "80", "1280"}),
              "note: quality 80 is taken as 0.95; did you mean `TarnwickScreenCapture shot.jpg "
              "0.8 1280`?");
    EXPECT_EQ(noteFor({"shot.jpg", "0,8"}),
              "note: 0,8 is no quality, so 0.55 is used; did you mean `TarnwickScreenCapture "
              "shot.jpg 0.8`?");
    // Nothing better to suggest: the clamped value is all there is.
    EXPECT_EQ(noteFor({"shot.jpg", "1"}), "note: quality 1 is taken as 0.95");
    EXPECT_EQ(noteFor({"shot.jpg", "nan"}), "note: quality nan is taken as 0.2");
}

TEST(ArgumentHint, OptionLikeWordsAreOutputFilesAndMistypedSwitchesAreNamed) {
    EXPECT_EQ(noteFor({"--halp"}),
              "note: --halp is taken as the output file; did you mean "
              "`TarnwickScreenCapture --help`?");
    EXPECT_EQ(noteFor({"-v"}),
              "note: -v is taken as the output file; did you mean "
              "`TarnwickScreenCapture --version`?");
    EXPECT_EQ(noteFor({"--list"}).substr(noteFor({"--list"}).find("did")),
              "did you mean `TarnwickScreenCapture --list-windows`?");
    EXPECT_EQ(noteFor({"-q", "80"}),
              "note: -q is taken as the output file; quality 80 is taken as 0.95; did you mean "
              "`TarnwickScreenCapture shot.jpg 0.8`?");
}

TEST(ArgumentHint, WidthTargetAndExtraArguments) {
    EXPECT_EQ(noteFor({"a.jpg", "0.8", "1280px", "screen", "x", "y"}),
              "note: 1280px is no whole number, so the width has no limit; screen is taken as "
              "tavik (only desktop means the whole desktop); x y are ignored (at most four "
              "arguments)");
    EXPECT_EQ(noteFor({"a.jpg", "0.8", "-5"}), "note: width -5 is taken as 0, no limit");
}

TEST(ArgumentHint, WhatTheUserTypedCannotActOnTheTerminal) {
    const std::string note = noteFor({"a.jpg", "0.8", "0", "\x1b]0;owned\x07\nforged"});
    EXPECT_EQ(note.find_first_of("\x1b\x07\n"), std::string::npos) << note;
    EXPECT_NE(note.find("\"\\x1B]0;owned\\x07\\nforged\" is taken as tavik"), std::string::npos)
        << note;
    EXPECT_NE(noteFor({"0.8", "my shot.jpg"}).find("`TarnwickScreenCapture 'my shot.jpg' 0.8`"),
              std::string::npos);
}

TEST(FailureHint, CauseOnOneLineAndDoctorWhereItCanTell) {
    EXPECT_EQ(failureHintLine(failures::kListWindowsFailed.because("DISPLAY is not set")),
              "cause: DISPLAY is not set; run `TarnwickScreenCapture --doctor`");
    EXPECT_EQ(failureHintLine(failures::kCreateDestinationFailed.because(
                  "cannot open '/x/y.jpg' for writing: No such file or directory\n")),
              "cause: cannot open '/x/y.jpg' for writing: No such file or directory\\n");
    EXPECT_EQ(failureHintLine(failures::kCaptureFailed),
              "run `TarnwickScreenCapture --doctor` to see why");
    EXPECT_EQ(usageHintLine("/home/me/r.json"),
              "no output file was given, and /home/me/r.json holds no request; "
              "`TarnwickScreenCapture --help` shows the arguments");
}

}  // namespace
}  // namespace tarnwick
