// Window selection over arbitrary window lists. The first byte chooses how the rest is read:
// even, as JSON text; odd, through a small decoder that builds an array of window maps with the
// keys that selection reads, so that mutations reach the later tests rather than dying in the
// JSON syntax.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "FuzzChecks.hpp"
#include "TarnwickScreenCapture/WindowSelection.hpp"

using namespace tarnwick;
using Json = nlohmann::json;

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

constexpr std::array<const char*, 7> kKeys{kCGWindowNumber,  kCGWindowLayer,     kCGWindowAlpha,
                                           kCGWindowBounds,  kCGWindowOwnerName, kCGWindowName,
                                           kCGWindowOwnerPID};

// Raw bytes around a needle in some mix of letter cases.
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

Json value(ByteReader& in, std::string_view key, int depth);

Json bounds(ByteReader& in, int depth) {
    Json map = Json::object();
    const std::uint8_t present = in.byte();
    if (present & 1) {
        map["Width"] = value(in, "Width", depth + 1);
    }
    if (present & 2) {
        map["Height"] = value(in, "Height", depth + 1);
    }
    if (present & 4) {
        map["X"] = value(in, "X", depth + 1);
    }
    return map;
}

// A value that passes the key's test, so that later tests are reached.
Json usualValue(ByteReader& in, std::string_view key) {
    if (key == kCGWindowNumber) {
        return in.byte();
    }
    if (key == kCGWindowLayer || key == "X") {
        return 0;
    }
    if (key == kCGWindowAlpha) {
        return 1.0;
    }
    if (key == kCGWindowBounds) {
        return Json{{"Width", 800}, {"Height", 600}};
    }
    if (key == "Width" || key == "Height") {
        return 320 + in.byte();
    }
    return nameWithNeedle(in);
}

Json value(ByteReader& in, std::string_view key, int depth) {
    switch (in.byte() % 11) {
        case 0:
            return usualValue(in, key);
        case 1:
            return in.raw<std::int64_t>();
        case 2:
            return in.raw<std::uint64_t>();
        case 3:
            return in.raw<double>();  // NaN and infinities included
        case 4:
            return static_cast<std::int8_t>(in.byte());
        case 5:
            return in.text(in.byte());
        case 6:
            return in.byte() % 2 == 1;
        case 7:
            return nullptr;
        case 8:
            if (key == kCGWindowBounds || depth < 2) {
                return bounds(in, depth);
            }
            return Json::object();
        case 9:
            return depth < 2 ? Json::array({value(in, key, depth + 1)}) : Json::array();
        default:
            return nameWithNeedle(in);
    }
}

Json decodedWindowList(ByteReader& in) {
    Json list = Json::array();
    const int count = 1 + in.byte() % 6;
    for (int i = 0; i < count; ++i) {
        const std::uint8_t kind = in.byte();
        if (kind % 32 == 31) {
            list.push_back(value(in, "", 1));  // most likely not a map: refuses the list
            continue;
        }
        Json window = Json::object();
        for (std::size_t k = 0; k < kKeys.size(); ++k) {
            if ((kind >> k) & 1) {
                continue;  // a set bit leaves the key out
            }
            window[kKeys[k]] = value(in, kKeys[k], 0);
        }
        list.push_back(std::move(window));
    }
    return list;
}

bool isAscii(const Json* text) {
    return text == nullptr || !text->is_string() ||
           std::all_of(text->get_ref<const std::string&>().begin(),
                       text->get_ref<const std::string&>().end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool asciiNameHasNeedle(const Json* text) {
    if (text == nullptr || !text->is_string()) {
        return false;
    }
    std::string lower = text->get<std::string>();
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return std::any_of(ownerNeedles.begin(), ownerNeedles.end(),
                       [&](std::string_view needle) { return lower.find(needle) != lower.npos; });
}

const Json* entry(const Json& window, const char* key) {
    const auto found = window.find(key);
    return found == window.end() ? nullptr : &*found;
}

void checkSelection(const std::optional<Json>& list) {
    const auto result = selectTavikWindow(list);
    const bool usable = list && list->is_array() &&
                        std::all_of(list->begin(), list->end(),
                                    [](const Json& window) { return window.is_object(); });
    if (const auto* error = std::get_if<CaptureError>(&result)) {
        fuzz::check(error->code == (usable ? 5 : 2), "code 2 for an unusable list, else 5");
        return;
    }
    fuzz::check(usable, "a window only from a usable list");
    const CGWindowID number = std::get<CGWindowID>(result);
    fuzz::check(number != kCGNullWindowID, "never window 0");
    // Some window carries that number; when all of those have plain ASCII names, one of them
    // must name the application.
    bool carried = false;
    bool allAscii = true;
    bool named = false;
    for (const auto& window : *list) {
        const Json* given = entry(window, kCGWindowNumber);
        if (given == nullptr || !given->is_number() || *given != Json(number)) {
            continue;
        }
        carried = true;
        const Json* owner = entry(window, kCGWindowOwnerName);
        const Json* title = entry(window, kCGWindowName);
        allAscii = allAscii && isAscii(owner) && isAscii(title);
        named = named || asciiNameHasNeedle(owner) || asciiNameHasNeedle(title);
    }
    fuzz::check(carried, "the chosen number is in the list");
    fuzz::check(!allAscii || named, "the chosen window names the application");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if (data[0] % 2 == 0) {
        Json parsed = Json::parse(data + 1, data + size, nullptr, false);
        checkSelection(parsed.is_discarded() ? std::nullopt
                                             : std::optional<Json>(std::move(parsed)));
    } else {
        ByteReader in(data + 1, size - 1);
        checkSelection(decodedWindowList(in));
    }
    return 0;
}
