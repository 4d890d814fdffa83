// Drives the whole dispatcher.  The driver is loaded once by the framework
// host in this process, with the simulated modem behind its USB target, and
// every input becomes a short sequence of device-control requests on one to
// three open files, with cancels, drains and closes mixed in.  Each request
// must complete exactly once: a completion the framework refused as a second
// one, a second call of a completion handler and a request still open when
// its input is done all abort the run.
//
// Input layout (anything missing at the end drops the operation it cuts):
//   files:u8        1 + files % 3 files are opened for the input
//   then at most kMaxOperations operations, each starting with op:u8.  The
//   operation works on file (op >> 3) % files and is, by op & 7:
//     0 to 4   a request:  code  inlen  outlen  patches
//     5        a cancel:   which:u8, of the requests so far (which % count)
//     6        the file is closed (its fix sessions stopped first) and reopened
//     7        a drain: a chipset-information request, waited for; the
//              default queue is sequential, so everything sent before it has
//              been dispatched (every input ends with one)
//   code     c:u8: below 0xF0 the GNSS code c % 28, else any code:u32le
//   inlen,   s:u8, by s & 7: 0, structure - 1, structure, structure + 1 +
//   outlen   (s >> 3), 1 + (s >> 3), else the length:u16le that follows (at
//            most kMaxBuffer).  The structure is the one the code's handler
//            reads (input) or fills (output); 0 for codes without one.
//   patches  n:u8, then n times offset:u16le length:u8 bytes.  The input
//            buffer is zero but for these bytes (cut at its end).
//
// Half of the mutations know this layout: they set a 32-bit word of a
// request's input to a value the handlers switch on, or change its lengths
// or its code (LLVMFuzzerCustomMutator).
//
// Between inputs the driver is brought back to the same state: every file of
// the input is closed (which cancels its parked requests), the location
// service is on, the test mode off, and the engine has finished the modem
// work the input asked for (a marker command reaches the modem).  The time
// scale is small, so the driver's fixed pauses and time-outs, and the self-
// test scan's bounded wait for the engine, cost milliseconds.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "Driver.h"
#include "GnssState.h"
#include "gnss/platform/sim_usb_backend.h"
#include "gnss/platform/timescale.h"
#include "gnss/platform/wdfhost.h"
#include "gnss/protocol/gnss_ddi.h"

