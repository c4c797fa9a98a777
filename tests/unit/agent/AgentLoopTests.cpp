#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/agent/AgentLoop.hpp"
#include "TarnwickScreenCapture/capture/CaptureFailure.hpp"
#include "TarnwickScreenCapture/posix/Clock.hpp"
#include "TarnwickScreenCapture/posix/Users.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

// This user's agent, its lines kept, and whether a group holds only this user as `groupIsPrivate`
// says (the user database when unset).
Agent testAgent(std::filesystem::path requestFile, std::filesystem::path responseFile,
                std::vector<std::string>& reported, const std::optional<bool>& groupIsPrivate,
                std::function<std::string()> describeWindowSystem = {}) {
    auto settings = agentSettings(std::move(requestFile), std::move(responseFile));
    settings.report = [&reported](const std::string& line) { reported.push_back(line); };
    settings.trust.groupHoldsOnlyUser = [&groupIsPrivate,
                                         user = settings.trust.user](std::uint32_t group) {
        return groupIsPrivate ? *groupIsPrivate : groupHoldsOnlyUser(group, user);
    };
    settings.describeWindowSystem = std::move(describeWindowSystem);
    return Agent(std::move(settings));
}

// An agent over a temporary folder and a fake platform whose captures are counted by the JPEG
// destinations they open.
class AgentPassTest : public ::testing::Test {
protected:
    AgentPassTest() {
        platform_.openWindowSystem = [this] {
            WindowSystem system;
            system.windows = [] {
                return OrUnavailable<std::vector<WindowDescription>>(std::in_place_index<0>);
            };
            system.desktopImage = [this]() -> OrUnavailable<SharedImage> {
                if (duringCapture_) {
                    duringCapture_();
                }
                auto image = std::make_shared<Image>();
                image->width = 2;
                image->height = 2;
                image->bytesPerRow = 2 * kBytesPerPixel;
                image->pixels.assign(image->bytesPerRow * 2, 0xff);
                return image;
            };
            system.windowImage = [](const WindowDescription&) -> OrUnavailable<SharedImage> {
                return Unavailable{"no windows here"};
            };
            return system;
        };
        platform_.writeJpeg = [this](const std::filesystem::path& output, const SharedImage&,
                                     double) {
            outputs_.push_back(output);
            return destinationOpens_
                       ? JpegWriteOutcome{JpegWriteResult::kWritten, {}}
                       : JpegWriteOutcome{JpegWriteResult::kOutputUnavailable, "no folder"};
        };
        platform_.screenshotTool = [](std::optional<WindowId>) { return SharedImage(); };
    }

    void request(const std::string& id, const std::string& target = "desktop",
                 const std::string& output = "/tmp/agent.jpg") {
        writeTestFile(requestFile_,
                      nlohmann::json{{"id", id}, {"target", target}, {"output", output}}.dump());
    }

    // Runs one pass and returns the response it wrote, if any.
    std::optional<nlohmann::json> pass() {
        std::filesystem::remove(responseFile_);
        EXPECT_EQ(agent_.runPass(platform_, notices_), AgentPassOutcome::kGoOn);
        const auto text = readTestFile(responseFile_);
        if (!text) {
            return std::nullopt;
        }
        return nlohmann::json::parse(*text);
    }

    std::size_t captures() const { return outputs_.size(); }

    // The agent of another folder, with its request and response files in it.
    void serve(const std::filesystem::path& folder,
               std::function<std::string()> describeWindowSystem = {}) {
        responseFile_ = folder / "response.json";
        agent_ = testAgent(folder / "request.json", responseFile_, reported_, groupIsPrivate_,
                           std::move(describeWindowSystem));
    }

    testing::TemporaryFolder folder_;
    std::filesystem::path requestFile_ = folder_ / "request.json";
    std::filesystem::path responseFile_ = folder_ / "response.json";
    std::vector<std::string> reported_;
    std::optional<bool> groupIsPrivate_;
    Agent agent_ = testAgent(requestFile_, responseFile_, reported_, groupIsPrivate_);
    ChangeNotices notices_;
    Platform platform_;
    std::vector<std::filesystem::path> outputs_;
    bool destinationOpens_ = true;
    std::function<void()> duringCapture_;
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
    EXPECT_EQ(agent_.lastHandledID(), "A");

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
        duringCapture_ = thrower;
        request("X" + std::to_string(++id));
        const auto response = pass();
        ASSERT_TRUE(response.has_value());
        EXPECT_EQ((*response)["ok"], false);
        EXPECT_EQ((*response)["detail"], messages::kCaptureFailed);
        EXPECT_FALSE(pass().has_value()) << "not retried";
    }
}

