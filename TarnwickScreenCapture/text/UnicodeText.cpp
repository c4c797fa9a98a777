#include "TarnwickScreenCapture/text/UnicodeText.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "TarnwickScreenCapture/text/UnicodeLibrary.hpp"

namespace tarnwick {

namespace {

constexpr UChar32 kReplacementCharacter = 0xFFFD;

bool fitsICU(std::size_t length) {
    return length <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
}

// Fills `out` by a call that reports the length it needs when the room it is given is too small.
template <typename Unit, typename Call>
bool filled(std::basic_string<Unit>& out, Call call) {
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t length = call(out.data(), static_cast<std::int32_t>(out.size()), status);
    if (status == U_BUFFER_OVERFLOW_ERROR && length >= 0) {
        out.resize(static_cast<std::size_t>(length));
        status = U_ZERO_ERROR;
        length = call(out.data(), static_cast<std::int32_t>(out.size()), status);
    }
    if (U_FAILURE(status) || length < 0 || static_cast<std::size_t>(length) > out.size()) {
        return false;
    }
    out.resize(static_cast<std::size_t>(length));
    return true;
}

// UTF-16 text; invalid UTF-8 sequences arrive as U+FFFD.
std::optional<std::u16string> utf16(const UnicodeLibrary& icu, std::string_view utf8) {
    if (!fitsICU(utf8.size())) {
        return std::nullopt;
    }
    std::u16string text(utf8.size(), u'\0');
    const bool converted = filled(text, [&](UChar* out, std::int32_t room, UErrorCode& status) {
        std::int32_t length = 0;
        icu.strFromUTF8WithSub(out, room, &length, utf8.data(),
                               static_cast<std::int32_t>(utf8.size()), kReplacementCharacter,
                               nullptr, &status);
        return length;
    });
    return converted ? std::optional(std::move(text)) : std::nullopt;
}

// The text in its canonical decomposition, so that equivalent spellings become equal code units.
// None only when ICU cannot serve the request.
std::optional<std::u16string> canonicalText(const UnicodeLibrary& icu, std::string_view utf8) {
    const auto text = utf16(icu, utf8);
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfd = icu.getNFDInstance(&status);
    if (!text || U_FAILURE(status)) {
        return std::nullopt;
    }
    std::u16string decomposed(text->size() * 2, u'\0');
    const bool normalized =
        filled(decomposed, [&](UChar* out, std::int32_t room, UErrorCode& callStatus) {
            return icu.normalize(nfd, text->data(), static_cast<std::int32_t>(text->size()), out,
                                 room, &callStatus);
        });
    return normalized ? std::optional(std::move(decomposed)) : std::nullopt;
}

// Marks, for every code-unit offset 0...length, whether a user-perceived character starts or
// ends there. Segmenting the decomposed text makes the marks the same for equivalent spellings.
std::optional<std::vector<bool>> graphemeBoundaries(const UnicodeLibrary& icu,
                                                    const std::u16string& text) {
    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator* characters = icu.openBreakIterator(
        UBRK_CHARACTER, "", text.data(), static_cast<std::int32_t>(text.size()), &status);
    if (U_FAILURE(status) || characters == nullptr) {
        return std::nullopt;
    }
    std::vector<bool> boundaries(text.size() + 1, false);
    for (auto offset = icu.first(characters); offset != UBRK_DONE; offset = icu.next(characters)) {
        boundaries[static_cast<std::size_t>(offset)] = true;
    }
    icu.close(characters);
    return boundaries;
}

// Whether a character shows as itself on a terminal: not a control, format or separator
// character. Without ICU, only printable ASCII counts.
bool printable(UChar32 character) {
    const UnicodeLibrary* icu = character < 0x80 ? nullptr : unicodeLibrary();
    if (icu == nullptr) {
        return character >= 0x20 && character < 0x7f;
    }
    const auto type = icu->charType(character);
    return type != U_CONTROL_CHAR && type != U_FORMAT_CHAR && type != U_LINE_SEPARATOR &&
           type != U_PARAGRAPH_SEPARATOR;
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

// containsCanonically for ASCII, without the library (which a bound on the address space may
// keep from loading): each character is its own, but for CR LF, which is one.
bool containsAscii(std::string_view haystack, std::string_view needle) {
    const auto splitsCrLf = [&](std::size_t offset) {
        return offset > 0 && offset < haystack.size() && haystack[offset - 1] == '\r' &&
               haystack[offset] == '\n';
    };
    for (auto start = haystack.find(needle); start != std::string_view::npos;
         start = haystack.find(needle, start + 1)) {
        if (!splitsCrLf(start) && !splitsCrLf(start + needle.size())) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string lowercased(std::string_view utf8) {
    // ASCII text maps letter by letter; the library is needed only beyond it.
    if (isAscii(utf8)) {
        std::string result(utf8);
        for (char& c : result) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return result;
    }
    const UnicodeLibrary* icu = unicodeLibrary();
    if (icu == nullptr) {
        return {};
    }
    const auto text = utf16(*icu, utf8);
    if (!text) {
        return {};
    }
    // The root locale gives the default mapping: no Turkish or Lithuanian special cases.
    std::u16string lower(text->size(), u'\0');
    std::string result(utf8.size(), '\0');
    const bool converted =
        filled(lower,
               [&](UChar* out, std::int32_t room, UErrorCode& status) {
                   return icu->strToLower(out, room, text->data(),
                                          static_cast<std::int32_t>(text->size()), "", &status);
               }) &&
        filled(result, [&](char* out, std::int32_t room, UErrorCode& status) {
            std::int32_t length = 0;
            icu->strToUTF8WithSub(out, room, &length, lower.data(),
                                  static_cast<std::int32_t>(lower.size()), kReplacementCharacter,
                                  nullptr, &status);
            return length;
        });
    return converted ? result : std::string();
}

bool containsCanonically(std::string_view haystackUtf8, std::string_view needleUtf8) {
    if (needleUtf8.empty()) {
        return false;
    }
    if (isAscii(haystackUtf8) && isAscii(needleUtf8)) {
        return containsAscii(haystackUtf8, needleUtf8);
    }
    const UnicodeLibrary* icu = unicodeLibrary();
    if (icu == nullptr) {
        return false;
    }
    const auto haystack = canonicalText(*icu, haystackUtf8);
    const auto needle = canonicalText(*icu, needleUtf8);
    if (!haystack || !needle || needle->empty() || needle->size() > haystack->size()) {
        return false;
    }
    auto start = haystack->find(*needle);
    if (start == std::u16string::npos) {
        return false;
    }
    // Segmenting costs far more than searching, so it waits for a first candidate.
    const auto haystackBoundaries = graphemeBoundaries(*icu, *haystack);
    const auto needleBoundaries = graphemeBoundaries(*icu, *needle);
    if (!haystackBoundaries || !needleBoundaries) {
        return false;
    }
    // Equal code units with equal character boundaries are equal character sequences.
    for (; start != std::u16string::npos; start = haystack->find(*needle, start + 1)) {
        bool sameCharacters = true;
        for (std::size_t i = 0; i <= needle->size() && sameCharacters; ++i) {
            sameCharacters = (*haystackBoundaries)[start + i] == (*needleBoundaries)[i];
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
        if (!printable(character)) {
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

std::string escapedForTerminal(std::string_view utf8, std::size_t longest) {
    const auto unquoted = [](std::string_view part) {
        const std::string quoted = quotedForTerminal(part);
        return quoted.substr(1, quoted.size() - 2);
    };
    if (utf8.size() <= longest) {
        return unquoted(utf8);
    }
    const auto continues = [&](std::size_t at) {
        return at < utf8.size() && (static_cast<unsigned char>(utf8[at]) & 0xC0) == 0x80;
    };
    std::size_t headEnd = longest - longest / 3;
    while (headEnd > 0 && continues(headEnd)) {
        --headEnd;
    }
    std::size_t tailStart = utf8.size() - longest / 3;
    while (continues(tailStart)) {
        ++tailStart;
    }
    return unquoted(utf8.substr(0, headEnd)) + "..." + unquoted(utf8.substr(tailStart));
}

std::string shownForTerminal(std::string_view utf8) {
    std::string quoted = quotedForTerminal(utf8);
    // Every escape lengthens the text: only the quotes were added.
    return quoted.size() == utf8.size() + 2 ? std::string(utf8) : quoted;
}

}  // namespace tarnwick
