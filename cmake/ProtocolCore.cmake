# qv_protocol_core: the part of protocol/ that needs neither Qt nor the window seam (CRC-32/0,
# frame builders and reply checks, the pauses between polls). Defined here rather than in
# protocol/CMakeLists.txt because the Qt-free core build (QV_WINDOWS_CORE_ONLY) has no Qt for the
# rest of protocol/; in the full build qv_protocol links it. The virtual programmer links only this.
add_library(qv_protocol_core STATIC
    ${PROJECT_SOURCE_DIR}/protocol/Crc32.cpp
    ${PROJECT_SOURCE_DIR}/protocol/Crc32.h
    ${PROJECT_SOURCE_DIR}/protocol/Frames.cpp
    ${PROJECT_SOURCE_DIR}/protocol/Frames.h
    ${PROJECT_SOURCE_DIR}/protocol/Pacing.cpp
    ${PROJECT_SOURCE_DIR}/protocol/Pacing.h)
target_include_directories(qv_protocol_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qv_protocol_core PUBLIC ZLIB::ZLIB)
