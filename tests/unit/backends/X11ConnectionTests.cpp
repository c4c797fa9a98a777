#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

// DISPLAY as a test sets it, put back as it was afterwards.
class DisplayVariable {
public:
    explicit DisplayVariable(const char* value) {
        if (const char* old = std::getenv("DISPLAY")) {
            old_ = old;
        }
        if (value == nullptr) {
            ::unsetenv("DISPLAY");
        } else {
            ::setenv("DISPLAY", value, 1);
        }
    }
    ~DisplayVariable() {
        if (old_) {
            ::setenv("DISPLAY", old_->c_str(), 1);
        } else {
            ::unsetenv("DISPLAY");
        }
    }

private:
    std::optional<std::string> old_;
};

// A stand-in X server on the abstract socket of a display number nothing else uses (XCB looks
// there first): it takes one client and answers its setup with `answer`, or with nothing.
class FakeServer {
public:
    explicit FakeServer(std::string answer) : answer_(std::move(answer)) {
        for (int number = 4000 + ::getpid() % 1000; !listener_ && number < 6000; ++number) {
            FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
            std::memcpy(address.sun_path + 1, path.data(), path.size());
            const auto length =
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
            if (::access(path.c_str(), F_OK) != 0 &&
                ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                ::listen(fd.get(), 1) == 0) {
                listener_ = std::move(fd);
                display_ = ":" + std::to_string(number);
            }
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() {
        ::shutdown(listener_.get(), SHUT_RDWR);
        thread_.join();
    }

    const std::string& display() const { return display_; }

private:
    void serve() {
        FileDescriptor client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        char request[256];
        if (!client || ::read(client.get(), request, sizeof request) <= 0) {
            return;
        }
        if (!answer_.empty()) {
            writeAll(client.get(), answer_);
        }
        // Holds the connection open until the test ends.
        while (::read(client.get(), request, sizeof request) > 0) {
        }
    }

    std::string answer_;
    FileDescriptor listener_;
    std::string display_;
    std::thread thread_;
};

// A setup answer of status Failed with the server's reason.
std::string refusal(std::string_view reason) {
    std::string answer(8, '\0');
    const auto padded = (reason.size() + 3) / 4 * 4;
    answer[0] = 0;  // Failed
    answer[1] = static_cast<char>(reason.size());
    const std::uint16_t header[] = {11, 0, static_cast<std::uint16_t>(padded / 4)};
    std::memcpy(answer.data() + 2, header, sizeof header);
    answer += reason;
    answer.resize(8 + padded, '\0');
    return answer;
}

// What is written to standard error while `body` runs.
template <class Body>
std::string standardErrorOf(const Body& body) {
    FileDescriptor memory(::memfd_create("stderr", MFD_CLOEXEC));
    FileDescriptor saved(::dup(STDERR_FILENO));
    ::dup2(memory.get(), STDERR_FILENO);
    body();
    ::dup2(saved.get(), STDERR_FILENO);
    std::string text(4096, '\0');
    const auto count = ::pread(memory.get(), text.data(), text.size(), 0);
    text.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return text;
}

std::string reasonOpening(std::chrono::milliseconds stallLimit = kDisplayStallLimit) {
    auto opened = openX11Display(stallLimit);
    const auto* unavailable = std::get_if<Unavailable>(&opened);
    return unavailable != nullptr ? unavailable->reason : "opened";
}

TEST(OpenX11Display, SaysWhyThereIsNoDisplayToConnectTo) {
    {
        const DisplayVariable unset(nullptr);
        EXPECT_EQ(reasonOpening(), "no window system: DISPLAY is not set");
    }
    {
        const DisplayVariable nonsense("no display here");
        EXPECT_EQ(reasonOpening(), "DISPLAY 'no display here' names no X display");
    }
    const DisplayVariable nobody(":65000");
    EXPECT_EQ(
        reasonOpening().rfind("cannot connect to the X server on :65000: no such display (", 0), 0u)
        << reasonOpening();
}

TEST(OpenX11Display, ARefusalIsTheReasonAndStandardErrorStaysQuiet) {
    FakeServer server(
        refusal("Authorization required, but no authorization protocol "
                "specified\n\n"));
    const DisplayVariable display(server.display().c_str());
    std::string reason;
    EXPECT_EQ(standardErrorOf([&] { reason = reasonOpening(); }), "");
    EXPECT_EQ(reason, "cannot connect to the X server on " + server.display() +
                          ": refused (Authorization required, but no authorization protocol "
                          "specified)");
}

TEST(OpenX11Display, AServerSilentThroughTheSetupIsGivenUpOn) {
    FakeServer server("");
    const DisplayVariable display(server.display().c_str());
    EXPECT_EQ(reasonOpening(300ms),
              "the X server on " + server.display() + " gave no answer for 0.3 s");
}

}  // namespace
}  // namespace tarnwick
