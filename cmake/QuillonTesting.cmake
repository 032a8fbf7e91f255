# quillon_add_test(NAME SOURCES file... [LIBS target...] [QT]): one test program of a folder.
# GoogleTest programs are discovered case by case; QT programs (Qt Test, one ctest entry each)
# run on the offscreen platform, except on Windows, whose build has only its own platform and
# whose tests scripts/test-windows.sh runs under Wine. Programs the tests start are known as
# QUILLON_CLI_PATH, QUILLON_SIM_PATH and QUILLON_SREC_CAT_PATH.
find_program(QUILLON_SREC_CAT srec_cat)
if(NOT QUILLON_SREC_CAT)
    message(WARNING "srec_cat not found (Debian package srecord): the differential tests will fail")
    set(QUILLON_SREC_CAT "srec_cat-not-found")
endif()

function(quillon_add_test name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "QT" "" "SOURCES;LIBS")
    add_executable(${name} ${arg_SOURCES})
    target_link_libraries(${name} PRIVATE ${arg_LIBS} quillon_test_support)
    target_compile_definitions(${name} PRIVATE
        QUILLON_CLI_PATH="$<TARGET_FILE:quillon-cli>"
        QUILLON_SREC_CAT_PATH="${QUILLON_SREC_CAT}")
    add_dependencies(${name} quillon-cli)
    if(TARGET quillon-sim)
        target_compile_definitions(${name} PRIVATE QUILLON_SIM_PATH="$<TARGET_FILE:quillon-sim>")
        add_dependencies(${name} quillon-sim)
    endif()
    if(arg_QT)
        set_target_properties(${name} PROPERTIES AUTOMOC ON)
        target_link_libraries(${name} PRIVATE quillon_gui Qt6::Test)
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES TIMEOUT 120)
        if(NOT WIN32)
            set_tests_properties(${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
        endif()
    else()
        target_link_libraries(${name} PRIVATE GTest::gtest_main)
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
    endif()
endfunction()
