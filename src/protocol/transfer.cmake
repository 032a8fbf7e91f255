#The data phase belongs to the protocol library, beside the link.
if (TARGET quillon_protocol)
target_sources(quillon_protocol PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} / transfer.cpp) endif()
