// The device socket server against a scripted device, in one process: the
// server's loop runs on a thread of its own, the tests are its clients.
#include <sys/stat.h>

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
    std::size_t ParkedCount() const {
        std::lock_guard guard(lock_);
        return parked_.size();
    }
    int Closes() const {
        std::lock_guard guard(lock_);
        return closes_;
    }

private:
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

TEST_F(DeviceServerTest, TooManyOutstandingRequestsEndTheConnection) {
    StopServer();
    server_.reset();
    DeviceServer::Limits limits;
    limits.maxOutstanding = 4;
    path_ = dir_.File("limited.sock");
    StartServer(limits);
    auto client = Connect();
    for (std::uint32_t id = 1; id <= 5; ++id) client->SendControl(id, kPark, Id(id), 0);
    EXPECT_TRUE(client->AtEnd());
    device_.WaitOpenFiles(0);
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
    // The server carries on; without a device an open is refused.
    FrameClient late(path_);
    EXPECT_EQ(late.ReadOpenResult(), std::optional<NTSTATUS>(STATUS_NO_SUCH_DEVICE));
    EXPECT_TRUE(late.AtEnd());
    EXPECT_EQ(device_.Closes(), 0);  // the files were closed by the removal, not again
}

}  // namespace
}  // namespace gnss::host
