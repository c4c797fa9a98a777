// Window selection over arbitrary window lists, decoded from the bytes so that mutations reach
// every test: raw numbers (NaN and infinities included), bounds present or not, names made of
// raw bytes around a needle in some mix of letter cases.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "FuzzChecks.hpp"
#include "TarnwickScreenCapture/capture/WindowSelection.hpp"
#include "TarnwickScreenCapture/cli/WindowListing.hpp"

using namespace tarnwick;

namespace {

class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return used_ < size_ ? data_[used_++] : 0; }

    template <class T>
    T raw() {
        std::array<std::uint8_t, sizeof(T)> bytes{};
        for (auto& b : bytes) {
            b = byte();
        }
        T value;
        std::memcpy(&value, bytes.data(), sizeof(T));
        return value;
    }

    std::string text(std::size_t length) {
        std::string result;
        for (std::size_t i = 0; i < length && used_ < size_; ++i) {
            result += static_cast<char>(byte());
        }
        return result;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t used_ = 0;
};

std::string nameWithNeedle(ByteReader& in) {
    std::string name = in.text(in.byte() % 8);
    std::string needle(ownerNeedles[in.byte() % ownerNeedles.size()]);
    const std::uint8_t cases = in.byte();
    for (std::size_t i = 0; i < needle.size(); ++i) {
        if ((cases >> i) & 1) {
            needle[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(needle[i])));
        }
    }
    return name + needle + in.text(in.byte() % 8);
}

std::string name(ByteReader& in) {
    switch (in.byte() % 3) {
        case 0:
            return nameWithNeedle(in);
        case 1:
            return in.text(in.byte());
        default:
            return {};
    }
}

// A usual value most of the time, so that later tests are reached; a raw one otherwise.
double size(ByteReader& in) {
    return in.byte() % 4 == 0 ? in.raw<double>() : 320.0 + in.byte();
}

WindowDescription window(ByteReader& in) {
    const std::uint8_t kind = in.byte();
    WindowDescription window;
    window.id = (kind & 1) ? in.raw<WindowId>() : in.byte();
    window.layer = (kind & 2) ? static_cast<WindowLayer>(in.byte() % 4) : WindowLayer::kNormal;
    window.opacity = (kind & 4) ? in.raw<double>() : 1.0;
    if ((kind & 8) == 0) {
        window.bounds = WindowBounds{.width = size(in), .height = size(in)};
    }
    window.ownerName = name(in);
    window.title = name(in);
    return window;
}

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool hasNeedle(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return std::any_of(ownerNeedles.begin(), ownerNeedles.end(),
                       [&](std::string_view needle) { return text.find(needle) != text.npos; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    ByteReader in(data + 1, size - 1);
    std::optional<std::vector<WindowDescription>> list;
    if (data[0] % 16 != 15) {
        list.emplace();
        for (int count = in.byte() % 7; count > 0; --count) {
            list->push_back(window(in));
        }
    }
    const auto result =
        list ? selectTavikWindow(*list)
             : selectTavikWindow(OrUnavailable<std::vector<WindowDescription>>(Unavailable{}));
    if (list) {
        // The listing marks the window selection takes, and nothing in it acts on a terminal.
        const auto listing = windowListingText("fuzz", *list);
        std::size_t marks = 0;
        for (std::size_t at = 0; at < listing.size(); at = listing.find('\n', at) + 1) {
            marks += listing[at] == '*' ? 1 : 0;
        }
        fuzz::check(marks == (std::holds_alternative<CaptureFailure>(result) ? 0u : 1u),
                    "one mark exactly when a window is selected");
        fuzz::check(std::none_of(listing.begin(), listing.end(),
                                 [](char c) {
                                     const auto byte = static_cast<unsigned char>(c);
                                     return (byte < 0x20 && c != '\n') || byte == 0x7F;
                                 }),
                    "no control characters but line feeds");
    }
    if (const auto* error = std::get_if<CaptureFailure>(&result)) {
        fuzz::check(error->exitCode == (list ? 5 : 2), "code 2 without a list, else 5");
        return 0;
    }
    fuzz::check(list.has_value(), "a window only from a list");
    const auto& chosen = std::get<WindowDescription>(result);
    fuzz::check(chosen.id != kNoWindow, "never window 0");
    fuzz::check(chosen.layer == WindowLayer::kNormal && !(chosen.opacity <= 0.01) &&
                    chosen.bounds.has_value() && !(chosen.bounds->width < 320) &&
                    !(chosen.bounds->height < 240),
                "the chosen window passes the layer, opacity and size tests");
    fuzz::check(!isAscii(chosen.ownerName) || !isAscii(chosen.title) ||
                    hasNeedle(chosen.ownerName) || hasNeedle(chosen.title),
                "the chosen window names the application");
    // Nothing before it qualifies: selection keeps the list's order.
    for (const auto& earlier : *list) {
        if (earlier.id == chosen.id && earlier.title == chosen.title &&
            earlier.ownerName == chosen.ownerName) {
            break;
        }
        const auto alone = selectTavikWindow(std::vector{earlier});
        fuzz::check(std::holds_alternative<CaptureFailure>(alone), "the first qualifying window");
    }
    return 0;
}
