# The version and build every program prints: the version is the project's, the build is what
# `git describe` says when the programs are built. Included by the top-level CMakeLists, this
# file adds a target that runs it again as a script (cmake -P) on every build; the script
# rewrites the header only when its text changes, so a new commit needs no re-configure and
# an unchanged one recompiles nothing. Outside a git checkout the build reads QUILLON_BUILD_ID
# (a packager may set it), else "unknown".
if(CMAKE_SCRIPT_MODE_FILE)
    set(build "${BUILD_ID}")
    if(build STREQUAL "")
        find_package(Git QUIET)
        if(GIT_FOUND)
            execute_process(
                COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} describe --tags --always --dirty
                OUTPUT_VARIABLE build OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE rc ERROR_QUIET)
            if(NOT rc EQUAL 0)
                set(build "")
            endif()
        endif()
    endif()
    if(build STREQUAL "")
        set(build "unknown")
    endif()
    set(text "// Generated at build time by cmake/QuillonBuildInfo.cmake.\n#pragma once\n")
    string(APPEND text "#define QUILLON_VERSION_TEXT \"${VERSION}\"\n")
    string(APPEND text "#define QUILLON_BUILD_TEXT \"${build}\"\n")
    set(old "")
    if(EXISTS ${OUTPUT})
        file(READ ${OUTPUT} old)
    endif()
    if(NOT old STREQUAL text)
        file(WRITE ${OUTPUT} "${text}")
    endif()
    return()
endif()

set(QUILLON_BUILD_ID "" CACHE STRING "Build text when the source is not a git checkout")
set(QUILLON_BUILD_INFO_HEADER ${CMAKE_BINARY_DIR}/generated/quillon_build_info.h)
add_custom_target(quillon_build_info_header
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DOUTPUT=${QUILLON_BUILD_INFO_HEADER} -DVERSION=${PROJECT_VERSION}
            -DBUILD_ID=${QUILLON_BUILD_ID} -P ${CMAKE_CURRENT_LIST_FILE}
    BYPRODUCTS ${QUILLON_BUILD_INFO_HEADER}
    COMMENT "Build information"
    VERBATIM)
