# Port discovery: the port list rules (every platform), the SetupAPI source on Windows, the
# Linux sysfs source and the hot-plug monitor. libudev is optional: without it the list still
# works from sysfs, only adapters plugged in while the program runs are not noticed.
add_library(quillon_ports STATIC ${CMAKE_CURRENT_LIST_DIR}/port_list.cpp)
target_link_libraries(quillon_ports PUBLIC quillon_common)

if(WIN32)
    target_sources(quillon_ports PRIVATE ${CMAKE_CURRENT_LIST_DIR}/port_source_win32.cpp)
    target_link_libraries(quillon_ports PRIVATE setupapi advapi32)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_sources(quillon_ports PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/port_source_linux.cpp
        ${CMAKE_CURRENT_LIST_DIR}/hotplug_monitor.cpp)
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
        pkg_check_modules(UDEV QUIET IMPORTED_TARGET libudev)
    endif()
    if(UDEV_FOUND)
        target_link_libraries(quillon_ports PRIVATE PkgConfig::UDEV)
        target_compile_definitions(quillon_ports PRIVATE QUILLON_HAVE_LIBUDEV=1)
    else()
        message(STATUS "libudev not found: serial adapters are listed but not followed")
    endif()
endif()
