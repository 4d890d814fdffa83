// The parts of the libusb back-end that need no device: reading the "usb:"
// argument, the setup packet's bytes, descriptors as pipes, error codes as
// status values.
#include <charconv>
#include <cstdio>

#include "gnss/platform/libusb_usb_backend.h"

namespace gnss::fw {

namespace {

std::vector<std::string_view> SplitColons(std::string_view text) {
    std::vector<std::string_view> fields;
    while (true) {
        const std::size_t colon = text.find(':');
        fields.push_back(text.substr(0, colon));
        if (colon == std::string_view::npos) return fields;
        text.remove_prefix(colon + 1);
    }
}

bool ParseHexId(std::string_view field, const char* what, std::uint16_t& value, std::string& error) {
    std::string_view digits = field;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.remove_prefix(2);
    unsigned parsed = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed, 16);
    if (digits.empty() || digits.size() > 4 || ec != std::errc() || end != digits.data() + digits.size()) {
        error = std::string("usb: the ") + what + " id '" + std::string(field) +
                "' is not a hexadecimal number of 1 to 4 digits";
        return false;
    }
    value = static_cast<std::uint16_t>(parsed);
    return true;
}

bool ParseDecimal(std::string_view field, const char* what, unsigned low, unsigned high, std::uint8_t& value,
                  std::string& error) {
    unsigned parsed = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), parsed, 10);
    if (field.empty() || ec != std::errc() || end != field.data() + field.size() || parsed < low ||
        parsed > high) {
        error = std::string("usb: the ") + what + " '" + std::string(field) + "' is not a decimal number from " +
                std::to_string(low) + " to " + std::to_string(high);
        return false;
    }
    value = static_cast<std::uint8_t>(parsed);
    return true;
}

}  // namespace

std::string UsbDeviceSelector::ToString() const {
    char text[32];
    if (bus && address)
        std::snprintf(text, sizeof text, "%04x:%04x:%u:%u", vendorId, productId, unsigned{*bus},
                      unsigned{*address});
    else
        std::snprintf(text, sizeof text, "%04x:%04x", vendorId, productId);
    return text;
}

bool ParseUsbDeviceSelector(std::string_view text, UsbDeviceSelector& selector, std::string& error) {
    if (text.empty()) {
        error = "usb: needs the modem's vendor and product id, as usb:VID:PID (lsusb shows them as \"ID VID:PID\")";
        return false;
    }
    const std::vector<std::string_view> fields = SplitColons(text);
    if (fields.size() != 2 && fields.size() != 4) {
        error = "usb: expects VID:PID or VID:PID:BUS:ADDRESS, not '" + std::string(text) + "'";
        return false;
    }
    UsbDeviceSelector parsed;
    if (!ParseHexId(fields[0], "vendor", parsed.vendorId, error) ||
        !ParseHexId(fields[1], "product", parsed.productId, error))
        return false;
    if (fields.size() == 4) {
        std::uint8_t bus = 0, address = 0;
        if (!ParseDecimal(fields[2], "bus number", 1, 255, bus, error) ||
            !ParseDecimal(fields[3], "device address", 1, 127, address, error))
            return false;
        parsed.bus = bus;
        parsed.address = address;
    }
    selector = parsed;
    return true;
}

std::array<std::uint8_t, 8> SetupPacketBytes(const UsbSetupPacket& setup) {
    return {
        setup.bmRequestType,
        setup.bRequest,
        static_cast<std::uint8_t>(setup.wValue & 0xFF),
        static_cast<std::uint8_t>(setup.wValue >> 8),
        static_cast<std::uint8_t>(setup.wIndex & 0xFF),
        static_cast<std::uint8_t>(setup.wIndex >> 8),
        static_cast<std::uint8_t>(setup.wLength & 0xFF),
        static_cast<std::uint8_t>(setup.wLength >> 8),
    };
}

