#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <variant>

#include "TarnwickScreenCapture/posix/Files.hpp"
#include "TarnwickScreenCapture/posix/OutputFile.hpp"
#include "TarnwickScreenCapture/posix/TemporaryFiles.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using testing::entriesIn;
using testing::TemporaryFolder;

std::string patternIn(const TemporaryFolder& folder, const char* name) {
    return temporaryPatternBeside(folder.path / name);
}

// Each statement runs in a forked child (the "fast" style, so that it sees the same folder).
class TerminationCleanupTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }
};

TEST_P(TerminationCleanupTest, RegisteredFilesAreRemovedAndTheSignalEndsTheProcess) {
    const int signal = GetParam();
    TemporaryFolder folder;
    EXPECT_EXIT(
        {
            rlimit noCore{};  // SIGQUIT would dump core
            ::setrlimit(RLIMIT_CORE, &noCore);
            installTerminationCleanup();
            std::string first = patternIn(folder, "a.jpg");
            std::string second = patternIn(folder, "b.json");
            if (createTemporaryFile(first) < 0 || createTemporaryFile(second) < 0) {
                std::_Exit(10);
            }
            ::raise(signal);
            std::_Exit(11);
        },
        ::testing::KilledBySignal(signal), "");
    EXPECT_EQ(entriesIn(folder.path), 0u);
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationCleanupTest,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGQUIT));

TEST(TerminationCleanup, ForgottenFilesStayAndSurplusFilesAreStillCreated) {
    GTEST_FLAG_SET(death_test_style, "fast");
    TemporaryFolder folder;
    EXPECT_EXIT(
        {
            installTerminationCleanup();
            std::string renamed = patternIn(folder, "kept.jpg");
            std::string removed = patternIn(folder, "gone.jpg");
            if (createTemporaryFile(renamed) < 0 || createTemporaryFile(removed) < 0 ||
                ::rename(renamed.c_str(), (folder.path / "kept.jpg").c_str()) != 0) {
                std::_Exit(10);
            }
            forgetTemporaryFile(renamed);
            // The slot freed above is taken again; the one after that finds none free.
            std::string second = patternIn(folder, "second.jpg");
            std::string surplus = patternIn(folder, "surplus.jpg");
            if (createTemporaryFile(second) < 0 || createTemporaryFile(surplus) < 0 ||
                ::rename(surplus.c_str(), (folder.path / "surplus.jpg").c_str()) != 0) {
                std::_Exit(12);
            }
            ::raise(SIGTERM);
            std::_Exit(11);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kept.jpg", "surplus.jpg"}));
}

TEST(TerminationCleanup, AnIgnoredSignalStaysIgnored) {
    GTEST_FLAG_SET(death_test_style, "fast");
    TemporaryFolder folder;
    EXPECT_EXIT(
        {
            ::signal(SIGHUP, SIG_IGN);
            installTerminationCleanup();
            std::string file = patternIn(folder, "a.jpg");
            if (createTemporaryFile(file) < 0) {
                std::_Exit(10);
            }
            ::raise(SIGHUP);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(entriesIn(folder.path), 1u);
}

TEST(TerminationCleanup, OutputsBeingWrittenLeaveNothingBehindOnTermination) {
    GTEST_FLAG_SET(death_test_style, "fast");
    TemporaryFolder folder;
    const auto earlier = folder.write("shot.jpg", "earlier");
    EXPECT_EXIT(
        {
            installTerminationCleanup();
            auto replacing = OutputFile::open(earlier, ReplaceableFiles{});
            auto fresh = OutputFile::open(folder.path / "new.jpg", ReplaceableFiles{});
            // Unnamed files: nothing new is visible in the folder while they are written.
            if (!std::holds_alternative<OutputFile>(replacing) ||
                !std::holds_alternative<OutputFile>(fresh) || entriesIn(folder.path) != 1) {
                std::_Exit(10);
            }
            ::raise(SIGTERM);
            std::_Exit(11);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    EXPECT_EQ(entriesIn(folder.path), 1u);
    EXPECT_EQ(testing::readWholeFile(earlier), "earlier");
}

TEST(TerminationCleanup, FinishedWritesGiveTheirSlotsBack) {
    GTEST_FLAG_SET(death_test_style, "fast");
    TemporaryFolder folder;
    EXPECT_EXIT(
        {
            installTerminationCleanup();
            const FileDescriptor content(::memfd_create("content", MFD_CLOEXEC));
            if (!content || !writeAll(content.get(), "bytes")) {
                std::_Exit(9);
            }
            for (int i = 0; i < 5; ++i) {
                auto output = OutputFile::open(folder.path / "shot.jpg", ReplaceableFiles{});
                auto* opened = std::get_if<OutputFile>(&output);
                if (opened == nullptr) {
                    std::_Exit(10);
                }
                if (opened->writeFrom(content.get()) ||
                    !writeFileAtomically(folder.path / "response.json", "{}")) {
                    std::_Exit(12);
                }
            }
            auto unfinished = OutputFile::open(folder.path / "next.jpg", ReplaceableFiles{});
            ::raise(SIGTERM);
            std::_Exit(11);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    EXPECT_EQ(entriesIn(folder.path), 2u);  // shot.jpg and response.json, no temporary file
}

}  // namespace
}  // namespace tarnwick
