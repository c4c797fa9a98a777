#include <clocale>
#include <cmath>
#include <regex>

#include <gtest/gtest.h>

#include "TarnwickScreenCapture/capture/CaptureFailure.hpp"
#include "TarnwickScreenCapture/cli/CommandLine.hpp"

namespace tarnwick {
namespace {

CaptureRequest requestFrom(std::vector<std::string> rest) {
    rest.insert(rest.begin(), "TarnwickScreenCapture");
    const auto request = requestFromArguments(rest);
    EXPECT_TRUE(request.has_value());
    return request.value_or(CaptureRequest{});
}

double qualityOf(const std::string& text) {
    return requestFrom({"a.jpg", text}).quality;
}
std::int64_t widthOf(const std::string& text) {
    return requestFrom({"a.jpg", "0.5", text}).maxWidth;
}
CaptureTarget targetOf(const std::string& text) {
    return requestFrom({"a.jpg", "0.5", "0", text}).target;
}

TEST(RequestFromArguments, NoOutputPathIsNoRequest) {
    EXPECT_FALSE(requestFromArguments({"TarnwickScreenCapture"}).has_value());
    EXPECT_FALSE(requestFromArguments({}).has_value());
}

TEST(RequestFromArguments, OutputAloneTakesEveryDefault) {
    const auto request = requestFrom({"/tmp/shot.jpg"});
    EXPECT_EQ(request.output, "/tmp/shot.jpg");
    EXPECT_EQ(request.quality, 0.55);
    EXPECT_EQ(request.maxWidth, 0);
    EXPECT_EQ(request.target, CaptureTarget::kTavik);
    EXPECT_TRUE(std::regex_match(request.id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-"
                                                        "[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << request.id;
}

TEST(RequestFromArguments, EachCallHasAFreshId) {
    const auto first = requestFrom({"a.jpg", "0.7", "640", "desktop"});
    const auto second = requestFrom({"a.jpg", "0.7", "640", "desktop"});
    EXPECT_NE(first.id, second.id);
    EXPECT_EQ(first.output, second.output);
    EXPECT_EQ(first.quality, second.quality);
    EXPECT_EQ(first.maxWidth, second.maxWidth);
    EXPECT_EQ(first.target, second.target);
}

TEST(RequestFromArguments, RelativeOutputIsTakenAgainstWorkingDirectoryAndTildeIsLiteral) {
    const auto request = requestFrom({"~/shot.jpg"});
    EXPECT_EQ(request.output, std::filesystem::current_path() / "~/shot.jpg");
    EXPECT_TRUE(requestFrom({""}).output.empty());
}

TEST(RequestFromArguments, QualityIsWholeElementStrtodSyntaxThenClamped) {
    EXPECT_EQ(qualityOf("0.5"), 0.5);
    EXPECT_EQ(qualityOf("0"), 0.2);
    EXPECT_EQ(qualityOf("1"), 0.95);
    EXPECT_EQ(qualityOf("-3"), 0.2);
    EXPECT_EQ(qualityOf("+.8"), 0.8);
    EXPECT_EQ(qualityOf("8e-1"), 0.8);
    EXPECT_EQ(qualityOf("0x1p-1"), 0.5);  // hexadecimal floating point
    EXPECT_EQ(qualityOf("nan"), 0.2);
    EXPECT_EQ(qualityOf("NaN"), 0.2);
    EXPECT_EQ(qualityOf("inf"), 0.95);
    EXPECT_EQ(qualityOf("-Infinity"), 0.2);
    for (const char* unparsable : {" 0.5", "0.5 ", "0.5x", "", "0,5", "x", "0.5\n"}) {
        EXPECT_EQ(qualityOf(unparsable), 0.55) << '"' << unparsable << '"';
    }
}

TEST(RequestFromArguments, QualityIgnoresTheProcessLocale) {
    // A locale with a decimal comma must not change what is accepted.
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr &&
        std::setlocale(LC_ALL, "fr_FR.UTF-8") == nullptr) {
        GTEST_SKIP() << "no locale with a decimal comma installed";
    }
    EXPECT_EQ(qualityOf("0.5"), 0.5);
    EXPECT_EQ(qualityOf("0,5"), 0.55);
    std::setlocale(LC_ALL, "C");
}

TEST(RequestFromArguments, WidthIsWholeElementBaseTenWithin64Bits) {
    EXPECT_EQ(widthOf("640"), 640);
    EXPECT_EQ(widthOf("+640"), 640);
    EXPECT_EQ(widthOf("-100"), 0);
    EXPECT_EQ(widthOf("0012"), 12);
    EXPECT_EQ(widthOf("9223372036854775807"), 9223372036854775807);
    EXPECT_EQ(widthOf("-9223372036854775808"), 0);
    for (const char* unparsable :
         {"12.5", "1e3", "9223372036854775808", "", "+", "-", " 640", "640 ", "0x10", "+-5", "٣"}) {
        EXPECT_EQ(widthOf(unparsable), 0) << '"' << unparsable << '"';
    }
}

TEST(RequestFromArguments, TargetIsDesktopOnlyWhenItsLowerCaseIsDesktop) {
    EXPECT_EQ(targetOf("desktop"), CaptureTarget::kDesktop);
    EXPECT_EQ(targetOf("DESKTOP"), CaptureTarget::kDesktop);
    EXPECT_EQ(targetOf("DeskTop"), CaptureTarget::kDesktop);
    EXPECT_EQ(targetOf("DES\u212ATOP"), CaptureTarget::kDesktop);  // KELVIN SIGN lower-cases to 'k'
    for (const char* other : {"tavik", "desktop ", " desktop", "", "desk", "screen"}) {
        EXPECT_EQ(targetOf(other), CaptureTarget::kTavik) << '"' << other << '"';
    }
    EXPECT_EQ(requestFrom({"a.jpg", "0.5", "0", "desktop", "extra", "more"}).target,
              CaptureTarget::kDesktop);
}

TEST(RequestFromArguments, PlaceholdersThatDoNotParseTakeTheirDefaults) {
    const auto request = requestFrom({"a.jpg", "x", "y", "desktop"});
    EXPECT_EQ(request.quality, 0.55);
    EXPECT_EQ(request.maxWidth, 0);
    EXPECT_EQ(request.target, CaptureTarget::kDesktop);
}

TEST(RequestFromArguments, ExtremeNumbersSaturateAndAreClamped) {
    // strtod saturates, and the clamps apply.
    const std::vector<std::pair<std::string, double>> qualities = {{"1e400", 0.95},
                                                                   {"-1e400", 0.2},
                                                                   {"-0", 0.2},
                                                                   {"1e-400", 0.2},
                                                                   {"9223372036854775808", 0.95}};
    for (const auto& [given, expected] : qualities) {
        EXPECT_EQ(requestFromArguments({"p", "a.jpg", given})->quality, expected) << given;
    }
    EXPECT_EQ(requestFromArguments({"p", "a.jpg", "0.5", "-0"})->maxWidth, 0);
    EXPECT_EQ(requestFromArguments({"p", "a.jpg", "0.5", "-9223372036854775808"})->maxWidth, 0);
}

TEST(RequestFromArguments, ControlCharactersInTheOutputAreAnOrdinaryFileName) {
    const std::string name =
        "a\x01\t\n\x1f\x7f"
        "b.jpg";
    const auto fromArguments = requestFromArguments({"prog", "/tmp/" + name});
    ASSERT_TRUE(fromArguments.has_value());
    EXPECT_EQ(fromArguments->output.native(), "/tmp/" + name);
}

}  // namespace
}  // namespace tarnwick
