#include "Feedback.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <variant>
#include <vector>

#include "HostFacts.h"
#include "gnss/client/error.h"
#include "gnss/client/requests.h"

namespace gnss::ctl {
namespace {

using namespace std::chrono_literals;

// The key under which the feedback's NMEA requests complete; commands use small keys.
constexpr int kNmeaKey = 1000;
// A wait shorter than this shows no line (a fix every second while tracking).
constexpr auto kQuiet = 1500ms;
// Nothing from the receiver for this long: say what the cause may be.
constexpr auto kHintAfter = 5s;

}  // namespace

std::string GateCause(Context& context) {
    const auto status = HostStatusOf(context);
    if (status && status->testMode.value_or(false))
        return "the receiver is in production test mode (gnssctl selftest --test-mode off)";
    if (status && status->location && !*status->location)
        return "the location service is off (gnssctl location on)";
    return "the location service is off or the receiver is in production test mode "
           "(gnssctl status tells which)";
}

std::vector<std::string> WaitHints(Context& context) {
    std::vector<std::string> hints;
    const auto status = HostStatusOf(context);
    if (!status) {
        hints.push_back("nothing from the receiver yet; gnssctl status shows the service");
        return hints;
    }
    if (status->modemAttached && !*status->modemAttached)
        hints.push_back("no modem is attached" +
                        (status->modemWaitsFor.empty() ? std::string()
                                                       : ": gnssd waits for " + status->modemWaitsFor));
    if (status->location && !*status->location)
        hints.push_back("the location service is off: run 'gnssctl location on'");
    if (status->testMode.value_or(false))
        hints.push_back("the receiver is in production test mode: run 'gnssctl selftest --test-mode off'");
    const ULONG own = OwnSessionId();
    unsigned others = 0;
    for (const auto& session : status->sessions)
        if (session.id != own) ++others;
    const bool ownSession = others < status->sessions.size();
    if (status->sessions.empty())
        hints.push_back("no fix session is running, and the receiver sends NMEA only during one: "
                        "run 'gnssctl track' in another terminal, or give this command --track 1");
    else if (others > 0)
        hints.push_back(std::to_string(others) + " fix session" + (others == 1 ? "" : "s") +
                        " of other clients " + (others == 1 ? "is" : "are") +
                        " running as well (gnssctl status lists them)");
    if (hints.empty() && ownSession)
        hints.push_back("nothing from the receiver for a few seconds: a receiver without a view "
                        "of the sky reports nothing, and a first fix can take a minute outdoors");
    return hints;
}

WaitFeedback::WaitFeedback(Context& context, EventWait& events, std::string what, Listen listen)
    : context_(context), events_(events), what_(std::move(what)),
      active_(::isatty(STDERR_FILENO) == 1) {
    since_ = Clock::now();
    nextTick_ = since_ + 1s;
    if (listen == Listen::TimeOnly) hinted_ = true;
    if (!active_ || listen != Listen::Nmea) return;
    // Without NMEA the line shows the time alone; the wait itself goes on.
    wanted_.emplace(context_, true);
    if (wanted_->Raised()) Park();
}

WaitFeedback::~WaitFeedback() {
    Clear();
    try {
        client::Device& device = context_.Device();
        if (listening_ && device.Connected() && device.Cancel(*listening_)) {
            // Its completion (cancelled, or sentences that came first) is
            // taken here so that it reaches no later wait.
            const auto deadline = Clock::now() + context_.timeout();
            for (;;) {
                const EventWait::Event e = events_.Next(deadline, false);
                if (e.kind != EventWait::Event::Kind::Completion || e.key == kNmeaKey) break;
            }
        }
    } catch (const client::Error& e) {
        context_.err() << "gnssctl: taking back the NMEA request: " << e.what() << "\n";
    }
    // wanted_ lowers NMEA as it goes.
}

void WaitFeedback::Park() {
    listening_ = context_.Device().ControlAsync(IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT),
                                                events_.Deliver(kNmeaKey));
}

EventWait::Event WaitFeedback::Next(std::optional<Clock::time_point> deadline, bool signals) {
    for (;;) {
        std::optional<Clock::time_point> until = deadline;
        if (active_ && signals && (!until || nextTick_ < *until)) until = nextTick_;
        EventWait::Event e = events_.Next(until, signals);
        if (e.kind == EventWait::Event::Kind::Completion && e.key == kNmeaKey) {
            listening_.reset();
            TakeNmea(e.completion);
            continue;
        }
        if (e.kind == EventWait::Event::Kind::TimedOut && (!deadline || Clock::now() < *deadline)) {
            Tick();
            continue;
        }
        return e;
    }
}

void WaitFeedback::TakeNmea(const client::Completion& c) {
    if (c.disconnected) return;  // the command learns it from its own request
    // Any client's stop of a session cancels the waiting NMEA requests.
    if (c.status == STATUS_CANCELLED) {
        Park();
        return;
    }
    if (!c.ok()) {
        Clear();
        ThrowFixStatus(context_, c.status, "NMEA data");
    }
    const client::Event event = client::DecodeEvent(c.output);
    if (const auto* nmea = std::get_if<client::NmeaData>(&event.data)) Heard(nmea->sentences);
    Park();
}

void WaitFeedback::Heard(const std::string& sentences) {
    heard_ = true;
    nmea_.Add(sentences);
    fix_.reset();
}

void WaitFeedback::Delivered() {
    Clear();
    heard_ = true;
    since_ = Clock::now();
    nextTick_ = since_ + 1s;
}

void WaitFeedback::Fix(const GNSS_FIXDATA& fix) {
    Delivered();
    fix_ = fix;
}

void WaitFeedback::Tick() {
    const Clock::time_point now = Clock::now();
    nextTick_ = now + 1s;
    const auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - since_);
    if (now - since_ < kQuiet) return;
    if (!heard_ && !hinted_ && now - since_ >= kHintAfter) {
        hinted_ = true;
        Clear();
        for (const std::string& hint : WaitHints(context_))
            context_.err() << "gnssctl: " << hint << "\n";
    }
    NmeaSky sky = nmea_.Sky();
    if (fix_) {
        sky.inView = static_cast<int>(fix_->SatelliteData.SatelliteCount);
        sky.used = static_cast<int>(SatellitesUsed(*fix_));
        sky.byConstellation.clear();
        sky.bestSignal = 0;
        for (std::size_t i = 0; i < SatelliteEntries(*fix_); ++i)
            sky.bestSignal = std::max<double>(sky.bestSignal,
                                              fix_->SatelliteData.SatelliteArray[i].SignalToNoiseRatio);
    }
    std::string line = what_ + ": " + std::to_string(waited.count()) + " s";
    if (sky.inView >= 0) {
        line += "; " + std::to_string(sky.inView) + " satellites in view";
        if (!sky.byConstellation.empty()) line += " (" + sky.byConstellation + ")";
        if (sky.used >= 0) line += ", " + std::to_string(sky.used) + " used";
        if (sky.bestSignal > 0) {
            char signal[32];
            std::snprintf(signal, sizeof signal, ", best signal %.0f dB-Hz", sky.bestSignal);
            line += signal;
        }
    } else if (!heard_) {
        line += "; nothing from the receiver yet";
    }
    Show(line);
}

void WaitFeedback::Show(const std::string& line) {
    context_.err() << "\r\033[K" << line << std::flush;
    shown_ = true;
}

void WaitFeedback::Clear() {
    if (std::exchange(shown_, false)) context_.err() << "\r\033[K" << std::flush;
}

}  // namespace gnss::ctl
