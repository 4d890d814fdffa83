// gnssctl watch: a full-screen live view of a continuous-tracking session of
// its own: the position and its accuracy, speed, heading, time, the time to
// first fix, the satellites by constellation with signal bars, and a small
// sky plot.
//
// Everything runs on the command's thread, on EventWait: fix completions,
// the ending signals, keys on standard input and SIGWINCH (blocked and read
// from a signalfd of its own, so that curses' own handler never runs and the
// resize is handled between two draws).  On every way out (q, Ctrl-C,
// SIGTERM, SIGHUP, an error) the outstanding fix request is cancelled, the
// terminal is restored and only then is the session stopped, so that a
// failing stop is reported on the restored screen.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Command.h"
#include "NmeaView.h"
#include "Svg.h"
#include "gnss/client/error.h"
#include "gnss/client/structures.h"

// Last: curses defines TRUE and FALSE (ours are constants) and a timeout()
// macro that would take Context::timeout.
#include <curses.h>
#undef timeout

namespace gnss::ctl {
namespace {

using Clock = std::chrono::steady_clock;

// SIGWINCH as a descriptor.  Construct it before the device is opened, like
// EventWait, so that the device's reader thread inherits the mask too.
class ResizeSignal {
public:
    ResizeSignal() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGWINCH);
        restoreMask_ = ::pthread_sigmask(SIG_BLOCK, &set, &oldMask_) == 0;
        fd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
        if (fd_ < 0)
            throw client::Error(std::string("cannot wait for resizes: ") + std::strerror(errno));
    }
    ~ResizeSignal() {
        ::close(fd_);
        if (restoreMask_) ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    }
    ResizeSignal(const ResizeSignal&) = delete;
    ResizeSignal& operator=(const ResizeSignal&) = delete;

    int fd() const { return fd_; }
    // Takes the pending resizes; the terminal's new size goes to curses.
    void Take() {
        signalfd_siginfo info;
        while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
        winsize size{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0)
            resizeterm(size.ws_row, size.ws_col);
    }

private:
    int fd_ = -1;
    bool restoreMask_ = false;
    sigset_t oldMask_{};
};

// curses on the terminal, for as long as it lives.
class Screen {
public:
    Screen() {
        screen_ = newterm(nullptr, stdout, stdin);
        if (screen_ == nullptr)
            throw client::Error("watch: cannot drive this terminal (TERM=" +
                                std::string(std::getenv("TERM") ? std::getenv("TERM") : "") + ")");
        cbreak();
        noecho();
        nodelay(stdscr, TRUE);
        keypad(stdscr, TRUE);
        curs_set(0);
        if (has_colors()) {
            start_color();
            use_default_colors();
            // One pair per constellation, in Constellations() order, then "other".
            const short colours[] = {COLOR_BLUE,    COLOR_WHITE, COLOR_RED,
                                     COLOR_MAGENTA, COLOR_GREEN, COLOR_YELLOW};
            for (short i = 0; i < 6; ++i) init_pair(static_cast<short>(i + 1), colours[i], -1);
            init_pair(7, -1, -1);
        }
    }
    ~Screen() {
        endwin();
        delscreen(screen_);
    }
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

private:
    SCREEN* screen_ = nullptr;
};

short PairOf(ULONG satelliteId) {
    const auto& all = Constellations();
    for (std::size_t i = 0; i < all.size(); ++i)
        if (&all[i] == &ConstellationOf(satelliteId)) return static_cast<short>(i + 1);
    return 7;
}

// What the view shows, and its drawing.
class View {
public:
    // `session` 0: following other clients' sessions through NMEA.
    View(ULONG session, ULONG interval, ULONG accuracy)
        : session_(session), interval_(interval), accuracy_(accuracy), started_(Clock::now()) {}

    bool Anything() const { return fix_.has_value() || !error_.empty(); }
    Clock::duration Since() const { return Clock::now() - started_; }

