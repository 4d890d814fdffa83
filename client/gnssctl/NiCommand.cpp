// gnssctl ni: network-initiated location requests: listen for them
// (IOCTL_GNSS_LISTEN_NI) and answer one (IOCTL_GNSS_RESPOND_NI).
#include <chrono>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "Command.h"
#include "gnss/client/requests.h"
#include "gnss/client/structures.h"

namespace gnss::ctl {
namespace {

const char* RequestTypeName(GNSS_NI_REQUEST_TYPE type) {
    switch (type) {
        case GNSS_NI_Request_SingleShot: return "single-shot";
        case GNSS_NI_Request_AreaTrigger: return "area-trigger";
    }
    return nullptr;
}

const char* NotificationName(GNSS_NI_NOTIFICATION_TYPE type) {
    switch (type) {
        case GNSS_NI_NoNotifyNoVerify: return "no-notify-no-verify";
        case GNSS_NI_NotifyOnly: return "notify-only";
        case GNSS_NI_NotifyVerifyDefaultAllow: return "notify-verify-default-allow";
        case GNSS_NI_NotifyVerifyDefaultNotAllow: return "notify-verify-default-not-allow";
        case GNSS_NI_PrivacyOverride: return "privacy-override";
    }
    return nullptr;
}

std::string Named(const char* name, INT value) {
    return name != nullptr ? name : "unknown (" + std::to_string(value) + ")";
}

void PrintRequest(std::ostream& out, const GNSS_NI_REQUEST_PARAM& r) {
    out << "NI request " << r.RequestId << ": "
        << Named(RequestTypeName(r.RequestType), r.RequestType) << ", "
        << Named(NotificationName(r.NotificationType), r.NotificationType) << ", respond within "
        << r.ResponseTimeInSec << " s" << (r.EmergencyLocation ? ", emergency" : "") << "\n";
    const auto text = [](const WCHAR* t, std::size_t n) { return client::Utf16ToUtf8(t, n); };
    switch (r.RequestPlaneType) {
        case GNSS_NI_SUPL: {
            const GNSS_SUPL_NI_INFO& s = r.SuplNiInfo;
            const std::string url(s.SuplNiUrl, strnlen(s.SuplNiUrl, sizeof s.SuplNiUrl));
            out << "  plane SUPL, requestor \"" << text(s.RequestorId, MAX_PATH) << "\", client \""
                << text(s.ClientName, MAX_PATH) << "\", URL \"" << url << "\"\n";
            break;
        }
        case GNSS_NI_CP:
            out << "  plane control, requestor \"" << text(r.CpNiInfo.RequestorId, MAX_PATH)
                << "\", notification \"" << text(r.CpNiInfo.NotificationText, MAX_PATH) << "\"\n";
            break;
        case GNSS_NI_V2UPL:
            out << "  plane V2UPL, requestor \"" << text(r.V2UplNiInfo.RequestorId, MAX_PATH) << "\"\n";
            break;
        default:
            out << "  plane unknown (" << r.RequestPlaneType << ")\n";
    }
    out.flush();
}

int Listen(Context& context, std::optional<std::uint32_t> count,
           std::optional<std::chrono::milliseconds> duration) {
    EventWait wait;  // before the device opens: its reader thread inherits the signal mask
    client::Device& device = context.Device();
    const auto park = [&] {
        return device.ControlAsync(IOCTL_GNSS_LISTEN_NI, {}, sizeof(GNSS_EVENT), wait.Deliver(0));
    };
    client::Tag tag = park();
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (duration) deadline = std::chrono::steady_clock::now() + *duration;
    std::uint32_t received = 0;

    // Takes the parked request back; true when it brought a request meanwhile.
    const auto withdraw = [&]() {
        device.Cancel(tag);
        for (;;) {
            EventWait::Event e = wait.Next(std::nullopt, false);
            if (e.kind != EventWait::Event::Kind::Completion) continue;
            if (!e.completion.ok()) return;
            const client::Event event = client::DecodeEvent(e.completion.output);
            if (const auto* r = std::get_if<GNSS_NI_REQUEST_PARAM>(&event.data)) {
                PrintRequest(context.out(), *r);
                ++received;
            }
            return;
        }
    };

    for (;;) {
        EventWait::Event e = wait.Next(deadline);
        if (e.kind == EventWait::Event::Kind::Signal) {
            withdraw();
            return kExitOk;
        }
        if (e.kind == EventWait::Event::Kind::TimedOut) {
            withdraw();
            if (count && received < *count)
                throw client::TimeoutError(std::to_string(received) + " of " + std::to_string(*count) +
                                           " NI requests came within " +
                                           FormatSeconds(*duration));
            return kExitOk;
        }
        const client::Completion& c = e.completion;
        if (c.disconnected)
            throw client::ConnectionError("the connection to gnssd ended: " + device.DisconnectReason());
        if (!c.ok()) throw client::StatusError(c.status, "listen for NI requests");
        const client::Event event = client::DecodeEvent(c.output);
        if (const auto* r = std::get_if<GNSS_NI_REQUEST_PARAM>(&event.data)) {
            PrintRequest(context.out(), *r);
            ++received;
        } else {
            context.err() << "gnssctl: an event of type " << event.type << " instead of an NI request\n";
        }
        if (count && received >= *count) return kExitOk;
        tag = park();
    }
}

int Respond(Context& context, const std::string& idText, const std::string& answer) {
    const std::uint32_t id = ParseNumber(idText, "--respond ID");
    GNSS_NI_USER_RESPONSE response;
    if (answer == "accept") response = GNSS_Ni_UserResponseAccept;
    else if (answer == "deny") response = GNSS_Ni_UserResponseDeny;
    else if (answer == "timeout") response = GNSS_Ni_UserResponseTimeout;
    else throw UsageError("--respond needs accept, deny or timeout after the ID, not '" + answer + "'");
    client::CheckedControl(context.Device(), IOCTL_GNSS_RESPOND_NI, client::BuildNiResponse(id, response),
                           0, "NI response", context.timeout());
    context.out() << "NI request " << id << ": " << answer << " sent\n";
    return kExitOk;
}

int RunNi(Context& context, const std::vector<std::string>& args) {
    const Options o("ni", args,
                    {{"--listen"},
                     {"--respond", KnownOption::Arg::Two},
                     {"--count", KnownOption::Arg::One},
                     {"--timeout", KnownOption::Arg::One}});
    o.AtMostWords(0);
    o.OneOf({"--listen", "--respond"});
    const bool listen = o.Has("--listen");
    std::optional<std::pair<std::string, std::string>> respond;
    for (const Options::Use& use : o.Uses())
        if (use.name == "--respond") respond.emplace(use.values[0], use.values[1]);
    const std::optional<std::uint32_t> count = o.OptionalNumber("--count", 1);
    const std::optional<std::chrono::milliseconds> duration = o.Seconds("--timeout");
    if (respond) {
        if (count || duration) throw UsageError("ni: --count and --timeout go with --listen");
        return Respond(context, respond->first, respond->second);
    }
    if (!listen) throw UsageError("ni needs --listen or --respond ID accept|deny|timeout");
    return Listen(context, count, duration);
}

constexpr CommandEntry kNi{
    "ni", "ni --listen | --respond ID ANSWER",
    "Listen for network-initiated location requests, or answer one",
    "--listen\n"
    "    Parks IOCTL_GNSS_LISTEN_NI requests with the driver and prints each\n"
    "    network-initiated request as it arrives (id, type, notification, the\n"
    "    time to respond, the plane with its requestor).  It runs until SIGINT\n"
    "    or SIGTERM (Ctrl-C; exit status 0), or as --count and --timeout say.\n"
    "    The driver passes on only what the modem engine raises, and this\n"
    "    engine raises none by itself, so expect to wait.\n"
    "  --count N     stop after N requests (exit status 0)\n"
    "  --timeout S   stop after S seconds (fractions allowed): exit status 0,\n"
    "                or 1 when --count was given and fewer requests came\n"
    "--respond ID accept|deny|timeout\n"
    "    Sends IOCTL_GNSS_RESPOND_NI for request ID with UserResponse 1\n"
    "    (accept), 2 (deny) or 3 (timeout: the user did not answer).  The driver\n"
    "    passes accept and deny on to the modem; a timeout sends the modem\n"
    "    nothing.\n"
    "\n"
    "Examples:\n"
    "  gnssctl ni --listen\n"
    "  gnssctl ni --listen --count 1 --timeout 60\n"
    "  gnssctl ni --respond 7 accept\n"
    "  gnssctl ni --respond 7 deny\n",
    RunNi};

GNSSCTL_COMMAND(kNi);

}  // namespace
}  // namespace gnss::ctl
