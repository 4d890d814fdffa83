# SUPL provisioning: the operator table reader.
gnss_add_fuzzer(supl_config SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/supl_config_fuzz.cpp LIBS gnss_driver)
