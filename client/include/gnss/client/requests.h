// Typed requests over a Device: send, check the status, decode the answer.
// Each throws StatusError when the driver answers with a failure status,
// FormatError when the answer does not hold the structure, and what
// Device::Control throws.
#pragma once

#include <chrono>
#include <span>

#include "gnss/client/device.h"
#include "gnss/client/structures.h"

namespace gnss::client {

// Control, then StatusError (with `what` as its context) on a failure status.
Completion CheckedControl(Device& device, std::uint32_t controlCode,
                          std::span<const std::uint8_t> input, std::size_t outputLength,
                          const char* what,
                          std::chrono::milliseconds timeout = Device::kDefaultTimeout);

GNSS_DEVICE_CAPABILITY GetDeviceCapability(
    Device& device, std::chrono::milliseconds timeout = Device::kDefaultTimeout);

ChipsetInfo GetChipsetInfo(Device& device,
                           std::chrono::milliseconds timeout = Device::kDefaultTimeout);

// Sends a driver command; returns the completion (its status is a success).
Completion SendDriverCommand(Device& device, GNSS_DRIVERCOMMAND_TYPE type,
                             std::span<const std::uint8_t> data,
                             std::chrono::milliseconds timeout = Device::kDefaultTimeout);

}  // namespace gnss::client
