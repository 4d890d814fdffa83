# The AT protocol: the receive path and the position report parser.
gnss_add_fuzzer(receive_path SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/receive_path_fuzz.cpp LIBS gnss_driver)
gnss_add_fuzzer(xlcslsr SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/xlcslsr_fuzz.cpp LIBS gnss_driver)
