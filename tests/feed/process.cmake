# The whole gnssfeed program with the real peers its users pair it with:
# gnssd on the simulated modem replaying a capture, gpsd and gpspipe over TCP
# and the pseudo-terminal, GeoClue on a private bus over the Unix socket, and
# consumers coming, going and stalling.  A peer that is missing is passed as
# an empty path, and its tests skip saying which package brings it.
if(TARGET gnssfeed)
    find_program(GNSS_GPSD gpsd PATHS /usr/sbin /sbin)
    find_program(GNSS_GPSPIPE gpspipe)
    find_program(GNSS_DBUS_DAEMON dbus-daemon)
    find_program(GNSS_UNSHARE unshare)
    # GeoClue's daemon and demo agent live outside PATH.
    find_program(GNSS_GEOCLUE geoclue PATHS /usr/libexec /usr/lib/geoclue-2.0 NO_DEFAULT_PATH)
    find_program(GNSS_GEOCLUE_AGENT agent PATHS /usr/libexec/geoclue-2.0/demos NO_DEFAULT_PATH)
    # The client speaks D-Bus through python3-gi, which serves the system's
    # own python3, not one a user put first on PATH.
    find_program(GNSS_FEED_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
    if(GNSS_FEED_PYTHON3)
        execute_process(COMMAND ${GNSS_FEED_PYTHON3} -c "from gi.repository import Gio"
            RESULT_VARIABLE python_gi OUTPUT_QUIET ERROR_QUIET)
        if(NOT python_gi EQUAL 0)
            set(GNSS_FEED_PYTHON3 GNSS_FEED_PYTHON3-NOTFOUND)
        endif()
    endif()
    set(feed_peers)
    foreach(peer GPSD GPSPIPE DBUS_DAEMON UNSHARE GEOCLUE GEOCLUE_AGENT FEED_PYTHON3)
        if(GNSS_${peer})
            list(APPEND feed_peers ${peer}_PATH="${GNSS_${peer}}")
        else()
            message(STATUS "gnssfeed process tests: ${peer} not found; its tests will skip")
            list(APPEND feed_peers ${peer}_PATH="")
        endif()
    endforeach()

    gnss_add_test(feed_process_tests
        SOURCES feed_process_test.cpp
        LIBS gnss_sim nlohmann_json::nlohmann_json
        ENV GNSS_TIME_SCALE=0.05)
    target_include_directories(feed_process_tests PRIVATE ${GNSS_TEST_SUPPORT})
    target_compile_definitions(feed_process_tests PRIVATE
        GNSSFEED_PATH="$<TARGET_FILE:gnssfeed>"
        GNSSD_PATH="$<TARGET_FILE:gnssd>"
        GNSSCTL_PATH="$<TARGET_FILE:gnssctl>"
        DRIVER_MODULE_PATH="$<TARGET_FILE:veruzuvedazedeva>"
        GEOCLUE_CLIENT_PATH="${CMAKE_CURRENT_SOURCE_DIR}/geoclue_client.py"
        GNSS_NMEA_CAPTURES="${PROJECT_SOURCE_DIR}/tests/data/nmea"
        ${feed_peers})
    add_dependencies(feed_process_tests gnssfeed gnssd gnssctl veruzuvedazedeva)
endif()
