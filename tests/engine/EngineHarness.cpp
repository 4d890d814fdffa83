#include "EngineHarness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "Trace.h"
#include "gnss/platform/sync.h"
#include "gnss/platform/trace.h"

namespace gnss::test {

// ---------------------------------------------------------------------------
// LogWatcher

LogWatcher::LogWatcher() : path_(dir_.File("trace.fifo")) {
    if (::mkfifo(path_.c_str(), 0600) != 0) std::abort();
    // The reader opens first; opening the write end below then completes.
    reader_ = std::thread([this] {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) std::abort();
        ReadLoop(fd);
        ::close(fd);
    });
    gnss::trace::RegisterControl(GNSS_TRACE_CONTROL_GUID);
    if (!gnss::trace::StartRealtimeSession({path_, 5, GNSS_TRACE_FLAG})) std::abort();
}

LogWatcher::~LogWatcher() {
    // Closing the write end ends the reader.
    gnss::trace::StopRealtimeSession();
    reader_.join();
}

void LogWatcher::ReadLoop(int fd) {
    std::string partial;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        partial.append(buffer, static_cast<std::size_t>(n));
        std::vector<std::string> complete;
        for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
            complete.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
        }
        if (complete.empty()) continue;
        std::lock_guard guard(lock_);
        for (auto& line : complete) lines_.push_back(std::move(line));
        changed_.notify_all();
    }
}

bool LogWatcher::WaitFor(const std::string& needle, std::size_t count) {
    std::unique_lock guard(lock_);
    std::size_t seen = 0;
    std::size_t scanned = 0;
    return changed_.wait_for(guard, kPatience, [&] {
        for (; scanned < lines_.size(); ++scanned)
            if (lines_[scanned].find(needle) != std::string::npos) ++seen;
        return seen >= count;
    });
}

void LogWatcher::Sync() const {
    // Every line written before this one is read before it.
    static std::atomic<unsigned> counter{0};
    char marker[64];
    std::snprintf(marker, sizeof marker, "LogWatcher sync %u.", ++counter);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s", "TEST  ", marker);
    std::unique_lock guard(lock_);
    std::size_t scanned = 0;
    changed_.wait_for(guard, kPatience, [&] {
        for (; scanned < lines_.size(); ++scanned)
            if (lines_[scanned].find(marker) != std::string::npos) return true;
        return false;
    });
}

std::size_t LogWatcher::Count(const std::string& needle) const {
    Sync();
    std::lock_guard guard(lock_);
    std::size_t count = 0;
    for (const auto& line : lines_)
        if (line.find(needle) != std::string::npos) ++count;
    return count;
}

std::vector<std::string> LogWatcher::Matching(const std::string& needle) const {
    Sync();
    std::lock_guard guard(lock_);
    std::vector<std::string> matching;
    for (const auto& line : lines_)
        if (line.find(needle) != std::string::npos) matching.push_back(line);
    return matching;
}

std::size_t LogWatcher::Find(const std::string& needle, std::size_t from) const {
    Sync();
    std::lock_guard guard(lock_);
    for (std::size_t i = from; i < lines_.size(); ++i)
        if (lines_[i].find(needle) != std::string::npos) return i;
    return std::string::npos;
}

// ---------------------------------------------------------------------------
// Gate

void Gate::Pass() {
    std::unique_lock guard(lock_);
    arrived_ = true;
    changed_.notify_all();
    changed_.wait(guard, [this] { return open_; });
}

bool Gate::WaitArrived() {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, kPatience, [this] { return arrived_; });
}

void Gate::Open() {
    std::lock_guard guard(lock_);
    open_ = true;
    changed_.notify_all();
}

// ---------------------------------------------------------------------------
// EngineTest

EngineTest* EngineTest::current_ = nullptr;

namespace {

// The sends and pauses of the running test.  A pause is reported through a
// plain function, and a client thread that outlived its engine may still
// pause after the test has ended: the record lives as long as the process.
struct ActivityRecord {
    std::mutex lock;
    std::vector<std::string> entries;
};

ActivityRecord& Activities() {
    static auto* record = new ActivityRecord;
    return *record;
}

void RecordActivity(std::string entry) {
    ActivityRecord& record = Activities();
    std::lock_guard guard(record.lock);
    record.entries.push_back(std::move(entry));
}

}  // namespace

void EngineTest::SetUp() {
    current_ = this;
    log_ = std::make_unique<LogWatcher>();
    {
        std::lock_guard guard(Activities().lock);
        Activities().entries.clear();
    }
    gnss::os::SetPauseObserver(OnSleep);
}

void EngineTest::TearDown() {
    StopEngine();
    gnss::os::SetPauseObserver(nullptr);
    log_.reset();
    current_ = nullptr;
}

