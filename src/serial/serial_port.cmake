# The serial port object: one class, one implementation file per platform.
if(WIN32)
    set(QUILLON_SERIAL_PLATFORM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/serial_win32.cpp)
else()
    set(QUILLON_SERIAL_PLATFORM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/serial_posix.cpp)
endif()
# Network ports (rfc2217://, socket://) are one more implementation behind the same class.
add_library(quillon_serial STATIC ${CMAKE_CURRENT_LIST_DIR}/serial_exception.cpp
                                  ${CMAKE_CURRENT_LIST_DIR}/net_port.cpp
                                  ${CMAKE_CURRENT_LIST_DIR}/net_socket.cpp
                                  ${QUILLON_SERIAL_PLATFORM_SOURCES})
target_link_libraries(quillon_serial PUBLIC quillon_common)
find_package(Threads REQUIRED)  # name resolution runs on a thread of its own
target_link_libraries(quillon_serial PRIVATE Threads::Threads)
if(WIN32)
    target_link_libraries(quillon_serial PRIVATE winmm ws2_32)  # timeBeginPeriod; sockets
endif()
