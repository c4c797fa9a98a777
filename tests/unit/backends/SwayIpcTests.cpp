#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "TarnwickScreenCapture/backends/sway/SwayIpc.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

constexpr auto kSilenceLimit = 300ms;

std::string swayMessage(std::uint32_t type, const std::string& payload) {
    std::string bytes = "i3-ipc";
    const auto length = static_cast<std::uint32_t>(payload.size());
    bytes.append(reinterpret_cast<const char*>(&length), sizeof length);
    bytes.append(reinterpret_cast<const char*>(&type), sizeof type);
    return bytes + payload;
}

// sway's end of one exchange: takes the request, sends `reply` in `pieces` parts `pause` apart,
// then holds the connection until the tool lets go.
class SlowSway {
public:
    SlowSway(std::string reply, int pieces, std::chrono::milliseconds pause)
        : listening_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path().c_str());
        EXPECT_EQ(
            ::bind(listening_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
            0);
        EXPECT_EQ(::listen(listening_.get(), 1), 0);
        peer_ = std::thread([this, reply, pieces, pause] {
            const FileDescriptor connection(::accept(listening_.get(), nullptr, nullptr));
            std::string request(14, '\0');
            ::recv(connection.get(), request.data(), request.size(), MSG_WAITALL);
            const std::size_t piece = reply.size() / static_cast<std::size_t>(pieces) + 1;
            for (std::size_t sent = 0; sent < reply.size(); sent += piece) {
                std::this_thread::sleep_for(pause);
                const std::string part = reply.substr(sent, piece);
                ::send(connection.get(), part.data(), part.size(), MSG_NOSIGNAL);
            }
            char ignored = 0;
            ::recv(connection.get(), &ignored, 1, 0);
        });
    }
    ~SlowSway() {
        ::shutdown(listening_.get(), SHUT_RDWR);  // in case the tool never came
        peer_.join();
    }
    SlowSway(const SlowSway&) = delete;
    SlowSway& operator=(const SlowSway&) = delete;

    std::string path() const { return folder_ / "sway.sock"; }

private:
    testing::TemporaryFolder folder_;
    FileDescriptor listening_;
    std::thread peer_;
};

TEST(SwayIpc, ASlowReplyThatKeepsComingIsReadWhole) {
    const std::string tree(6000, 'x');
    SlowSway sway(swayMessage(kSwayGetTree, tree), 10, kSilenceLimit / 5);
    const auto reply = swayIpcExchange(sway.path(), kSwayGetTree, {}, kSilenceLimit);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, tree);
}

TEST(SwayIpc, SilenceInTheMiddleOfAReplyIsGivenUpOn) {
    const std::string message = swayMessage(kSwayGetTree, std::string(6000, 'x'));
    SlowSway sway(message.substr(0, 3000), 1, 0ms);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(swayIpcExchange(sway.path(), kSwayGetTree, {}, kSilenceLimit).has_value());
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, kSilenceLimit);
    EXPECT_LT(waited, kSilenceLimit + 2s);
}

}  // namespace
}  // namespace tarnwick