void EngineTest::StartEngine(const std::string& options) {
    modem_ = std::make_unique<sim::Modem>(sim::ParseModemOptions(options));
    reader_ = std::thread([this] { ReadLoop(); });
    const GPSCLIENT_CALLBACKS callbacks = RecordingCallbacks();
    ASSERT_EQ(atclient_Init(&callbacks), 1);
    engineRunning_ = true;
}

void EngineTest::StopEngine() {
    // The modem goes first, so nothing is posted after the engine has stopped.
    if (modem_) modem_->Close();
    if (reader_.joinable()) reader_.join();
    if (engineRunning_) atclient_DeInit();
    engineRunning_ = false;
    EmptyInternalEventQueue();
}

void EngineTest::ReadLoop() {
    std::uint8_t buffer[1024];
    for (;;) {
        const sim::ReadResult result = modem_->Read(buffer, sizeof buffer, std::chrono::hours(1));
        if (result.status == sim::ReadStatus::TimedOut) continue;
        if (result.status != sim::ReadStatus::Data) break;
        // As the USB reader does: the bytes up to the first zero byte.
        std::string bytes(reinterpret_cast<const char*>(buffer),
                          strnlen(reinterpret_cast<const char*>(buffer), result.bytes));
        ReceiveHook hook;
        {
            std::lock_guard guard(hookLock_);
            hook = receiveHook_;
        }
        if (hook) bytes = hook(bytes);
        if (!bytes.empty())
            atclient_ReceivedModemData(reinterpret_cast<const BYTE*>(bytes.data()),
                                       static_cast<ULONG>(bytes.size()));
    }
}

GPSCLIENT_CALLBACKS EngineTest::RecordingCallbacks() {
    GPSCLIENT_CALLBACKS callbacks{};
    callbacks.pfnFixDataCb = OnFixData;
    callbacks.pfnErrInfoCb = OnErrInfo;
    callbacks.pfnNmeaDataCb = OnNmeaData;
    callbacks.pfnServiceStatusCb = OnServiceStatus;
    callbacks.pfnStopSessionCb = OnStopSession;
    callbacks.pfnNiReqDataCb = OnNiReqData;
    callbacks.pfnAssistanceReqCb = OnAssistanceReq;
    callbacks.pfnDriverRequestCb = OnDriverRequest;
    callbacks.pfnSelfTestResultCb = OnSelfTestResult;
    callbacks.pfnModemSendCb = OnModemSend;
    return callbacks;
}

void EngineTest::OnFixData(GNSS_FIXDATA*) {
    std::lock_guard guard(current_->recordLock_);
    ++current_->record_.fixes;
    current_->recordChanged_.notify_all();
}

void EngineTest::OnErrInfo(GNSS_ERRORINFO*) {}

void EngineTest::OnNmeaData(GNSS_NMEA_DATA* pNmeaData) {
    std::lock_guard guard(current_->recordLock_);
    if (pNmeaData == nullptr)
        ++current_->record_.nmeaNulls;
    else
        current_->record_.nmea.emplace_back(
            pNmeaData->NmeaSentences, strnlen(pNmeaData->NmeaSentences, sizeof pNmeaData->NmeaSentences));
    current_->recordChanged_.notify_all();
}

void EngineTest::OnServiceStatus(ULONG status) {
    std::lock_guard guard(current_->recordLock_);
    current_->record_.statuses.push_back(status);
    current_->recordChanged_.notify_all();
}

void EngineTest::OnStopSession(ULONG fixSessionId) {
    std::lock_guard guard(current_->recordLock_);
    current_->record_.stoppedSessions.push_back(fixSessionId);
    current_->recordChanged_.notify_all();
}

void EngineTest::OnNiReqData(GNSS_NI_REQUEST_PARAM*, void*) {}
void EngineTest::OnAssistanceReq(GNSS_AGNSS_REQUEST_PARAM*) {}
void EngineTest::OnDriverRequest(GNSS_DRIVER_REQUEST_DATA*) {}

void EngineTest::OnSelfTestResult(GNSS_SELFTESTRESULT* pResult) {
    CallbackRecord::SelfTestResult result;
    result.size = pResult->Size;
    result.version = pResult->Version;
    result.outBufLen = pResult->OutBufLen;
    result.text.assign(reinterpret_cast<const char*>(pResult->OutBuffer),
                       strnlen(reinterpret_cast<const char*>(pResult->OutBuffer), pResult->OutBufLen));
    std::free(pResult);
    std::lock_guard guard(current_->recordLock_);
    current_->record_.selfTestResults.push_back(std::move(result));
    current_->recordChanged_.notify_all();
}

LONG EngineTest::OnModemSend(const BYTE* pBuffer, ULONG uiLength) {
    const std::string bytes(reinterpret_cast<const char*>(pBuffer), uiLength);
    // The command's text: its bytes up to the line end.
    RecordActivity(bytes.substr(0, bytes.find_first_of(std::string_view("\r\n\0", 3))));
    SendHook hook;
    {
        std::lock_guard guard(current_->hookLock_);
        hook = current_->hook_;
    }
    if (hook) {
        const LONG taken = hook(bytes);
        if (taken <= 0) return taken;
    }
    return static_cast<LONG>(current_->modem_->Write(pBuffer, uiLength));
}

