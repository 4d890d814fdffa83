#include "gnss/client/requests.h"

namespace gnss::client {

Completion CheckedControl(Device& device, std::uint32_t controlCode,
                          std::span<const std::uint8_t> input, std::size_t outputLength,
                          const char* what, std::chrono::milliseconds timeout) {
    Completion c = device.Control(controlCode, input, outputLength, timeout);
    if (!c.ok()) throw StatusError(c.status, what);
    return c;
}

GNSS_DEVICE_CAPABILITY GetDeviceCapability(Device& device, std::chrono::milliseconds timeout) {
    const Completion c = CheckedControl(device, IOCTL_GNSS_GET_DEVICE_CAPABILITY, {},
                                        sizeof(GNSS_DEVICE_CAPABILITY), "device capability", timeout);
    return DecodeDeviceCapability(c.output);
}

ChipsetInfo GetChipsetInfo(Device& device, std::chrono::milliseconds timeout) {
    const Completion c = CheckedControl(device, IOCTL_GNSS_GET_CHIPSETINFO, {},
                                        sizeof(GNSS_CHIPSETINFO), "chipset information", timeout);
    return DecodeChipsetInfo(c.output);
}

Completion SendDriverCommand(Device& device, GNSS_DRIVERCOMMAND_TYPE type,
                             std::span<const std::uint8_t> data, std::chrono::milliseconds timeout) {
    const Bytes input = BuildDriverCommand(type, data);
    return CheckedControl(device, IOCTL_GNSS_SEND_DRIVERCOMMAND, input, 0, "driver command",
                          timeout);
}

}  // namespace gnss::client
