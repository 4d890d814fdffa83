// libusb, opened the first time a usb: back-end starts (gnss/platform/
// library.h says why).  libusb_loader.cpp defines every libusb function the
// back-end calls; each forwards to the library once it is loaded.
#pragma once

#include <string>

namespace gnss::fw::detail {

// Loads libusb-1.0.so.0 once for the process.  False, with `error` naming
// the Debian package to install, when it is missing or too old; the libusb
// functions then fail (LIBUSB_ERROR_NOT_SUPPORTED, a null pointer) without
// doing anything.
bool LoadLibusb(std::string& error);

}  // namespace gnss::fw::detail
