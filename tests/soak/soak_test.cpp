// Soak: gnssd on a simulated modem that drops off the bus every few hundred
// commands and comes back at once, with line noise and split reads, against
// clients that open, send every control code with sound and broken inputs,
// cancel, close, and die with SIGKILL in the middle of tracking and
// listening.  At the end gnssd holds what it held at the start (descriptors
// and threads exactly, resident memory within a small bound), every request
// of the library clients completed exactly once, gnssd logged no framework
// violation and no stray completion, and a new client gets a fix at once.
//
// GNSS_SOAK_SECONDS sets the length of the busy phase (20 s by default, as
// in ./x test); ./x soak runs it for minutes on the release build and prints
// the figures that the README keeps.
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "GnssdProcess.h"
#include "gnss/client/device.h"
#include "gnss/client/error.h"
#include "gnss/client/structures.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::test {
namespace {

using Clock = std::chrono::steady_clock;
using client::Bytes;

// The modem drops off the bus after this many commands, every time it is back.
constexpr int kCommandsPerPlug = 250;
constexpr int kLibraryClients = 2;
// Requests one library client keeps outstanding at most.
constexpr std::size_t kMaxOutstanding = 24;
// Only bounds a failing run.
constexpr auto kPatience = std::chrono::seconds(60);

int SoakSeconds() {
    const char* text = std::getenv("GNSS_SOAK_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 20;
}

// What gnssd holds: its descriptors, threads and resident memory.
struct Holdings {
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    long residentKiB = 0;
    std::vector<std::string> open;  // what the descriptors refer to, sorted
};

std::vector<std::string> OpenFiles(const std::string& folder) {
    std::vector<std::string> files;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char target[512];
            const ssize_t n = ::readlink((folder + "/" + e->d_name).c_str(), target, sizeof target - 1);
            files.push_back(n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?");
        }
        ::closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += "  " + item + "\n";
    return text;
}

std::size_t CountEntries(const std::string& folder) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

Holdings Measure(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    Holdings h;
    h.open = OpenFiles(proc + "/fd");
    h.descriptors = h.open.size();
    h.threads = CountEntries(proc + "/task");
    const std::string status = ReadFile(proc + "/status");
    const auto at = status.find("VmRSS:");
    if (at != std::string::npos) h.residentKiB = std::atol(status.c_str() + at + 6);
    return h;
}

// The input and output length of one request of each control code: mostly
// what the driver reads, now and then one byte short, longer or random.
struct RequestShape {
    std::uint32_t code;
    Bytes input;
    std::size_t outputLength;
};

class Generator {
public:
    explicit Generator(std::uint32_t seed, ULONG sessionBase) : rng_(seed), session_(sessionBase) {}

    RequestShape Next() {
        RequestShape r = Sound();
        switch (Pick(20)) {
            case 0:  // one byte short
                if (!r.input.empty()) r.input.pop_back();
                break;
            case 1:  // random bytes of the same length
                for (auto& b : r.input) b = static_cast<std::uint8_t>(rng_());
                break;
            case 2:  // output one byte short of the structure
                if (r.outputLength > 0) --r.outputLength;
                break;
            case 3:  // any code of the GNSS range, any lengths
                r.code = 0x00220000u | (Pick(0x200) & ~0x3u) | (Pick(8) == 0 ? 1 : 0);
                r.input.assign(Pick(900), static_cast<std::uint8_t>(rng_()));
                r.outputLength = Pick(3000);
                break;
            default:
                break;
        }
        return r;
    }

    unsigned Pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }

private:
    ULONG SessionId() { return session_ + Pick(3); }

    RequestShape Sound() {
        using namespace client;
        switch (Pick(24)) {
            case 0: return {IOCTL_GNSS_GET_DEVICE_CAPABILITY, {}, sizeof(GNSS_DEVICE_CAPABILITY)};
            case 1: return {IOCTL_GNSS_GET_CHIPSETINFO, {}, sizeof(GNSS_CHIPSETINFO)};
            case 2: return {IOCTL_GNSS_SEND_PLATFORM_CAPABILITY, BuildPlatformCapability(false, 0), 0};
            case 3:
                return {IOCTL_GNSS_SEND_DRIVERCOMMAND,
                        BuildDriverCommand(GNSS_SetLocationServiceEnabled, Bytes{1}), 0};
            case 4:
                return {IOCTL_GNSS_SEND_DRIVERCOMMAND,
                        BuildDriverCommandValue(GNSS_SetNMEALogging, Pick(2) == 0 ? 256 : 1), 0};
            case 5:
                return {IOCTL_GNSS_SEND_DRIVERCOMMAND,
                        BuildDriverCommandValue(static_cast<GNSS_DRIVERCOMMAND_TYPE>(0x101 + Pick(6)),
                                                Pick(2)),
                        0};
            case 6: {
                const GNSS_DRIVERCOMMAND_TYPE types[] = {GNSS_ForceOperationMode, GNSS_ForceSatelliteSystem,
                                                         GNSS_SetLocationNIRequestAllowed,
                                                         GNSS_SetUplServerAccessInterval};
                return {IOCTL_GNSS_SEND_DRIVERCOMMAND, BuildDriverCommandValue(types[Pick(4)], Pick(4)), 0};
            }
            case 7:
            case 8: {
                FixSessionParameters p;
                p.sessionId = SessionId();
                p.type = Pick(2) == 0 ? GNSS_FixSession_SingleShot : GNSS_FixSession_ContinuousTracking;
                p.typeValue = 1 + Pick(3);
                return {Pick(5) == 0 ? IOCTL_GNSS_MODIFY_FIXSESSION : IOCTL_GNSS_START_FIXSESSION,
                        BuildFixSession(p), 0};
            }
            case 9:
                return {IOCTL_GNSS_STOP_FIXSESSION, BuildStopFixSession(SessionId()), 0};
            case 10:
            case 11: {
                const ULONG id = SessionId();
                return {IOCTL_GNSS_GET_FIXDATA, Bytes(reinterpret_cast<const std::uint8_t*>(&id),
                                                      reinterpret_cast<const std::uint8_t*>(&id) + 4),
                        sizeof(GNSS_EVENT)};
            }
            case 12:
            case 13: return {IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT)};
            case 14: {
                const std::uint32_t listen[] = {IOCTL_GNSS_LISTEN_AGNSS, IOCTL_GNSS_LISTEN_ERROR,
                                                IOCTL_GNSS_LISTEN_NI, IOCTL_GNSS_LISTEN_DRIVER_REQUEST};
                return {listen[Pick(4)], {}, sizeof(GNSS_EVENT)};
            }
            case 15:
                return {IOCTL_GNSS_INJECT_AGNSS,
                        BuildAgnssTimeInjection(FILETIME{0x12345678u, 0x01DA0000u}, 100, STATUS_SUCCESS), 0};
            case 16: return {IOCTL_GNSS_SET_SUPL_HSLP, BuildSuplHslp("supl.example.net:7276"), 0};
            case 17: {
                const std::string cert = "-----BEGIN CERTIFICATE-----MIIBsoak" + std::to_string(Pick(100)) +
                                         "-----END CERTIFICATE-----";
                return {IOCTL_GNSS_CONFIG_SUPL_CERT,
                        BuildSuplCert(GNSS_Supl_Cert_Inject, "soak",
                                      {reinterpret_cast<const std::uint8_t*>(cert.data()), cert.size()}),
                        0};
            }
            case 18:
                return {IOCTL_GNSS_RESPOND_NI,
                        BuildNiResponse(Pick(9), static_cast<GNSS_NI_USER_RESPONSE>(1 + Pick(3))), 0};
            case 19: {
                // Test mode on, off, or a scan (refused unless test mode is on).
                const ULONG type = 1 + Pick(3);
                const std::string args = "1,2,3";
                return {IOCTL_GNSS_EXECUTE_SELFTEST,
                        BuildSelfTestConfig(type, {reinterpret_cast<const std::uint8_t*>(args.data()),
                                                   args.size() + 1}),
                        sizeof(GNSS_SELFTESTRESULT) + 1024};
            }
            case 20: return {IOCTL_GNSS_EXECUTE_CWTEST, {}, 0};
            case 21: return {IOCTL_GNSS_CREATE_GEOFENCE, Bytes(64), 0};
            case 22: return {IOCTL_GNSS_START_BREADCRUMBING, Bytes(16), 0};
            default: return {0x00220FFCu, Bytes(8), 8};  // no such code
        }
    }

