#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TarnwickScreenCapture/posix/Files.hpp"
#include "TarnwickScreenCapture/posix/Process.hpp"
#include "TarnwickScreenCapture/posix/ReplacementFile.hpp"
#include "TarnwickScreenCapture/posix/Signals.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using testing::entriesIn;
using testing::readWholeFile;
using testing::TemporaryFolder;

TEST(ReplacementFile, TheNamedFallbackFitsLongNamesCutBetweenCharacters) {
    TemporaryFolder folder;
    // "é" is two bytes; 127 of them and the pattern's suffix exceed NAME_MAX.
    std::string name;
    while (name.size() < NAME_MAX - 1) {
        name += "\xC3\xA9";
    }
    const auto pattern = std::filesystem::path(temporaryPatternBeside(folder.path / name));
    EXPECT_LE(pattern.filename().native().size(), std::size_t{NAME_MAX});
    EXPECT_TRUE(pattern.native().ends_with("\xC3\xA9.XXXXXX"));
    auto file = ReplacementFile::create(folder.path / name, ReplacementFile::Naming::kNamed);
    ASSERT_TRUE(file.has_value());
    EXPECT_TRUE(file->isNamed());
    EXPECT_TRUE(file->commit(0600));
    EXPECT_EQ(entriesIn(folder.path), 1u);
}

TEST(ReplacementFile, TakesOnlyTheExpectedPlaceAndLeavesNothingWhenRefused) {
    using enum ReplacementFile::Replacing;
    for (const auto naming :
         {ReplacementFile::Naming::kUnnamedWherePossible, ReplacementFile::Naming::kNamed}) {
        TemporaryFolder folder;
        const auto target = folder.path / "shot.jpg";
        auto absent = ReplacementFile::create(target, naming);
        auto other = ReplacementFile::create(target, naming);
        ASSERT_TRUE(absent && other);
        folder.write("shot.jpg", "appeared meanwhile");
        EXPECT_FALSE(absent->commit(0644, kOnlyExpected));
        struct stat status {};
        ::lstat(target.c_str(), &status);
        EXPECT_FALSE(other->commit(0644, kOnlyExpected, FileIdentity{status.st_dev, 1}));
        EXPECT_EQ(readWholeFile(target), "appeared meanwhile");
        EXPECT_EQ(entriesIn(folder.path), 1u);
        auto expected = ReplacementFile::create(target, naming);
        ASSERT_TRUE(writeAll(expected->fd(), "new"));
        EXPECT_TRUE(expected->commit(0644, kOnlyExpected, identityOf(status)));
        EXPECT_EQ(readWholeFile(target), "new");
        EXPECT_EQ(entriesIn(folder.path), 1u);
    }
}

TEST(RunProcess, TheChildStartsWithDefaultSignalsAndNothingBlocked) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            ignoreWriteFailureSignals();
            const TerminationSignalsHeld held;
            const auto killedBy = [](const char* signal) {
                return runProcessAndWait("/bin/sh",
                                         {"-c", std::string("kill -s ") + signal + " $$; exit 3"});
            };
            std::_Exit(killedBy("PIPE") == 128 + SIGPIPE && killedBy("XFSZ") == 128 + SIGXFSZ &&
                               killedBy("TERM") == 128 + SIGTERM
                           ? 0
                           : 12);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Files, BoundedReadRefusesLargeFilesAndNonRegularFiles) {
    TemporaryFolder folder;
    EXPECT_EQ(readFileBounded(folder.write("small", "abc"), 3), "abc");
    EXPECT_EQ(readFileBounded(folder.write("large", "abcd"), 3), std::nullopt);
    EXPECT_EQ(readFileBounded(folder.path, 100), std::nullopt);
    EXPECT_EQ(readFileBounded("/dev/zero", 100), std::nullopt);
    ::mkfifo((folder.path / "fifo").c_str(), 0600);
    EXPECT_EQ(readFileBounded(folder.path / "fifo", 100), std::nullopt);  // and does not block
}

TEST(Files, AtomicWriteReplacesWholeAndNeverCreatesTheFolder) {
    TemporaryFolder folder;
    const auto file = folder.write("response.json", std::string(1000, 'x'));
    EXPECT_TRUE(writeFileAtomically(file, "short"));
    EXPECT_EQ(readWholeFile(file), "short");
    EXPECT_FALSE(writeFileAtomically(folder.path / "missing" / "response.json", "x"));
    EXPECT_FALSE(std::filesystem::exists(folder.path / "missing"));
    EXPECT_EQ(entriesIn(folder.path), 1u);
}

}  // namespace
}  // namespace tarnwick
