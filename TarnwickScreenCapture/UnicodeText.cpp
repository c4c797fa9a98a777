#include "TarnwickScreenCapture/UnicodeText.hpp"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace tarnwick {

namespace {

// The text in its canonical decomposition, so that equivalent spellings become equal code units.
// Invalid UTF-8 sequences arrive as U+FFFD. None only when ICU cannot serve the request.
std::optional<icu::UnicodeString> canonicalText(std::string_view utf8) {
    if (utf8.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return std::nullopt;
    }
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    auto decomposed = nfd->normalize(text, status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    return decomposed;
}

// Marks, for every code-unit offset 0...length, whether a user-perceived character starts or
// ends there. Segmenting the decomposed text makes the marks the same for equivalent spellings.
std::optional<std::vector<bool>> graphemeBoundaries(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !characters) {
        return std::nullopt;
    }
    characters->setText(text);
    std::vector<bool> boundaries(static_cast<std::size_t>(text.length()) + 1, false);
    for (auto offset = characters->first(); offset != icu::BreakIterator::DONE;
         offset = characters->next()) {
        boundaries[static_cast<std::size_t>(offset)] = true;
    }
    return boundaries;
}

}  // namespace

std::string lowercased(std::string_view utf8) {
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    // The root locale gives the default mapping: no Turkish or Lithuanian special cases.
    std::string result;
    icu::UnicodeString(text).toLower(icu::Locale::getRoot()).toUTF8String(result);
    return result;
}

bool containsCanonically(std::string_view haystackUtf8, std::string_view needleUtf8) {
    if (needleUtf8.empty()) {
        return false;
    }
    const auto haystack = canonicalText(haystackUtf8);
    const auto needle = canonicalText(needleUtf8);
    if (!haystack || !needle || needle->length() > haystack->length()) {
        return false;
    }
    auto start = haystack->indexOf(*needle);
    if (start < 0) {
        return false;
    }
    // Segmenting costs far more than searching, so it waits for a first candidate.
    const auto haystackBoundaries = graphemeBoundaries(*haystack);
    const auto needleBoundaries = graphemeBoundaries(*needle);
    if (!haystackBoundaries || !needleBoundaries) {
        return false;
    }
    // Equal code units with equal character boundaries are equal character sequences.
    const auto needleLength = static_cast<std::size_t>(needle->length());
    for (; start >= 0; start = haystack->indexOf(*needle, start + 1)) {
        const auto offset = static_cast<std::size_t>(start);
        bool sameCharacters = true;
        for (std::size_t i = 0; i <= needleLength && sameCharacters; ++i) {
            sameCharacters = (*haystackBoundaries)[offset + i] == (*needleBoundaries)[i];
        }
        if (sameCharacters) {
            return true;
        }
    }
    return false;
}

std::string quotedForTerminal(std::string_view utf8) {
    std::string quoted = "\"";
    const auto length = static_cast<std::int64_t>(utf8.size());
    std::int64_t offset = 0;
    while (offset < length) {
        const std::int64_t start = offset;
        UChar32 character = 0;
// ICU's decoding macro narrows ints internally.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
        U8_NEXT(utf8.data(), offset, length, character);
#pragma GCC diagnostic pop
        char escape[16] = {};
        if (character < 0) {
            for (auto byte = start; byte < offset; ++byte) {
                std::snprintf(escape, sizeof escape, "\\x%02X",
                              static_cast<unsigned char>(utf8[static_cast<std::size_t>(byte)]));
                quoted += escape;
            }
            continue;
        }
        switch (character) {
            case '"':
                quoted += "\\\"";
                continue;
            case '\\':
                quoted += "\\\\";
                continue;
            case '\n':
                quoted += "\\n";
                continue;
            case '\t':
                quoted += "\\t";
                continue;
            default:
                break;
        }
        const auto type = u_charType(character);
        if (type == U_CONTROL_CHAR || type == U_FORMAT_CHAR || type == U_LINE_SEPARATOR ||
            type == U_PARAGRAPH_SEPARATOR) {
            std::snprintf(escape, sizeof escape, character < 0x80 ? "\\x%02X" : "\\u{%X}",
                          static_cast<unsigned>(character));
            quoted += escape;
        } else {
            quoted.append(utf8.substr(static_cast<std::size_t>(start),
                                      static_cast<std::size_t>(offset - start)));
        }
    }
    quoted += '"';
    return quoted;
}

}  // namespace tarnwick
