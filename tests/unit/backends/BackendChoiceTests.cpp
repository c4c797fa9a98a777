#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TarnwickScreenCapture/backends/Backends.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandScreenCopy.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

// Sets (or, with none, unsets) a variable for the test's length.
class ScopedVariable {
public:
    ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* before = ::getenv(name)) {
            before_ = before;
        }
        set(value);
    }
    ~ScopedVariable() { set(before_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    void set(const std::optional<std::string>& value) {
        value ? ::setenv(name_, value->c_str(), 1) : ::unsetenv(name_);
    }

    const char* name_;
    std::optional<std::string> before_;
};

TEST(BackendChoice, ANamedBackendIsTakenAndAnyOtherNameIsIgnored) {
    const ScopedVariable noWayland("WAYLAND_DISPLAY", std::nullopt);
    const ScopedVariable noDisplay("DISPLAY", std::nullopt);
    const std::string fallback =
        "no Wayland compositor answers (WAYLAND_DISPLAY is not set); DISPLAY is not set";
    const struct {
        std::optional<std::string> name;
        Backend backend;
        std::string why;
    } cases[] = {
        {"x11", Backend::kX11, "TARNWICK_CAPTURE_BACKEND=x11"},
        {"wlroots", Backend::kWlroots, "TARNWICK_CAPTURE_BACKEND=wlroots"},
        {"portal", Backend::kPortal, "TARNWICK_CAPTURE_BACKEND=portal"},
        {"kwin", Backend::kKWin, "TARNWICK_CAPTURE_BACKEND=kwin"},
        {"gnome", Backend::kGnome, "TARNWICK_CAPTURE_BACKEND=gnome"},
        {"KWin", Backend::kX11, fallback},
        {"", Backend::kX11, fallback},
        {std::nullopt, Backend::kX11, fallback},
    };
    for (const auto& each : cases) {
        const ScopedVariable forced("TARNWICK_CAPTURE_BACKEND", each.name);
        const auto choice = explainBackendChoice();
        EXPECT_EQ(choice.backend, each.backend) << each.name.value_or("unset");
        EXPECT_EQ(choice.why, each.why);
    }
    EXPECT_EQ(backendNames(), "x11, wlroots, portal, kwin or gnome");
}

// A compositor that takes each connection and closes it again at once.
class ClosingCompositor {
public:
    explicit ClosingCompositor(const std::string& path)
        : listening_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        EXPECT_EQ(
            ::bind(listening_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
            0);
        EXPECT_EQ(::listen(listening_.get(), 1), 0);
        peer_ = std::thread([this] {
            while (FileDescriptor(::accept(listening_.get(), nullptr, nullptr))) {
            }
        });
    }
    ~ClosingCompositor() {
        ::shutdown(listening_.get(), SHUT_RDWR);  // in case the tool never came
        peer_.join();
    }
    ClosingCompositor(const ClosingCompositor&) = delete;
    ClosingCompositor& operator=(const ClosingCompositor&) = delete;

private:
    FileDescriptor listening_;
    std::thread peer_;
};

// Each way of not reaching a compositor is named for what it is; none of them is silence.
TEST(WaylandCompositor, AnUnreachableOneIsNamedForWhatStandsInTheWay) {
    testing::TemporaryFolder folder;
    const std::string missing = (folder / "wayland-none").native();
    const std::string notASocket = folder.write("wayland-file", "").native();
    const std::string closing = (folder / "wayland-closing").native();
    const struct {
        std::optional<std::string> display;
        std::optional<std::string> runtime;
        std::string cause;
    } cases[] = {
        {std::nullopt, folder.path.native(), "WAYLAND_DISPLAY is not set"},
        {"wayland-1", std::nullopt,
         "WAYLAND_DISPLAY=wayland-1 cannot be found: XDG_RUNTIME_DIR is not set"},
        {missing, std::nullopt,
         "cannot connect to the compositor on " + missing + ": No such file or directory"},
        {notASocket, std::nullopt,
         "cannot connect to the compositor on " + notASocket + ": Connection refused"},
    };
    for (const auto& each : cases) {
        const ScopedVariable display("WAYLAND_DISPLAY", each.display);
        const ScopedVariable runtime("XDG_RUNTIME_DIR", each.runtime);
        const auto unreachable = waylandCompositorUnreachable();
        ASSERT_TRUE(unreachable) << each.cause;
        EXPECT_EQ(unreachable->reason, each.cause);
        const auto desktop = waylandDesktopImage();
        ASSERT_TRUE(std::holds_alternative<Unavailable>(desktop));
        EXPECT_EQ(std::get<Unavailable>(desktop).reason, each.cause);
    }

    const ClosingCompositor compositor(closing);
    const ScopedVariable display("WAYLAND_DISPLAY", closing);
    EXPECT_FALSE(waylandCompositorUnreachable());  // it accepts
    const auto desktop = waylandDesktopImage();
    ASSERT_TRUE(std::holds_alternative<Unavailable>(desktop));
    const std::string& reason = std::get<Unavailable>(desktop).reason;
    EXPECT_NE(reason.find("the compositor on " + closing), std::string::npos) << reason;
    EXPECT_EQ(reason.find("sent nothing"), std::string::npos) << reason;
}

TEST(BackendChoice, AListingOfXWaylandNamesTheCompositorThereAndNoOtherDesktop) {
    EXPECT_NE(xwaylandOnlyNote("gnome-shell").find("GNOME lets no program"), std::string::npos);
    EXPECT_NE(xwaylandOnlyNote("labwc").find("(labwc tells no program where a native window is"),
              std::string::npos);
    for (const auto& other : {std::optional<std::string>(), std::optional<std::string>("cage")}) {
        const std::string note = xwaylandOnlyNote(other);
        EXPECT_NE(note.find("a wlroots compositor without sway's window tree"), std::string::npos);
        EXPECT_EQ(note.find("GNOME"), std::string::npos) << note;
    }
}

}  // namespace
}  // namespace tarnwick
