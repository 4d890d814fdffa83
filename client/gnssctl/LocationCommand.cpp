// gnssctl location: the location service switch (driver command
// GNSS_SetLocationServiceEnabled), waiting for the receiver's service-status
// report on a parked listen-NMEA request.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Command.h"
#include "HostFacts.h"
#include "gnss/client/requests.h"
#include "gnss/client/structures.h"

namespace gnss::ctl {
namespace {

using Clock = std::chrono::steady_clock;

// The completions of the listen-NMEA requests, handed from the device's
// reader thread to the command.  Shared with the callbacks, which may still
// run after the command has returned (when the device closes).
struct ListenerState {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<client::Completion> done;
};

class NmeaListener {
public:
    explicit NmeaListener(client::Device& device)
        : device_(device), state_(std::make_shared<ListenerState>()) {}
    ~NmeaListener() { Cancel(); }

    // Parks one listen-NMEA request.
    void Park() {
        std::weak_ptr<ListenerState> weak = state_;
        tag_ = device_.ControlAsync(IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT),
                                    [weak](client::Completion&& c) {
                                        const auto state = weak.lock();
                                        if (!state) return;
                                        std::lock_guard guard(state->lock);
                                        state->done.push_back(std::move(c));
                                        state->changed.notify_all();
                                    });
        parked_ = true;
    }
    // The completion of the parked request, or nothing by `deadline`.
    std::optional<client::Completion> Wait(Clock::time_point deadline) {
        std::unique_lock guard(state_->lock);
        if (!state_->changed.wait_until(guard, deadline, [&] { return !state_->done.empty(); }))
            return std::nullopt;
        client::Completion c = std::move(state_->done.front());
        state_->done.pop_front();
        parked_ = false;
        return c;
    }
    // The completion if it has come already.
    std::optional<client::Completion> Poll() { return Wait(Clock::now()); }
    void Cancel() {
        if (parked_) device_.Cancel(tag_);
        parked_ = false;
    }

private:
    client::Device& device_;
    std::shared_ptr<ListenerState> state_;
    client::Tag tag_ = 0;
    bool parked_ = false;
};

const char* StateName(bool on) { return on ? "on" : "off"; }

// The service status a completion carries, if it is one.
std::optional<ULONG> ServiceStatusOf(const client::Completion& c) {
    if (!c.ok()) return std::nullopt;
    try {
        const client::Event event = client::DecodeEvent(c.output);
        if (const auto* s = std::get_if<client::ServiceStatus>(&event.data)) return s->status;
    } catch (const client::FormatError&) {
        // Not an event this command waits for.
    }
    return std::nullopt;
}

void SendSwitch(Context& context, bool on, const std::string& label) {
    const std::uint8_t data[] = {static_cast<std::uint8_t>(on ? 1 : 0)};
    const client::Completion c = context.Device().Control(
        IOCTL_GNSS_SEND_DRIVERCOMMAND,
        client::BuildDriverCommand(GNSS_SetLocationServiceEnabled, data), 0, context.timeout());
    if (!c.ok()) throw client::StatusError(c.status, label + ": the driver refused the command");
}

int RunLocation(Context& context, const std::vector<std::string>& args) {
    const Options o("location", args, {{"--no-wait"}});
    const bool wait = !o.Has("--no-wait");
    o.AtMostWords(1);
    std::optional<bool> on;
    if (!o.Words().empty()) {
        const std::string& word = o.Words()[0];
        if (word != "on" && word != "off")
            throw UsageError("location: '" + word + "' is neither on nor off");
        on = word == "on";
    }
    if (!on) throw UsageError("location needs on or off");
    const std::string label = std::string("location service ") + StateName(*on);
    std::ostream& out = context.out();
    client::Device& device = context.Device();

    if (!wait) {
        SendSwitch(context, *on, label);
        out << label << ": the driver took the command (not waiting for the receiver)\n";
        return kExitOk;
    }

    const auto deadline = Clock::now() + context.timeout();
    NmeaListener listener(device);
    // Park the listener, then make sure it waits in the driver before the
    // command goes out: the driver serves one request at a time, so once a
    // request sent after it is answered, the listener is parked or answered.
    // An answer now is an NMEA block from the driver's queue (park again),
    // an old status report (park again) or a refusal.
    bool listening = true;
    for (;;) {
        listener.Park();
        client::CheckedControl(device, IOCTL_GNSS_GET_DEVICE_CAPABILITY, {},
                               sizeof(GNSS_DEVICE_CAPABILITY), "device capability",
                               context.timeout());
        const auto early = listener.Poll();
        if (!early) break;
        if (early->status == STATUS_ACCESS_DENIED) {
            listening = false;
            break;
        }
        if (early->disconnected)
            throw client::ConnectionError(label + ": " + device.DisconnectReason());
        if (!early->ok() && early->status != STATUS_CANCELLED)
            throw client::StatusError(early->status,
                                      label + ": listening for the receiver's report failed");
        if (Clock::now() >= deadline)
            throw client::TimeoutError(label + ": NMEA blocks kept the listener busy for " +
                                       FormatSeconds(context.timeout()) +
                                       "; the command was not sent");
    }

    SendSwitch(context, *on, label);
    if (!listening) {
        // The driver's gate refused the listener: test mode, or the service
        // was off until this command.
        const auto host = HostStatusOf(context);
        const std::optional<bool> testMode = host ? host->testMode : std::nullopt;
        if (testMode.value_or(false))
            out << label << ": the driver took the command, but the receiver is in production "
                            "test mode: fix sessions and NMEA stay refused until gnssctl selftest "
                            "--test-mode off\n";
        else
            out << label << ": the driver took the command; not waiting for the receiver's "
                            "report (the driver refuses listeners while the service is off, as it "
                            "was" << (testMode ? "" : ", or in production test mode") << ")\n";
        return kExitOk;
    }

    // Wait for the report of the expected state; NMEA blocks, reports of the
    // other state (an earlier switch) and cancellations by other clients'
    // session stops are skipped, the listener parked again.
    std::optional<ULONG> lastReported;
    for (;;) {
        const auto c = listener.Wait(deadline);
        if (!c) {
            listener.Cancel();
            std::string text = label +
                               ": the driver took the command, but the receiver did not report " +
                               StateName(*on) + " within " + FormatSeconds(context.timeout());
            if (lastReported)
                text += " (it reported " + std::string(StateName(*lastReported != 0)) + ")";
            throw client::TimeoutError(text);
        }
        if (c->disconnected)
            throw client::ConnectionError(label + ": " + device.DisconnectReason());
        if (const auto status = ServiceStatusOf(*c)) {
            if ((*status != 0) == *on) {
                out << label << ": the receiver is " << StateName(*on) << "\n";
                return kExitOk;
            }
            lastReported = *status;
        } else if (c->status == STATUS_ACCESS_DENIED) {
            // Parked again after the service went off (or test mode began):
            // no report can be awaited.
            if (*on)
                throw client::StatusError(
                    c->status, label + ": the driver refused the listener meanwhile (the location "
                                       "service went off, or the receiver is in test mode)");
            out << label
                << ": the driver took the command; the receiver's report could not be awaited (the "
                   "driver refuses listeners while the location service is off)\n";
            return kExitOk;
        } else if (!c->ok() && c->status != STATUS_CANCELLED) {
            throw client::StatusError(c->status,
                                      label + ": listening for the receiver's report failed");
        }
        listener.Park();
    }
}

constexpr CommandEntry kLocation{
    "location", "location on|off [--no-wait]", "Switch the location service on or off",
    "Sends the driver command GNSS_SetLocationServiceEnabled with the data byte\n"
    "1 (on) or 0 (off).  The driver answers at once and switches the receiver\n"
    "afterwards; then it reports the receiver's new state to every parked\n"
    "listen-NMEA request.  So gnssctl first parks a listen-NMEA request, sends\n"
    "the command and waits (at most --timeout in all) for that report; NMEA\n"
    "blocks arriving meanwhile are skipped.  It prints\n"
    "  location service on: the receiver is on\n"
    "or says what failed, with the driver's status by name.\n"
    "\n"
    "While the location service is off (and while the receiver is in production\n"
    "test mode) the driver refuses listen-NMEA requests (STATUS_ACCESS_DENIED);\n"
    "\"location on\" then only waits for the command's answer and says so.  Off\n"
    "also refuses fix sessions, fix data and NMEA until the service is on again.\n"
    "\n"
    "Options:\n"
    "  --no-wait   send the command and print the driver's answer only\n"
    "\n"
    "Exit status: 0 the receiver reported the state (or, as above, the command\n"
    "was taken), 1 the driver refused the command or no report came in time,\n"
    "2 usage error, 3 gnssd cannot be reached.\n"
    "\n"
    "Examples:\n"
    "  gnssctl location on\n"
    "  gnssctl --timeout 3000 location off\n"
    "  gnssctl location on --no-wait\n",
    RunLocation};

GNSSCTL_COMMAND(kLocation);

}  // namespace
}  // namespace gnss::ctl
