// Fuzz target of the device socket server.  Up to four clients at once
// connect, send requests, cancels and malformed frames, and disconnect,
// against the real DeviceServer and a device of the fuzzer's own that keeps
// requests waiting until the input completes them, in any order, or marks
// them as taken by the driver (then they cannot be cancelled).  The device
// follows the driver's rules for what outlives a file object: its fix session
// slots, the last-known-good id and the NMEA count.
//
// The input is a list of operations, one byte each and its arguments after
// it (see Run::Play); the loop runs single-threaded through RunUntilIdle.
// Checked:
//   - every frame a client receives is well formed, the open result first,
//     and every completion answers a request of its own that was still
//     outstanding (so none comes twice);
//   - once everything is completed, a client that is still connected has an
//     answer for every request it sent;
//   - when a file object closes, none of its requests still waits (the
//     server cancelled them), and it leaves no session slot in use;
//   - when the server is gone, every file object is closed, nothing waits,
//     and the NMEA count and the last-known-good id are back to 0.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DeviceServer.h"
#include "gnss/protocol/device_frame.h"
#include "gnss/protocol/gnss_ddi.h"

namespace {

using gnss::host::DeviceAccess;
using gnss::host::DeviceCompletion;
using gnss::host::DeviceCompletionHandler;
using gnss::host::DeviceServer;
using gnss::host::FileHandle;
using gnss::host::RequestHandle;
using Bytes = std::vector<std::uint8_t>;

// A control code the device refuses at once (no handler call).
constexpr std::uint32_t kRefused = 0x00223FFC;

void Require(bool condition) {
    if (!condition) std::abort();
}

std::uint32_t U32At(const Bytes& b, std::size_t offset) {
    std::uint32_t v = 0;
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}

class FuzzDevice : public DeviceAccess {
public:
    // Every request is completed inside Submit, with success (the end of a run).
    bool completeAtOnce = false;

    bool Available() const override { return true; }

    NTSTATUS Open(FileHandle* file) override {
        if (files_.size() == 3) return STATUS_NOT_SUPPORTED;
        *file = nextFile_++;
        files_[*file] = Slots{};
        return STATUS_SUCCESS;
    }

    void Close(FileHandle file) override {
        const auto it = files_.find(file);
        Require(it != files_.end());
        // The server stopped the sessions the client left before closing the file.
        Require(it->second.singleShot == 0 && it->second.continuous == 0);
        // It cancelled every request of the file that still waited; only
        // those the driver has taken remain, and complete later.
        for (const auto& [id, p] : pending_) Require(p.file != file || p.busy);
        files_.erase(it);
    }

