# Port discovery: the list rules everywhere; the Linux source and the hot-plug monitor on
# fake sysfs trees, temporary folders and pseudo-terminals.
if(TARGET quillon_ports)
    set(QUILLON_PORTS_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/port_list_test.cpp)
    if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
        list(APPEND QUILLON_PORTS_TEST_SOURCES
             ${CMAKE_CURRENT_LIST_DIR}/port_source_linux_test.cpp
             ${CMAKE_CURRENT_LIST_DIR}/hotplug_monitor_test.cpp)
    endif()
    add_executable(ports_tests ${QUILLON_PORTS_TEST_SOURCES})
    target_link_libraries(ports_tests PRIVATE quillon_ports GTest::gtest_main)
    gtest_discover_tests(ports_tests)
endif()
