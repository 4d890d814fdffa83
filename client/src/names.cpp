#include "gnss/client/names.h"

#include <cctype>
#include <charconv>
#include <span>
#include <string>

namespace gnss::client {
namespace {

#define GNSS_NAMED(x) NamedValue{#x, static_cast<std::uint32_t>(x)}

constexpr NamedValue kControlCodes[] = {
    GNSS_NAMED(IOCTL_GNSS_SEND_PLATFORM_CAPABILITY),
    GNSS_NAMED(IOCTL_GNSS_GET_DEVICE_CAPABILITY),
    GNSS_NAMED(IOCTL_GNSS_SEND_DRIVERCOMMAND),
    GNSS_NAMED(IOCTL_GNSS_START_FIXSESSION),
    GNSS_NAMED(IOCTL_GNSS_MODIFY_FIXSESSION),
    GNSS_NAMED(IOCTL_GNSS_STOP_FIXSESSION),
    GNSS_NAMED(IOCTL_GNSS_GET_FIXDATA),
    GNSS_NAMED(IOCTL_GNSS_INJECT_AGNSS),
    GNSS_NAMED(IOCTL_GNSS_LISTEN_AGNSS),
    GNSS_NAMED(IOCTL_GNSS_LISTEN_ERROR),
    GNSS_NAMED(IOCTL_GNSS_LISTEN_NI),
    GNSS_NAMED(IOCTL_GNSS_SET_SUPL_HSLP),
    GNSS_NAMED(IOCTL_GNSS_CONFIG_SUPL_CERT),
    GNSS_NAMED(IOCTL_GNSS_RESPOND_NI),
    GNSS_NAMED(IOCTL_GNSS_EXECUTE_CWTEST),
    GNSS_NAMED(IOCTL_GNSS_EXECUTE_SELFTEST),
    GNSS_NAMED(IOCTL_GNSS_GET_CHIPSETINFO),
    GNSS_NAMED(IOCTL_GNSS_LISTEN_NMEA),
    GNSS_NAMED(IOCTL_GNSS_SET_V2UPL_CONFIG),
    GNSS_NAMED(IOCTL_GNSS_CREATE_GEOFENCE),
    GNSS_NAMED(IOCTL_GNSS_DELETE_GEOFENCE),
    GNSS_NAMED(IOCTL_GNSS_LISTEN_GEOFENCE_ALERT),
    GNSS_NAMED(IOCTL_GNSS_LISTEN_GEOFENCES_TRACKINGSTATUS),
    GNSS_NAMED(IOCTL_GNSS_LISTEN_DRIVER_REQUEST),
    GNSS_NAMED(IOCTL_GNSS_START_BREADCRUMBING),
    GNSS_NAMED(IOCTL_GNSS_STOP_BREADCRUMBING),
    GNSS_NAMED(IOCTL_GNSS_LISTEN_BREADCRUMBING_ALERT),
    GNSS_NAMED(IOCTL_GNSS_POP_BREADCRUMBS),
};

constexpr NamedValue kDriverCommands[] = {
    GNSS_NAMED(GNSS_SetLocationServiceEnabled),
    GNSS_NAMED(GNSS_SetLocationNIRequestAllowed),
    GNSS_NAMED(GNSS_ForceSatelliteSystem),
    GNSS_NAMED(GNSS_ForceOperationMode),
    GNSS_NAMED(GNSS_ResetEngine),
    GNSS_NAMED(GNSS_ClearAgnssData),
    GNSS_NAMED(GNSS_SetSuplVersion),
    GNSS_NAMED(GNSS_SetNMEALogging),
    GNSS_NAMED(GNSS_SetUplServerAccessInterval),
    GNSS_NAMED(GNSS_SetNiTimeoutInterval),
    GNSS_NAMED(GNSS_ResetGeofencesTracking),
    GNSS_NAMED(GNSS_SetSuplVersion2),
    GNSS_NAMED(GNSS_CustomCommand),
};

constexpr NamedValue kEventTypes[] = {
    GNSS_NAMED(GNSS_Event_FixAvailable),
    GNSS_NAMED(GNSS_Event_RequireAgnss),
    GNSS_NAMED(GNSS_Event_Error),
    GNSS_NAMED(GNSS_Event_NiRequest),
    GNSS_NAMED(GNSS_Event_NmeaData),
    GNSS_NAMED(GNSS_Event_GeofenceAlertData),
    GNSS_NAMED(GNSS_Event_GeofencesTrackingStatus),
    GNSS_NAMED(GNSS_Event_DriverRequest),
    GNSS_NAMED(GNSS_Event_BreadcrumbAlertEvent),
    GNSS_NAMED(GNSS_Event_FixAvailable_2),
    GNSS_NAMED(GNSS_Event_Custom),
};

#undef GNSS_NAMED

const char* NameOf(std::span<const NamedValue> table, std::uint32_t value) {
    for (const auto& entry : table)
        if (entry.value == value) return entry.name;
    return nullptr;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Matches `text` against the names, with or without their common `prefix`.
std::optional<std::uint32_t> ValueOf(std::span<const NamedValue> table, std::string_view prefix,
                                     std::string_view text) {
    for (const auto& entry : table) {
        std::string_view name = entry.name;
        if (EqualNoCase(name, text)) return entry.value;
        if (name.substr(0, prefix.size()) == prefix && EqualNoCase(name.substr(prefix.size()), text))
            return entry.value;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> ParseU32(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

const char* ControlCodeName(std::uint32_t code) { return NameOf(kControlCodes, code); }

std::optional<std::uint32_t> ParseControlCode(std::string_view text) {
    if (auto number = ParseU32(text)) return number;
    return ValueOf(kControlCodes, "IOCTL_GNSS_", text);
}

const char* DriverCommandName(std::int32_t type) {
    return NameOf(kDriverCommands, static_cast<std::uint32_t>(type));
}

std::optional<GNSS_DRIVERCOMMAND_TYPE> ParseDriverCommandType(std::string_view text) {
    auto value = ParseU32(text);
    if (!value) value = ValueOf(kDriverCommands, "GNSS_", text);
    if (!value || *value > 0x7FFFFFFFu) return std::nullopt;
    return static_cast<GNSS_DRIVERCOMMAND_TYPE>(*value);
}

const char* EventTypeName(std::int32_t type) {
    return NameOf(kEventTypes, static_cast<std::uint32_t>(type));
}

std::span<const NamedValue> DriverCommandNames() { return kDriverCommands; }
std::span<const NamedValue> ControlCodeNames() { return kControlCodes; }

}  // namespace gnss::client
