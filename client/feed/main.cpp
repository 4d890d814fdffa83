// gnssfeed: the GNSS driver's positions as NMEA 0183 for gpsd, GeoClue and
// programs that read NMEA from a serial port.  One client of gnssd (the
// Tracker), any number of consumers (the Outputs); the consumers decide
// whether a tracking session runs.
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <string>

#include "FeedLog.h"
#include "FeedOptions.h"
#include "NmeaBuilder.h"
#include "Outputs.h"
#include "Tracker.h"
#include "gnss/client/device.h"
#include "gnss/package_version.h"

namespace {

using Clock = std::chrono::steady_clock;

// The receiver's sentences with CR LF line ends, empty lines left out.
std::string RawBlock(const std::string& sentences) {
    std::string block;
    std::size_t begin = 0;
    while (begin < sentences.size()) {
        std::size_t end = sentences.find('\n', begin);
        if (end == std::string::npos) end = sentences.size();
        std::size_t last = end;
        while (last > begin && (sentences[last - 1] == '\r' || sentences[last - 1] == ' ')) --last;
        if (last > begin) block.append(sentences, begin, last - begin).append("\r\n");
        begin = end + 1;
    }
    return block;
}

int Serve(const gnss::feed::FeedOptions& options) {
    using namespace gnss::feed;
    // Every signal that would end the process ends gnssfeed through the
    // event loop instead, which stops the session on the way out; every
    // thread started from here on inherits the mask.  (A process killed with
    // SIGKILL or by a fault leaves its session to gnssd, which stops what a
    // connection left running when the connection ends.)
    sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    Outputs outputs(options.buffer);
    try {
        for (const auto& address : options.tcp) outputs.ListenTcp(address);
        for (const auto& path : options.unixPaths) outputs.ListenUnix(path, options.unixMode);
        for (const auto& link : options.ptyLinks) outputs.OpenPty(link);
    } catch (const SetupError& e) {
        Say(e.what());
        return 1;
    }

    // When the last fix went out, in steady-clock ticks (0: none yet).
    std::atomic<Clock::rep> lastFix{0};
    TrackerSettings settings;
    settings.socketPath = options.socketPath;
    settings.interval = options.interval;
    settings.accuracy = options.accuracy;
    settings.locationOn = options.locationOn;
    settings.raw = options.raw;
    settings.sessionId = static_cast<ULONG>(::getpid());  // distinct, never 0
    Tracker tracker(
        settings,
        [&](const GNSS_FIXDATA& fix) {
            outputs.Publish(FixSentences(fix));
            lastFix = Clock::now().time_since_epoch().count();
        },
        [&](const std::string& sentences) { outputs.Publish(RawBlock(sentences)); });
    tracker.SetWanted(options.always);

    // No fix for one and a half intervals and a second more: the consumers
    // hear "no fix" once an interval until fixes come again.
    const std::chrono::milliseconds interval = std::chrono::seconds(options.interval);
    const auto stale = interval * 3 / 2 + std::chrono::seconds(1);
    std::size_t consumers = 0;
    Outputs::Hooks hooks;
    hooks.consumersChanged = [&](std::size_t count) {
        consumers = count;
        tracker.SetWanted(count > 0 || options.always);
    };
    hooks.tick = [&] {
        if (consumers == 0) return;
        const Clock::rep last = lastFix;
        if (last == 0 || Clock::now() - Clock::time_point(Clock::duration(last)) > stale)
            outputs.Publish(NoFixSentences());
    };
    int signal = 0;
    try {
        signal = outputs.Run(signals, interval, hooks);
    } catch (const SetupError& e) {
        Say(e.what());
        tracker.Stop();
        return 1;
    }
    Say(std::string("stopping (SIG") + ::sigabbrev_np(signal) + ")");
    tracker.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace gnss::feed;
    FeedOptions options;
    try {
        options = ParseFeedOptions(argc, argv, gnss::client::Device::DefaultSocketPath());
    } catch (const UsageError& e) {
        std::cerr << "gnssfeed: " << e.what() << "\n";
        return 2;
    }
    if (options.help) {
        std::cout << FeedHelp(gnss::client::Device::DefaultSocketPath());
        return 0;
    }
    if (options.version) {
        std::cout << "gnssfeed " GNSS_PACKAGE_VERSION "\n";
        return 0;
    }
    return Serve(options);
}