    NTSTATUS Submit(FileHandle file, std::uint32_t code, const std::uint8_t* input,
                    std::size_t inputLength, std::size_t outputLength,
                    DeviceCompletionHandler handler, RequestHandle* request) override {
        if (files_.count(file) == 0) return STATUS_INVALID_HANDLE;
        if (code == kRefused) return STATUS_INVALID_DEVICE_REQUEST;
        *request = nextRequest_++;
        pending_.emplace(*request, Pending{file, code, Bytes(input, input + inputLength),
                                           outputLength, false, std::move(handler)});
        if (completeAtOnce || code == IOCTL_GNSS_GET_DEVICE_CAPABILITY)
            Complete(*request, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }

    bool Cancel(RequestHandle request) override {
        const auto it = pending_.find(request);
        if (it == pending_.end() || it->second.busy) return false;
        Finish(it, STATUS_CANCELLED);
        return true;
    }

    // The request the index picks among the waiting ones (in submission order).
    RequestHandle Pick(std::uint8_t index) const {
        if (pending_.empty()) return 0;
        auto it = pending_.begin();
        std::advance(it, index % pending_.size());
        return it->first;
    }
    void Take(RequestHandle request) {
        if (const auto it = pending_.find(request); it != pending_.end()) it->second.busy = true;
    }
    // Completes a request as its handler would: the requests that change the
    // driver's state succeed when their input is good; the others get `status`.
    void Complete(RequestHandle request, NTSTATUS status) {
        const auto it = pending_.find(request);
        if (it == pending_.end()) return;
        if (IsStateChange(it->second.code)) status = Apply(it->second);
        Finish(it, status);
    }
    void CompleteAll() {
        while (!pending_.empty()) Complete(pending_.begin()->first, STATUS_SUCCESS);
    }

    bool Idle() const { return files_.empty() && pending_.empty() && lkg_ == 0 && nmeaCount_ == 0; }

private:
    struct Slots {
        std::uint32_t singleShot = 0;
        std::uint32_t continuous = 0;
    };
    struct Pending {
        FileHandle file;
        std::uint32_t code;
        Bytes input;
        std::size_t outputLength;
        bool busy;
        DeviceCompletionHandler handler;
    };

    static bool IsStateChange(std::uint32_t code) {
        return code == IOCTL_GNSS_START_FIXSESSION || code == IOCTL_GNSS_STOP_FIXSESSION ||
               code == IOCTL_GNSS_SEND_DRIVERCOMMAND;
    }

    NTSTATUS Apply(const Pending& p) {
        const auto file = files_.find(p.file);  // a closed file's start finds no slot
        if (p.code == IOCTL_GNSS_START_FIXSESSION) {
            if (p.input.size() < sizeof(GNSS_FIXSESSION_PARAM)) return STATUS_INVALID_PARAMETER;
            const std::uint32_t id = U32At(p.input, offsetof(GNSS_FIXSESSION_PARAM, FixSessionID));
            switch (U32At(p.input, offsetof(GNSS_FIXSESSION_PARAM, SessionType))) {
                case GNSS_FixSession_SingleShot:
                    if (file != files_.end()) file->second.singleShot = id;
                    return STATUS_SUCCESS;
                case GNSS_FixSession_ContinuousTracking:
                    if (file != files_.end()) file->second.continuous = id;
                    return STATUS_SUCCESS;
                case GNSS_FixSession_LKG: lkg_ = id; return STATUS_SUCCESS;
                default: return STATUS_NOT_SUPPORTED;
            }
        }
        if (p.code == IOCTL_GNSS_STOP_FIXSESSION) {
            if (p.input.size() < sizeof(GNSS_STOPFIXSESSION_PARAM)) return STATUS_INVALID_PARAMETER;
            const std::uint32_t id =
                U32At(p.input, offsetof(GNSS_STOPFIXSESSION_PARAM, FixSessionID));
            if (id == lkg_) {
                lkg_ = 0;
            } else if (file != files_.end()) {
                if (file->second.singleShot == id)
                    file->second.singleShot = 0;
                else if (file->second.continuous == id)
                    file->second.continuous = 0;
            }
            return STATUS_SUCCESS;
        }
        if (p.input.size() < sizeof(GNSS_DRIVERCOMMAND_PARAM)) return STATUS_INVALID_PARAMETER;
        if (U32At(p.input, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandType)) != GNSS_SetNMEALogging)
            return STATUS_NOT_SUPPORTED;
        if (U32At(p.input, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandDataSize)) < 4)
            return STATUS_INTERNAL_ERROR;
        const std::uint32_t value = U32At(p.input, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData));
        if (value == 255 || value == 256)
            nmeaCount_ = std::min(nmeaCount_ + 1, 2u);
        else if (nmeaCount_ > 0)
            --nmeaCount_;
        return STATUS_SUCCESS;
    }

    void Finish(std::map<RequestHandle, Pending>::iterator it, NTSTATUS status) {
        Pending p = std::move(it->second);
        pending_.erase(it);
        const std::size_t n = std::min<std::size_t>(p.outputLength, 16);
        p.handler(DeviceCompletion{status, n, Bytes(n, 0xA5)});
    }

    std::map<FileHandle, Slots> files_;
    std::map<RequestHandle, Pending> pending_;
    FileHandle nextFile_ = 1;
    RequestHandle nextRequest_ = 1;
    std::uint32_t lkg_ = 0;
    unsigned nmeaCount_ = 0;
};

struct Client {
    int fd = -1;
    bool opened = false;   // its open succeeded
    bool answered = false; // its open result has come
    bool told = false;     // refused: the status that comes along with the refusal has come
    bool gone = false;     // its end has been seen, or it disconnected
    bool broken = false;   // it sent a malformed frame, which ends a connection
    // Requests sent and not answered, by tag.  A tag sent again may be a
    // duplicate outstanding tag (the server ends the connection) or not (its
    // first request has completed on the server's side): both are right.
    std::map<std::uint64_t, int> outstanding;
};

// The input, read from the front; zeros once it is used up.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

class Run {
public:
    Run(FuzzDevice& device, const std::string& socketPath)
        : device_(device), path_(socketPath), server_(device, Limits()) {
        std::string error;
        Require(server_.Listen(path_, error));
    }

