#include "gnss/platform/usb_function.h"

#include "backend_log.h"

namespace gnss::fw {

namespace {

NTSTATUS Refuse(const UsbSetupPacket& setup, NTSTATUS status) {
    // Logged as the back-end's control transfer, which the request was.
    detail::BackendLog(detail::kLogError, "ControlTransfer",
                       "request %02X %02X wValue=%04X wIndex=%04X wLength=%u refused, status=0x%X",
                       setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength,
                       static_cast<unsigned>(status));
    return status;
}

}  // namespace

NTSTATUS DecodeControlLineRequest(const UsbSetupPacket& setup, const std::uint8_t* data,
                                  std::size_t length, ControlLines& lines) {
    if (setup.bmRequestType != kRequestTypeClassInterfaceOut ||
        setup.bRequest != kRequestSetControlLineState)
        return Refuse(setup, STATUS_NOT_SUPPORTED);
    if (setup.wLength != 0 || length != 0 || data != nullptr || setup.wIndex != kCommInterfaceNumber)
        return Refuse(setup, STATUS_INVALID_PARAMETER);
    lines.dtr = (setup.wValue & kLineDtr) != 0;
    lines.rts = (setup.wValue & kLineRts) != 0;
    return STATUS_SUCCESS;
}

std::vector<UsbInterfaceDescriptor> SerialFunctionInterfaces() {
    return {
        UsbInterfaceDescriptor{kCommInterfaceNumber, {{kNotifyEndpoint, WdfUsbPipeTypeInterrupt, 16}}},
        UsbInterfaceDescriptor{kDataInterfaceNumber,
                               {{kBulkInEndpoint, WdfUsbPipeTypeBulk, 512},
                                {kBulkOutEndpoint, WdfUsbPipeTypeBulk, 512}}},
    };
}

DataPipes ClassifyDataPipes(const UsbInterfaceDescriptor& interface) {
    DataPipes pipes;
    for (const UsbPipeDescriptor& pipe : interface.Pipes) {
        if (pipe.Type != WdfUsbPipeTypeBulk) continue;
        if ((pipe.EndpointAddress & 0x80) != 0)
            pipes.in = pipe.EndpointAddress;
        else
            pipes.out = pipe.EndpointAddress;
    }
    return pipes;
}

}  // namespace gnss::fw
