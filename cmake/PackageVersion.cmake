# The package version for programs that must not depend on the driver
# (clients and the simulated modem): the interface library
# gnss_package_version gives them <gnss/package_version.h>, with
# GNSS_PACKAGE_VERSION set to the project's VERSION.
configure_file(${CMAKE_CURRENT_LIST_DIR}/package_version.h.in
               ${CMAKE_BINARY_DIR}/generated/include/gnss/package_version.h @ONLY)
add_library(gnss_package_version INTERFACE)
target_include_directories(gnss_package_version INTERFACE ${CMAKE_BINARY_DIR}/generated/include)
