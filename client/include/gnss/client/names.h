// Names of the control codes, driver command types and event types, for
// messages and command lines.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "gnss/protocol/gnss_ddi.h"

namespace gnss::client {

// "IOCTL_GNSS_GET_DEVICE_CAPABILITY", or nullptr for a code without a name.
const char* ControlCodeName(std::uint32_t code);
// A control code from its name (with or without "IOCTL_GNSS_", any case) or
// a number (decimal or 0x hex).
std::optional<std::uint32_t> ParseControlCode(std::string_view text);

// "GNSS_SetLocationServiceEnabled", or nullptr.
const char* DriverCommandName(std::int32_t type);
// A command type from its name (with or without "GNSS_", any case) or a
// number (decimal or 0x hex, 0 to 0x7FFFFFFF).
std::optional<GNSS_DRIVERCOMMAND_TYPE> ParseDriverCommandType(std::string_view text);

// "GNSS_Event_FixAvailable", or nullptr.
const char* EventTypeName(std::int32_t type);

// The named driver command types and control codes, in value order, for help texts.
struct NamedValue {
    const char* name;
    std::uint32_t value;
};
std::span<const NamedValue> DriverCommandNames();
std::span<const NamedValue> ControlCodeNames();

// A number, decimal or with a 0x prefix, that fits in 32 bits.
std::optional<std::uint32_t> ParseU32(std::string_view text);

}  // namespace gnss::client