// A folder replaced while a request is performed: the answer goes where the request came from.
TEST_F(AgentPassTest, TheAnswerGoesIntoTheFolderTheRequestCameFrom) {
    const auto data = folder_ / "data";
    std::filesystem::create_directory(data);
    std::filesystem::permissions(data, std::filesystem::perms::owner_all);
    serve(data);
    writeTestFile(data / "request.json", R"({"id":"R","output":"/tmp/r.jpg","target":"desktop"})");
    duringCapture_ = [&] {
        std::filesystem::rename(data, folder_ / "moved");
        std::filesystem::create_directory(data);
    };
    EXPECT_EQ(agent_.runPass(platform_), AgentPassOutcome::kGoOn);
    EXPECT_FALSE(std::filesystem::exists(data / "response.json"));
    const auto answered = readTestFile(folder_ / "moved" / "response.json");
    ASSERT_TRUE(answered.has_value());
    EXPECT_EQ(nlohmann::json::parse(*answered)["id"], "R");
}

// Hides /proc from this process alone, in a mount namespace of its own (and a user namespace
// where it is not privileged); false where the system allows neither.
bool hideProc() {
    const auto user = ::geteuid();
    const auto group = ::getegid();
    if (::unshare(CLONE_NEWNS) != 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return false;
        }
        // The same ids inside, so that the folder is still this user's.
        writeTestFile("/proc/self/setgroups", "deny");
        writeTestFile("/proc/self/uid_map",
                      std::to_string(user) + " " + std::to_string(user) + " 1");
        writeTestFile("/proc/self/gid_map",
                      std::to_string(group) + " " + std::to_string(group) + " 1");
    }
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("none", "/proc", "tmpfs", 0, nullptr) == 0 &&
           !std::filesystem::exists("/proc/self");
}

