# tarnwick_module(NAME FOLDER [PUBLIC module...] [PRIVATE module...] [LIBRARIES target...]
#                 [SOURCES file...] [PRIVATE_INCLUDES dir...])
#
# The library tarnwick_NAME from the sources in TarnwickScreenCapture/FOLDER (not its
# subfolders). Its headers are seen, as "TarnwickScreenCapture/FOLDER/Name.hpp", only by the
# module itself and by what links it: each module's include folder in the build tree holds links
# to its own headers alone, and the source tree is on no include path. PUBLIC modules are those
# whose headers this module's headers include, so what links it sees them too; PRIVATE modules
# only its sources include, and nothing above sees them through it.
function(tarnwick_module name folder)
    cmake_parse_arguments(PARSE_ARGV 2 MODULE "" ""
        "PUBLIC;PRIVATE;LIBRARIES;SOURCES;PRIVATE_INCLUDES")
    if(MODULE_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "tarnwick_module(${name}): ${MODULE_UNPARSED_ARGUMENTS} belongs to no "
            "keyword; modules go after PUBLIC (its headers include theirs) or PRIVATE")
    endif()
    set(source_folder ${PROJECT_SOURCE_DIR}/TarnwickScreenCapture/${folder})
    file(GLOB sources CONFIGURE_DEPENDS ${source_folder}/*.cpp)
    file(GLOB headers CONFIGURE_DEPENDS ${source_folder}/*.hpp)

    set(include_root ${PROJECT_BINARY_DIR}/modules/${name})
    set(linked_folder ${include_root}/TarnwickScreenCapture/${folder})
    file(REMOVE_RECURSE ${include_root})
    file(MAKE_DIRECTORY ${linked_folder})
    foreach(header ${headers})
        get_filename_component(header_name ${header} NAME)
        file(CREATE_LINK ${header} ${linked_folder}/${header_name} SYMBOLIC)
    endforeach()

    add_library(tarnwick_${name} STATIC ${sources} ${headers} ${MODULE_SOURCES})
    target_include_directories(tarnwick_${name} PUBLIC ${include_root}
        PRIVATE ${MODULE_PRIVATE_INCLUDES})
    list(TRANSFORM MODULE_PUBLIC PREPEND tarnwick_)
    list(TRANSFORM MODULE_PRIVATE PREPEND tarnwick_)
    target_link_libraries(tarnwick_${name} PUBLIC ${MODULE_PUBLIC}
        PRIVATE ${MODULE_PRIVATE} ${MODULE_LIBRARIES})
endfunction()