void EngineTest::SetSendHook(SendHook hook) {
    std::lock_guard guard(hookLock_);
    hook_ = std::move(hook);
}

void EngineTest::SetReceiveHook(ReceiveHook hook) {
    std::lock_guard guard(hookLock_);
    receiveHook_ = std::move(hook);
}

void EngineTest::OnSleep(DWORD milliseconds) {
    RecordActivity("pause " + std::to_string(milliseconds));
}

std::vector<std::string> EngineTest::Activity() const {
    std::lock_guard guard(Activities().lock);
    return Activities().entries;
}

std::size_t EngineTest::Handled(LONG type) const {
    char needle[64];
    std::snprintf(needle, sizeof needle, "[** %02d **] Event Processed", static_cast<int>(type));
    return log_->Count(needle);
}

void EngineTest::WaitHandled(LONG type, std::size_t count) {
    char needle[64];
    std::snprintf(needle, sizeof needle, "[** %02d **] Event Processed", static_cast<int>(type));
    ASSERT_TRUE(log_->WaitFor(needle, count)) << "event " << type << " was not handled " << count
                                              << " times";
}

void EngineTest::RunEvent(LONG type, const std::function<void()>& post) {
    const std::size_t before = Handled(type);
    post();
    WaitHandled(type, before + 1);
}

void EngineTest::RadioOn() {
    RunEvent(GNSS_ON, [] { ASSERT_EQ(atclient_SetGnssPositioning(1), 1); });
}

GNSS_FIXSESSION_PARAM EngineTest::SingleShotParam(ULONG id, ULONG responseTime, ULONG accuracy) {
    GNSS_FIXSESSION_PARAM param{};
    param.Size = sizeof param;
    param.Version = 3;
    param.FixSessionID = id;
    param.SessionType = GNSS_FixSession_SingleShot;
    param.HorizontalAccuracy = accuracy;
    param.HorizontalConfidence = 68;
    param.SingleShotParam.ResponseTime = responseTime;
    return param;
}

GNSS_FIXSESSION_PARAM EngineTest::TrackingParam(ULONG id, ULONG interval, ULONG accuracy) {
    GNSS_FIXSESSION_PARAM param{};
    param.Size = sizeof param;
    param.Version = 3;
    param.FixSessionID = id;
    param.SessionType = GNSS_FixSession_ContinuousTracking;
    param.HorizontalAccuracy = accuracy;
    param.HorizontalConfidence = 68;
    param.ContinuousParam.PreferredInterval = interval;
    return param;
}

void EngineTest::StartSingleShot(ULONG id, ULONG responseTime, ULONG accuracy) {
    const GNSS_FIXSESSION_PARAM param = SingleShotParam(id, responseTime, accuracy);
    RunEvent(SINGLESHOT_REQUEST, [&] { ASSERT_EQ(atclient_StartFix(&param), 1); });
}

void EngineTest::StartTracking(ULONG id, ULONG interval, ULONG accuracy) {
    const GNSS_FIXSESSION_PARAM param = TrackingParam(id, interval, accuracy);
    RunEvent(PERIODIC_REQUEST, [&] { ASSERT_EQ(atclient_StartFix(&param), 1); });
}

void EngineTest::StopSession(ULONG id) {
    GNSS_STOPFIXSESSION_PARAM param{};
    param.Size = sizeof param;
    param.Version = 3;
    param.FixSessionID = id;
    RunEvent(STOP_REQUEST, [&] { ASSERT_EQ(atclient_StopFix(&param), 1); });
}

void EngineTest::Marker() {
    RunEvent(AGNSS_ON, [] { ASSERT_EQ(atclient_SetAgnssPositioning(1), 1); });
}

std::vector<std::string> EngineTest::Commands() const { return CommandsFrom(0); }

std::vector<std::string> EngineTest::CommandsFrom(std::size_t from) const {
    std::vector<std::string> texts;
    const auto commands = modem_->Commands();
    for (std::size_t i = from; i < commands.size(); ++i) texts.push_back(commands[i].text);
    return texts;
}

std::size_t EngineTest::CountCommands(const std::string& prefix) const {
    std::size_t count = 0;
    for (const auto& command : modem_->Commands())
        if (command.text.rfind(prefix, 0) == 0) ++count;
    return count;
}

CallbackRecord EngineTest::Record() const {
    std::lock_guard guard(recordLock_);
    return record_;
}

bool EngineTest::WaitRecord(const std::function<bool(const CallbackRecord&)>& done) {
    std::unique_lock guard(recordLock_);
    return recordChanged_.wait_for(guard, kPatience, [&] { return done(record_); });
}

}  // namespace gnss::test
