// The device socket server against a scripted device, in one process: the
// server's loop runs on a thread of its own, the tests are its clients.
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "DeviceServer.h"
#include "FrameClient.h"
#include "TempDir.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::host {
namespace {

using test::FrameClient;
using Bytes = std::vector<std::uint8_t>;

// Control codes of the scripted device.
constexpr std::uint32_t kEcho = 0x1000;    // completes at once, inside Submit: output = input
constexpr std::uint32_t kPark = 0x2000;    // waits until the test completes it (by its input id)
constexpr std::uint32_t kRefuse = 0x3000;  // Submit fails at once

Bytes Id(std::uint32_t id) {
    Bytes b(4);
    std::memcpy(b.data(), &id, 4);
    return b;
}

template <class T>
Bytes BytesOf(const T& record) {
    Bytes b(sizeof record);
    std::memcpy(b.data(), &record, sizeof record);
    return b;
}

Bytes StartInput(std::uint32_t id, GNSS_FIXSESSIONTYPE type) {
    GNSS_FIXSESSION_PARAM p{};
    p.Size = sizeof p;
    p.FixSessionID = id;
    p.SessionType = type;
    return BytesOf(p);
}

Bytes StopInput(std::uint32_t id) {
    GNSS_STOPFIXSESSION_PARAM p{};
    p.Size = sizeof p;
    p.FixSessionID = id;
    return BytesOf(p);
}

Bytes NmeaInput(std::uint32_t value) {
    GNSS_DRIVERCOMMAND_PARAM p{};
    p.Size = sizeof p;
    p.CommandType = GNSS_SetNMEALogging;
    p.CommandDataSize = 4;
    Bytes b = BytesOf(p);
    std::memcpy(b.data() + offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData), &value, 4);
    return b;
}

// GNSS_SetLocationServiceEnabled with `size` bytes of data announced.
Bytes LocationInput(std::uint8_t on, std::uint32_t size = 1) {
    GNSS_DRIVERCOMMAND_PARAM p{};
    p.Size = sizeof p;
    p.CommandType = GNSS_SetLocationServiceEnabled;
    p.CommandDataSize = size;
    Bytes b = BytesOf(p);
    b[offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData)] = on;
    return b;
}

Bytes SelfTestInput(std::uint32_t type) {
    GNSS_SELFTESTCONFIG p{};
    p.Size = sizeof p;
    p.TestType = type;
    return BytesOf(p);
}

std::uint32_t U32At(const Bytes& b, std::size_t offset) {
    std::uint32_t v = 0;
    if (b.size() >= offset + 4) std::memcpy(&v, b.data() + offset, 4);
    return v;
}

// A device with three session slots that parks, completes and cancels
// requests as the framework does, and records what the server asked of it.
class ScriptedDevice : public DeviceAccess {
public:
    bool Available() const override {
        std::lock_guard guard(lock_);
        return available_;
    }

    NTSTATUS Open(FileHandle* file) override {
        std::lock_guard guard(lock_);
        if (openFiles_.size() == 3) return STATUS_NOT_SUPPORTED;
        *file = nextFile_++;
        openFiles_.insert(*file);
        changed_.notify_all();
        return STATUS_SUCCESS;
    }

    void Close(FileHandle file) override {
        std::vector<Parked> cancelled;
        {
            std::lock_guard guard(lock_);
            for (auto it = parked_.begin(); it != parked_.end();) {
                if (it->second.file == file) {
                    cancelled.push_back(std::move(it->second));
                    it = parked_.erase(it);
                } else {
                    ++it;
                }
            }
            openFiles_.erase(file);
            ++closes_;
            journal_.push_back(std::to_string(file) + " close");
            const Slots& slots = slots_[file];
            if (slots.singleShot != 0 || slots.continuous != 0)
                journal_.push_back(std::to_string(file) + " left sessions running");
            slots_.erase(file);
            changed_.notify_all();
        }
        for (auto& p : cancelled) p.handler(DeviceCompletion{STATUS_CANCELLED, 0, {}});
    }

