# The device socket server (host/DeviceServer.h) against a device of the fuzzer's own.
gnss_add_fuzzer(server SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/server_fuzz.cpp LIBS gnssd_server)
