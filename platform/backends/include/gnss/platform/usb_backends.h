// The modem back-ends a host can put behind the driver's USB target, chosen
// by one text (the daemon's --modem):
//
//   sim                        the simulated modem in this process
//   sim:OPTIONS                ... configured with the simulator's option string
//                              (comma-separated key=value pairs)
//   tty:PATH                   a serial device: the modem's CDC ACM port
//                              (/dev/ttyACM0) or a pseudo-terminal
//   usb:VID:PID[:BUS:ADDRESS]  the modem's USB device through libusb
//   loopback                   the framework's in-memory test back-end
#pragma once

#include <memory>
#include <string>

#include "gnss/platform/wdfhost.h"

namespace gnss::fw {

// Creates and opens the back-end `modem` names.  nullptr with a message in
// `error` (naming the back-end and what is wrong) when the text names no
// back-end, its argument is malformed, or the device cannot be opened.
std::shared_ptr<UsbBackend> CreateUsbBackend(const std::string& modem, std::string& error);

// Checks the text without opening anything: the same messages as
// CreateUsbBackend for a text it cannot take.
bool CheckUsbBackendArgument(const std::string& modem, std::string& error);

// Lines for a --help text, one per form, each beginning with the form.
std::string UsbBackendHelp();

}  // namespace gnss::fw
