# The NMEA sentence builder: exact sentences for hand-checked fixes, and every
# sentence read back by gpsd's own decoder (gpsdecode, from gpsd-clients).
# Without gpsdecode the decoder tests skip and say so.
find_program(GNSS_GPSDECODE gpsdecode)
gnss_add_test(feed_nmea_tests
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/nmea_builder_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/nmea_gpsdecode_test.cpp
    LIBS gnss_feed nlohmann_json::nlohmann_json)
target_include_directories(feed_nmea_tests PRIVATE ${GNSS_TEST_SUPPORT} ${CMAKE_CURRENT_LIST_DIR})
if(GNSS_GPSDECODE)
    target_compile_definitions(feed_nmea_tests PRIVATE GNSS_GPSDECODE="${GNSS_GPSDECODE}")
endif()
