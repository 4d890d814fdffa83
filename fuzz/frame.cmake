# The device socket's frame decoders (protocol/include/gnss/protocol/device_frame.h).
gnss_add_fuzzer(frame SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/frame_fuzz.cpp LIBS gnss_protocol)
