# The bootloader link: the port owner, the request/response primitive, the handshake steps
# and the result codes. The block transfer adds its sources to the same library.
add_library(quillon_protocol STATIC ${CMAKE_CURRENT_LIST_DIR}/boot_link.cpp)
target_link_libraries(quillon_protocol PUBLIC quillon_serial quillon_common)
