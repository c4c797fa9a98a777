#include "TarnwickScreenCapture/posix/FolderWatch.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using std::chrono::milliseconds;
using testing::TemporaryFolder;

// Long enough never to run out on a busy machine: a wait that returns true was woken by a change.
constexpr milliseconds kLong{60'000};
constexpr milliseconds kNone{0};

TEST(FolderWatch, WakesForTheFileWrittenByRenameOrInPlaceButNotForOtherFiles) {
    TemporaryFolder home;
    const auto folder = home / "data";
    std::filesystem::create_directory(folder);
    FolderWatch watch(folder, "request.json");

    home.write("data/.request-1", "{}");
    home.write("data/response.json", "{}");
    EXPECT_FALSE(watch.waitForChange(kNone));

    std::filesystem::rename(folder / ".request-1", folder / "request.json");
    EXPECT_TRUE(watch.waitForChange(kLong));
    EXPECT_FALSE(watch.waitForChange(kNone));

    home.write("data/request.json", R"({"id":"2"})");
    EXPECT_TRUE(watch.waitForChange(kLong));
}

TEST(FolderWatch, FollowsTheFolderAsItAppearsAndIsReplaced) {
    TemporaryFolder home;
    const auto folder = home / "a" / "data";
    FolderWatch watch(folder, "request.json");
    EXPECT_FALSE(watch.waitForChange(kNone));

    // Made a level at a time, as mkdir -p does.
    std::filesystem::create_directory(home / "a");
    EXPECT_TRUE(watch.waitForChange(kLong));
    std::filesystem::create_directory(folder);
    EXPECT_TRUE(watch.waitForChange(kLong));
    home.write("a/data/request.json", "{}");
    EXPECT_TRUE(watch.waitForChange(kLong));

    // Replaced by another folder renamed over it: the new one is watched.
    std::filesystem::create_directory(home / "a" / "new");
    std::filesystem::remove_all(folder);
    std::filesystem::rename(home / "a" / "new", folder);
    EXPECT_TRUE(watch.waitForChange(kLong));
    while (watch.waitForChange(kNone)) {
    }
    home.write("a/data/request.json", "{}");
    EXPECT_TRUE(watch.waitForChange(kLong));
}

}  // namespace
}  // namespace tarnwick
