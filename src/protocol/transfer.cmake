# The data phase belongs to the protocol library, beside the link.
if(TARGET quillon_protocol)
    target_sources(quillon_protocol PRIVATE ${CMAKE_CURRENT_LIST_DIR}/transfer.cpp)
endif()
