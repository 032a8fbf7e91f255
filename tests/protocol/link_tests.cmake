# The bootloader link and the simulator, over pseudo-terminals (never a real device).
add_executable(link_tests ${CMAKE_CURRENT_LIST_DIR}/link_test.cpp
                          ${CMAKE_CURRENT_LIST_DIR}/sim_test.cpp)
target_link_libraries(link_tests PRIVATE quillon_protocol quillon_test_support GTest::gtest_main)
target_compile_definitions(link_tests PRIVATE QUILLON_SIM_PATH="$<TARGET_FILE:quillon-sim>")
add_dependencies(link_tests quillon-sim)
gtest_discover_tests(link_tests)