    NTSTATUS Submit(FileHandle file, std::uint32_t code, const std::uint8_t* input,
                    std::size_t inputLength, std::size_t outputLength,
                    DeviceCompletionHandler handler, RequestHandle* request) override {
        Bytes in(input, input + inputLength);
        std::unique_lock guard(lock_);
        if (openFiles_.count(file) == 0 || code == kRefuse) return STATUS_INVALID_DEVICE_STATE;
        *request = nextRequest_++;
        if (code == kPark) {
            std::uint32_t id = 0;
            if (in.size() >= 4) std::memcpy(&id, in.data(), 4);
            parked_.emplace(*request, Parked{file, id, outputLength, std::move(handler)});
            changed_.notify_all();
            return STATUS_SUCCESS;
        }
        if (code == IOCTL_GNSS_START_FIXSESSION || code == IOCTL_GNSS_STOP_FIXSESSION ||
            code == IOCTL_GNSS_SEND_DRIVERCOMMAND) {
            Apply(file, code, in);
            guard.unlock();
            handler(DeviceCompletion{STATUS_SUCCESS, 4, {}});
            return STATUS_SUCCESS;
        }
        guard.unlock();
        // Completed before Submit returns, as a driver may.
        Bytes out = in;
        if (out.size() > outputLength) out.resize(outputLength);
        handler(DeviceCompletion{STATUS_SUCCESS, inputLength, std::move(out)});
        return STATUS_SUCCESS;
    }

    bool Cancel(RequestHandle request) override {
        Parked p;
        {
            std::lock_guard guard(lock_);
            const auto it = parked_.find(request);
            if (it == parked_.end()) return false;
            p = std::move(it->second);
            parked_.erase(it);
            changed_.notify_all();
        }
        p.handler(DeviceCompletion{STATUS_CANCELLED, 0, {}});
        return true;
    }

    // Completes the parked request with this id, from the calling thread.
    void Complete(std::uint32_t id, NTSTATUS status, Bytes output) {
        Parked p;
        {
            std::lock_guard guard(lock_);
            auto it = parked_.begin();
            while (it != parked_.end() && it->second.id != id) ++it;
            ASSERT_NE(it, parked_.end()) << "no parked request " << id;
            p = std::move(it->second);
            parked_.erase(it);
        }
        const std::uint64_t information = output.size();
        if (output.size() > p.outputLength) output.resize(p.outputLength);
        p.handler(DeviceCompletion{status, information, std::move(output)});
    }

    // What the framework does at removal: every parked request cancelled
    // (here from a thread of its own), every file object closed.
    void Remove() {
        std::map<RequestHandle, Parked> parked;
        {
            std::lock_guard guard(lock_);
            available_ = false;
            parked.swap(parked_);
            openFiles_.clear();
        }
        std::thread([&parked] {
            for (auto& [id, p] : parked) p.handler(DeviceCompletion{STATUS_CANCELLED, 0, {}});
        }).join();
    }

    void WaitParked(std::size_t n) {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return parked_.size() >= n; });
    }
    void WaitOpenFiles(std::size_t n) {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return openFiles_.size() == n; });
    }
    void WaitCloses(int n) {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return closes_ >= n; });
    }
    // The stops, NMEA commands and closes, in order, each as "<file> <what>".
    std::vector<std::string> Journal() const {
        std::lock_guard guard(lock_);
        return journal_;
    }
    unsigned NmeaCount() const {
        std::lock_guard guard(lock_);
        return nmeaCount_;
    }
    std::size_t ParkedCount() const {
        std::lock_guard guard(lock_);
        return parked_.size();
    }
    int Closes() const {
        std::lock_guard guard(lock_);
        return closes_;
    }