namespace {

using gnss::fw::Completion;
using gnss::fw::FileId;
using gnss::fw::RequestId;

// 1000 ms pauses and answer time-outs become 5 ms, the scan's 30 s wait 150 ms.
// On a busy machine an answer now and then comes after its time-out; the
// engine takes that as a modem that did not answer, a path worth running too.
constexpr const char* kTimeScale = "0.005";
// Bounds every wait of the harness; only a fault (a request that never
// completes, an engine that never gets to the marker) makes one last that long.
constexpr auto kPatience = std::chrono::seconds(60);
constexpr std::size_t kMaxOperations = 16;
constexpr std::size_t kMaxFiles = 3;  // the driver serves three opens at a time
constexpr std::size_t kMaxBuffer = 8192;
// The simulated modem keeps every command it receives; a fresh one after this
// many keeps a long run's memory bounded.
constexpr unsigned kCommandsPerModem = 200000;

// The 28 GNSS control codes, in the order of the dispatch table.
constexpr ULONG kCodes[] = {
    IOCTL_GNSS_SEND_PLATFORM_CAPABILITY,
    IOCTL_GNSS_GET_DEVICE_CAPABILITY,
    IOCTL_GNSS_SEND_DRIVERCOMMAND,
    IOCTL_GNSS_START_FIXSESSION,
    IOCTL_GNSS_MODIFY_FIXSESSION,
    IOCTL_GNSS_STOP_FIXSESSION,
    IOCTL_GNSS_GET_FIXDATA,
    IOCTL_GNSS_INJECT_AGNSS,
    IOCTL_GNSS_LISTEN_AGNSS,
    IOCTL_GNSS_LISTEN_ERROR,
    IOCTL_GNSS_LISTEN_NI,
    IOCTL_GNSS_SET_SUPL_HSLP,
    IOCTL_GNSS_CONFIG_SUPL_CERT,
    IOCTL_GNSS_RESPOND_NI,
    IOCTL_GNSS_EXECUTE_CWTEST,
    IOCTL_GNSS_EXECUTE_SELFTEST,
    IOCTL_GNSS_GET_CHIPSETINFO,
    IOCTL_GNSS_LISTEN_NMEA,
    IOCTL_GNSS_SET_V2UPL_CONFIG,
    IOCTL_GNSS_CREATE_GEOFENCE,
    IOCTL_GNSS_DELETE_GEOFENCE,
    IOCTL_GNSS_LISTEN_GEOFENCE_ALERT,
    IOCTL_GNSS_LISTEN_GEOFENCES_TRACKINGSTATUS,
    IOCTL_GNSS_LISTEN_DRIVER_REQUEST,
    IOCTL_GNSS_START_BREADCRUMBING,
    IOCTL_GNSS_STOP_BREADCRUMBING,
    IOCTL_GNSS_LISTEN_BREADCRUMBING_ALERT,
    IOCTL_GNSS_POP_BREADCRUMBS,
};
static_assert(std::size(kCodes) == 28);

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "==fuzz_dispatch== %s\n", why.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// The structures a code's handler reads and fills.
struct Shape {
    std::size_t in = 0;
    std::size_t out = 0;
};

Shape ShapeOf(ULONG code) {
    switch (code) {
        case IOCTL_GNSS_SEND_PLATFORM_CAPABILITY: return {sizeof(GNSS_PLATFORM_CAPABILITY), 0};
        case IOCTL_GNSS_GET_DEVICE_CAPABILITY: return {0, sizeof(GNSS_DEVICE_CAPABILITY)};
        case IOCTL_GNSS_SEND_DRIVERCOMMAND: return {sizeof(GNSS_DRIVERCOMMAND_PARAM), 0};
        case IOCTL_GNSS_START_FIXSESSION:
        case IOCTL_GNSS_MODIFY_FIXSESSION: return {sizeof(GNSS_FIXSESSION_PARAM), 0};
        case IOCTL_GNSS_STOP_FIXSESSION: return {sizeof(GNSS_STOPFIXSESSION_PARAM), 0};
        case IOCTL_GNSS_GET_FIXDATA: return {sizeof(ULONG), sizeof(GNSS_EVENT)};
        case IOCTL_GNSS_INJECT_AGNSS: return {sizeof(GNSS_AGNSS_INJECT), 0};
        case IOCTL_GNSS_LISTEN_AGNSS:
        case IOCTL_GNSS_LISTEN_ERROR:
        case IOCTL_GNSS_LISTEN_NI:
        case IOCTL_GNSS_LISTEN_NMEA:
        case IOCTL_GNSS_LISTEN_DRIVER_REQUEST: return {0, sizeof(GNSS_EVENT)};
        case IOCTL_GNSS_SET_SUPL_HSLP: return {sizeof(GNSS_SUPL_HSLP_CONFIG), 0};
        case IOCTL_GNSS_CONFIG_SUPL_CERT: return {sizeof(GNSS_SUPL_CERT_CONFIG), 0};
        case IOCTL_GNSS_RESPOND_NI: return {sizeof(GNSS_NI_RESPONSE), 0};
        case IOCTL_GNSS_EXECUTE_SELFTEST:
            return {sizeof(GNSS_SELFTESTCONFIG), sizeof(GNSS_SELFTESTRESULT)};
        case IOCTL_GNSS_GET_CHIPSETINFO: return {0, sizeof(GNSS_CHIPSETINFO)};
        default: return {};
    }
}

// ---------------------------------------------------------------------------
// An input, decoded.  Decode and Encode are each other's inverse on what
// Decode accepts (bytes after the last whole operation are dropped), so the
// structure-aware mutator below works on the same script the rig runs.
struct Length {
    std::uint8_t selector = 0;
    std::uint16_t value = 0;  // when selector & 7 is 5 or more
};

struct Patch {
    std::uint16_t offset = 0;
    std::vector<std::uint8_t> bytes;  // at most 255
};

enum Action : unsigned { kCancel = 5, kReopen = 6, kDrain = 7 };  // below 5: a request

struct Operation {
    std::uint8_t op = 0;  // action op & 7 on file (op >> 3) % files
    // A request:
    std::uint8_t code = 0;  // a GNSS code below 0xF0, else rawCode
    ULONG rawCode = 0;
    Length in, out;
    std::vector<Patch> patches;  // at most 255
    // A cancel:
    std::uint8_t which = 0;

