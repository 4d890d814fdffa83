// The modem's USB back-ends gnssd can put behind the device (--modem).
// Every back-end is chosen here, by the text of --modem; adding one means
// adding a row to the table in Backends.cpp.
#pragma once

#include <memory>
#include <string>

namespace gnss::fw {
class UsbBackend;
}

namespace gnss::host {

// Checks the text of --modem without opening anything (for option errors).
bool CheckBackendName(const std::string& modem, std::string& error);

// Creates the back-end; nullptr with the reason in `error` when it cannot.
std::shared_ptr<fw::UsbBackend> CreateUsbBackend(const std::string& modem, std::string& error);

// The --help lines that list the back-ends.
std::string BackendsHelp();

}  // namespace gnss::host