    // A fix; `fresh` false: more of the one shown (NMEA that came in pieces).
    void Add(const GNSS_FIXDATA& fix, bool fresh = true) {
        const auto now = Clock::now();
        if (!firstFix_) firstFix_ = now - started_;
        fix_ = fix;
        error_.clear();
        if (!fresh) return;
        lastAt_ = now;
        ++fixes_;
    }
    void Failed(const std::string& what) { error_ = what; }

    void Draw() const {
        erase();
        int rows = 0, cols = 0;
        getmaxyx(stdscr, rows, cols);
        char line[256];
        if (session_ == 0)
            std::snprintf(line, sizeof line,
                          " gnssctl watch   following the running sessions' NMEA   %dx%d   q quits",
                          cols, rows);
        else
            std::snprintf(line, sizeof line,
                          " gnssctl watch   session %u   every %u s   accuracy %u m   %dx%d   q quits",
                          session_, interval_, accuracy_, cols, rows);
        attron(A_REVERSE);
        mvhline(0, 0, ' ', cols);
        mvaddnstr(0, 0, line, cols);
        attroff(A_REVERSE);
        DrawFix(cols);
        if (!error_.empty()) mvaddnstr(11, 0, ("! " + error_).c_str(), cols);
        const bool sky = cols >= 90 && rows >= 17;
        if (sky) DrawSky(2, cols - 30);
        // Beside the sky plot the table keeps to its left.
        if (fix_) DrawSatellites(12, rows, [&](int y) { return sky && y <= 15 ? cols - 31 : cols; });
        refresh();
    }

private:
    void DrawFix(int cols) const {
        const auto row = [cols](int y, const char* name, const std::string& value) {
            char text[160];
            std::snprintf(text, sizeof text, "%-12s%s", name, value.c_str());
            mvaddnstr(y, 1, text, std::min(cols - 1, 56));
        };
        const double since = std::chrono::duration<double>(Clock::now() - started_).count();
        char text[128];
        if (!fix_) {
            std::snprintf(text, sizeof text, "waiting for the first fix (%.0f s)", since);
            row(2, "Position", text);
            return;
        }
        const auto& b = fix_->BasicData;
        const auto& a = fix_->AccuracyData;
        std::snprintf(text, sizeof text, "%.6f %c  %.6f %c", std::abs(b.Latitude),
                      b.Latitude < 0 ? 'S' : 'N', std::abs(b.Longitude), b.Longitude < 0 ? 'W' : 'E');
        row(2, "Position", text);
        std::snprintf(text, sizeof text, "%.1f m", b.Altitude);
        row(3, "Altitude", text);
        std::snprintf(text, sizeof text, "%u m horizontal, %u m vertical", a.HorizontalAccuracy,
                      a.AltitudeAccuracy);
        row(4, "Accuracy", text);
        std::snprintf(text, sizeof text, "%.2f m/s  (%.1f km/h)", b.Speed, b.Speed * 3.6);
        row(5, "Speed", text);
        std::snprintf(text, sizeof text, "%.1f deg", b.Heading);
        row(6, "Heading", text);
        row(7, "UTC", FormatUtc(fix_->FixTimeStamp));
        std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(*firstFix_).count());
        row(8, "TTFF", text);
        std::snprintf(text, sizeof text, "%lu, the last %.1f s ago",
                      static_cast<unsigned long>(fixes_),
                      std::chrono::duration<double>(Clock::now() - lastAt_).count());
        row(9, "Fixes", text);
        std::snprintf(text, sizeof text, "%zu in view, %zu used", SatelliteEntries(*fix_),
                      SatellitesUsed(*fix_));
        row(10, "Satellites", text);
    }

    // A plot 25 columns by 13 rows (a terminal cell is about twice as high
    // as wide): rings at elevations 0 and 45, the satellites as their
    // constellation's letter, upper case when used.
    void DrawSky(int top, int left) const {
        constexpr int kRy = 6, kRx = 12;
        const int cy = top + 1 + kRy, cx = left + kRx;
        mvaddstr(top, left, "Sky (upper case: used)");
        for (const double elevation : {0.0, 45.0})
            for (int azimuth = 0; azimuth < 360; azimuth += 6) {
                const SkyPoint p = SkyPosition(elevation, azimuth);
                mvaddch(cy + static_cast<int>(std::lround(p.y * kRy)),
                        cx + static_cast<int>(std::lround(p.x * kRx)), '.');
            }
        mvaddch(cy - kRy, cx, 'N');
        mvaddch(cy + kRy, cx, 'S');
        mvaddch(cy, cx + kRx, 'E');
        mvaddch(cy, cx - kRx, 'W');
        mvaddch(cy, cx, '+');
        if (!fix_) return;
        for (std::size_t i = 0; i < SatelliteEntries(*fix_); ++i) {
            const auto& s = fix_->SatelliteData.SatelliteArray[i];
            const SkyPoint p = SkyPosition(s.Elevation, s.Azimuth);
            const char letter = ConstellationOf(s.SatelliteId).letter;
            const bool used = s.UsedInPositiong != 0;
            attron(COLOR_PAIR(PairOf(s.SatelliteId)) | (used ? A_BOLD : 0));
            mvaddch(cy + static_cast<int>(std::lround(p.y * kRy)),
                    cx + static_cast<int>(std::lround(p.x * kRx)),
                    static_cast<chtype>(used ? letter : std::tolower(letter)));
            attroff(COLOR_PAIR(PairOf(s.SatelliteId)) | A_BOLD);
        }
    }

    // A heading per constellation, then its satellites in cells of 24
    // columns: id, signal bar (8 steps up to 48 dB-Hz), SNR, '*' when used.
    template <typename Width>
    void DrawSatellites(int y, int rows, const Width& width) const {
        constexpr int kCell = 24;
        std::map<const Constellation*, std::vector<const GNSS_SATELLITEINFO*>> groups;
        std::vector<const Constellation*> order;
        for (std::size_t i = 0; i < SatelliteEntries(*fix_); ++i) {
            const auto& s = fix_->SatelliteData.SatelliteArray[i];
            const Constellation* c = &ConstellationOf(s.SatelliteId);
            if (groups[c].empty()) order.push_back(c);
            groups[c].push_back(&s);
        }
        std::sort(order.begin(), order.end(), [](const Constellation* a, const Constellation* b) {
            return a->first < b->first;
        });
        for (const Constellation* c : order) {
            if (y >= rows) break;
            const auto& sats = groups[c];
            const auto used = std::count_if(sats.begin(), sats.end(), [](const auto* s) {
                return s->UsedInPositiong != 0;
            });
            char text[96];
            std::snprintf(text, sizeof text, "%s  %zu in view, %ld used", c->name, sats.size(),
                          static_cast<long>(used));
            attron(A_BOLD);
            mvaddnstr(y++, 1, text, width(y) - 1);
            attroff(A_BOLD);
            int x = 1;
            for (std::size_t i = 0; i < sats.size(); ++i) {
                if (x + kCell - 1 > width(y) && x > 1) {
                    ++y;
                    x = 1;
                }
                if (y >= rows) {
                    mvaddnstr(rows - 1, std::max(0, width(rows - 1) - 18), " (more than fit) ",
                              width(rows - 1));
                    return;
                }
                const auto* s = sats[i];
                const double snr = std::isfinite(s->SignalToNoiseRatio) ? s->SignalToNoiseRatio : 0;
                const int bars = std::clamp(static_cast<int>(snr / 6.0), 0, 8);
                std::snprintf(text, sizeof text, "%3u %-8s %4.1f %c", s->SatelliteId,
                              (std::string(static_cast<std::size_t>(bars), '#') +
                               std::string(static_cast<std::size_t>(8 - bars), '.'))
                                  .c_str(),
                              snr, s->UsedInPositiong != 0 ? '*' : ' ');
                attron(COLOR_PAIR(PairOf(s->SatelliteId)));
                mvaddnstr(y, x, text, std::max(0, width(y) - x));
                attroff(COLOR_PAIR(PairOf(s->SatelliteId)));
                x += kCell;
            }
            ++y;
        }
    }

    ULONG session_, interval_, accuracy_;
    Clock::time_point started_;
    std::optional<Clock::duration> firstFix_;
    std::optional<GNSS_FIXDATA> fix_;
    Clock::time_point lastAt_;
    unsigned long fixes_ = 0;
    std::string error_;
};

