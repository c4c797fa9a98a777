# The GNOME Shell extension, in its two variants made from one service (service.js): "legacy"
# (the imports style of GNOME Shell 43 and 44) and "module" (ES modules, 45 and later). Each
# variant's folder is <output>/<uuid>/ with extension.js and metadata.json.
#
# Included, it defines tarnwick_gnome_extension(). Run as a script, it makes one variant:
#   cmake -DVARIANT=legacy|module -DOUTPUT=folder -P cmake/GnomeExtension.cmake
set(TARNWICK_GNOME_EXTENSION_UUID "screen-capture@tarnwick.invalid")
set(TARNWICK_GNOME_EXTENSION_SOURCE
    ${CMAKE_CURRENT_LIST_DIR}/../TarnwickScreenCapture/backends/gnome/extension)
# The majors each variant was tested on; the shell refuses one that does not list its own.
set(TARNWICK_GNOME_SHELL_VERSIONS_legacy "\"43\"")
set(TARNWICK_GNOME_SHELL_VERSIONS_module "\"48\"")

function(tarnwick_gnome_extension variant output)
    set(source ${TARNWICK_GNOME_EXTENSION_SOURCE})
    file(READ ${source}/service.js service)
    file(READ ${source}/extension-${variant}.js wrapper)
    string(REPLACE "// @SERVICE@\n" "${service}" extension "${wrapper}")
    set(folder ${output}/${TARNWICK_GNOME_EXTENSION_UUID})
    file(MAKE_DIRECTORY ${folder})
    file(WRITE ${folder}/extension.js "${extension}")
    set(SHELL_VERSIONS ${TARNWICK_GNOME_SHELL_VERSIONS_${variant}})
    configure_file(${source}/metadata.json.in ${folder}/metadata.json @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
    tarnwick_gnome_extension(${VARIANT} ${OUTPUT})
endif()
