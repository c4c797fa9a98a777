#pragma once

#include <dlfcn.h>

#include <optional>
#include <string>

namespace tarnwick {

// A library loaded at run time, which the shared-library scan (ldd, the package's shlibdeps) does
// not see: its file, the Debian package that brings it, and what needs it.
struct RuntimeLibrary {
    std::string file;
    std::string package;
    std::string use;
};

// Why the library cannot be loaded, in the loader's words; none when it can.
inline std::optional<std::string> libraryLoadFailure(const std::string& file) {
    void* library = ::dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        return std::string(why != nullptr ? why : "not found");
    }
    ::dlclose(library);
    return std::nullopt;
}

// The cause a step gives when it needed the library and could not load it.
inline std::string missingLibraryText(const RuntimeLibrary& library) {
    return library.file + " cannot be loaded (install " + library.package + ")";
}

// Sets `function` to the library's symbol of that name; false when it has none.
template <typename Function>
bool resolveSymbol(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

// The functions of a library loaded on first use and kept for the life of the process: `file`
// is opened once, and `resolve(library, table)` fills the table. Null when either fails, then and
// on every later call.
template <typename Table>
const Table* loadedOnce(const char* file, bool (*resolve)(void* library, Table& table)) {
    static const std::optional<Table> loaded = [&]() -> std::optional<Table> {
        void* library = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
        Table table{};
        if (library == nullptr || !resolve(library, table)) {
            return std::nullopt;
        }
        return table;
    }();
    return loaded ? &*loaded : nullptr;
}

}  // namespace tarnwick
