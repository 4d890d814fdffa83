// What a command shows on standard error while it waits for the receiver,
// when standard error is a terminal: the time waited, the satellites in view
// and used and the best signal as NMEA and fixes reveal them, and, after a
// few seconds with nothing from the receiver, a hint naming the likely cause
// (the location service off, production test mode, no session running,
// other clients' sessions).  Off a terminal it shows nothing and asks the
// driver for nothing.
//
// To see satellites before the first fix it asks the driver for NMEA
// (GNSS_SetNMEALogging 256) and keeps one listen request waiting; both are
// undone on the way out, and gnssd undoes them should gnssctl die.  A listen
// request the driver refuses means no fix can come either (the service went
// off or test mode began): the wait ends at once with the refusal in words.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "NmeaView.h"

namespace gnss::ctl {

class WaitFeedback {
public:
    // Nmea: the feedback reads NMEA itself; No: the command reads it and
    // hands it over through Heard; TimeOnly: a wait that is not for the
    // receiver (a self-test), which shows the time alone and gives no hints.
    enum class Listen { Nmea, No, TimeOnly };

    // `what` names the wait ("waiting for a fix").  With Listen::No the
    // command reads NMEA itself and hands it over through Heard.
    WaitFeedback(Context& context, EventWait& events, std::string what,
                 Listen listen = Listen::Nmea);
    ~WaitFeedback();
    WaitFeedback(const WaitFeedback&) = delete;
    WaitFeedback& operator=(const WaitFeedback&) = delete;

    // The command's next event, as EventWait::Next gives it; the feedback's
    // own ticks and NMEA are taken here.  Throws as ThrowFixStatus does when
    // the driver refuses the feedback's NMEA request.
    EventWait::Event Next(std::optional<std::chrono::steady_clock::time_point> deadline,
                          bool signals = true);
    // A fix came: its satellites are taken, and the wait starts again as
    // after Delivered.
    void Fix(const GNSS_FIXDATA& fix);
    // The command is about to print what it waited for: the line is cleared
    // and the wait starts again.
    void Delivered();
    // Sentences from the receiver (the feedback's own, or the command's).
    void Heard(const std::string& sentences);

private:
    using Clock = std::chrono::steady_clock;

    void Park();
    void TakeNmea(const client::Completion& completion);
    void Tick();
    void Show(const std::string& line);
    void Clear();

    Context& context_;
    EventWait& events_;
    std::string what_;
    bool active_ = false;
    std::optional<NmeaWanted> wanted_;
    std::optional<client::Tag> listening_;
    Clock::time_point since_;             // the start of the current wait
    Clock::time_point nextTick_;
    bool heard_ = false;                  // anything from the receiver at all
    bool hinted_ = false;                 // TimeOnly: never hints
    bool shown_ = false;                  // a status line stands on the terminal
    NmeaView nmea_;                       // what the sentences said
    std::optional<GNSS_FIXDATA> fix_;     // the latest fix, when newer than the sentences
};

// What may keep the receiver silent, from gnssd's account of the service: a
// sentence per likely cause, each naming what to do.
std::vector<std::string> WaitHints(Context& context);
// Why the driver's gate refuses fix and NMEA requests (STATUS_ACCESS_DENIED):
// the location service off or production test mode, as gnssd follows them,
// with what to do.
std::string GateCause(Context& context);

}  // namespace gnss::ctl
