# The Debian package, made by CPack (scripts/package.sh): the programs with their manual pages,
# the desktop entry and icon, and under /usr/share/doc/quillon a note on the dialout group,
# the copyright file and the changelog. Its dependencies are computed by dpkg-shlibdeps from
# the programs.
if(CMAKE_CROSSCOMPILING OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
endif()
include(GNUInstallDirs)

set(QUILLON_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/quillon)
string(TIMESTAMP QUILLON_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(res/debian/changelog.in debian/changelog @ONLY)
# Compressed as Debian wants it: maximum compression, no name or time stamp in the header.
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/debian/changelog RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip of the package changelog failed")
endif()
install(FILES ${CMAKE_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${QUILLON_DOC_DIR})
install(FILES res/debian/copyright res/debian/README.Debian DESTINATION ${QUILLON_DOC_DIR})

# The manual pages, made from each program's --help by help2man (res/man/make-page.sh) when
# the program is built, so that they follow it. Not in sanitizer builds, whose programs
# would have to run under the sanitizers just to print their help.
find_program(QUILLON_HELP2MAN help2man)
if(QUILLON_HELP2MAN AND NOT QUILLON_SANITIZE)
    set(QUILLON_MAN_PAGES)
    foreach(program quillon quillon-cli quillon-sim quillon-mkfw)
        if(NOT TARGET ${program})
            continue()
        endif()
        set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
        set(sources res/man/make-page.sh res/man/${program}.h2m)
        if(program STREQUAL "quillon-cli")  # its exit codes may come from the README
            list(APPEND sources README.md)
        endif()
        add_custom_command(OUTPUT ${page}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
            COMMAND bash ${PROJECT_SOURCE_DIR}/res/man/make-page.sh ${program}
                    $<TARGET_FILE:${program}> ${PROJECT_VERSION}
                    ${PROJECT_SOURCE_DIR}/res/man/${program}.h2m ${PROJECT_SOURCE_DIR}/README.md
                    ${page}
            DEPENDS ${program} ${sources}
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            COMMENT "Manual page ${program}(1)"
            VERBATIM)
        list(APPEND QUILLON_MAN_PAGES ${page})
    endforeach()
    add_custom_target(quillon_man_pages ALL DEPENDS ${QUILLON_MAN_PAGES})
    install(FILES ${QUILLON_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
elseif(NOT QUILLON_SANITIZE)
    message(STATUS "help2man not found: no manual pages (scripts/setup.sh --test installs it)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillon developers <quillon@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware flasher for solar inverter controllers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quillon writes new firmware into a solar inverter's controller through a
serial port. It comes as a Qt desktop application, quillon, and a command line,
quillon-cli, which share one flash run. quillon-sim simulates the inverter's
bootloader on a pseudo-terminal, and quillon-mkfw writes sample firmware files
for rehearsals.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
