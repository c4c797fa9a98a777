#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "FakePlatform.hpp"
#include "TarnwickScreenCapture/platform/Files.hpp"
#include "TarnwickScreenCapture/platform/JpegFiles.hpp"
#include "TarnwickScreenCapture/platform/Process.hpp"
#include "TarnwickScreenCapture/platform/TerminationCleanup.hpp"
#include "TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using namespace std::string_literals;

using testing::readWholeFile;
using testing::solidImage;
using testing::TemporaryFolder;

bool writeJpeg(const std::filesystem::path& output, const ImageRef& image, double quality = 0.8) {
    auto destination = createJpegFileDestination(output);
    if (!destination) {
        return false;
    }
    destination->addImage(image, quality);
    return destination->finalize();
}

std::size_t entriesIn(const std::filesystem::path& folder) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

TEST(JpegFileDestination, WritesAJpegThatDecodesToTheImage) {
    TemporaryFolder folder;
    const auto output = folder.path / "shot.jpg";
    ASSERT_TRUE(writeJpeg(output, solidImage(301, 17, 220)));
    const auto bytes = readWholeFile(output);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 3), "\xFF\xD8\xFF");
    const auto decoded = decodeJpegFile(output);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->width, 301);
    EXPECT_EQ(decoded->height, 17);
    EXPECT_NEAR(decoded->pixels[0], 220, 3);
    EXPECT_EQ(entriesIn(folder.path), 1u);  // no temporary file left beside it
}

TEST(JpegFileDestination, OutputsThatCannotBeOpenedRefuseTheDestination) {
    TemporaryFolder folder;
    std::filesystem::create_directory(folder.path / "folder");
    for (const std::filesystem::path& output :
         {folder.path / "missing" / "shot.jpg", folder.path / "folder", std::filesystem::path(),
          std::filesystem::path(folder.path.string() + "/a\0b.jpg"s),
          folder.path / "folder" / ""}) {
        EXPECT_FALSE(createJpegFileDestination(output).has_value()) << output;
    }
    EXPECT_FALSE(std::filesystem::exists(folder.path / "missing"));
    EXPECT_EQ(entriesIn(folder.path), 1u);
}

TEST(JpegFileDestination, AFailedOrAbandonedWriteLeavesAnEarlierFileByteIdentical) {
    TemporaryFolder folder;
    const auto output = folder.write("shot.jpg", "earlier content");
    {
        auto abandoned = createJpegFileDestination(output);
        ASSERT_TRUE(abandoned.has_value());
        abandoned->addImage(solidImage(10, 10), 0.5);
    }
    auto noImage = createJpegFileDestination(output);
    ASSERT_TRUE(noImage.has_value());
    EXPECT_FALSE(noImage->finalize());
    auto emptyImage = createJpegFileDestination(output);
    emptyImage->addImage(std::make_shared<Image>(), 0.5);
    EXPECT_FALSE(emptyImage->finalize());
    EXPECT_EQ(readWholeFile(output), "earlier content");
    EXPECT_EQ(entriesIn(folder.path), 1u);
}

TEST(JpegFileDestination, WritingToAFullDeviceFailsAtFinalize) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    auto destination = createJpegFileDestination("/dev/full");
    ASSERT_TRUE(destination.has_value());
    destination->addImage(solidImage(64, 64), 0.9);
    EXPECT_FALSE(destination->finalize());
}

TEST(JpegFileDestination, ReplacesAFileKeepingItsModeAndASymlinkKeepingTheLink) {
    TemporaryFolder folder;
    const auto real = folder.write("real.jpg", "old");
    ::chmod(real.c_str(), 06640 | S_ISVTX);  // the special bits do not pass to the new file
    const auto link = folder.path / "link.jpg";
    std::filesystem::create_symlink(real, link);
    ASSERT_TRUE(writeJpeg(link, solidImage(8, 8)));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_NE(readWholeFile(real), "old");
    struct stat status {};
    ::stat(real.c_str(), &status);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
}

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

TEST(DecodeJpegFile, AnythingButAReadableJpegIsNoImage) {
    TemporaryFolder folder;
    EXPECT_EQ(decodeJpegFile(folder.path / "missing.jpg"), nullptr);
    EXPECT_EQ(decodeJpegFile(folder.write("empty.jpg", "")), nullptr);
    EXPECT_EQ(decodeJpegFile(folder.write("text.jpg", "hello")), nullptr);
    EXPECT_EQ(decodeJpegFile(folder.path), nullptr);
    const auto good = folder.path / "good.jpg";
    ASSERT_TRUE(writeJpeg(good, solidImage(40, 30)));
    EXPECT_EQ(decodeJpegFile(folder.write("cut.jpg", readWholeFile(good).substr(0, 200))), nullptr);
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