bool procCanBeHidden() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(hideProc() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// Without /proc the folder has no path of its own: the answer still goes where the request came
// from, never through a symbolic link put in the folder's place.
TEST_F(AgentPassTest, WithoutProcTheAnswerNeverFollowsALinkPutInTheFoldersPlace) {
    if (!procCanBeHidden()) {
        GTEST_SKIP() << "no mount namespace for this user";
    }
    const auto data = folder_ / "data";
    const auto elsewhere = folder_ / "elsewhere";
    for (const auto& folder : {data, elsewhere}) {
        std::filesystem::create_directory(folder);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    }
    writeTestFile(data / "request.json", R"({"id":"P","output":"/tmp/p.jpg","target":"desktop"})");
    duringCapture_ = [&] {
        std::filesystem::rename(data, folder_ / "moved");
        std::filesystem::create_directory_symlink(elsewhere, data);
    };
    EXPECT_EXIT(
        {
            hideProc();
            serve(data);
            agent_.runPass(platform_);
            const auto answered = readTestFile(folder_ / "moved" / "response.json");
            // Without atexit work: the leak checker needs the /proc hidden here.
            ::_exit(answered && nlohmann::json::parse(*answered)["id"] == "P" &&
                            std::filesystem::is_empty(elsewhere)
                        ? 0
                        : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(AgentPassTest, AFailureAndAFileThatIsNoRequestAreSaidOnceWithTheirCause) {
    destinationOpens_ = false;
    request("F");
    pass();
    EXPECT_EQ(reported_, (std::vector<std::string>{"request \"F\" failed (code 3): no folder"}));

    reported_.clear();
    writeTestFile(requestFile_, R"({"id":"G"})");
    pass();
    pass();
    writeTestFile(requestFile_, R"({"id":"G","output":)");
    pass();
    // Another version for a reason already said within a minute is counted (see AgentLog).
    writeTestFile(requestFile_, R"({"id":"H"})");
    pass();
    const std::string noRequest =
        "the request file '" + requestFile_.native() + "' is no request: ";
    EXPECT_THAT(reported_, ElementsAre(noRequest + "it has no 'output' string",
                                       StartsWith(noRequest + "not JSON: ")));
}

TEST_F(AgentPassTest, MalformedRequestsAreSkipped) {
    request("before");
    ASSERT_TRUE(pass().has_value());
    for (const std::string text : {"", "{\"id\":\"M\"", "{\"id\":\"M\",\"output\":\"\"}", "[]"}) {
        writeTestFile(requestFile_, text);
        EXPECT_FALSE(pass().has_value()) << text;
        EXPECT_EQ(agent_.lastHandledID(), "before") << text;
    }
}

TEST_F(AgentPassTest, AnUnwritableAnswerIsWrittenLaterUnlessANewerRequestCame) {
    const auto blocked = [this] {
        std::filesystem::create_directories(responseFile_ / "in-the-way");
        EXPECT_EQ(agent_.runPass(platform_), AgentPassOutcome::kGoOn);
    };
    request("U");
    blocked();
    blocked();
    EXPECT_EQ(captures(), 1u) << "performed once, not again while unanswered";
    std::filesystem::remove_all(responseFile_);
    EXPECT_EQ(pass().value()["id"], "U");
    EXPECT_FALSE(pass().has_value()) << "written once";

    request("V");
    blocked();
    request("W");
    blocked();
    std::filesystem::remove_all(responseFile_);
    EXPECT_EQ(pass().value()["id"], "W");
    EXPECT_FALSE(pass().has_value()) << "V was superseded";
    EXPECT_EQ(captures(), 3u);
}

TEST_F(AgentPassTest, UntrustedFolderOrFileIsRefusedWithOneLineWhenThatBegins) {
    request("A");
    std::filesystem::permissions(folder_.path, std::filesystem::perms::all);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(pass().has_value());
    }
    ASSERT_EQ(reported_.size(), 1u);
    EXPECT_EQ(reported_[0], "ignoring requests: all users can write '" + folder_.path.native() +
                                "'; run: chmod go-w '" + folder_.path.native() + "'");

    // Group-writable is fine only while the group holds no one else.
    groupIsPrivate_ = false;
    std::filesystem::permissions(
        folder_.path, std::filesystem::perms::owner_all | std::filesystem::perms::group_all);
    EXPECT_FALSE(pass().has_value());
    ASSERT_EQ(reported_.size(), 2u) << "a new reason";
    EXPECT_NE(reported_[1].find("which has other members"), std::string::npos) << reported_[1];
    groupIsPrivate_ = true;
    EXPECT_EQ(pass().value()["id"], "A");
    ASSERT_EQ(reported_.size(), 3u) << "the end of the refusal";
    EXPECT_EQ(reported_[2], "answering requests in " + folder_.path.native());

    // A symbolic link is refused even to a good request, and reported again after good times.
    writeTestFile(folder_ / "real.json", R"({"id":"L","output":"/tmp/l.jpg"})");
    std::filesystem::remove(requestFile_);
    std::filesystem::create_symlink("real.json", requestFile_);
    EXPECT_FALSE(pass().has_value());
    EXPECT_FALSE(pass().has_value());
    ASSERT_EQ(reported_.size(), 4u);
    EXPECT_NE(reported_[3].find("is a symbolic link"), std::string::npos) << reported_[3];
    EXPECT_EQ(captures(), 1u);
}

TEST_F(AgentPassTest, AMissingFolderIsReportedOnceUntilItIsUsable) {
    const auto data = folder_ / "data";
    serve(data);
    const auto passes = [this](int count) {
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(agent_.runPass(platform_), AgentPassOutcome::kGoOn);
        }
    };
    const std::string quoted = "'" + data.native() + "'";  // no quote in the name
    const std::vector<std::string> missing = {
        "waiting for " + quoted + " to exist; run: mkdir -p " + quoted + " && chmod 700 " + quoted};
    passes(3);
    EXPECT_EQ(reported_, missing);

    std::filesystem::create_directory(data);
    std::filesystem::permissions(data, std::filesystem::perms::owner_all);
    passes(3);
    ASSERT_EQ(reported_.size(), 2u);
    EXPECT_EQ(reported_[1], "answering requests in " + data.native());

    std::filesystem::remove(data);
    writeTestFile(data, "a file where the folder belongs");
    passes(2);
    ASSERT_EQ(reported_.size(), 3u);
    EXPECT_EQ(reported_[2], "waiting for " + quoted + " to become a folder this user can open");
    std::filesystem::remove(data);
    passes(1);
    EXPECT_EQ(reported_.back(), missing[0]);
}

TEST_F(AgentPassTest, TheServingLineComesOnceTheFolderIsHeldAndNeverFromASecondAgent) {
    const auto data = folder_ / "data";
    const auto describe = [] { return std::string("a fake window system"); };
    serve(data, describe);
    EXPECT_EQ(agent_.runPass(platform_), AgentPassOutcome::kGoOn);
    EXPECT_EQ(reported_.size(), 1u);
    EXPECT_EQ(reported_[0].rfind("waiting for ", 0), 0u) << reported_[0];

    std::filesystem::create_directory(data);
    std::filesystem::permissions(data, std::filesystem::perms::owner_all);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(agent_.runPass(platform_), AgentPassOutcome::kGoOn);
    }
    const std::string serving = "serving " + data.native() + " with a fake window system";
    ASSERT_EQ(reported_.size(), 2u);
    EXPECT_EQ(reported_[1], serving);

    std::vector<std::string> secondReported;
    Agent second = testAgent(data / "request.json", data / "response.json", secondReported,
                             groupIsPrivate_, describe);
    EXPECT_EQ(second.runPass(platform_), AgentPassOutcome::kAnotherAgentServesTheFolder);
    EXPECT_EQ(secondReported, (std::vector<std::string>{"another agent already serves " +
                                                        data.native() + "; this one ends"}));
}

// The line's command is for pasting into a shell: it must make the folder whatever its name holds.
TEST_F(AgentPassTest, TheMissingFolderHintWorksWhenPastedForAnyName) {
    for (const std::string name : {"it's", "a b", "$(touch x)", "\\'\"`"}) {
        const auto data = folder_ / name / "data";
        serve(data);
        reported_.clear();
        EXPECT_EQ(agent_.runPass(platform_), AgentPassOutcome::kGoOn);
        ASSERT_EQ(reported_.size(), 1u) << name;
        const auto command = reported_[0].substr(reported_[0].find("run: ") + 5);
        EXPECT_EQ(std::system(("cd " + folder_.path.string() + " && " + command).c_str()), 0)
            << command;
        EXPECT_TRUE(std::filesystem::is_directory(data)) << command;
        EXPECT_FALSE(std::filesystem::exists(folder_ / "x")) << command;
        reported_.clear();
        EXPECT_EQ(agent_.runPass(platform_), AgentPassOutcome::kGoOn);
        EXPECT_EQ(reported_, (std::vector<std::string>{"answering requests in " + data.native()}));
    }
}

TEST(TrustRules, OwnerAndWhoElseMayWrite) {
    const Trust trust{.user = 1000,
                      .groupHoldsOnlyUser = [](std::uint32_t group) { return group == 1000; }};
    const auto facts = [](std::uint32_t owner, std::uint32_t group, std::uint32_t permissions,
                          bool accessList = false) {
        return FileFacts{.owner = owner,
                         .group = group,
                         .permissions = permissions,
                         .hasAccessList = accessList};
    };
    for (const auto& trusted : {facts(1000, 1000, 0700), facts(1000, 100, 0755),
                                facts(1000, 1000, 0775), facts(1000, 100, 0644)}) {
        EXPECT_EQ(distrustOf("/d", trusted, trust), std::nullopt) << trusted.permissions;
    }
    const std::vector<std::pair<FileFacts, std::string>> refused = {
        {facts(1001, 1000, 0700), "'/d' belongs to user ID 1001, not to user ID 1000"},
        {facts(1000, 1000, 0777), "all users can write '/d'"},
        {facts(1000, 1000, 01777), "all users can write '/d'"},
        {facts(1000, 100, 0775), "group ID 100, which has other members, can write '/d'"},
        {facts(1000, 1000, 0775, true), "an access control list may let other users write"},
    };
    for (const auto& [given, start] : refused) {
        const auto reason = distrustOf("/d", given, trust);
        ASSERT_TRUE(reason.has_value()) << start;
        EXPECT_EQ(reason->rfind(start, 0), 0u) << *reason;
    }
}

TEST_F(AgentPassTest, ASecondAgentOnTheSameFolderIsTurnedAway) {
    std::vector<std::string> secondReports;
    Agent second = testAgent(requestFile_, responseFile_, secondReports, groupIsPrivate_);
    request("A");
    EXPECT_EQ(pass().value()["id"], "A");
    EXPECT_EQ(second.runPass(platform_), AgentPassOutcome::kAnotherAgentServesTheFolder);
    EXPECT_EQ(secondReports, (std::vector<std::string>{"another agent already serves " +
                                                       folder_.path.native() + "; this one ends"}));
    // Once the first is gone, the folder is free.
    agent_ = testAgent(requestFile_, responseFile_, reported_, groupIsPrivate_);
    EXPECT_EQ(second.runPass(platform_), AgentPassOutcome::kGoOn);
    EXPECT_EQ(captures(), 2u) << "the new agent takes the request up once more";
}

TEST_F(AgentPassTest, ARewriteOfTheSameSizeRightAwayIsSeen) {
    // Where file times are coarse (kernels before 6.13), both rewrites usually fall into one
    // tick, with the same size and times.
    request("A1");
    EXPECT_EQ(pass().value()["id"], "A1");
    request("A2");
    EXPECT_EQ(pass().value()["id"], "A2");
}

TEST_F(AgentPassTest, AnUnchangedFileWithoutIdIsPerformedAgainWhenTheSecondChanges) {
    notices_.settledAfterSeconds = 0;  // the file is taken as unchanged from the first read
    writeTestFile(requestFile_, R"({"output":"/tmp/clock.jpg","target":"desktop"})");
    const auto first = pass().value()["id"].get<std::string>();
    std::optional<nlohmann::json> again;
    while (!(again = pass())) {
    }
    const auto second = (*again)["id"].get<std::string>();
    EXPECT_EQ(std::stoll(second), std::stoll(first) + 1);
    EXPECT_EQ(captures(), 2u);
}

}  // namespace
}  // namespace tarnwick
