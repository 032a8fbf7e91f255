# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix-threads variant, so that
# std::thread and std::mutex work). The runtime is linked statically: the programs run on a
# bare Windows machine (and under Wine) without the compiler's DLLs beside them.
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLON_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILLON_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLON_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLON_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# CLI11 is header-only, so the build machine's copy serves, but /usr/include itself must not
# reach the cross compiler (glibc's headers would shadow the mingw ones): the build folder
# gets a folder holding just a link to it.
set(QUILLON_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
if(EXISTS /usr/include/CLI/CLI.hpp AND NOT EXISTS ${QUILLON_CROSS_INCLUDE}/CLI)
    file(MAKE_DIRECTORY ${QUILLON_CROSS_INCLUDE})
    file(CREATE_LINK /usr/include/CLI ${QUILLON_CROSS_INCLUDE}/CLI SYMBOLIC)
endif()
if(EXISTS ${QUILLON_CROSS_INCLUDE}/CLI/CLI.hpp)
    set(CLI11_INCLUDE_DIR ${QUILLON_CROSS_INCLUDE} CACHE PATH "CLI11 headers for the cross build")
endif()

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs are listed when ctest runs, not after the link: the build machine cannot run
# them, Wine can (scripts/test-windows.sh runs them directly).
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
find_program(QUILLON_WINE wine)
if(QUILLON_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLON_WINE})
endif()
