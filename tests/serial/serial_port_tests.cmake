# CSerialPort over pseudo-terminals (never a real device). Windows has its own in
# tests/windows.
if(NOT WIN32)
    add_executable(serial_port_tests ${CMAKE_CURRENT_LIST_DIR}/serial_port_test.cpp)
    target_link_libraries(serial_port_tests PRIVATE quillon_serial quillon_test_support
                                                    GTest::gtest_main)
    gtest_discover_tests(serial_port_tests)
endif()