    bool IsRequest() const { return (op & 7) < kCancel; }
    ULONG Code() const { return code < 0xF0 ? kCodes[code % std::size(kCodes)] : rawCode; }
};

struct Script {
    std::uint8_t files = 0;  // 1 + files % kMaxFiles are opened
    std::vector<Operation> operations;
};

std::size_t LengthOf(const Length& length, std::size_t structure) {
    const std::size_t small = 1 + (length.selector >> 3);
    switch (length.selector & 7) {
        case 0: return 0;
        case 1: return structure == 0 ? 0 : structure - 1;
        case 2: return structure;
        case 3: return structure + small;
        case 4: return small;
        default: return std::min<std::size_t>(length.value, kMaxBuffer);
    }
}

std::vector<std::uint8_t> InputOf(const Operation& request) {
    std::vector<std::uint8_t> input(LengthOf(request.in, ShapeOf(request.Code()).in), 0);
    for (const Patch& patch : request.patches)
        for (std::size_t k = 0; k < patch.bytes.size() && patch.offset + k < input.size(); ++k)
            input[patch.offset + k] = patch.bytes[k];
    return input;
}

// Reads the input front to back; a read past the end fails.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <class T>
    bool Value(T& out) {
        if (size_ - at_ < sizeof out) return false;
        std::memcpy(&out, data_ + at_, sizeof out);
        at_ += sizeof out;
        return true;
    }
    bool Bytes(std::vector<std::uint8_t>& out, std::size_t length) {
        if (size_ - at_ < length) return false;
        out.assign(data_ + at_, data_ + at_ + length);
        at_ += length;
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

bool DecodeLength(Reader& in, Length& length) {
    if (!in.Value(length.selector)) return false;
    return (length.selector & 7) < 5 || in.Value(length.value);
}

bool DecodeOperation(Reader& in, Operation& o) {
    if (!in.Value(o.op)) return false;
    if (!o.IsRequest()) return (o.op & 7) != kCancel || in.Value(o.which);
    if (!in.Value(o.code) || (o.code >= 0xF0 && !in.Value(o.rawCode))) return false;
    if (!DecodeLength(in, o.in) || !DecodeLength(in, o.out)) return false;
    std::uint8_t count = 0;
    if (!in.Value(count)) return false;
    o.patches.resize(count);
    for (Patch& patch : o.patches) {
        std::uint8_t length = 0;
        if (!in.Value(patch.offset) || !in.Value(length) || !in.Bytes(patch.bytes, length))
            return false;
    }
    return true;
}

Script Decode(const std::uint8_t* data, std::size_t size) {
    Script script;
    Reader in(data, size);
    if (!in.Value(script.files)) return script;
    while (script.operations.size() < kMaxOperations) {
        Operation o;
        if (!DecodeOperation(in, o)) break;
        script.operations.push_back(std::move(o));
    }
    return script;
}

template <class T>
void Put(std::vector<std::uint8_t>& out, const T& value) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof value);
}

void EncodeLength(std::vector<std::uint8_t>& out, const Length& length) {
    Put(out, length.selector);
    if ((length.selector & 7) >= 5) Put(out, length.value);
}

