#include "TarnwickScreenCapture/UnicodeText.hpp"

#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

namespace tarnwick {

std::string lowercased(std::string_view utf8) {
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    // The root locale gives the default mapping: no Turkish or Lithuanian special cases.
    std::string result;
    icu::UnicodeString(text).toLower(icu::Locale::getRoot()).toUTF8String(result);
    return result;
}

bool containsCanonically(std::string_view haystackUtf8, std::string_view needleUtf8) {
    return !needleUtf8.empty() && haystackUtf8.find(needleUtf8) != std::string_view::npos;
}

}  // namespace tarnwick