private:
    // The driver's rules for what outlives a file object: its session slots
    // (a stop matches the last-known-good id first), and the NMEA count,
    // raised by 255 and 256 up to 2 and lowered by anything else.
    void Apply(FileHandle file, std::uint32_t code, const Bytes& in) {
        const std::string who = std::to_string(file) + " ";
        if (code == IOCTL_GNSS_START_FIXSESSION) {
            const std::uint32_t id = U32At(in, offsetof(GNSS_FIXSESSION_PARAM, FixSessionID));
            switch (U32At(in, offsetof(GNSS_FIXSESSION_PARAM, SessionType))) {
                case GNSS_FixSession_SingleShot: slots_[file].singleShot = id; break;
                case GNSS_FixSession_ContinuousTracking: slots_[file].continuous = id; break;
                case GNSS_FixSession_LKG: lkg_ = id; break;
                default: break;
            }
        } else if (code == IOCTL_GNSS_STOP_FIXSESSION) {
            const std::uint32_t id = U32At(in, offsetof(GNSS_STOPFIXSESSION_PARAM, FixSessionID));
            journal_.push_back(who + "stop " + std::to_string(id));
            Slots& slots = slots_[file];
            if (id == lkg_)
                lkg_ = 0;
            else if (slots.singleShot == id)
                slots.singleShot = 0;
            else if (slots.continuous == id)
                slots.continuous = 0;
        } else if (U32At(in, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandType)) ==
                   GNSS_SetNMEALogging) {
            const std::uint32_t value = U32At(in, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData));
            journal_.push_back(who + "nmea " + std::to_string(value));
            if (value == 255 || value == 256)
                nmeaCount_ = std::min(nmeaCount_ + 1, 2u);
            else if (nmeaCount_ > 0)
                --nmeaCount_;
        }
    }

    struct Slots {
        std::uint32_t singleShot = 0;
        std::uint32_t continuous = 0;
    };
    struct Parked {
        FileHandle file = 0;
        std::uint32_t id = 0;
        std::size_t outputLength = 0;
        DeviceCompletionHandler handler;
    };

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool available_ = true;
    std::set<FileHandle> openFiles_;
    std::map<RequestHandle, Parked> parked_;
    FileHandle nextFile_ = 1;
    RequestHandle nextRequest_ = 1;
    int closes_ = 0;
    std::map<FileHandle, Slots> slots_;
    std::uint32_t lkg_ = 0;
    unsigned nmeaCount_ = 0;
    std::vector<std::string> journal_;
};

class DeviceServerTest : public ::testing::Test {
protected:
    void SetUp() override { StartServer({}); }

    void StartServer(DeviceServer::Limits limits) {
        server_ = std::make_unique<DeviceServer>(device_, limits);
        std::string error;
        ASSERT_TRUE(server_->Listen(path_, error)) << error;
        loop_ = std::thread([this] { server_->Run(); });
    }

    void TearDown() override { StopServer(); }

    void StopServer() {
        if (!loop_.joinable()) return;
        server_->Stop();
        loop_.join();
    }

    // A connection whose open succeeded.
    std::unique_ptr<FrameClient> Connect() {
        auto client = std::make_unique<FrameClient>(path_);
        EXPECT_GE(client->fd(), 0) << std::strerror(client->error());
        EXPECT_EQ(client->ReadOpenResult(), std::optional<NTSTATUS>(STATUS_SUCCESS));
        return client;
    }

    // A request the device answers at once with success.
    static void Call(FrameClient& client, std::uint64_t tag, std::uint32_t code, Bytes input) {
        ASSERT_TRUE(client.SendControl(tag, code, std::move(input), 0));
        const auto c = client.ReadCompletion();
        ASSERT_TRUE(c.has_value());
        EXPECT_EQ(c->tag, tag);
        EXPECT_EQ(c->status, STATUS_SUCCESS);
    }

    // The connection still serves: an echo request comes back.
    static void ExpectServes(FrameClient& client, std::uint64_t tag) {
        ASSERT_TRUE(client.SendControl(tag, kEcho, {1, 2, 3}, 8));
        const auto c = client.ReadCompletion();
        ASSERT_TRUE(c.has_value());
        EXPECT_EQ(c->tag, tag);
        EXPECT_EQ(c->status, STATUS_SUCCESS);
        EXPECT_EQ(c->information, 3u);
        EXPECT_EQ(c->output, (Bytes{1, 2, 3}));
    }

    test::TempDir dir_;
    std::string path_ = dir_.File("run/gnss.sock");
    ScriptedDevice device_;
    std::unique_ptr<DeviceServer> server_;
    std::thread loop_;
};

TEST_F(DeviceServerTest, SocketIsCreatedWithMode0660AndRemovedWhenTheServerStopsAccepting) {
    struct stat st{};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    // A second server refuses the live socket; the first one keeps serving.
    ScriptedDevice other;
    DeviceServer second(other);
    std::string error;
    EXPECT_FALSE(second.Listen(path_, error));
    EXPECT_NE(error.find("another server"), std::string::npos) << error;
    auto client = Connect();
    ExpectServes(*client, 1);

    StopServer();
    server_->StopAccepting();
    EXPECT_NE(::access(path_.c_str(), F_OK), 0);
}

