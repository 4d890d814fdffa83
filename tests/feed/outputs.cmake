# gnssfeed's outputs and command line, in one process.
gnss_add_test(feed_outputs_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/outputs_test.cpp
    LIBS gnss_feed)
target_include_directories(feed_outputs_tests PRIVATE ${GNSS_TEST_SUPPORT})
