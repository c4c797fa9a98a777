#pragma once

#include <dlfcn.h>

namespace tarnwick {

// Sets `function` to the library's symbol of that name; false when it has none.
template <typename Function>
bool resolveSymbol(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

}  // namespace tarnwick
