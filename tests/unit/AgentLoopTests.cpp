#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/AgentLoop.hpp"
#include "TarnwickScreenCapture/Error.hpp"
#include "TemporaryFolder.hpp"

namespace tarnwick {
namespace {

// An agent over a temporary folder and a fake platform whose captures are counted by the JPEG
// destinations they open.
class AgentPassTest : public ::testing::Test {
protected:
    AgentPassTest() {
        platform_.copyWindowInfo = [](std::uint32_t, CGWindowID) {
            return std::optional<nlohmann::json>(nlohmann::json::array());
        };
        platform_.createWindowListImage = [this](std::uint32_t, CGWindowID,
                                                 std::uint32_t) -> ImageRef {
            if (throwFromCapture_) {
                throwFromCapture_();
            }
            auto image = std::make_shared<Image>();
            image->width = 2;
            image->height = 2;
            image->bytesPerRow = 2 * kBytesPerPixel;
            image->pixels.assign(image->bytesPerRow * 2, 0xff);
            return image;
        };
        platform_.createJpegDestination =
            [this](const std::filesystem::path& output) -> std::optional<JpegDestination> {
            outputs_.push_back(output);
            if (!destinationOpens_) {
                return std::nullopt;
            }
            JpegDestination destination;
            destination.addImage = [](ImageRef, double) {};
            destination.finalize = [] { return true; };
            return destination;
        };
        platform_.temporaryDirectory = [this] { return folder_.path; };
        platform_.runProcess = [](const std::string&, const std::vector<std::string>&) {
            return std::optional<int>();
        };
        platform_.decodeImageFile = [](const std::filesystem::path&) { return ImageRef(); };
        platform_.removeFile = [](const std::filesystem::path&) {};
        platform_.newUUIDString = [] {
            return std::string("00000000-0000-4000-8000-000000000000");
        };
    }

    void request(const std::string& id, const std::string& target = "desktop",
                 const std::string& output = "/tmp/agent.jpg") {
        writeTestFile(requestFile_,
                      nlohmann::json{{"id", id}, {"target", target}, {"output", output}}.dump());
    }

    // Runs one pass and returns the response it wrote, if any.
    std::optional<nlohmann::json> pass() {
        std::filesystem::remove(responseFile_);
        runAgentPass(requestFile_, responseFile_, lastHandledID_, platform_);
        const auto text = readTestFile(responseFile_);
        if (!text) {
            return std::nullopt;
        }
        return nlohmann::json::parse(*text);
    }

    std::size_t captures() const { return outputs_.size(); }

    testing::TemporaryFolder folder_;
    std::filesystem::path requestFile_ = folder_ / "request.json";
    std::filesystem::path responseFile_ = folder_ / "response.json";
    std::string lastHandledID_;
    Platform platform_;
    std::vector<std::filesystem::path> outputs_;
    bool destinationOpens_ = true;
    std::function<void()> throwFromCapture_;
};

TEST_F(AgentPassTest, EachNewIdIsPerformedOnceAndAnsweredAsSuccess) {
    EXPECT_FALSE(pass().has_value()) << "no request file";

    request("A", "desktop", "/tmp/a.jpg");
    const auto response = pass();
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->size(), 3u) << *response;
    EXPECT_EQ((*response)["id"], "A");
    EXPECT_EQ((*response)["ok"], true);
    EXPECT_EQ(outputs_, (std::vector<std::filesystem::path>{"/tmp/a.jpg"}));
    EXPECT_EQ(lastHandledID_, "A");

    EXPECT_FALSE(pass().has_value()) << "the same file again";
    request("A", "desktop", "/tmp/other.jpg");
    EXPECT_FALSE(pass().has_value()) << "rewritten with the same id";
    EXPECT_EQ(captures(), 1u);

    // Only the last id is remembered: A, B, A are all performed.
    request("B");
    EXPECT_EQ((*pass())["id"], "B");
    request("A");
    EXPECT_EQ((*pass())["id"], "A");
    EXPECT_EQ(captures(), 3u);
}

TEST_F(AgentPassTest, AnEmptyIdWaitsUntilAnotherRequestWasTakenUp) {
    request("");
    EXPECT_FALSE(pass().has_value());
    EXPECT_EQ(captures(), 0u);

    request("B");
    ASSERT_TRUE(pass().has_value());
    request("");
    const auto response = pass();
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ((*response)["id"], "");
    EXPECT_EQ(captures(), 2u);
    EXPECT_FALSE(pass().has_value());
}

TEST_F(AgentPassTest, AFailureIsAnsweredWithItsMessageAndNotRetried) {
    destinationOpens_ = false;
    request("F");
    const auto response = pass();
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->size(), 4u) << *response;
    EXPECT_EQ((*response)["ok"], false);
    EXPECT_EQ((*response)["detail"], messages::kCreateDestinationFailed);
    EXPECT_FALSE(pass().has_value());
    EXPECT_FALSE(pass().has_value());
    EXPECT_EQ(captures(), 1u);
}

TEST_F(AgentPassTest, NoWindowOnScreenIsAnsweredAsNotFound) {
    request("W", "tavik");
    const auto response = pass();
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ((*response)["ok"], false);
    EXPECT_EQ((*response)["detail"], messages::kWindowNotFound);
    EXPECT_EQ(captures(), 0u);
}

TEST_F(AgentPassTest, AnUnexpectedExceptionBecomesAFailedCapture) {
    const std::vector<std::function<void()>> throwers = {
        [] { throw std::runtime_error("platform fault"); },
        [] { throw std::bad_alloc(); },
        [] { throw 7; },
    };
    int id = 0;
    for (const auto& thrower : throwers) {
        throwFromCapture_ = thrower;
        request("X" + std::to_string(++id));
        const auto response = pass();
        ASSERT_TRUE(response.has_value());
        EXPECT_EQ((*response)["ok"], false);
        EXPECT_EQ((*response)["detail"], messages::kCaptureFailed);
        EXPECT_FALSE(pass().has_value()) << "not retried";
    }
}

TEST_F(AgentPassTest, MalformedRequestsAreSkippedAndAnUnwritableResponseStillCounts) {
    lastHandledID_ = "before";
    for (const std::string text : {"", "{\"id\":\"M\"", "{\"id\":\"M\",\"output\":\"\"}", "[]"}) {
        writeTestFile(requestFile_, text);
        EXPECT_FALSE(pass().has_value()) << text;
        EXPECT_EQ(lastHandledID_, "before") << text;
    }

    responseFile_ = folder_ / "missing" / "response.json";
    request("U");
    EXPECT_FALSE(pass().has_value());
    EXPECT_EQ(lastHandledID_, "U");
    EXPECT_FALSE(std::filesystem::exists(folder_ / "missing"));
    EXPECT_FALSE(pass().has_value());
    EXPECT_EQ(captures(), 1u);
}

}  // namespace
}  // namespace tarnwick
