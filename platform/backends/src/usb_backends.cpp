#include "gnss/platform/usb_backends.h"

#include <string_view>

#include "gnss/platform/libusb_usb_backend.h"
#include "gnss/platform/sim_usb_backend.h"
#include "gnss/platform/tty_usb_backend.h"
#include "gnss/platform/usb_loopback.h"
#include "gnss/sim/options.h"

namespace gnss::fw {

namespace {

constexpr const char* kForms = "sim, sim:OPTIONS, tty:PATH, usb:VID:PID[:BUS:ADDRESS], loopback";

enum class Kind { Sim, Tty, Usb, Loopback };

// Splits the text into its kind and argument; false with a message on a
// text that names no back-end.
bool Split(const std::string& modem, Kind& kind, std::string& argument, bool& hasArgument, std::string& error) {
    const std::size_t colon = modem.find(':');
    const std::string name = modem.substr(0, colon);
    hasArgument = colon != std::string::npos;
    argument = hasArgument ? modem.substr(colon + 1) : std::string();
    if (name == "sim") {
        kind = Kind::Sim;
    } else if (name == "tty") {
        kind = Kind::Tty;
    } else if (name == "usb") {
        kind = Kind::Usb;
    } else if (name == "loopback") {
        kind = Kind::Loopback;
    } else {
        error = modem.empty() ? std::string("no modem back-end given (one of: ") + kForms + ")"
                              : "unknown modem back-end '" + modem + "' (one of: " + kForms + ")";
        return false;
    }
    if (kind == Kind::Loopback && hasArgument) {
        error = "the loopback back-end takes no argument, not '" + argument + "'";
        return false;
    }
    if (kind == Kind::Tty && argument.empty()) {
        error = "tty: needs the path of a serial device, as tty:/dev/ttyACM0";
        return false;
    }
    return true;
}

}  // namespace

bool CheckUsbBackendArgument(const std::string& modem, std::string& error) {
    Kind kind;
    std::string argument;
    bool hasArgument = false;
    if (!Split(modem, kind, argument, hasArgument, error)) return false;
    switch (kind) {
        case Kind::Sim: {
            gnss::sim::ModemOptions options = gnss::sim::DefaultModemOptions();
            std::string why;
            if (gnss::sim::TryParseModemOptions(argument, options, why)) return true;
            error = "sim: bad modem options: " + why;
            return false;
        }
        case Kind::Usb: {
            UsbDeviceSelector selector;
            return ParseUsbDeviceSelector(argument, selector, error);
        }
        case Kind::Tty:
        case Kind::Loopback:
            return true;
    }
    return false;
}

std::shared_ptr<UsbBackend> CreateUsbBackend(const std::string& modem, std::string& error) {
    Kind kind;
    std::string argument;
    bool hasArgument = false;
    if (!Split(modem, kind, argument, hasArgument, error)) return nullptr;
    switch (kind) {
        case Kind::Sim:
            return SimUsbBackend::Create(argument, error);
        case Kind::Tty:
            return TtyUsbBackend::Open(argument, error);
        case Kind::Usb: {
            UsbDeviceSelector selector;
            if (!ParseUsbDeviceSelector(argument, selector, error)) return nullptr;
            return LibusbUsbBackend::Open(selector, error);
        }
        case Kind::Loopback:
            return std::make_shared<LoopbackUsbBackend>();
    }
    return nullptr;
}

std::string UsbBackendHelp() {
    return "sim                        the simulated modem in this process\n"
           "sim:OPTIONS                ... with the simulator's option string (key=value,...)\n"
           "tty:PATH                   a serial device: the modem's /dev/ttyACM* port or a pseudo-terminal\n"
           "usb:VID:PID[:BUS:ADDRESS]  the modem's USB device through libusb (ids as lsusb shows them)\n"
           "loopback                   the in-memory test back-end (a modem function without a modem)\n";
}

}  // namespace gnss::fw