    void Play(Input& in) {
        while (!in.Empty()) {
            switch (in.Byte() % 8) {
                case 0: Connect(); break;
                case 1: SendControl(in); break;
                case 2: {
                    Client* c = Pick(in.Byte());
                    const std::uint64_t tag = in.Byte() % 16;
                    if (c != nullptr) Send(*c, gnss::frame::EncodeCancel(tag));
                    break;
                }
                case 3: SendRaw(in); break;
                case 4:
                    if (Client* c = Pick(in.Byte())) Disconnect(*c);
                    break;
                case 5: {
                    const RequestHandle r = device_.Pick(in.Byte());
                    const std::uint8_t s = in.Byte();
                    static constexpr NTSTATUS kStatuses[] = {STATUS_SUCCESS, STATUS_CANCELLED,
                                                             STATUS_DEVICE_BUSY};
                    device_.Complete(r, kStatuses[s % 3]);
                    break;
                }
                case 6: device_.Take(device_.Pick(in.Byte())); break;
                case 7: Settle(); break;
            }
        }

        // Everything completes: a client still connected has all its answers,
        // and every open has been answered.
        device_.completeAtOnce = true;
        device_.CompleteAll();
        Settle();
        for (const Client& c : clients_) {
            if (c.gone) continue;
            Require(c.answered);
            Require(!c.broken);  // the server ends a connection that broke the protocol
            Require(c.outstanding.empty());
        }
    }

    // The connections end by the clients (then the server is idle), or the
    // server goes with them connected.
    void Finish(bool clientsFirst) {
        if (clientsFirst) {
            for (Client& c : clients_)
                if (!c.gone) Disconnect(c);
            Settle();
            Require(server_.ConnectionCount() == 0);
        }
    }

private:
    // The clients' sockets close after the server has gone (members go in
    // reverse order), so that it may go with clients connected.
    struct Clients : std::vector<Client> {
        ~Clients() {
            for (Client& c : *this)
                if (c.fd >= 0) ::close(c.fd);
        }
    };

    static DeviceServer::Limits Limits() {
        DeviceServer::Limits limits;
        limits.maxOutstanding = 8;
        limits.maxOutstandingBytes = 4096;
        limits.maxQueuedFrames = 4;
        limits.maxQueuedBytes = 2048;
        // Nothing here waits on the clock: the device answers when the input says.
        limits.closeGrace = std::chrono::hours(1);
        return limits;
    }

    Client* Pick(std::uint8_t index) {
        std::vector<Client*> live;
        for (Client& c : clients_)
            if (!c.gone) live.push_back(&c);
        return live.empty() ? nullptr : live[index % live.size()];
    }

