// Libraries that only one back-end needs, opened the first time it is used
// rather than by the dynamic linker at start: gnssd maps libusb (and through
// it libudev) only for a usb: modem, and the driver maps libxml2 (with ICU,
// zlib and lzma) only when it reads the SUPL operator table.
//
// Each such library has a forwarding layer of its own (platform/backends/src/
// libusb_loader.cpp, platform/src/xml_loader.cpp) that defines the library's
// functions under their own names, with the types of the Debian headers, and
// calls through a table this helper fills.  The package names the libraries
// in its Depends, since dpkg-shlibdeps no longer sees them.
#pragma once

#include <string>

namespace gnss::platform {

// dlopen()s `soname` for the life of the process.  On failure returns
// nullptr and sets `error` to a line that names the library, the Debian
// package that holds it and the loader's reason, e.g. "cannot load
// libusb-1.0.so.0 (install the Debian package libusb-1.0-0): ...".
void* OpenLibrary(const char* soname, const char* package, std::string& error);

// The address of `symbol` in a library OpenLibrary opened; nullptr with
// `error` naming the symbol and the library when it lacks it (an older
// version than the package's Depends asks for).
void* LibrarySymbol(void* library, const char* soname, const char* symbol, std::string& error);

}  // namespace gnss::platform
