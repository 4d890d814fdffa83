// gnssctl info: the device capability and the chipset information.
#include <cstdio>
#include <iomanip>
#include <string>
#include <vector>

#include "Command.h"
#include "Json.h"
#include "gnss/client/requests.h"

namespace gnss::ctl {
namespace {

enum class Kind { Number, Flag, Mask };

struct Field {
    const char* name;
    Kind kind;
    ULONG value;
};

// Every field of GNSS_DEVICE_CAPABILITY, in structure order (the version
// pair is printed as one field, the unused bytes are not).
std::vector<Field> CapabilityFields(const GNSS_DEVICE_CAPABILITY& c) {
    const auto flag = [](BOOL b) { return static_cast<ULONG>(b); };
    return {
        {"Size", Kind::Number, c.Size},
        {"Version", Kind::Number, c.Version},
        {"SupportMultipleFixSessions", Kind::Flag, flag(c.SupportMultipleFixSessions)},
        {"SupportMultipleAppSessions", Kind::Flag, flag(c.SupportMultipleAppSessions)},
        {"RequireAGnssInjection", Kind::Flag, flag(c.RequireAGnssInjection)},
        {"AgnssFormatSupported", Kind::Mask, c.AgnssFormatSupported},
        {"AgnssFormatPreferred", Kind::Mask, c.AgnssFormatPreferred},
        {"SupportDistanceTracking", Kind::Flag, flag(c.SupportDistanceTracking)},
        {"SupportContinuousTracking", Kind::Flag, flag(c.SupportContinuousTracking)},
        {"Reserved1", Kind::Number, c.Reserved1},
        {"Reserved2", Kind::Number, flag(c.Reserved2)},
        {"Reserved3", Kind::Number, flag(c.Reserved3)},
        {"Reserved4", Kind::Number, flag(c.Reserved4)},
        {"Reserved5", Kind::Number, flag(c.Reserved5)},
        {"GeofencingSupport", Kind::Mask, c.GeofencingSupport},
        {"Reserved6", Kind::Number, flag(c.Reserved6)},
        {"Reserved7", Kind::Number, flag(c.Reserved7)},
        {"SupportCpLocation", Kind::Flag, flag(c.SupportCpLocation)},
        {"SupportUplV2", Kind::Flag, flag(c.SupportUplV2)},
        {"SupportSuplV1", Kind::Flag, flag(c.SupportSuplV1)},
        {"SupportSuplV2", Kind::Flag, flag(c.SupportSuplV2)},
        {"SupportedSuplVersion.MajorVersion", Kind::Number, c.SupportedSuplVersion.MajorVersion},
        {"SupportedSuplVersion.MinorVersion", Kind::Number, c.SupportedSuplVersion.MinorVersion},
        {"MaxGeofencesSupported", Kind::Number, c.MaxGeofencesSupported},
        {"SupportMultipleSuplRootCert", Kind::Flag, flag(c.SupportMultipleSuplRootCert)},
        {"GnssBreadCrumbPayloadVersion", Kind::Number, c.GnssBreadCrumbPayloadVersion},
        {"MaxGnssBreadCrumbFixes", Kind::Number, c.MaxGnssBreadCrumbFixes},
    };
}

std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string FlagText(ULONG value) {
    if (value == 0) return "no";
    if (value == 1) return "yes";
    return "yes (" + std::to_string(value) + ")";
}

void PrintText(std::ostream& out, const GNSS_DEVICE_CAPABILITY& capability,
               const client::ChipsetInfo& chipset) {
    const auto row = [&out](const std::string& name, const std::string& value) {
        out << "  " << std::left << std::setw(36) << name << value << "\n";
    };
    out << "Device capability\n";
    for (const Field& f : CapabilityFields(capability)) {
        switch (f.kind) {
            case Kind::Number: row(f.name, std::to_string(f.value)); break;
            case Kind::Flag: row(f.name, FlagText(f.value)); break;
            case Kind::Mask: row(f.name, Hex(f.value)); break;
        }
    }
    out << "Chipset information\n";
    row("Size", std::to_string(chipset.size));
    row("Version", std::to_string(chipset.version));
    row("ManufacturerID", chipset.manufacturerId);
    row("HardwareID", chipset.hardwareId);
    row("FirmwareVersion", chipset.firmwareVersion);
}

Json InfoObject(const GNSS_DEVICE_CAPABILITY& capability, const client::ChipsetInfo& chipset) {
    Json fields = Json::object();
    for (const Field& f : CapabilityFields(capability)) {
        const Json value = f.kind == Kind::Flag ? Json(f.value != 0) : Json(f.value);
        // The SUPL version pair as a nested object.
        const std::string name = f.name;
        const auto dot = name.find('.');
        if (dot == std::string::npos) fields[name] = value;
        else fields[name.substr(0, dot)][name.substr(dot + 1)] = value;
    }
    return {{"capability", std::move(fields)},
            {"chipset",
             {{"Size", chipset.size},
              {"Version", chipset.version},
              {"ManufacturerID", chipset.manufacturerId},
              {"HardwareID", chipset.hardwareId},
              {"FirmwareVersion", chipset.firmwareVersion}}}};
}

int RunInfo(Context& context, const std::vector<std::string>& args) {
    const Options o("info", args, {{"--json"}});
    o.AtMostWords(0);
    const bool json = o.Has("--json");
    client::Device& device = context.Device();
    const auto capability = client::GetDeviceCapability(device, context.timeout());
    const auto chipset = client::GetChipsetInfo(device, context.timeout());
    if (json) WriteJson(context.out(), InfoObject(capability, chipset));
    else PrintText(context.out(), capability, chipset);
    CheckOutput(context.out());
    return kExitOk;
}

constexpr CommandEntry kInfo{
    "info", "info [--json]", "Print the device capability and the chipset information",
    "Sends IOCTL_GNSS_GET_DEVICE_CAPABILITY and IOCTL_GNSS_GET_CHIPSETINFO and\n"
    "prints every field of the answers: flags as yes/no, format and geofencing\n"
    "masks in hex, the chipset texts as UTF-8.\n"
    "\n"
    "Options:\n"
    "  --json    one JSON object instead: {\"capability\":{...},\"chipset\":{...}},\n"
    "            flags as true/false, numbers in decimal\n"
    "\n"
    "Examples:\n"
    "  gnssctl info\n"
    "  gnssctl --socket /tmp/gnss.sock info --json\n",
    RunInfo};

GNSSCTL_COMMAND(kInfo);

}  // namespace
}  // namespace gnss::ctl