    void Connect() {
        std::size_t live = 0;
        for (const Client& c : clients_) live += c.gone ? 0 : 1;
        if (live >= 4 || clients_.size() >= 32) return;
        Client c;
        c.fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        Require(c.fd >= 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        // The backlog takes it whether or not the server accepts now.
        Require(::connect(c.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0);
        clients_.push_back(std::move(c));
    }

    void Disconnect(Client& c) {
        ::close(c.fd);
        c.fd = -1;
        c.gone = true;
    }

    // A frame the server takes or not; a full socket (back-pressure) drops it.
    bool Send(Client& c, const Bytes& bytes) {
        return ::send(c.fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

    void SendRequest(Client& c, std::uint64_t tag, const Bytes& bytes) {
        if (Send(c, bytes)) ++c.outstanding[tag];
    }

    void SendControl(Input& in) {
        Client* c = Pick(in.Byte());
        const std::uint64_t tag = in.Byte() % 16;
        const std::uint8_t kind = in.Byte(), arg = in.Byte();
        std::uint32_t code = 0;
        Bytes input;
        std::size_t output = 0;
        switch (kind % 6) {
            case 0:
                code = IOCTL_GNSS_GET_DEVICE_CAPABILITY;
                output = (arg % 4) * 256;
                break;
            case 1:
                code = IOCTL_GNSS_LISTEN_NI;
                output = arg * 32u;
                break;
            case 2: {
                static constexpr GNSS_FIXSESSIONTYPE kTypes[] = {
                    GNSS_FixSession_SingleShot, GNSS_FixSession_ContinuousTracking,
                    GNSS_FixSession_LKG, GNSS_FixSession_DistanceTracking};
                GNSS_FIXSESSION_PARAM p{};
                p.Size = sizeof p;
                p.FixSessionID = arg % 4;
                p.SessionType = kTypes[(arg / 4) % 4];
                code = IOCTL_GNSS_START_FIXSESSION;
                input = Record(p);
                break;
            }
            case 3: {
                GNSS_STOPFIXSESSION_PARAM p{};
                p.Size = sizeof p;
                p.FixSessionID = arg % 4;
                code = IOCTL_GNSS_STOP_FIXSESSION;
                input = Record(p);
                break;
            }
            case 4: {
                static constexpr std::uint32_t kValues[] = {255, 256, 1, 0};
                GNSS_DRIVERCOMMAND_PARAM p{};
                p.Size = sizeof p;
                p.CommandType = GNSS_SetNMEALogging;
                p.CommandDataSize = 4;
                code = IOCTL_GNSS_SEND_DRIVERCOMMAND;
                input = Record(p);
                std::memcpy(input.data() + offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData),
                            &kValues[arg % 4], 4);
                break;
            }
            default: code = kRefused; break;
        }
        if (c == nullptr) return;
        Bytes bytes;
        Require(gnss::frame::EncodeDeviceControl(tag, code, input, output, bytes) ==
                gnss::frame::FrameError::None);
        SendRequest(*c, tag, bytes);
    }

    // Bytes as they come: a frame the server may take, or one it refuses.
    void SendRaw(Input& in) {
        Client* c = Pick(in.Byte());
        Bytes bytes(in.Byte() % 48);
        for (auto& b : bytes) b = in.Byte();
        if (c == nullptr) return;
        gnss::frame::Request request;
        const auto error = gnss::frame::DecodeRequest(bytes, request);
        if (error == gnss::frame::FrameError::None &&
            request.type == gnss::frame::FrameType::DeviceControl) {
            SendRequest(*c, request.tag, bytes);
        } else if (Send(*c, bytes) && error != gnss::frame::FrameError::None) {
            c->broken = true;
        }
    }

    template <class T>
    static Bytes Record(const T& record) {
        Bytes b(sizeof record);
        std::memcpy(b.data(), &record, sizeof record);
        return b;
    }

    // Reads what has come for a client; true when anything did.
    bool Drain(Client& c) {
        bool any = false;
        while (!c.gone) {
            const ssize_t n = ::recv(c.fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
            if (n < 0) {
                Require(errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNRESET);
                if (errno == ECONNRESET) Disconnect(c);
                return any;
            }
            any = true;
            if (n == 0) {  // the server ended the connection
                Disconnect(c);
                return any;
            }
            const std::span<const std::uint8_t> frame(buffer_.data(), static_cast<std::size_t>(n));
            if (!c.answered) {
                gnss::frame::OpenResult open;
                Require(gnss::frame::DecodeOpenResult(frame, open) ==
                        gnss::frame::FrameError::None);
                c.answered = true;
                c.opened = NT_SUCCESS(open.status);
                Require(c.opened || open.status == STATUS_NOT_SUPPORTED);
                continue;
            }
            gnss::frame::Completion done;
            Require(gnss::frame::DecodeCompletion(frame, done) == gnss::frame::FrameError::None);
            if (!c.opened) {
                // A refusal comes with the server's status, once, under tag 0.
                Require(done.tag == 0 && NT_SUCCESS(done.status) && !c.told);
                c.told = true;
                continue;
            }
            const auto it = c.outstanding.find(done.tag);
            Require(it != c.outstanding.end());
            if (--it->second == 0) c.outstanding.erase(it);
        }
        return any;
    }

    // Serves and reads until neither side has anything left.
    void Settle() {
        for (int round = 0;; ++round) {
            Require(round < 10000);
            server_.RunUntilIdle();
            bool any = false;
            for (Client& c : clients_) any = Drain(c) || any;
            if (!any) return;
        }
    }

    FuzzDevice& device_;
    const std::string path_;
    Clients clients_;
    Bytes buffer_ = Bytes(gnss::frame::kMaxFrame);
    DeviceServer server_;
};

}  // namespace

// libFuzzer's entropic schedule spends most of its time here weighing the
// many features every run touches (sockets, several connections, the loop):
// the plain schedule runs this target some fifty times faster.  Added to the
// command line unless it says otherwise.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> args(*argv, *argv + *argc);
    static char plain[] = "-entropic=0";
    for (const char* a : args)
        if (std::strncmp(a, "-entropic=", 10) == 0) return 0;
    args.insert(args.begin() + 1, plain);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - 1;
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The last byte chooses how the run ends; the others are operations.
    Input in(data, size - 1);
    // A folder of its own for the socket, gone with the run (the server
    // removes the socket file when it goes).
    char folder[] = "/tmp/gnss-server-fuzz-XXXXXX";
    Require(::mkdtemp(folder) != nullptr);
    FuzzDevice device;
    {
        Run run(device, std::string(folder) + "/gnss.sock");
        run.Play(in);
        run.Finish((data[size - 1] & 1) != 0);
    }  // the server goes: the connections left end and their cleanup runs
    ::rmdir(folder);
    Require(device.Idle());
    return 0;
}
