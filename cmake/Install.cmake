# Where an installed system keeps each file.
#
# gnssd finds the driver module at ../lib/veruzuvedazedeva.so beside its own
# executable (host/HostOptions.cpp DefaultDriverPath), and the driver finds its
# SUPL operator table beside the module (srce/supl/SUPLConfiguration.cpp).
# The build tree has that shape (bin/, lib/), and so does the installed
# system: gnssd, the driver module and the platform library they share live
# in a folder of their own under the library folder, and gnssd's name on the
# PATH is a symbolic link to it.
#
#   GNSS_INSTALL_PRIVATE_DIR  lib/<multiarch>/gnss
#     bin/gnssd                       the daemon (RUNPATH $ORIGIN/../lib)
#     lib/veruzuvedazedeva.so         the driver module (RUNPATH $ORIGIN)
#     lib/libgnss_platform.so.3       the platform library (SONAME .so.<major>)
#     lib/GNSSDriverSUPLInfo-DTD.xml  -> /etc/gnss/GNSSDriverSUPLInfo-DTD.xml
#   bin/gnssd -> ../lib/<multiarch>/gnss/bin/gnssd
#   bin/gnssctl, bin/gnssfeed, bin/modemsim
#   /etc/gnss/GNSSDriverSUPLInfo-DTD.xml   the operator's copy (a conffile)
#
# The operator edits the table in /etc; the link keeps the driver's rule that
# the table sits beside the module.  All paths are relative to the install
# prefix except the configuration folder, which GNUInstallDirs maps to /etc
# for the prefix /usr.
include(GNUInstallDirs)

set(GNSS_INSTALL_PRIVATE_DIR ${CMAKE_INSTALL_LIBDIR}/gnss)
set(GNSS_INSTALL_DAEMON_DIR ${GNSS_INSTALL_PRIVATE_DIR}/bin)
set(GNSS_INSTALL_MODULE_DIR ${GNSS_INSTALL_PRIVATE_DIR}/lib)
set(GNSS_INSTALL_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/gnss)
# What a service unit runs: gnssd by its name on the PATH.
set(GNSS_INSTALL_FULL_GNSSD ${CMAKE_INSTALL_FULL_BINDIR}/gnssd)

# RUNPATHs of the installed binaries; the build tree keeps CMAKE_BUILD_RPATH.
file(RELATIVE_PATH gnss_daemon_to_module
    /${GNSS_INSTALL_DAEMON_DIR} /${GNSS_INSTALL_MODULE_DIR})
set(GNSS_INSTALL_DAEMON_RPATH "$ORIGIN/${gnss_daemon_to_module}")
set(GNSS_INSTALL_MODULE_RPATH "$ORIGIN")

# gnss_install_symlink(<target> <link>): installs the symbolic link <link>
# (relative to the install prefix) pointing at <target>, which is written into
# the link as given: relative inside /usr, absolute when it leaves it (/etc),
# as Debian wants links made.
function(gnss_install_symlink target link)
    get_filename_component(link_dir ${link} DIRECTORY)
    install(CODE "
        set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${link}\")
        message(STATUS \"Installing: \${link} -> ${target}\")
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${link_dir}\")
        file(REMOVE \"\${link}\")
        file(CREATE_LINK \"${target}\" \"\${link}\" SYMBOLIC)")
endfunction()

# Where service units go: the folder the system's systemd.pc names
# (/lib/systemd/system on Debian 12, whose debhelper enables only the units
# it finds there), else /usr/lib/systemd/system.  For packaging/*.cmake.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_get_variable(GNSS_SYSTEMD_UNIT_DIR systemd systemdsystemunitdir)
endif()
if(NOT GNSS_SYSTEMD_UNIT_DIR)
    set(GNSS_SYSTEMD_UNIT_DIR /usr/lib/systemd/system)
endif()
