// The engine driven as the driver drives it: started with a callback table
// whose send callback writes into a simulated modem, and a reader thread that
// hands the modem's output to the receive path.  The callbacks are recorded;
// the driver's log lines are watched as they are written, so a test can wait
// for a line instead of sleeping.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "engine/AtClient.h"
#include "engine/Engine.h"
#include "gnss/sim/modem.h"

namespace gnss::test {

// How long a test waits for something that should happen; only a fault
// makes a wait last that long.
inline constexpr std::chrono::seconds kPatience{60};

// The log lines as the driver writes them, read from a pipe that is the
// trace session's sink.
class LogWatcher {
public:
    LogWatcher();
    ~LogWatcher();
    LogWatcher(const LogWatcher&) = delete;
    LogWatcher& operator=(const LogWatcher&) = delete;

    // Waits until `needle` has appeared in at least `count` lines.
    bool WaitFor(const std::string& needle, std::size_t count = 1);
    std::size_t Count(const std::string& needle) const;
    // The lines containing `needle`, in order.
    std::vector<std::string> Matching(const std::string& needle) const;
    // Index of the first line at or after `from` containing `needle`, or npos.
    std::size_t Find(const std::string& needle, std::size_t from = 0) const;

private:
    // Writes a line of its own and waits until it has been read.
    void Sync() const;
    void ReadLoop(int fd);

    TempDir dir_;
    std::string path_;
    std::thread reader_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// What the driver's callbacks have been given.
struct CallbackRecord {
    std::vector<ULONG> statuses;
    std::vector<ULONG> stoppedSessions;
    unsigned fixes = 0;
    std::vector<std::string> nmea;
    unsigned nmeaNulls = 0;
    struct SelfTestResult {
        ULONG size = 0;
        ULONG version = 0;
        ULONG outBufLen = 0;
        std::string text;
    };
    std::vector<SelfTestResult> selfTestResults;
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the simulated modem with `options` and starts the engine with
    // the recording callbacks.
    void StartEngine(const std::string& options);
    // The recording callback table (every slot set).
    static GPSCLIENT_CALLBACKS RecordingCallbacks();
    // Stops the engine now (the test goes on without it).
    void StopEngine();

    // Runs `post`, then waits until an event of `type` has been handled once more.
    void RunEvent(LONG type, const std::function<void()>& post);
    std::size_t Handled(LONG type) const;
    void WaitHandled(LONG type, std::size_t count);

    // The engine's requests.
    void RadioOn();
    void StartSingleShot(ULONG id, ULONG responseTime = 0, ULONG accuracy = 25);
    void StartTracking(ULONG id, ULONG interval, ULONG accuracy = 25);
    void StopSession(ULONG id);
    // An event that sends one known command, to show that what was posted
    // before it has been handled.
    void Marker();

    // The command lines the modem has received, and those from `from` on.
    std::vector<std::string> Commands() const;
    std::vector<std::string> CommandsFrom(std::size_t from) const;
    std::size_t CountCommands(const std::string& prefix) const;

    // A copy of the callback record.
    CallbackRecord Record() const;
    // Waits until `done` holds for the callback record.
    bool WaitRecord(const std::function<bool(const CallbackRecord&)>& done);

    // The send callback: by default the bytes go to the modem.  A hook may
    // look at them first (and block), or refuse them.
    using SendHook = std::function<LONG(const std::string& bytes)>;
    void SetSendHook(SendHook hook);

    // What the modem says on its way to the receive path: a hook may rewrite
    // the bytes of each read, to keep a line from the engine.
    using ReceiveHook = std::function<std::string(const std::string& bytes)>;
    void SetReceiveHook(ReceiveHook hook);

    // Every command handed to the send callback (its text, also when the
    // transport refused it) and every pause (gnss::os::Sleep or Pause, as "pause <ms>"
    // with the duration the engine asked for), in the order they happened.
    std::vector<std::string> Activity() const;

    sim::Modem& Modem() { return *modem_; }
    LogWatcher& Log() { return *log_; }

public:
    static GNSS_FIXSESSION_PARAM SingleShotParam(ULONG id, ULONG responseTime, ULONG accuracy);
    static GNSS_FIXSESSION_PARAM TrackingParam(ULONG id, ULONG interval, ULONG accuracy);

private:
    static EngineTest* current_;

    static void OnFixData(GNSS_FIXDATA* pFixData);
    static void OnErrInfo(GNSS_ERRORINFO* pErrorInfo);
    static void OnNmeaData(GNSS_NMEA_DATA* pNmeaData);
    static void OnServiceStatus(ULONG status);
    static void OnStopSession(ULONG fixSessionId);
    static void OnNiReqData(GNSS_NI_REQUEST_PARAM* pNiRequest, void* pArgument);
    static void OnAssistanceReq(GNSS_AGNSS_REQUEST_PARAM* pRequest);
    static void OnDriverRequest(GNSS_DRIVER_REQUEST_DATA* pRequest);
    static void OnSelfTestResult(GNSS_SELFTESTRESULT* pResult);
    static LONG OnModemSend(const BYTE* pBuffer, ULONG uiLength);
    static void OnSleep(DWORD milliseconds);

    void ReadLoop();

    std::unique_ptr<LogWatcher> log_;
    std::unique_ptr<sim::Modem> modem_;
    std::thread reader_;
    bool engineRunning_ = false;

    mutable std::mutex recordLock_;
    std::condition_variable recordChanged_;
    CallbackRecord record_;

    std::mutex hookLock_;
    SendHook hook_;
    ReceiveHook receiveHook_;
};

// A gate a send hook can hold commands at until the test opens it.
class Gate {
public:
    // Blocks until Open; tells WaitArrived that someone is waiting.
    void Pass();
    bool WaitArrived();
    void Open();

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool arrived_ = false;
    bool open_ = false;
};

}  // namespace gnss::test
