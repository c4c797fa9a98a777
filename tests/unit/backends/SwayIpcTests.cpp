#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <variant>

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
// then holds the connection until the tool lets go, or closes it at once.
class SlowSway {
public:
    SlowSway(std::string reply, int pieces, std::chrono::milliseconds pause, bool holdsOn = true)
        : listening_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path().c_str());
        EXPECT_EQ(
            ::bind(listening_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
            0);
        EXPECT_EQ(::listen(listening_.get(), 1), 0);
        peer_ = std::thread([this, reply, pieces, pause, holdsOn] {
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
            if (holdsOn) {
                ::recv(connection.get(), &ignored, 1, 0);
            }
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
    ASSERT_TRUE(std::holds_alternative<std::string>(reply));
    EXPECT_EQ(std::get<std::string>(reply), tree);
}

// Each way an exchange fails is named for what it is: silence is no closed connection, and
// another program's socket is no malformed tree.
TEST(SwayIpc, AFailedExchangeNamesItsCause) {
    const std::string whole = swayMessage(kSwayGetTree, std::string(6000, 'x'));
    const struct {
        std::string sent;
        bool holdsOn;
        std::string cause;
    } cases[] = {
        {whole.substr(0, 3000), true, "sway took nothing and sent nothing for 0.3 s"},
        {whole.substr(0, 3000), false, "sway closed the connection before its reply was whole"},
        {"HTTP/1.1 400 Bad Request\r\n\r\n", false, "does not speak sway's IPC"},
        {swayMessage(kSwayGetTree + 1, "{}"), false, "does not speak sway's IPC"},
    };
    for (const auto& each : cases) {
        SlowSway sway(each.sent, 1, 0ms, each.holdsOn);
        const auto reply = swayIpcExchange(sway.path(), kSwayGetTree, {}, kSilenceLimit);
        ASSERT_TRUE(std::holds_alternative<Unavailable>(reply)) << each.cause;
        EXPECT_NE(std::get<Unavailable>(reply).reason.find(each.cause), std::string::npos)
            << std::get<Unavailable>(reply).reason;
    }
    testing::TemporaryFolder nobody;
    const auto refused =
        swayIpcExchange((nobody / "none.sock").native(), kSwayGetTree, {}, kSilenceLimit);
    ASSERT_TRUE(std::holds_alternative<Unavailable>(refused));
    EXPECT_EQ(std::get<Unavailable>(refused).reason, "cannot connect to sway at " +
                                                         (nobody / "none.sock").native() +
                                                         ": No such file or directory");
}

}  // namespace
}  // namespace tarnwick
