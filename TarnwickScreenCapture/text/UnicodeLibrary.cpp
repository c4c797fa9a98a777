#include "TarnwickScreenCapture/text/UnicodeLibrary.hpp"

#include <unicode/urename.h>
#include <unicode/uvernum.h>

#include <string>

#include "TarnwickScreenCapture/posix/LoadedLibrary.hpp"

// ICU's entry points carry its major version: the headers rename each function to its versioned
// name, which the argument expands to before it is quoted.
#define TARNWICK_ICU_NAME(name) TARNWICK_ICU_QUOTE(name)
#define TARNWICK_ICU_QUOTE(name) #name

namespace tarnwick {

RuntimeLibrary unicodeRuntimeLibrary() {
    const std::string major = std::to_string(U_ICU_VERSION_MAJOR_NUM);
    return {"libicuuc.so." + major, "libicu" + major,
            "matching window titles and owner names beyond ASCII"};
}

const UnicodeLibrary* unicodeLibrary() {
    static const std::string file = unicodeRuntimeLibrary().file;
    return loadedOnce<UnicodeLibrary>(file.c_str(), [](void* library, UnicodeLibrary& functions) {
        return resolveSymbol(library, TARNWICK_ICU_NAME(u_strFromUTF8WithSub),
                             functions.strFromUTF8WithSub) &&
               resolveSymbol(library, TARNWICK_ICU_NAME(u_strToUTF8WithSub),
                             functions.strToUTF8WithSub) &&
               resolveSymbol(library, TARNWICK_ICU_NAME(u_strToLower), functions.strToLower) &&
               resolveSymbol(library, TARNWICK_ICU_NAME(unorm2_getNFDInstance),
                             functions.getNFDInstance) &&
               resolveSymbol(library, TARNWICK_ICU_NAME(unorm2_normalize), functions.normalize) &&
               resolveSymbol(library, TARNWICK_ICU_NAME(ubrk_open), functions.openBreakIterator) &&
               resolveSymbol(library, TARNWICK_ICU_NAME(ubrk_first), functions.first) &&
               resolveSymbol(library, TARNWICK_ICU_NAME(ubrk_next), functions.next) &&
               resolveSymbol(library, TARNWICK_ICU_NAME(ubrk_close), functions.close) &&
               resolveSymbol(library, TARNWICK_ICU_NAME(u_charType), functions.charType);
    });
}

}  // namespace tarnwick