int RunWatch(Context& context, const std::vector<std::string>& args) {
    const Options o("watch", args,
                    {{"--interval", KnownOption::Arg::One},
                     {"--accuracy", KnownOption::Arg::One},
                     {"--follow"}});
    o.AtMostWords(0);
    const ULONG interval = o.WholeSeconds("--interval", 1, 1);
    const ULONG accuracy = o.Number("--accuracy", 50);
    const bool follow = o.Has("--follow");
    if (follow && (o.Has("--interval") || o.Has("--accuracy")))
        throw UsageError("watch --follow starts no session: --interval and --accuracy go without it");
    if (::isatty(STDIN_FILENO) == 0 || ::isatty(STDOUT_FILENO) == 0)
        throw UsageError("watch needs a terminal; for a pipe or a file use gnssctl track");

    ResizeSignal resize;  // both before the device's reader thread starts
    EventWait events;
    events.WatchInput(STDIN_FILENO);
    events.WatchInput(resize.fd());
    client::Device& device = context.Device();
    // Its own session, or NMEA wanted while it follows others' sessions.
    std::optional<OwnFixSession> session;
    std::optional<NmeaWanted> nmea;
    if (follow) {
        nmea.emplace(context);
    } else {
        session.emplace(context, GNSS_FixSession_ContinuousTracking, interval, accuracy,
                        "start of the tracking session");
    }
    const auto request = [&] {
        if (follow)
            return device.ControlAsync(IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT), events.Deliver(1));
        return device.ControlAsync(IOCTL_GNSS_GET_FIXDATA, session->IdBytes(), sizeof(GNSS_EVENT),
                                   events.Deliver(1));
    };
    // Declared after the session: the terminal is back before the stop.
    Screen screen;
    View view(follow ? 0 : session->id(), interval, accuracy);
    NmeaView followed;      // --follow: what the sentences said so far
    std::string shownTime;  // ... and the time of the fix on the screen
    client::Tag tag = request();
    // The outstanding fix request is taken back on every way out.
    struct Canceller {
        client::Device& device;
        EventWait& events;
        Context& context;
        client::Tag tag;
        ~Canceller() {
            if (device.Cancel(tag)) events.Next(Clock::now() + context.timeout(), false);
        }
    } canceller{device, events, context, tag};

    for (bool running = true; running;) {
        if (follow && !view.Anything() && view.Since() >= std::chrono::seconds(5))
            view.Failed("no NMEA yet: the receiver sends it only during a session that started "
                        "while NMEA was wanted; start one now (gnssctl track)");
        view.Draw();
        // Once a second at least, for the clocks on the screen.
        const EventWait::Event e = events.Next(Clock::now() + std::chrono::seconds(1));
        switch (e.kind) {
            case EventWait::Event::Kind::TimedOut: break;
            case EventWait::Event::Kind::Signal: running = false; break;
            case EventWait::Event::Kind::Input: {
                if (e.key == resize.fd()) {
                    resize.Take();
                    break;
                }
                pollfd in{STDIN_FILENO, POLLIN, 0};
                if (::poll(&in, 1, 0) > 0 && (in.revents & (POLLHUP | POLLERR)) != 0) {
                    running = false;  // the terminal went away
                    break;
                }
                for (int key = getch(); key != ERR; key = getch())
                    if (key == 'q' || key == 'Q') running = false;
                break;
            }
            case EventWait::Event::Kind::Completion: {
                const client::Completion& c = e.completion;
                if (c.disconnected)
                    throw client::ConnectionError("the connection to gnssd ended (" +
                                                  device.DisconnectReason() + ")");
                // Any client's stop of a session cancels the waiting NMEA requests.
                if (follow && c.status == STATUS_CANCELLED) {
                    canceller.tag = tag = request();
                    break;
                }
                if (!c.ok()) ThrowFixStatus(context, c.status, follow ? "NMEA data" : "fix data");
                const client::Event event = client::DecodeEvent(c.output);
                if (const auto* fix = std::get_if<GNSS_FIXDATA>(&event.data)) {
                    if (NT_SUCCESS(fix->FixStatus)) view.Add(*fix);
                    else view.Failed("fix: " + client::StatusError::Name(fix->FixStatus));
                } else if (const auto* block = std::get_if<client::NmeaData>(&event.data)) {
                    followed.Add(block->sentences);
                    if (const auto fix = followed.Fix()) {
                        view.Add(*fix, followed.Time() != shownTime);
                        shownTime = followed.Time();
                    }
                }
                canceller.tag = tag = request();
                break;
            }
        }
    }
    return kExitOk;
}

