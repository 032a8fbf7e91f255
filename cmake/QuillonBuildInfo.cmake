# build_info.h: the version and `git describe` of the source tree, remade at every build and
# rewritten only when it changes, so nothing is recompiled needlessly. Targets link
# quillon_build_info and include "build_info.h".
if(CMAKE_SCRIPT_MODE_FILE)
    set(describe "")
    if(GIT_EXECUTABLE)
        execute_process(COMMAND "${GIT_EXECUTABLE}" describe --tags --always --dirty
                        WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE describe
                        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
            set(describe "")
        endif()
    endif()
    if(describe STREQUAL "")
        set(describe "unknown")
    endif()
    string(CONCAT content "// Made by cmake/QuillonBuildInfo.cmake at build time.\n#pragma once\n"
           "#define QUILLON_VERSION \"${VERSION}\"\n#define QUILLON_BUILD \"${describe}\"\n")
    set(old "")
    if(EXISTS "${OUT}")
        file(READ "${OUT}" old)
    endif()
    if(NOT old STREQUAL content)
        file(WRITE "${OUT}" "${content}")
    endif()
    return()
endif()

find_package(Git QUIET)
set(QUILLON_BUILD_INFO_DIR ${CMAKE_BINARY_DIR}/generated)
add_custom_target(quillon_build_info_header
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DVERSION=${PROJECT_VERSION}
            -DGIT_EXECUTABLE=${GIT_EXECUTABLE} -DOUT=${QUILLON_BUILD_INFO_DIR}/build_info.h
            -P ${CMAKE_CURRENT_LIST_FILE}
    BYPRODUCTS ${QUILLON_BUILD_INFO_DIR}/build_info.h
    COMMENT "Build information (git describe)"
    VERBATIM)
add_library(quillon_build_info INTERFACE)
target_include_directories(quillon_build_info INTERFACE ${QUILLON_BUILD_INFO_DIR})
add_dependencies(quillon_build_info quillon_build_info_header)
