# The serial port object: one class, one implementation file per platform.
if(WIN32)
    set(QUILLON_SERIAL_PLATFORM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/serial_win32.cpp)
else()
    set(QUILLON_SERIAL_PLATFORM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/serial_posix.cpp)
endif()
add_library(quillon_serial STATIC ${CMAKE_CURRENT_LIST_DIR}/serial_exception.cpp
                                  ${QUILLON_SERIAL_PLATFORM_SOURCES})
target_link_libraries(quillon_serial PUBLIC quillon_common)
if(WIN32)
    target_link_libraries(quillon_serial PRIVATE winmm)  # timeBeginPeriod
endif()
