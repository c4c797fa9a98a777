# The libraries the tool is built with (Debian packages; scripts/install-dependencies --build).
find_package(PkgConfig REQUIRED)
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-shm xcb-composite xcb-randr)
pkg_check_modules(LIBJPEG REQUIRED IMPORTED_TARGET libjpeg)
pkg_check_modules(TURBOJPEG REQUIRED libturbojpeg)
pkg_check_modules(ICU REQUIRED icu-uc)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
pkg_check_modules(SDBUS REQUIRED libsystemd)
pkg_check_modules(SPNG REQUIRED IMPORTED_TARGET spng)
pkg_get_variable(WAYLAND_PROTOCOLS_DIR wayland-protocols pkgdatadir)
pkg_get_variable(WAYLAND_SCANNER wayland-scanner wayland_scanner)
if(NOT WAYLAND_PROTOCOLS_DIR OR NOT WAYLAND_SCANNER)
    message(FATAL_ERROR "wayland-protocols and wayland-scanner are needed (libwayland-dev wayland-protocols)")
endif()

# The client code of each Wayland protocol, generated from its description.
set(WAYLAND_GENERATED ${CMAKE_CURRENT_BINARY_DIR}/wayland-protocols)
file(MAKE_DIRECTORY ${WAYLAND_GENERATED})
set(WAYLAND_PROTOCOL_SOURCES)
foreach(protocol
        ${CMAKE_CURRENT_SOURCE_DIR}/TarnwickScreenCapture/backends/wlroots/protocols/wlr-screencopy-unstable-v1.xml
        ${CMAKE_CURRENT_SOURCE_DIR}/TarnwickScreenCapture/backends/wlroots/protocols/wlr-foreign-toplevel-management-unstable-v1.xml
        ${CMAKE_CURRENT_SOURCE_DIR}/TarnwickScreenCapture/backends/wlroots/protocols/ext-foreign-toplevel-list-v1.xml
        ${CMAKE_CURRENT_SOURCE_DIR}/TarnwickScreenCapture/backends/wlroots/protocols/ext-image-capture-source-v1.xml
        ${CMAKE_CURRENT_SOURCE_DIR}/TarnwickScreenCapture/backends/wlroots/protocols/ext-image-copy-capture-v1.xml
        ${WAYLAND_PROTOCOLS_DIR}/unstable/xdg-output/xdg-output-unstable-v1.xml)
    get_filename_component(protocol_name ${protocol} NAME_WE)
    add_custom_command(
        OUTPUT ${WAYLAND_GENERATED}/${protocol_name}-client-protocol.h
               ${WAYLAND_GENERATED}/${protocol_name}-protocol.c
        COMMAND ${WAYLAND_SCANNER} client-header ${protocol}
                ${WAYLAND_GENERATED}/${protocol_name}-client-protocol.h
        COMMAND ${WAYLAND_SCANNER} private-code ${protocol}
                ${WAYLAND_GENERATED}/${protocol_name}-protocol.c
        DEPENDS ${protocol}
        VERBATIM)
    list(APPEND WAYLAND_PROTOCOL_SOURCES ${WAYLAND_GENERATED}/${protocol_name}-client-protocol.h
         ${WAYLAND_GENERATED}/${protocol_name}-protocol.c)
endforeach()

# The version that --version prints, from project().
set(TARNWICK_GENERATED_INCLUDE ${CMAKE_CURRENT_BINARY_DIR}/generated)
configure_file(TarnwickScreenCapture/cli/Version.hpp.in
    ${TARNWICK_GENERATED_INCLUDE}/TarnwickScreenCapture/cli/Version.hpp @ONLY)
