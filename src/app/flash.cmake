# The flash run: UI-free, shared by the GUI, the command line and the tests.
if(TARGET quillon_image AND TARGET quillon_protocol)
    add_library(quillon_flash STATIC
        ${CMAKE_CURRENT_LIST_DIR}/flash_run.cpp
        ${CMAKE_CURRENT_LIST_DIR}/history.cpp
        ${CMAKE_CURRENT_LIST_DIR}/progress_figures.cpp
        ${CMAKE_CURRENT_LIST_DIR}/run_detail.cpp
        ${CMAKE_CURRENT_LIST_DIR}/sha256.cpp)
    target_link_libraries(quillon_flash PUBLIC quillon_image quillon_protocol quillon_common)
endif()
