#pragma once

#include <dlfcn.h>

#include <optional>

namespace tarnwick {

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