UsbPipeDescriptor PipeFromEndpoint(const libusb_endpoint_descriptor& endpoint) {
    WDF_USB_PIPE_TYPE type = WdfUsbPipeTypeInvalid;
    switch (endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) {
        case LIBUSB_ENDPOINT_TRANSFER_TYPE_CONTROL: type = WdfUsbPipeTypeControl; break;
        case LIBUSB_ENDPOINT_TRANSFER_TYPE_ISOCHRONOUS: type = WdfUsbPipeTypeIsochronous; break;
        case LIBUSB_ENDPOINT_TRANSFER_TYPE_BULK: type = WdfUsbPipeTypeBulk; break;
        case LIBUSB_ENDPOINT_TRANSFER_TYPE_INTERRUPT: type = WdfUsbPipeTypeInterrupt; break;
    }
    // Bits 11-12 count the extra transactions per microframe of high-speed
    // periodic endpoints; the packet size is bits 0-10.
    return UsbPipeDescriptor{endpoint.bEndpointAddress, type, ULONG{endpoint.wMaxPacketSize & 0x7FFu}};
}

std::vector<UsbInterfaceDescriptor> InterfacesFromConfig(const libusb_config_descriptor& config) {
    std::vector<UsbInterfaceDescriptor> interfaces;
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& interface = config.interface[i];
        if (interface.num_altsetting <= 0 || interface.altsetting == nullptr) continue;
        const libusb_interface_descriptor& setting = interface.altsetting[0];
        UsbInterfaceDescriptor described{setting.bInterfaceNumber, {}};
        for (int e = 0; e < setting.bNumEndpoints; ++e) described.Pipes.push_back(PipeFromEndpoint(setting.endpoint[e]));
        interfaces.push_back(std::move(described));
    }
    return interfaces;
}

NTSTATUS StatusFromLibusbError(int error) {
    switch (error) {
        case LIBUSB_SUCCESS: return STATUS_SUCCESS;
        case LIBUSB_ERROR_IO: return STATUS_DEVICE_DATA_ERROR;
        case LIBUSB_ERROR_INVALID_PARAM: return STATUS_INVALID_PARAMETER;
        case LIBUSB_ERROR_ACCESS: return STATUS_ACCESS_DENIED;
        case LIBUSB_ERROR_NO_DEVICE: return STATUS_DEVICE_NOT_CONNECTED;
        case LIBUSB_ERROR_NOT_FOUND: return STATUS_NOT_FOUND;
        case LIBUSB_ERROR_BUSY: return STATUS_DEVICE_BUSY;
        case LIBUSB_ERROR_TIMEOUT: return STATUS_IO_TIMEOUT;
        case LIBUSB_ERROR_OVERFLOW: return STATUS_DEVICE_DATA_ERROR;
        case LIBUSB_ERROR_PIPE: return STATUS_INVALID_DEVICE_REQUEST;  // the endpoint stalled
        case LIBUSB_ERROR_INTERRUPTED: return STATUS_CANCELLED;
        case LIBUSB_ERROR_NO_MEM: return STATUS_INSUFFICIENT_RESOURCES;
        case LIBUSB_ERROR_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
        default: return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS StatusFromTransferStatus(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED: return STATUS_SUCCESS;
        case LIBUSB_TRANSFER_ERROR: return STATUS_DEVICE_DATA_ERROR;
        case LIBUSB_TRANSFER_TIMED_OUT: return STATUS_IO_TIMEOUT;
        case LIBUSB_TRANSFER_CANCELLED: return STATUS_CANCELLED;
        case LIBUSB_TRANSFER_STALL: return STATUS_INVALID_DEVICE_REQUEST;
        case LIBUSB_TRANSFER_NO_DEVICE: return STATUS_DEVICE_NOT_CONNECTED;
        case LIBUSB_TRANSFER_OVERFLOW: return STATUS_DEVICE_DATA_ERROR;
    }
    return STATUS_UNSUCCESSFUL;
}

}  // namespace gnss::fw
