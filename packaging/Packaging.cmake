# Installation and the Debian package (cpack in a build folder, or the "package" presets).
include(GNUInstallDirs)
set(TARNWICK_PACKAGE_NAME tarnwick-screen-capture)
set(TARNWICK_PACKAGE_MAINTAINER "TarnwickScreenCapture maintainers <maintainers@tarnwick.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(TARNWICK_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${TARNWICK_PACKAGE_NAME})
set(TARNWICK_STAGING ${CMAKE_CURRENT_BINARY_DIR}/packaging)

install(TARGETS TarnwickScreenCapture RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${TARNWICK_DOC_DIR})
# The installed README links into docs/.
install(DIRECTORY docs DESTINATION ${TARNWICK_DOC_DIR})
install(PROGRAMS examples/capture-client.sh examples/capture_client.py
    DESTINATION ${TARNWICK_DOC_DIR}/examples)

# Debian's copyright format: the licence text follows "License:" indented by one space, with
# " ." for each empty line.
file(READ LICENSE TARNWICK_LICENSE_TEXT)
string(REGEX REPLACE "^.*\n\n(Permission is hereby granted)" "\\1" TARNWICK_LICENSE_TEXT
    "${TARNWICK_LICENSE_TEXT}")
string(STRIP "${TARNWICK_LICENSE_TEXT}" TARNWICK_LICENSE_TEXT)
string(REPLACE "\n\n" "\n.\n" TARNWICK_LICENSE_PARAGRAPH "${TARNWICK_LICENSE_TEXT}")
string(REPLACE "\n" "\n " TARNWICK_LICENSE_PARAGRAPH " ${TARNWICK_LICENSE_PARAGRAPH}")
configure_file(packaging/copyright.in ${TARNWICK_STAGING}/copyright @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)
install(FILES ${TARNWICK_STAGING}/copyright DESTINATION ${TARNWICK_DOC_DIR})

# The manual page and the changelog as Debian ships them: gzip -9, without name or time stamp.
set(TARNWICK_COMPRESSED)
foreach(source man/TarnwickScreenCapture.1 packaging/changelog)
    get_filename_component(name ${source} NAME)
    set(staged ${TARNWICK_STAGING}/${name})
    add_custom_command(OUTPUT ${staged}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${staged}
        COMMAND gzip -9nf ${staged}
        DEPENDS ${source}
        VERBATIM)
    list(APPEND TARNWICK_COMPRESSED ${staged}.gz)
endforeach()
add_custom_target(compressed_documentation ALL DEPENDS ${TARNWICK_COMPRESSED})
install(FILES ${TARNWICK_STAGING}/TarnwickScreenCapture.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${TARNWICK_STAGING}/changelog.gz DESTINATION ${TARNWICK_DOC_DIR})

# The unit and the .desktop file name the installed binary by its absolute path, and the prefix
# is only known at install time (cmake --install --prefix, or /usr when cpack stages the
# package). KWin lets only an executable that a .desktop file names take screenshots; the entry
# is not shown in menus.
set(TARNWICK_UNIT_TEMPLATE ${CMAKE_CURRENT_SOURCE_DIR}/packaging/tarnwick-screen-capture-agent.service.in)
set(TARNWICK_UNIT_STAGED ${TARNWICK_STAGING}/tarnwick-screen-capture-agent.service)
set(TARNWICK_DESKTOP_TEMPLATE ${CMAKE_CURRENT_SOURCE_DIR}/packaging/tarnwick-screen-capture.desktop.in)
set(TARNWICK_DESKTOP_STAGED ${TARNWICK_STAGING}/tarnwick-screen-capture.desktop)
install(CODE "
    set(TARNWICK_INSTALLED_BINARY \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/TarnwickScreenCapture\")
    configure_file(\"${TARNWICK_UNIT_TEMPLATE}\" \"${TARNWICK_UNIT_STAGED}\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\" TYPE FILE
        FILES \"${TARNWICK_UNIT_STAGED}\")
    configure_file(\"${TARNWICK_DESKTOP_TEMPLATE}\" \"${TARNWICK_DESKTOP_STAGED}\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\"
        TYPE FILE FILES \"${TARNWICK_DESKTOP_STAGED}\")
")

# The GNOME Shell extension, in the variant of the shell the package is built for (the build
# machine's own, else the ES-module one of GNOME 45 and later); off until the user enables it.
include(cmake/GnomeExtension.cmake)
set(TARNWICK_GNOME_SHELL_STYLE auto CACHE STRING
    "GNOME Shell extension to install: legacy (GNOME 43, 44), module (45 and later) or auto")
set(TARNWICK_GNOME_VARIANT ${TARNWICK_GNOME_SHELL_STYLE})
if(TARNWICK_GNOME_VARIANT STREQUAL "auto")
    set(TARNWICK_GNOME_VARIANT module)
    execute_process(COMMAND gnome-shell --version OUTPUT_VARIABLE shell_version
        RESULT_VARIABLE shell_result ERROR_QUIET)
    if(shell_result EQUAL 0 AND shell_version MATCHES "([0-9]+)\\." AND CMAKE_MATCH_1 LESS 45)
        set(TARNWICK_GNOME_VARIANT legacy)
    endif()
endif()
foreach(variant legacy module)
    tarnwick_gnome_extension(${variant} ${PROJECT_BINARY_DIR}/gnome-extension/${variant})
endforeach()
file(GLOB TARNWICK_GNOME_EXTENSION_FILES
    ${TARNWICK_GNOME_EXTENSION_SOURCE}/*.js ${TARNWICK_GNOME_EXTENSION_SOURCE}/*.in)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TARNWICK_GNOME_EXTENSION_FILES})
install(DIRECTORY
    ${PROJECT_BINARY_DIR}/gnome-extension/${TARNWICK_GNOME_VARIANT}/${TARNWICK_GNOME_EXTENSION_UUID}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/gnome-shell/extensions)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TARNWICK_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "TarnwickScreenCapture")
set(CPACK_PACKAGE_CONTACT "${TARNWICK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "JPEG screenshot of the Tavik or Brevant window or of the desktop")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARNWICK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The desktop of GNOME sessions comes through it, and KDE's when KWin refuses.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS xdg-desktop-portal)
# ICU, sd-bus, libspng and TurboJPEG are loaded at run time, where the shared-library scan does
# not see them.
string(REGEX MATCH "^[0-9]+" TARNWICK_ICU_MAJOR "${ICU_VERSION}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libicu${TARNWICK_ICU_MAJOR}, libsystemd0, libspng0, libturbojpeg0")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "TarnwickScreenCapture takes one JPEG screenshot of the on-screen window of the
Tavik or Brevant application, or of the whole desktop (X11, or Wayland on sway
and other wlroots compositors, on KDE Plasma through KWin, and on GNOME through
the desktop portal), scales it down to a maximum width and writes it to a file.
It runs once from the command line, or as a per-user agent (a systemd user unit
is included) that answers JSON requests written to a file under the home
directory.")
include(CPack)