TEST(DeviceServerListen, ReplacesAStaleSocketAndRefusesWhatIsNoSocket) {
    test::TempDir dir;
    ScriptedDevice device;
    const std::string path = dir.File("gnss.sock");
    std::string error;
    {
        DeviceServer first(device);
        ASSERT_TRUE(first.Listen(path, error)) << error;
    }
    // A socket file nobody listens on (left by a crash): bind a fresh one there.
    {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    {
        DeviceServer second(device);
        EXPECT_TRUE(second.Listen(path, error)) << error;
    }
    const std::string plain = dir.File("plain");
    std::fclose(std::fopen(plain.c_str(), "w"));
    DeviceServer third(device);
    EXPECT_FALSE(third.Listen(plain, error));
    EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
    EXPECT_EQ(::access(plain.c_str(), F_OK), 0);
}

TEST_F(DeviceServerTest, OutstandingRequestsCompleteInAnyOrderByTag) {
    auto client = Connect();
    for (std::uint32_t id : {10, 11, 12}) ASSERT_TRUE(client->SendControl(100 + id, kPark, Id(id), 16));
    // An immediate request overtakes the parked ones.
    ExpectServes(*client, 7);
    device_.WaitParked(3);

    device_.Complete(12, STATUS_SUCCESS, {0xC, 0xC});
    device_.Complete(10, STATUS_DEVICE_BUSY, {});
    device_.Complete(11, STATUS_SUCCESS, Bytes(40, 0xB));  // 40 bytes into a 16-byte buffer
    const auto first = client->ReadCompletion();
    const auto second = client->ReadCompletion();
    const auto third = client->ReadCompletion();
    ASSERT_TRUE(first && second && third);
    EXPECT_EQ(first->tag, 112u);
    EXPECT_EQ(first->output, (Bytes{0xC, 0xC}));
    EXPECT_EQ(second->tag, 110u);
    EXPECT_EQ(second->status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(third->tag, 111u);
    EXPECT_EQ(third->information, 40u);
    EXPECT_EQ(third->output, Bytes(16, 0xB));
}

TEST_F(DeviceServerTest, ARequestTheDeviceRefusesIsAnsweredWithItsStatus) {
    auto client = Connect();
    ASSERT_TRUE(client->SendControl(3, kRefuse));
    const auto c = client->ReadCompletion();
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->tag, 3u);
    EXPECT_EQ(c->status, STATUS_INVALID_DEVICE_STATE);
    // The tag is free again.
    ExpectServes(*client, 3);
}

TEST_F(DeviceServerTest, TooManyOutstandingRequestsOrBufferBytesEndTheConnection) {
    StopServer();
    server_.reset();
    DeviceServer::Limits limits;
    limits.maxOutstanding = 4;
    limits.maxOutstandingBytes = 1000;
    path_ = dir_.File("limited.sock");
    StartServer(limits);
    auto client = Connect();
    for (std::uint32_t id = 1; id <= 5; ++id) client->SendControl(id, kPark, Id(id), 0);
    ASSERT_TRUE(client->AtEnd());
    device_.WaitOpenFiles(0);
    EXPECT_EQ(device_.ParkedCount(), 0u);

    // Input and output count together: two of 300 + 100 bytes fit, a third does not.
    auto greedy = Connect();
    Bytes input = Id(1);
    input.resize(300);
    for (std::uint32_t id = 1; id <= 3; ++id) {
        std::memcpy(input.data(), &id, 4);
        greedy->SendControl(id, kPark, input, 100);
    }
    ASSERT_TRUE(greedy->AtEnd());
    device_.WaitOpenFiles(0);
    EXPECT_EQ(device_.ParkedCount(), 0u);
    // Completed requests give their bytes back: the same two, again and again, fit.
    auto steady = Connect();
    for (std::uint32_t round = 0; round < 4; ++round) {
        for (std::uint32_t id = 1; id <= 2; ++id) {
            std::memcpy(input.data(), &id, 4);
            ASSERT_TRUE(steady->SendControl(id, kPark, input, 100));
        }
        device_.WaitParked(2);
        device_.Complete(1, STATUS_SUCCESS, {});
        device_.Complete(2, STATUS_SUCCESS, {});
        ASSERT_TRUE(steady->ReadCompletion().has_value());
        ASSERT_TRUE(steady->ReadCompletion().has_value());
    }
    ExpectServes(*steady, 3);
}

TEST_F(DeviceServerTest, AnEndedConnectionHasItsSessionsStoppedAndNmeaWithdrawnBeforeTheClose) {
    auto a = Connect();  // file 1
    auto b = Connect();  // file 2
    auto c = Connect();  // file 3
    // a: a single shot, a tracking session and the last-known-good id; NMEA twice.
    Call(*a, 1, IOCTL_GNSS_START_FIXSESSION, StartInput(5, GNSS_FixSession_SingleShot));
    Call(*a, 2, IOCTL_GNSS_START_FIXSESSION, StartInput(6, GNSS_FixSession_ContinuousTracking));
    Call(*a, 3, IOCTL_GNSS_START_FIXSESSION, StartInput(7, GNSS_FixSession_LKG));
    Call(*a, 4, IOCTL_GNSS_SEND_DRIVERCOMMAND, NmeaInput(256));
    Call(*a, 5, IOCTL_GNSS_SEND_DRIVERCOMMAND, NmeaInput(255));
    // b wants NMEA as well (the count stays at its cap of 2); c stops what it starts.
    Call(*b, 1, IOCTL_GNSS_SEND_DRIVERCOMMAND, NmeaInput(256));
    Call(*c, 1, IOCTL_GNSS_START_FIXSESSION, StartInput(9, GNSS_FixSession_ContinuousTracking));
    Call(*c, 2, IOCTL_GNSS_STOP_FIXSESSION, StopInput(9));
    Call(*c, 3, IOCTL_GNSS_START_FIXSESSION, StartInput(10, GNSS_FixSession_SingleShot));
    ASSERT_TRUE(a->SendControl(6, kPark, Id(1), 8));  // parked: cancelled, not waited for
    device_.WaitParked(1);

    // a closes and the slot it frees is taken at once; only one NMEA
    // lowering, as b still wants NMEA.
    a->Close();
    auto d = Connect();
    ExpectServes(*d, 1);
    // b breaks the protocol: its NMEA request goes with it.
    ASSERT_TRUE(b->SendBytes({}));
    EXPECT_TRUE(b->AtEnd());
    device_.WaitCloses(2);
    // The server goes: c's session is stopped before its file closes, too.
    StopServer();
    server_.reset();

    const std::vector<std::string> expected = {
        "1 nmea 256", "1 nmea 255", "2 nmea 256", "3 stop 9",             // the clients' own
        "1 stop 7",   "1 stop 5",   "1 stop 6",   "1 nmea 1",  "1 close",  // a ends
        "2 nmea 1",   "2 close",                                           // b ends
        "3 stop 10",  "4 close",    "3 close"};  // the server goes: d has nothing to undo
    EXPECT_EQ(device_.Journal(), expected);
    EXPECT_EQ(device_.NmeaCount(), 0u);
    EXPECT_EQ(device_.ParkedCount(), 0u);
}

TEST_F(DeviceServerTest, AClientThatReadsLateLosesNothing) {
    auto client = Connect();
    constexpr int kRequests = 600;  // far more than the server queues before pausing
    std::thread sender([&] {
        for (int i = 0; i < kRequests; ++i)
            ASSERT_TRUE(client->SendControl(static_cast<std::uint64_t>(i), kEcho, Bytes(200, 1), 200));
    });
    for (int i = 0; i < kRequests; ++i) {
        const auto c = client->ReadCompletion();
        ASSERT_TRUE(c.has_value());
        EXPECT_EQ(c->tag, static_cast<std::uint64_t>(i));
        EXPECT_EQ(c->output.size(), 200u);
    }
    sender.join();
}

TEST_F(DeviceServerTest, DeviceRemovalDeliversTheCancellationsThenClosesEveryConnection) {
    auto a = Connect();
    auto b = Connect();
    ASSERT_TRUE(a->SendControl(1, kPark, Id(1), 8));
    ASSERT_TRUE(a->SendControl(2, kPark, Id(2), 8));
    ASSERT_TRUE(b->SendControl(3, kPark, Id(3), 8));
    device_.WaitParked(3);
    // The driver's module-wide switches; a location command without data is
    // one the driver ignores.
    Call(*a, 4, IOCTL_GNSS_SEND_DRIVERCOMMAND, LocationInput(0));
    Call(*a, 5, IOCTL_GNSS_SEND_DRIVERCOMMAND, LocationInput(1, 0));
    Call(*a, 6, IOCTL_GNSS_EXECUTE_SELFTEST, SelfTestInput(1));
    Call(*b, 7, IOCTL_GNSS_SEND_DRIVERCOMMAND, NmeaInput(255));

    device_.Remove();
    server_->NotifyDeviceRemoved();
    std::set<std::uint64_t> cancelled;
    for (FrameClient* c : {a.get(), a.get(), b.get()}) {
        const auto done = c->ReadCompletion();
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->status, STATUS_CANCELLED);
        cancelled.insert(done->tag);
    }
    EXPECT_EQ(cancelled, (std::set<std::uint64_t>{1, 2, 3}));
    EXPECT_TRUE(a->AtEnd());
    EXPECT_TRUE(b->AtEnd());
    // The server carries on; without a device an open is refused, and the
    // status that follows says so, with the switches the removal left alone.
    FrameClient late(path_);
    EXPECT_EQ(late.ReadOpenResult(), std::optional<NTSTATUS>(STATUS_NO_SUCH_DEVICE));
    const auto why = late.ReadCompletion();
    ASSERT_TRUE(why.has_value());
    EXPECT_EQ(why->tag, 0u);
    const std::string text(why->output.begin(), why->output.end());
    EXPECT_NE(text.find("\nlocation off\ntest-mode on\nnmea-log on\nnmea-log-path "),
              std::string::npos) << text;
    EXPECT_NE(text.find("\nmodem waiting\n"), std::string::npos) << text;
    EXPECT_TRUE(late.AtEnd());
    EXPECT_EQ(device_.Closes(), 0);  // the files were closed by the removal, not again
}

