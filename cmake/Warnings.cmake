# Warnings, sanitizers and Debian's hardening flags for everything built here.

# Designated initializers that leave members at their defaults are intended.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
    -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 reports std::string concatenation at -O3 as overlapping memcpy (GCC bug 105651).
    add_compile_options(-Wno-restrict)
endif()
if(TARNWICK_WERROR)
    add_compile_options(-Werror)
endif()
if(TARNWICK_SANITIZE AND TARNWICK_THREAD_SANITIZE)
    message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
endif()
if(TARNWICK_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
if(TARNWICK_THREAD_SANITIZE)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

if(TARNWICK_HARDENING)
    include(CheckPIESupported)
    include(CheckCXXSourceCompiles)
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
    add_link_options(-Wl,-z,relro,-z,now)
    # Fortification needs optimisation, and the sanitizers check those calls themselves. Level 3
    # also checks sizes known only at run time, where the compiler can tell them.
    if(NOT TARNWICK_SANITIZE AND NOT TARNWICK_THREAD_SANITIZE)
        set(CMAKE_REQUIRED_FLAGS "-O2")
        check_cxx_source_compiles("
            #if !defined(__has_builtin) || !__has_builtin(__builtin_dynamic_object_size)
            #error no dynamic object sizes
            #endif
            int main() { return 0; }" TARNWICK_HAS_FORTIFY_3)
        unset(CMAKE_REQUIRED_FLAGS)
        if(TARNWICK_HAS_FORTIFY_3)
            set(TARNWICK_FORTIFY_LEVEL 3)
        else()
            set(TARNWICK_FORTIFY_LEVEL 2)
        endif()
        # Both as options, in this order: definitions go before options on the command line,
        # where the -U would undo the -D.
        add_compile_options($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE>
            $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=${TARNWICK_FORTIFY_LEVEL}>)
    endif()
endif()