constexpr CommandEntry kWatch{
    "watch", "watch [--interval S] [--accuracy M] | --follow",
    "Show fixes and satellites live, full screen",
    "Starts a continuous-tracking fix session under a session id of its own, as\n"
    "gnssctl track does, and shows on the whole terminal what every fix brings:\n"
    "position, altitude, accuracy, speed, heading, UTC time, the time to first\n"
    "fix, the number of fixes and the age of the last, and the satellites in view\n"
    "per constellation (GPS 1-32, SBAS 33-64, GLONASS 65-96, QZSS 193-202, Galileo\n"
    "301-336, BeiDou 401-463), each with its signal bar (one # per 6 dB-Hz), SNR\n"
    "and a * when used in the fix.  On terminals of 90 columns and more a small sky\n"
    "plot shows where the satellites stand (upper case: used; G GPS, S SBAS,\n"
    "R GLONASS, J QZSS, E Galileo, C BeiDou).  The view follows resizes.\n"
    "\n"
    "q quits, and so do Ctrl-C and SIGTERM; on every way out the terminal is\n"
    "restored and the session stopped.  It needs a terminal on standard input and\n"
    "output; for pipes and files use gnssctl track.  Fix sessions need the\n"
    "location service on (gnssctl location on).\n"
    "\n"
    "Options:\n"
    "  --interval S    whole seconds between fixes; default 1\n"
    "  --accuracy M    horizontal accuracy asked for, metres; default 50\n"
    "  --follow        start no session: follow the sessions other clients run\n"
    "                  (gnssctl track, gnssfeed) through the receiver's NMEA,\n"
    "                  which the driver hands every listener, and show what the\n"
    "                  sentences carry.  The receiver sends NMEA for sessions\n"
    "                  that start while NMEA is wanted, so start them after this\n"
    "                  (fix requests cannot be shared: the driver hands each fix\n"
    "                  to one waiting request, whosever session it is)\n"
    "\n"
    "Exit status: 0 after q or a signal; 1 when the session cannot start or a fix\n"
    "request fails; 2 without a terminal; 3 when gnssd cannot be reached.\n"
    "\n"
    "Examples:\n"
    "  gnssctl watch\n"
    "  gnssctl watch --interval 5 --accuracy 20\n"
    "  gnssctl watch --follow\n",
    RunWatch};

GNSSCTL_COMMAND(kWatch);

}  // namespace
}  // namespace gnss::ctl
