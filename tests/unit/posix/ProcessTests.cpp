#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Process.hpp"

namespace tarnwick {
namespace {

TEST(PeerProgram, NamesTheProcessAtTheOtherEndAndNothingForAnotherKindOfFile) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    const FileDescriptor one(ends[0]);
    const FileDescriptor other(ends[1]);
    std::string self;
    std::getline(std::ifstream("/proc/self/comm"), self);
    EXPECT_EQ(peerProgram(one.get()), self);

    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    const FileDescriptor reading(pipeEnds[0]);
    const FileDescriptor writing(pipeEnds[1]);
    EXPECT_FALSE(peerProgram(reading.get()));
}

}  // namespace
}  // namespace tarnwick
