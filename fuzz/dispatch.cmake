# The whole dispatcher: the driver hosted by the framework in the fuzzer's
# process, with the simulated modem behind its USB target.
gnss_add_fuzzer(dispatch SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/dispatch_fuzz.cpp
                LIBS gnss_driver gnss_usb_backends)
