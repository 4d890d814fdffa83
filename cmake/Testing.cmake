# gnss_add_test(<name> SOURCES <files...> [LIBS <targets...>] [ENV <VAR=value...>])
#
# Builds a GoogleTest executable and registers every test case with CTest as a
# test of its own, so that each case runs in a fresh process (the driver keeps
# module-wide state, as a loaded module would).
find_package(GTest REQUIRED)
include(GoogleTest)

function(gnss_add_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;ENV" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest GTest::gtest_main)
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT 120 ENVIRONMENT "${T_ENV}")
endfunction()
