#include "Tracker.h"

#include <cstring>
#include <utility>
#include <variant>

#include "FeedLog.h"
#include "gnss/client/error.h"
#include "gnss/client/structures.h"

namespace gnss::feed {
namespace {

constexpr std::chrono::milliseconds kRequestTimeout{10000};

// Data of GNSS_SetNMEALogging: 256 wants NMEA (without the log file), 1 no
// longer wants it.
constexpr std::uint32_t kNmeaWanted = 256;
constexpr std::uint32_t kNmeaNotWanted = 1;

std::string StatusName(NTSTATUS status) { return client::StatusError::Name(status); }

}  // namespace

Tracker::Tracker(TrackerSettings settings, FixHandler onFix, RawHandler onRaw)
    : settings_(std::move(settings)), onFix_(std::move(onFix)), onRaw_(std::move(onRaw)) {
    thread_ = std::thread([this] { Main(); });
}

Tracker::~Tracker() { Stop(); }

void Tracker::SetWanted(bool wanted) {
    std::lock_guard guard(lock_);
    wanted_ = wanted;
    changed_.notify_all();
}

void Tracker::Stop() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

client::CompletionCallback Tracker::Deliver(Event::Kind kind) {
    const unsigned generation = generation_;
    return [this, kind, generation](client::Completion&& completion) {
        std::lock_guard guard(lock_);
        events_.push_back(Event{kind, generation, std::move(completion)});
        changed_.notify_all();
    };
}

void Tracker::Main() {
    std::unique_lock lock(lock_);
    for (;;) {
        if (stopping_) break;
        const bool wanted = wanted_;
        std::deque<Event> events;
        events.swap(events_);
        const unsigned generation = generation_;
        lock.unlock();

        for (auto& event : events) {
            // Completions of an earlier connection, or of one closed since.
            if (!device_ || event.generation != generation) continue;
            if (event.kind == Event::Kind::Fix)
                OnFix(std::move(event.completion));
            else
                OnListen(std::move(event.completion));
        }
        if (!wanted) {
            if (device_) Wind();
            retryAt_.reset();
        } else if (!retryAt_ || std::chrono::steady_clock::now() >= *retryAt_) {
            retryAt_.reset();
            Advance();
        }

        lock.lock();
        const auto ready = [&] { return stopping_ || !events_.empty() || wanted_ != wanted; };
        if (retryAt_)
            changed_.wait_until(lock, *retryAt_, ready);
        else
            changed_.wait(lock, ready);
    }
    lock.unlock();
    if (device_) Wind();
}

void Tracker::RetryLater() { retryAt_ = std::chrono::steady_clock::now() + settings_.retry; }

void Tracker::Advance() {
    try {
        if (!device_ && !Connect()) {
            RetryLater();
            return;
        }
        // The listen first: it carries the service-status report that a
        // refused session waits for.
        if (!listenParked_) ParkListen();
        if (settings_.raw && !nmeaRaised_) {
            const client::Completion c = device_->Control(
                IOCTL_GNSS_SEND_DRIVERCOMMAND,
                client::BuildDriverCommandValue(GNSS_SetNMEALogging, kNmeaWanted), 0,
                kRequestTimeout);
            if (!c.ok() && !c.disconnected)
                Say("the driver refused to pass on the receiver's sentences (GNSS_SetNMEALogging: " +
                    StatusName(c.status) + ")");
            nmeaRaised_ = c.ok();
            if (c.disconnected) throw client::ConnectionError(device_->DisconnectReason());
        }
        if (!sessionRunning_) StartSession();
    } catch (const client::Error& e) {
        Lost(e.what());
    }
}

bool Tracker::Connect() {
    try {
        device_ = client::Device::Open(settings_.socketPath, kRequestTimeout);
    } catch (const client::Error& e) {
        if (!unreachableSaid_) {
            const std::string why = e.what();
            Say((why.rfind("cannot reach gnssd", 0) == 0 ? why : "cannot reach gnssd (" + why + ")") +
                "; retrying every second");
        }
        unreachableSaid_ = true;
        return false;
    }
    {
        std::lock_guard guard(lock_);
        ++generation_;
    }
    unreachableSaid_ = false;
    Say("connected to gnssd (" + settings_.socketPath + ")");
    ParkListen();
    if (settings_.locationOn) {
        const std::uint8_t on[] = {1};
        const client::Completion c =
            device_->Control(IOCTL_GNSS_SEND_DRIVERCOMMAND,
                             client::BuildDriverCommand(GNSS_SetLocationServiceEnabled, on), 0,
                             kRequestTimeout);
        if (c.disconnected) throw client::ConnectionError(device_->DisconnectReason());
        if (!c.ok())
            Say("cannot switch the location service on: " + StatusName(c.status));
    }
    return true;
}

void Tracker::ParkListen() {
    device_->ControlAsync(IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT),
                          Deliver(Event::Kind::Listen));
    listenParked_ = true;
}

void Tracker::ParkFixRequest() {
    std::uint8_t id[sizeof(ULONG)];
    std::memcpy(id, &settings_.sessionId, sizeof id);
    device_->ControlAsync(IOCTL_GNSS_GET_FIXDATA, id, sizeof(GNSS_EVENT), Deliver(Event::Kind::Fix));
}

