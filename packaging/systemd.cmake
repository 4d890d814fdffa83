# systemd units, the user and group they run as, and the udev rule that
# starts gnssd when the modem is plugged in.  Included by
# packaging/CMakeLists.txt; the units are filled in with the installed
# program paths here (@GNSS_BINDIR@), and tests/systemd checks them.
include(GNUInstallDirs)

# Everything goes under lib/, not the multiarch libdir: systemd and udev
# look in /lib (and /usr/lib).
set(GNSS_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
foreach(unit gnssd@.service gnssfeed@.service)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/systemd/${unit}.in
                   ${CMAKE_CURRENT_BINARY_DIR}/systemd/${unit} @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/systemd/${unit}
            DESTINATION lib/systemd/system)
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/gnss.sysusers.conf
        DESTINATION lib/sysusers.d RENAME gnss.conf)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/udev/70-gnss-modem.rules
        DESTINATION lib/udev/rules.d)