    std::mt19937 rng_;
    ULONG session_;
};

// What the library clients saw, for the checks and the figures.
struct Tally {
    std::atomic<std::uint64_t> opened{0}, refused{0}, unreachable{0}, submitted{0}, completed{0},
        cancelled{0}, doubled{0}, killed{0};
};

// One library client: opens, keeps up to kMaxOutstanding requests in flight,
// cancels some, then closes; again until the deadline.  Every request must
// complete exactly once, also when the connection ends under it.
void LibraryClient(const std::string& socket, std::uint32_t seed, Clock::time_point deadline,
                   Tally& tally) {
    Generator gen(seed, 1000 + seed * 10);
    while (Clock::now() < deadline) {
        std::unique_ptr<client::Device> device;
        try {
            device = client::Device::Open(socket, std::chrono::seconds(10));
        } catch (const client::StatusError&) {
            ++tally.refused;  // all three slots taken, or the modem is being attached again
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // pacing, nothing to wait for
            continue;
        } catch (const client::Error&) {
            ++tally.unreachable;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        ++tally.opened;
        std::mutex lock;
        std::condition_variable changed;
        std::map<client::Tag, int> completions;  // tag -> times completed
        std::size_t outstanding = 0;
        const unsigned operations = 20 + gen.Pick(200);
        try {
            for (unsigned i = 0; i < operations && Clock::now() < deadline && device->Connected(); ++i) {
                {
                    std::unique_lock guard(lock);
                    changed.wait_for(guard, std::chrono::seconds(5),
                                     [&] { return outstanding < kMaxOutstanding; });
                    if (outstanding >= kMaxOutstanding) break;  // a wedged daemon: the checks tell
                    ++outstanding;
                }
                const RequestShape r = gen.Next();
                client::Tag tag = 0;
                try {
                    tag = device->ControlAsync(r.code, r.input, r.outputLength,
                                               [&](client::Completion&& c) {
                                                   if (c.status == STATUS_CANCELLED) ++tally.cancelled;
                                                   ++tally.completed;
                                                   std::lock_guard guard(lock);
                                                   --outstanding;
                                                   changed.notify_all();
                                               });
                } catch (const client::Error&) {
                    std::lock_guard guard(lock);
                    --outstanding;  // never sent: nothing to complete
                    throw;
                }
                ++tally.submitted;
                {
                    std::lock_guard guard(lock);
                    if (++completions[tag] > 1) ++tally.doubled;
                }
                if (gen.Pick(4) == 0) device->Cancel(tag);
            }
        } catch (const client::Error&) {
            // The connection ended (the modem went away): what was outstanding
            // completes through Close below.
        }
        device->Close();
        std::lock_guard guard(lock);
        if (outstanding != 0) tally.doubled += outstanding;  // a request that never completed
    }
}

// One dying client: a gnssctl that tracks, listens or waits for a fix, killed
// with SIGKILL while it does.
void DyingClients(GnssdProcess& gnssd, TempDir& dir, std::uint32_t seed, Clock::time_point deadline,
                  Tally& tally) {
    std::mt19937 rng(seed);
    const std::vector<std::vector<std::string>> commands = {
        {"track", "--interval", "1"}, {"nmea", "--track", "1"}, {"fix", "--timeout", "30"},
        {"nmea", "--log", "on"},      {"ni", "--listen"},       {"nmea"}};
    int n = 0;
    while (Clock::now() < deadline) {
        const auto& args = commands[rng() % commands.size()];
        const Spawned child = gnssd.GnssctlAsync(args, dir.File("dying" + std::to_string(n++ % 4) + ".out"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 1500));  // let it get going
        ::kill(child.pid, SIGKILL);
        WaitExit(child.pid);
        ++tally.killed;
    }
}

// Waits until the device is attached and idle (the framework put it in D3
// after its reader last started), so that two measurements see gnssd in the
// same state.
bool WaitUntilIdle(const GnssdProcess& gnssd) {
    return WaitForFile(
        gnssd.LogPath(),
        [](const std::string& log) {
            const auto idle = log.rfind("[WDF] device idle in D3");
            const auto started = log.rfind("Reader pipe STARTED");
            // A start rotated out with the older half of the log is long over.
            return idle != std::string::npos && (started == std::string::npos || idle > started);
        },
        kPatience);
}

TEST(Soak, ClientsAndModemFaultsLeaveNothingBehind) {
#if defined(GNSS_SANITIZED)
    // AddressSanitizer keeps up to 256 MiB of freed memory in quarantine by
    // default, which would hide any growth of gnssd's own: a small one.
    {
        const char* options = std::getenv("ASAN_OPTIONS");
        const std::string value =
            (options != nullptr && *options != '\0' ? std::string(options) + ":" : std::string()) +
            "quarantine_size_mb=16";
        ::setenv("ASAN_OPTIONS", value.c_str(), 1);
    }
#endif
    TempDir dir;
    GnssdProcess gnssd(dir);
    const std::string modem = "sim:chip=rxa7300,imsi=001010123456789,ttff=1,fault=garbage,fault=split:97,"
                              "fault=unplug:after:" + std::to_string(kCommandsPerPlug);
    // Level 4 shows the reader's starts and stops; the cap keeps a long run's
    // log small.  The driver's power transition events (keyword PM_Transition)
    // count the devices: each one's start enters D0 from D3Final.
    const std::string events = dir.File("events.json");
    ASSERT_TRUE(gnssd.Start(modem, {"--log-level", "4", "--log-max-size", "16M", "--events", events,
                                    "--events-keywords", "0x2000"}));
    const pid_t pid = gnssd.Pid();

    // Warm up: the receiver on, a first fix, the device idle again.
    ASSERT_EQ(gnssd.Gnssctl({"location", "on"}).status, 0);
    ASSERT_EQ(gnssd.Gnssctl({"fix", "--timeout", "30"}).status, 0);
    ASSERT_TRUE(WaitUntilIdle(gnssd));
    const Holdings before = Measure(pid);

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(SoakSeconds());
    Tally tally;
    std::vector<std::thread> clients;
    for (int i = 0; i < kLibraryClients; ++i)
        clients.emplace_back(LibraryClient, gnssd.Socket(), 7 + i, deadline, std::ref(tally));
    clients.emplace_back(DyingClients, std::ref(gnssd), std::ref(dir), 99, deadline, std::ref(tally));
    // The busiest moment, sampled once a second while the clients run.
    Holdings busiest = before;
    for (auto next = start + std::chrono::seconds(1); next < deadline; next += std::chrono::seconds(1)) {
        std::this_thread::sleep_until(next);
        const Holdings now = Measure(pid);
        busiest.descriptors = std::max(busiest.descriptors, now.descriptors);
        busiest.threads = std::max(busiest.threads, now.threads);
        busiest.residentKiB = std::max(busiest.residentKiB, now.residentKiB);
    }
    for (auto& t : clients) t.join();
    const auto busy = std::chrono::duration<double>(Clock::now() - start).count();

    // After the storm: test mode off (a client may have left it on), the NMEA
    // log closed (a dead client may have opened it), the receiver off and on
    // again, and a new client gets a fix at once.  The switch off is needed
    // because the clients start sessions twice on one file object: the second
    // start takes over the file's slot, so the engine goes on counting the
    // first session as a client and no stop can name it any more; only the
    // receiver going off ends it.  The modem still goes away every
    // kCommandsPerPlug commands: a command it took with it is sent again.
    const auto settled = [&](std::vector<std::string> args) {
        CommandResult result;
        for (int attempt = 0; attempt < 6; ++attempt) {
            const std::size_t attached = CountOccurrences(gnssd.Log(), "device attached again");
            if ((result = gnssd.Gnssctl(args)).status == 0) break;
            // Mostly the modem went away with the command, or was away: the
            // next attempt once it is back (a slow build may take seconds).
            WaitForFile(
                gnssd.LogPath(),
                [attached](const std::string& log) {
                    return CountOccurrences(log, "device attached again") > attached;
                },
                std::chrono::seconds(10));
        }
        return result;
    };
    ASSERT_EQ(settled({"selftest", "--test-mode", "off"}).status, 0);
    ASSERT_EQ(settled({"nmea", "--log", "off"}).status, 0);
    ASSERT_EQ(settled({"location", "off"}).status, 0);
    ASSERT_EQ(settled({"location", "on"}).status, 0);
    const auto fixAsked = Clock::now();
    const CommandResult fix = settled({"fix", "--timeout", "30"});
    const double fixSeconds = std::chrono::duration<double>(Clock::now() - fixAsked).count();
    EXPECT_EQ(fix.status, 0) << fix.err;

    if (!WaitUntilIdle(gnssd)) {
        const std::string log = gnssd.Log();
        FAIL() << "the device did not come to rest; the end of gnssd's log:\n"
               << log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
    }
    const Holdings after = Measure(pid);
    // The log may have been rotated (--log-max-size): what is left of it counts.
    const std::string log = ReadFile(gnssd.LogPath() + ".1") + gnssd.Log();
    const std::size_t devices = CountOccurrences(ReadFile(events), "PreviousState=5.");
    const std::size_t replugs = devices > 0 ? devices - 1 : 0;

    std::printf(
        "soak: %.0f s busy; %llu opens (%llu refused, %llu unreachable), %llu requests "
        "(%llu cancelled), %llu clients killed, %zu replugs; fix after the storm in %.2f s\n"
        "soak: descriptors %zu -> %zu (busiest %zu); threads %zu -> %zu (busiest %zu); "
        "resident %ld KiB -> %ld KiB (busiest %ld KiB)\n",
        busy, static_cast<unsigned long long>(tally.opened.load()),
        static_cast<unsigned long long>(tally.refused.load()),
        static_cast<unsigned long long>(tally.unreachable.load()),
        static_cast<unsigned long long>(tally.submitted.load()),
        static_cast<unsigned long long>(tally.cancelled.load()),
        static_cast<unsigned long long>(tally.killed.load()), replugs, fixSeconds, before.descriptors,
        after.descriptors, busiest.descriptors, before.threads, after.threads, busiest.threads,
        before.residentKiB, after.residentKiB, busiest.residentKiB);

    EXPECT_EQ(tally.doubled.load(), 0u) << "requests completed twice or never";
    EXPECT_EQ(tally.submitted.load(), tally.completed.load());
    EXPECT_GT(tally.opened.load(), 0u);
    EXPECT_GT(replugs, 0u) << "the modem never went away";
    EXPECT_EQ(CountOccurrences(log, "VIOLATION"), 0u);
    EXPECT_EQ(CountOccurrences(log, "not outstanding\n"), 0u) << "a completion nobody waited for";
    EXPECT_EQ(after.descriptors, before.descriptors) << "before:\n" << Join(before.open) << "after:\n"
                                                     << Join(after.open);
    EXPECT_EQ(after.threads, before.threads);
#if defined(GNSS_SANITIZED)
    // The sanitizers keep freed memory in quarantine (16 MiB, above) and
    // shadow what the heap has touched.
    constexpr long kResidentSlackKiB = 64 * 1024;
#else
    constexpr long kResidentSlackKiB = 4 * 1024;
#endif
    EXPECT_LE(after.residentKiB, before.residentKiB + kResidentSlackKiB);
    EXPECT_EQ(gnssd.Stop(), 0);
}

}  // namespace
}  // namespace gnss::test
