#include "TarnwickScreenCapture/cli/CommandLine.hpp"

#include <locale.h>
#include <stdlib.h>

#include <cctype>
#include <charconv>
#include <system_error>

#include "TarnwickScreenCapture/posix/Uuid.hpp"

namespace tarnwick {

// Whatever the process locale.
std::optional<double> numberFromArgument(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) {
        return std::nullopt;
    }
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (cLocale == static_cast<locale_t>(nullptr)) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = strtod_l(text.c_str(), &end, cLocale);
    if (end != text.c_str() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> integerFromArgument(const std::string& text) {
    std::string_view digits = text;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    // Parse with the sign attached so that the most negative value is reachable.
    const std::string_view signedDigits =
        negative ? std::string_view(text).substr(text.size() - digits.size() - 1) : digits;
    std::int64_t value = 0;
    const auto [end, error] =
        std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
    if (error != std::errc() || end != signedDigits.data() + signedDigits.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<CaptureRequest> requestFromArguments(const std::vector<std::string>& arguments) {
    const std::size_t count = arguments.size();
    if (count < 2) {
        return std::nullopt;
    }
    const auto quality = count >= 3 ? numberFromArgument(arguments[2]) : std::nullopt;
    const auto width = count >= 4 ? integerFromArgument(arguments[3]) : std::nullopt;
    const std::int64_t maxWidth = width.value_or(0);
    return CaptureRequest{
        .id = newUUIDString(),
        .output = fileLocationFromPath(arguments[1]),
        .quality = clampedQuality(quality.value_or(kDefaultQuality)),
        .maxWidth = maxWidth < 0 ? 0 : maxWidth,
        .target = count >= 5 ? targetFromKeyword(arguments[4]) : CaptureTarget::kTavik,
    };
}

}  // namespace tarnwick
