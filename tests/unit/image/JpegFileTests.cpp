#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TarnwickScreenCapture/image/ImageScaling.hpp"
#include "TarnwickScreenCapture/image/JpegFile.hpp"
#include "support/Images.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using namespace std::string_literals;

using testing::readWholeFile;
using testing::solidImage;
using testing::TemporaryFolder;

JpegWriteResult write(const std::filesystem::path& output, const SharedImage& image,
                      double quality = 0.8) {
    return writeJpegFile(output, image, quality, ExistingOutput::kReplaceAnything).result;
}

bool writeJpeg(const std::filesystem::path& output, const SharedImage& image) {
    return write(output, image) == JpegWriteResult::kWritten;
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

TEST(JpegFileDestination, AnOutputThatCannotBeWrittenSaysWhyInTheSystemsWords) {
    TemporaryFolder folder;
    const auto missing = folder.path / "missing" / "shot.jpg";
    EXPECT_EQ(
        writeJpegFile(missing, solidImage(4, 4), 0.8, ExistingOutput::kReplaceAnything).reason,
        "cannot open '" + missing.native() + "' for writing: No such file or directory");
    const auto text = folder.write("notes.txt", "not a picture");
    EXPECT_EQ(writeJpegFile(text, solidImage(4, 4), 0.8, ExistingOutput::kReplaceOnlyJpeg).reason,
              "'" + text.native() + "' is not a JPEG, and a request replaces only a JPEG");
}

TEST(JpegFileDestination, OutputsThatCannotBeOpenedRefuseTheDestination) {
    TemporaryFolder folder;
    std::filesystem::create_directory(folder.path / "folder");
    for (const std::filesystem::path& output :
         {folder.path / "missing" / "shot.jpg", folder.path / "folder", std::filesystem::path(),
          std::filesystem::path(folder.path.string() + "/a\0b.jpg"s),
          folder.path / "folder" / ""}) {
        EXPECT_EQ(write(output, solidImage(4, 4)), JpegWriteResult::kOutputUnavailable) << output;
    }
    EXPECT_FALSE(std::filesystem::exists(folder.path / "missing"));
    EXPECT_EQ(entriesIn(folder.path), 1u);
}

TEST(JpegFileDestination, AFailedWriteLeavesAnEarlierFileByteIdentical) {
    TemporaryFolder folder;
    const auto output = folder.write("shot.jpg", "earlier content");
    EXPECT_EQ(write(output, nullptr), JpegWriteResult::kWriteFailed);
    EXPECT_EQ(write(output, std::make_shared<Image>()), JpegWriteResult::kWriteFailed);
    auto unreadable = std::make_shared<Image>();
    unreadable->width = 10;
    unreadable->height = 10;
    unreadable->readRows = [](std::int64_t, std::int64_t, std::uint8_t*, std::size_t) {
        return false;
    };
    EXPECT_EQ(write(output, unreadable), JpegWriteResult::kImageUnreadable);
    unreadable->unreadableReason = [] { return "the window is gone"; };
    EXPECT_EQ(writeJpegFile(output, imageScaledToMaxWidth(unreadable, 5), 0.8,
                            ExistingOutput::kReplaceAnything)
                  .reason,
              "the window is gone");
    EXPECT_EQ(readWholeFile(output), "earlier content");
    EXPECT_EQ(entriesIn(folder.path), 1u);
}

TEST(JpegFileDestination, WritingToAFullDeviceFails) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    EXPECT_EQ(write("/dev/full", solidImage(64, 64)), JpegWriteResult::kWriteFailed);
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

}  // namespace
}  // namespace tarnwick
