#pragma once

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/utypes.h>

#include "TarnwickScreenCapture/posix/LoadedLibrary.hpp"

namespace tarnwick {

// The parts of ICU's C interface in use. The library is loaded on first use rather than at
// start: most runs (a desktop capture, a request with an ASCII target) never need it, and
// loading it costs more than a small capture's pixel work.
struct UnicodeLibrary {
    UChar* (*strFromUTF8WithSub)(UChar* dest, int32_t destCapacity, int32_t* destLength,
                                 const char* src, int32_t srcLength, UChar32 subchar,
                                 int32_t* numberOfSubstitutions, UErrorCode* status);
    char* (*strToUTF8WithSub)(char* dest, int32_t destCapacity, int32_t* destLength,
                              const UChar* src, int32_t srcLength, UChar32 subchar,
                              int32_t* numberOfSubstitutions, UErrorCode* status);
    int32_t (*strToLower)(UChar* dest, int32_t destCapacity, const UChar* src, int32_t srcLength,
                          const char* locale, UErrorCode* status);
    const UNormalizer2* (*getNFDInstance)(UErrorCode* status);
    int32_t (*normalize)(const UNormalizer2* norm2, const UChar* src, int32_t length, UChar* dest,
                         int32_t capacity, UErrorCode* status);
    UBreakIterator* (*openBreakIterator)(UBreakIteratorType type, const char* locale,
                                         const UChar* text, int32_t textLength, UErrorCode* status);
    int32_t (*first)(UBreakIterator* iterator);
    int32_t (*next)(UBreakIterator* iterator);
    void (*close)(UBreakIterator* iterator);
    int8_t (*charType)(UChar32 character);
};

// Null when the library cannot be loaded.
const UnicodeLibrary* unicodeLibrary();

// ICU's common library of the version built against: lower-casing and comparing titles beyond
// ASCII.
RuntimeLibrary unicodeRuntimeLibrary();

}  // namespace tarnwick
