#include "Backends.h"

#include <sstream>

#include "gnss/platform/usb_backends.h"

namespace gnss::host {

bool CheckBackendName(const std::string& modem, std::string& error) {
    return fw::CheckUsbBackendArgument(modem, error);
}

std::shared_ptr<fw::UsbBackend> CreateUsbBackend(const std::string& modem, std::string& error) {
    return fw::CreateUsbBackend(modem, error);
}

std::string BackendsHelp() {
    // The back-ends' own lines, indented under the option.
    std::istringstream lines(fw::UsbBackendHelp());
    std::string text, line;
    while (std::getline(lines, line)) text += "                         " + line + "\n";
    return text;
}

}  // namespace gnss::host
