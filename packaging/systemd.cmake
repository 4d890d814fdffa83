# systemd units and the udev rule that
# starts gnssd when the modem is plugged in.  Included by
# packaging/CMakeLists.txt; the units are filled in with the installed
# program paths here (@GNSS_BINDIR@), and tests/systemd checks them.
include(GNUInstallDirs)

# Units where this system's systemd looks for them (cmake/Install.cmake asks
# systemd.pc; debhelper enables only what it finds there); the udev rule
# under lib/, not the multiarch libdir.
set(GNSS_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
foreach(unit gnssd@.service gnssfeed@.service)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/systemd/${unit}.in
                   ${CMAKE_CURRENT_BINARY_DIR}/systemd/${unit} @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/systemd/${unit}
            DESTINATION ${GNSS_SYSTEMD_UNIT_DIR})
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/udev/70-gnss-modem.rules
        DESTINATION lib/udev/rules.d)