void Tracker::StartSession() {
    client::FixSessionParameters parameters;
    parameters.sessionId = settings_.sessionId;
    parameters.type = GNSS_FixSession_ContinuousTracking;
    parameters.horizontalAccuracy = settings_.accuracy;
    parameters.levelOfDetails =
        GNSS_FIXDETAIL_BASIC | GNSS_FIXDETAIL_ACCURACY | GNSS_FIXDETAIL_SATELLITE;
    parameters.typeValue = settings_.interval;
    const client::Completion c = device_->Control(
        IOCTL_GNSS_START_FIXSESSION, client::BuildFixSession(parameters), 0, kRequestTimeout);
    if (c.disconnected) throw client::ConnectionError(device_->DisconnectReason());
    if (c.ok()) {
        sessionRunning_ = true;
        lastStartError_ = STATUS_SUCCESS;
        if (std::exchange(serviceOff_, false)) Say("the location service is on");
        Say("tracking session " + std::to_string(settings_.sessionId) + " started (interval " +
            std::to_string(settings_.interval) + " s)");
        ParkFixRequest();
        return;
    }
    if (c.status == STATUS_ACCESS_DENIED) {
        // The driver refuses listeners too while the service is off, so no
        // report will say when it comes on: ask again every second.
        if (!std::exchange(serviceOff_, true))
            Say(settings_.locationOn ? "waiting for the location service to come on"
                                     : "the location service is off: serving no-fix sentences "
                                       "until it is switched on");
        RetryLater();
        return;
    }
    if (c.status != lastStartError_)
        Say("cannot start a tracking session: " + StatusName(c.status) + "; trying every second");
    lastStartError_ = c.status;
    RetryLater();
}

void Tracker::OnFix(client::Completion&& c) {
    if (c.disconnected) {
        Lost(device_->DisconnectReason());
        return;
    }
    if (c.ok()) {
        try {
            const client::Event event = client::DecodeEvent(c.output);
            if (const auto* fix = std::get_if<GNSS_FIXDATA>(&event.data);
                fix != nullptr && NT_SUCCESS(fix->FixStatus) &&
                (fix->FixLevelOfDetails & GNSS_FIXDETAIL_BASIC) != 0)
                onFix_(*fix);
        } catch (const client::FormatError& e) {
            Say(std::string("a fix the driver sent cannot be read: ") + e.what());
        }
        try {
            if (sessionRunning_) ParkFixRequest();
        } catch (const client::Error& e) {
            Lost(e.what());
        }
        return;
    }
    // The driver ended the session (the location service went off, the
    // device is going) or cannot serve it: start it again, a second later.
    sessionRunning_ = false;
    Say("tracking session " + std::to_string(settings_.sessionId) + " ended by the driver (" +
        StatusName(c.status) + ")");
    if (c.status != STATUS_CANCELLED) {
        try {
            StopSession();
        } catch (const client::Error& e) {
            Lost(e.what());
            return;
        }
    }
    RetryLater();
}

void Tracker::OnListen(client::Completion&& c) {
    listenParked_ = false;
    if (c.disconnected) {
        Lost(device_->DisconnectReason());
        return;
    }
    // Every stop of a fix session, anyone's, cancels the waiting listens.
    if (c.status == STATUS_CANCELLED) return;
    if (!c.ok()) {
        RetryLater();  // listen again, but not at once
        return;
    }
    try {
        const client::Event event = client::DecodeEvent(c.output);
        if (const auto* nmea = std::get_if<client::NmeaData>(&event.data)) {
            if (settings_.raw) onRaw_(nmea->sentences);
        } else if (const auto* service = std::get_if<client::ServiceStatus>(&event.data)) {
            if (service->status == 0 && !serviceOff_) {
                serviceOff_ = true;
                Say("the location service was switched off: serving no-fix sentences until it is "
                    "switched on");
            }
        }
    } catch (const client::FormatError& e) {
        Say(std::string("an event the driver sent cannot be read: ") + e.what());
    }
}

void Tracker::StopSession() {
    const client::Completion c = device_->Control(
        IOCTL_GNSS_STOP_FIXSESSION, client::BuildStopFixSession(settings_.sessionId), 0,
        kRequestTimeout);
    if (c.disconnected) throw client::ConnectionError(device_->DisconnectReason());
    sessionRunning_ = false;
    if (c.ok()) Say("tracking session " + std::to_string(settings_.sessionId) + " stopped");
}

void Tracker::Wind() {
    try {
        if (device_->Connected() && sessionRunning_) StopSession();
        if (device_->Connected() && nmeaRaised_) {
            const client::Completion c = device_->Control(
                IOCTL_GNSS_SEND_DRIVERCOMMAND,
                client::BuildDriverCommandValue(GNSS_SetNMEALogging, kNmeaNotWanted), 0,
                kRequestTimeout);
            if (!c.ok() && !c.disconnected)
                Say("GNSS_SetNMEALogging " + std::to_string(kNmeaNotWanted) + ": " +
                    StatusName(c.status));
        }
    } catch (const client::Error& e) {
        Say(std::string("closing the connection to gnssd: ") + e.what());
    }
    Drop();
}

void Tracker::Lost(const std::string& reason) {
    Say("lost gnssd (" + reason + "); reconnecting");
    Drop();
    RetryLater();
}

void Tracker::Drop() {
    if (device_) device_->Close();
    device_.reset();
    nmeaRaised_ = false;
    sessionRunning_ = false;
    listenParked_ = false;
    serviceOff_ = false;
    lastStartError_ = STATUS_SUCCESS;
}

}  // namespace gnss::feed