std::vector<std::uint8_t> Encode(const Script& script) {
    std::vector<std::uint8_t> out;
    Put(out, script.files);
    for (const Operation& o : script.operations) {
        Put(out, o.op);
        if (!o.IsRequest()) {
            if ((o.op & 7) == kCancel) Put(out, o.which);
            continue;
        }
        Put(out, o.code);
        if (o.code >= 0xF0) Put(out, o.rawCode);
        EncodeLength(out, o.in);
        EncodeLength(out, o.out);
        Put(out, static_cast<std::uint8_t>(o.patches.size()));
        for (const Patch& patch : o.patches) {
            Put(out, patch.offset);
            Put(out, static_cast<std::uint8_t>(patch.bytes.size()));
            out.insert(out.end(), patch.bytes.begin(), patch.bytes.end());
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Structure-aware mutation.  The handlers switch on small numbers inside the
// structures (command types, session types, test types, data sizes), which
// byte mutations hit about once in a hundred thousand runs; half of the
// mutations here change one field of a decoded request instead: a 32-bit
// word of its input, one of its lengths or its code.
using Random = std::minstd_rand;

std::size_t Pick(Random& random, std::size_t n) { return random() % n; }

// Values worth putting into a 32-bit field, besides the structure sizes.
constexpr ULONG kInterestingValues[] = {
    0,     1,     2,     3,     4,      5,       6,          7,          8,         9,
    10,    11,    12,    13,    14,     15,      16,         17,         32,        64,
    127,   128,   255,   256,   0x101,  0x102,   0x103,      0x104,      0x105,     0x106,
    0x107, 0x200, 4095,  4096,  0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
};

ULONG InterestingValue(Random& random) {
    if (Pick(random, 4) == 0) {
        const Shape shape = ShapeOf(kCodes[Pick(random, std::size(kCodes))]);
        return static_cast<ULONG>(Pick(random, 2) == 0 ? shape.in : shape.out);
    }
    return kInterestingValues[Pick(random, std::size(kInterestingValues))];
}

// Writes the word into the last patch that holds all of it, or adds a patch.
void SetWord(Operation& request, std::uint16_t offset, ULONG value) {
    std::uint8_t bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    for (auto patch = request.patches.rbegin(); patch != request.patches.rend(); ++patch) {
        if (patch->offset <= offset &&
            offset + sizeof value <= patch->offset + patch->bytes.size()) {
            std::memcpy(patch->bytes.data() + (offset - patch->offset), bytes, sizeof value);
            return;
        }
    }
    if (request.patches.size() < 255)
        request.patches.push_back({offset, {bytes, bytes + sizeof value}});
}

void MutateRequest(Operation& request, Random& random) {
    const std::size_t choice = Pick(random, 20);
    if (choice < 14) {
        // A word the request already sets (most fields that matter), or any
        // aligned word of its input.
        std::size_t offset = 0;
        if (!request.patches.empty() && Pick(random, 4) != 0) {
            const Patch& patch = request.patches[Pick(random, request.patches.size())];
            const std::size_t first = (patch.offset + 3) / 4;
            const std::size_t end = (patch.offset + patch.bytes.size()) / 4;
            offset = 4 * (end > first ? first + Pick(random, end - first) : patch.offset / 4);
        } else {
            const std::size_t length = InputOf(request).size();
            offset = length >= 4 ? 4 * Pick(random, length / 4) : 0;
        }
        SetWord(request, static_cast<std::uint16_t>(offset), InterestingValue(random));
    } else if (choice < 17) {
        // Another length class: none, one byte short, exact, a little more, a little.
        Length& length = Pick(random, 2) == 0 ? request.in : request.out;
        length.selector = static_cast<std::uint8_t>((length.selector & ~7u) | Pick(random, 5));
    } else if (Pick(random, 8) != 0) {
        request.code = static_cast<std::uint8_t>(Pick(random, std::size(kCodes)));
    } else {
        // A code next to a GNSS code.
        request.code = 0xF0;
        request.rawCode =
            kCodes[Pick(random, std::size(kCodes))] + static_cast<ULONG>(Pick(random, 4));
    }
}

// ---------------------------------------------------------------------------
// The simulated modem behind the USB target, watched on its way in: the
// harness waits for a marker command to learn that the engine has handled
// everything posted before it.
class WatchedModem final : public gnss::fw::UsbBackend {
public:
    explicit WatchedModem(std::shared_ptr<gnss::fw::SimUsbBackend> sim) : sim_(std::move(sim)) {
        sim_->SetRemovalHandler([this] { NotifyRemoved(); });
    }
    ~WatchedModem() override { Retire(); }

    gnss::sim::ModemStatus Status() {
        const auto sim = Sim();
        return sim ? sim->Modem().Status() : gnss::sim::ModemStatus{};
    }
    // Lets go of the modem once its device has been removed.  The framework
    // keeps a removed device's objects, this back-end among them, until the
    // host is destroyed; a modem kept with it would keep its thread and its
    // record of every command.
    void Retire() {
        std::shared_ptr<gnss::fw::SimUsbBackend> sim;
        {
            std::lock_guard guard(lock_);
            sim = std::move(sim_);
        }
        if (sim) sim->SetRemovalHandler(nullptr);
    }

    // Looks for `text` in what is written from now on.
    void Expect(std::string text) {
        std::lock_guard guard(lock_);
        expected_ = std::move(text);
        seen_ = false;
    }
    bool WaitSeen() {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, kPatience, [this] { return seen_; });
    }

    std::string Describe() const override { return "sim (watched)"; }
    std::vector<gnss::fw::UsbInterfaceDescriptor> Interfaces() override {
        const auto sim = Sim();
        return sim ? sim->Interfaces() : std::vector<gnss::fw::UsbInterfaceDescriptor>{};
    }
    NTSTATUS ControlTransfer(const gnss::fw::UsbSetupPacket& setup, std::uint8_t* data,
                             std::size_t length, ULONG* transferred) override {
        const auto sim = Sim();
        return sim ? sim->ControlTransfer(setup, data, length, transferred)
                   : STATUS_DEVICE_NOT_CONNECTED;
    }
    NTSTATUS ReadPipe(UCHAR endpoint, std::uint8_t* buffer, std::size_t length,
                      std::size_t* transferred) override {
        const auto sim = Sim();
        return sim ? sim->ReadPipe(endpoint, buffer, length, transferred)
                   : STATUS_DEVICE_NOT_CONNECTED;
    }
    void CancelRead(UCHAR endpoint) override {
        if (const auto sim = Sim()) sim->CancelRead(endpoint);
    }
    NTSTATUS WritePipe(UCHAR endpoint, const std::uint8_t* data, std::size_t length,
                       ULONG* written) override {
        const auto sim = Sim();
        if (!sim) return STATUS_DEVICE_NOT_CONNECTED;
        {
            std::lock_guard guard(lock_);
            if (!seen_ && !expected_.empty() && data != nullptr &&
                std::string_view(reinterpret_cast<const char*>(data), length).find(expected_) !=
                    std::string_view::npos) {
                seen_ = true;
                changed_.notify_all();
            }
        }
        return sim->WritePipe(endpoint, data, length, written);
    }
    NTSTATUS ResetPipe(UCHAR endpoint) override {
        const auto sim = Sim();
        return sim ? sim->ResetPipe(endpoint) : STATUS_DEVICE_NOT_CONNECTED;
    }

private:
    std::shared_ptr<gnss::fw::SimUsbBackend> Sim() {
        std::lock_guard guard(lock_);
        return sim_;
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::shared_ptr<gnss::fw::SimUsbBackend> sim_;
    std::string expected_;
    bool seen_ = false;
};

// ---------------------------------------------------------------------------
// The requests of one input and their completions.
struct Tracked {
    RequestId id = 0;
    ULONG code = 0;
    bool submitted = false;
    unsigned completions = 0;  // guarded by Ledger::lock_
};

class Ledger {
public:
    // Submits a request; the result tells whether the framework took it.
    std::shared_ptr<Tracked> Submit(gnss::fw::DriverHost& host, FileId file, ULONG code,
                                    const std::vector<std::uint8_t>& input,
                                    std::size_t outputLength) {
        auto entry = std::make_shared<Tracked>();
        entry->code = code;
        // The handler may run before SubmitDeviceControl returns.
        auto handler = [this, entry](const Completion&) {
            std::lock_guard guard(lock_);
            if (++entry->completions > 1)
                Fail("request " + std::to_string(entry->id) + " (code " + Hex(entry->code) +
                     ") completed twice");
            changed_.notify_all();
        };
        RequestId id = 0;
        const NTSTATUS status = host.SubmitDeviceControl(
            file, code, input.empty() ? nullptr : input.data(), input.size(), outputLength,
            handler, &id);
        std::lock_guard guard(lock_);
        entry->id = id;
        entry->submitted = NT_SUCCESS(status);
        if (!entry->submitted && entry->completions != 0)
            Fail("a request the framework refused (code " + Hex(code) + ") was completed");
        entries_.push_back(entry);
        return entry;
    }

    void WaitFor(const std::shared_ptr<Tracked>& entry) {
        std::unique_lock guard(lock_);
        if (!entry->submitted) return;
        if (!changed_.wait_for(guard, kPatience, [&] { return entry->completions != 0; }))
            Fail("request " + std::to_string(entry->id) + " (code " + Hex(entry->code) +
                 ") did not complete");
    }

    // Waits until every request of the input has completed, then forgets them.
    void WaitAll() {
        std::unique_lock guard(lock_);
        auto done = [this] {
            for (auto& e : entries_)
                if (e->submitted && e->completions == 0) return false;
            return true;
        };
        if (!changed_.wait_for(guard, kPatience, done)) {
            for (auto& e : entries_)
                if (e->submitted && e->completions == 0)
                    Fail("request " + std::to_string(e->id) + " (code " + Hex(e->code) +
                         ") never completed");
        }
        entries_.clear();
    }

    std::vector<RequestId> Submitted() {
        std::lock_guard guard(lock_);
        std::vector<RequestId> ids;
        for (auto& e : entries_)
            if (e->submitted) ids.push_back(e->id);
        return ids;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<Tracked>> entries_;
};

std::vector<std::uint8_t> DriverCommand(GNSS_DRIVERCOMMAND_TYPE type, BYTE data) {
    std::vector<std::uint8_t> input(sizeof(GNSS_DRIVERCOMMAND_PARAM), 0);
    GNSS_DRIVERCOMMAND_PARAM command{};
    command.Size = sizeof command;
    command.Version = GNSS_INTERFACE_VERSION;
    command.CommandType = type;
    command.CommandDataSize = 1;
    std::memcpy(input.data(), &command, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData));
    input[offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData)] = data;
    return input;
}

template <class T>
std::vector<std::uint8_t> BytesOf(const T& value) {
    std::vector<std::uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// ---------------------------------------------------------------------------
// The host, the driver and the modem, for the whole run.
class Rig {
public:
    void Start() {
        if (!NT_SUCCESS(host_.LoadDriver(&DriverEntry))) Fail("the driver did not load");
        AddDevice();
    }
    void Stop() { host_.UnloadDriver(); }

    void Run(const Script& script);

private:
    struct File {
        FileId id = 0;
        std::vector<ULONG> sessions;  // fix sessions started on it
    };

    void AddDevice() {
        std::string error;
        auto sim = gnss::fw::SimUsbBackend::Create("", error);
        if (!sim) Fail("the simulated modem: " + error);
        modem_ = std::make_shared<WatchedModem>(std::move(sim));
        if (!NT_SUCCESS(host_.AddDevice(modem_))) Fail("the device did not start");
    }
    void Open(File& file) {
        file.id = 0;
        file.sessions.clear();
        // A refused open leaves id 0: the requests on it are refused too.
        [[maybe_unused]] const NTSTATUS status = host_.OpenFile(&file.id);
    }
    // Stops the sessions started on the file, as a client does before it
    // closes: the driver keeps a session running after its file is closed.
    void StopSessions(File& file) {
        for (ULONG session : file.sessions) {
            GNSS_STOPFIXSESSION_PARAM stop{};
            stop.Size = sizeof stop;
            stop.Version = GNSS_INTERFACE_VERSION;
            stop.FixSessionID = session;
            ledger_.WaitFor(
                ledger_.Submit(host_, file.id, IOCTL_GNSS_STOP_FIXSESSION, BytesOf(stop), 0));
        }
        file.sessions.clear();
    }
    void Close(File& file) {
        StopSessions(file);
        host_.CloseFile(file.id);
        file.id = 0;
    }
    // The default queue is sequential: once this request is answered, every
    // request sent before it has been dispatched.
    void Drain(File& file) {
        ledger_.WaitFor(ledger_.Submit(host_, file.id, IOCTL_GNSS_GET_CHIPSETINFO, {},
                                       sizeof(GNSS_CHIPSETINFO)));
    }
    void Request(const Operation& request, File& file);
    void Settle();
    void CheckViolations() {
        const std::vector<std::string> violations = host_.Violations();
        if (violations.size() == violationsSeen_) return;
        for (std::size_t i = violationsSeen_; i < violations.size(); ++i)
            std::fprintf(stderr, "==fuzz_dispatch== framework: %s\n", violations[i].c_str());
        Fail("the framework caught the driver misusing it");
    }

    gnss::fw::DriverHost host_;
    std::shared_ptr<WatchedModem> modem_;
    Ledger ledger_;
    std::size_t violationsSeen_ = 0;
    unsigned long long settles_ = 0;
};

void Rig::Request(const Operation& request, File& file) {
    const ULONG code = request.Code();
    const std::vector<std::uint8_t> input = InputOf(request);
    if (code == IOCTL_GNSS_START_FIXSESSION && input.size() >= sizeof(GNSS_FIXSESSION_PARAM)) {
        ULONG session = 0;
        std::memcpy(&session, input.data() + offsetof(GNSS_FIXSESSION_PARAM, FixSessionID),
                    sizeof session);
        file.sessions.push_back(session);
    }
    ledger_.Submit(host_, file.id, code, input, LengthOf(request.out, ShapeOf(code).out));
}

void Rig::Run(const Script& script) {
    File files[kMaxFiles];
    const std::size_t fileCount = 1 + script.files % kMaxFiles;
    for (std::size_t i = 0; i < fileCount; ++i) Open(files[i]);

    for (const Operation& o : script.operations) {
        File& file = files[(o.op >> 3) % fileCount];
        if (o.IsRequest()) {
            Request(o, file);
        } else if ((o.op & 7) == kCancel) {
            const std::vector<RequestId> ids = ledger_.Submitted();
            if (!ids.empty()) host_.CancelRequest(ids[o.which % ids.size()]);
        } else if ((o.op & 7) == kReopen) {
            Close(file);
            Open(file);
        } else {
            Drain(file);
        }
    }

    // Closing a file cancels its requests that still wait in a queue; those
    // the input sent reach the driver first, so only parked ones end that way.
    for (std::size_t i = 0; i < fileCount; ++i) {
        if (files[i].id != 0) {
            Drain(files[i]);
            break;
        }
    }
    for (std::size_t i = 0; i < fileCount; ++i) Close(files[i]);
    // Every request has been dispatched, and closing cancelled what was parked.
    ledger_.WaitAll();
    CheckViolations();
    Settle();
}

// Brings the driver back to the state every input starts from, and waits
// until the engine has done the modem work that the input asked for.
void Rig::Settle() {
    File file;
    Open(file);
    if (file.id == 0) Fail("the device refused an open with no other file open");
    if (RadioState != 1)
        ledger_.WaitFor(ledger_.Submit(host_, file.id, IOCTL_GNSS_SEND_DRIVERCOMMAND,
                                       DriverCommand(GNSS_SetLocationServiceEnabled, 1), 0));
    if (SelfTestState != 0) {
        std::vector<std::uint8_t> config(sizeof(GNSS_SELFTESTCONFIG), 0);
        const ULONG testModeOff = 2;
        std::memcpy(config.data() + offsetof(GNSS_SELFTESTCONFIG, TestType), &testModeOff,
                    sizeof testModeOff);
        ledger_.WaitFor(ledger_.Submit(host_, file.id, IOCTL_GNSS_EXECUTE_SELFTEST, config,
                                       sizeof(GNSS_SELFTESTRESULT)));
    }
    // The engine handles its work in order: once the server address posted
    // last reaches the modem, everything before it is done.
    GNSS_SUPL_HSLP_CONFIG marker{};
    marker.Size = sizeof marker;
    marker.Version = GNSS_INTERFACE_VERSION;
    const std::string name = "settle" + std::to_string(++settles_);
    std::snprintf(marker.SuplHslp, sizeof marker.SuplHslp, "%s", name.c_str());
    modem_->Expect("\"" + name + "\"");
    ledger_.WaitFor(ledger_.Submit(host_, file.id, IOCTL_GNSS_SET_SUPL_HSLP, BytesOf(marker), 0));
    host_.CloseFile(file.id);
    ledger_.WaitAll();
    if (!modem_->WaitSeen()) Fail("the engine never sent the settling command");
    CheckViolations();

    // A location request still running belongs to a session no file can stop
    // any more; a fresh device (and modem) ends it.
    const gnss::sim::ModemStatus status = modem_->Status();
    if (status.requestActive || status.commands > kCommandsPerModem) {
        std::fprintf(stderr, "INFO: fuzz_dispatch: a fresh device: %s\n",
                     status.requestActive ? "a location request outlived its session"
                                          : "the modem's record is full");
        if (!NT_SUCCESS(host_.RemoveDevice())) Fail("the device could not be removed");
        modem_->Retire();
        AddDevice();
    }
}

// libFuzzer flags this target runs with unless the command line says
// otherwise.  Every input runs the driver's, the framework's, the engine's
// and the modem's threads:
// - how often those threads pass an edge depends on how they interleave, so
//   hit counts would fill the corpus with inputs that only met a different
//   schedule (and make the entropic schedule's bookkeeping of some 60000
//   features a run most of the run time); edges alone keep the corpus to
//   inputs that reach new code;
// - the modem and the framework keep records that grow with every input, so
//   the per-input balance of allocations never comes out even and each input
//   would be run a second time for a leak scan.  Leaks are found by
//   LeakSanitizer at exit instead, after the driver has been unloaded.
constexpr const char* kDefaultFlags[] = {"-use_counters=0", "-detect_leaks=0"};

void AddDefaultFlags(int* argc, char*** argv) {
    static std::vector<char*> args;
    args.assign(*argv, *argv + *argc);
    for (const char* flag : kDefaultFlags) {
        const std::string_view name(flag, std::strchr(flag, '=') - flag + 1);
        bool given = false;
        for (int i = 1; i < *argc; ++i)
            given = given || std::string_view((*argv)[i]).starts_with(name);
        if (!given) args.push_back(const_cast<char*>(flag));
    }
    *argc = static_cast<int>(args.size());
    args.push_back(nullptr);
    *argv = args.data();
}

Rig* g_rig = nullptr;

void StopRig() {
    if (g_rig == nullptr) return;
    g_rig->Stop();
    delete g_rig;
    g_rig = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    AddDefaultFlags(argc, argv);
    // An explicit GNSS_TIME_SCALE wins; the modem reads it as well.
    setenv("GNSS_TIME_SCALE", kTimeScale, 0);
    gnss::os::SetTimeScale(std::strtod(std::getenv("GNSS_TIME_SCALE"), nullptr));
    // NMEA logging may be switched on by an input: not into the system's logs.
    setenv("GNSS_NMEA_LOG_FILE", "/dev/null", 1);
    g_rig = new Rig;
    g_rig->Start();
    // Registered after the driver's own statics exist, so it runs before
    // they are destroyed.
    std::atexit(StopRig);
    return 0;
}

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t maxSize, unsigned int seed) {
    Random random(seed);
    if (Pick(random, 2) == 0) return LLVMFuzzerMutate(data, size, maxSize);
    Script script = Decode(data, size);
    std::vector<Operation*> requests;
    for (Operation& o : script.operations)
        if (o.IsRequest()) requests.push_back(&o);
    if (requests.empty()) return LLVMFuzzerMutate(data, size, maxSize);
    MutateRequest(*requests[Pick(random, requests.size())], random);
    const std::vector<std::uint8_t> mutated = Encode(script);
    if (mutated.size() > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, mutated.data(), mutated.size());
    return mutated.size();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    g_rig->Run(Decode(data, size));
    return 0;
}