// A completion may be written by the thread that completes it, but never
// ahead of what the server has queued for the same connection.  No loop
// thread here: the test runs the server (RunUntilIdle) when it chooses, so
// the queue is still full when the client has made room and the parked
// request completes.
TEST(DeviceServerDirectCompletion, NeverOvertakesWhatIsQueuedForTheConnection) {
    test::TempDir dir;
    ScriptedDevice device;
    // A queue long enough for every echo: all of them are read before the
    // parked request completes.
    DeviceServer::Limits limits;
    limits.maxQueuedFrames = 1024;
    limits.maxQueuedBytes = 4 * 1024 * 1024;
    DeviceServer server(device, limits);
    const std::string path = dir.File("gnss.sock");
    std::string error;
    ASSERT_TRUE(server.Listen(path, error)) << error;
    FrameClient client(path);
    server.RunUntilIdle();
    ASSERT_EQ(client.ReadOpenResult(), std::optional<NTSTATUS>(STATUS_SUCCESS));
    ASSERT_TRUE(client.SendControl(1, kPark, Id(1), 8));
    // More echo answers than the socket holds: the rest waits in the server's queue.
    constexpr int kEchoes = 48;
    for (int i = 0; i < kEchoes; ++i) {
        ASSERT_TRUE(client.SendControl(100 + static_cast<std::uint64_t>(i), kEcho, Bytes(8192, 1), 8192));
        server.RunUntilIdle();
    }
    std::vector<std::uint64_t> tags;
    const auto readWhatIsThere = [&] {
        pollfd p{client.fd(), POLLIN, 0};
        while (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0) {
            const auto c = client.ReadCompletion();
            if (!c) return;
            tags.push_back(c->tag);
        }
    };
    readWhatIsThere();
    ASSERT_LT(tags.size(), static_cast<std::size_t>(kEchoes)) << "nothing was queued";
    device.Complete(1, STATUS_SUCCESS, {});
    for (int round = 0; round < kEchoes && tags.size() < kEchoes + 1u; ++round) {
        server.RunUntilIdle();
        readWhatIsThere();
    }
    ASSERT_EQ(tags.size(), kEchoes + 1u);
    EXPECT_EQ(tags.back(), 1u);
    EXPECT_TRUE(std::is_sorted(tags.begin(), tags.end() - 1));
}

}  // namespace
}  // namespace gnss::host
