// Frames of the device socket, the local stand-in for the GNSS device
// interface that gnssd serves and the client library speaks.
//
// The socket is a Unix-domain SOCK_SEQPACKET socket: every send is one frame
// and every receive returns one whole frame, so frames carry no delimiter.
// Everything is in native byte order (both ends run on the same machine).
// Every frame starts with the same 8-byte prefix:
//
//   offset size
//   0      4    magic    kFrameMagic ("GNSF" in memory on little-endian hosts)
//   4      2    version  kFrameVersion
//   6      2    type     FrameType
//
// Client to server:
//   device control (type 1): prefix, tag u64, control code u32, input length
//     u32, output length u32, reserved u32 (0), then exactly `input length`
//     bytes of input.  32-byte header.
//   cancel (type 2): prefix, tag u64 of the request to cancel, then three
//     words and the reserved word, all 0.  Exactly 32 bytes.
//   host query (type 3): the device-control layout, the control code being a
//     query of gnssd itself rather than of the driver (kHostQueryStatus), no
//     input.  gnssd answers it at once with a completion of the same tag;
//     the driver never sees it.
// Server to client:
//   open result (type 0x81): prefix, status i32, interface version u32.
//     Exactly 16 bytes; the first frame on every connection.  A failure
//     status means the server refused the open and closes the connection:
//     STATUS_NOT_SUPPORTED when the driver's three session slots are taken,
//     STATUS_NO_SUCH_DEVICE while no modem is attached.  Before it closes,
//     gnssd sends one completion of tag 0 (no request carries it: a refused
//     connection has sent none) with the status answer of kHostQueryStatus,
//     so that the client can say why; a client may close without reading it.
//   completion (type 0x82): prefix, tag u64, status i32, output count u32,
//     information u64, then exactly `output count` bytes of output.  32-byte
//     header.  The output count never exceeds the information, nor the output
//     length of the request; the information may exceed the output count
//     (a request without output buffer completed with information 4).
//
// Input and output lengths are limited to 64 KiB each.  The decoders accept
// exactly what the encoders produce and name the first fault they find.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "gnss/protocol/status.h"
#include "gnss/protocol/types.h"

namespace gnss::frame {

inline constexpr std::uint32_t kFrameMagic = 0x46534E47u;  // bytes 'G' 'N' 'S' 'F' on little-endian
inline constexpr std::uint16_t kFrameVersion = 1;

inline constexpr std::size_t kMaxInputLength = 64 * 1024;

// Host query codes.  Status: what gnssd knows of its clients and of the
// driver's module-wide switches, as UTF-8 text lines "key value...", each
// ending in a newline, in this order:
//   "connections N"        (this one included)
//   "session ID single-shot|continuous INTERVAL"  one per fix session a
//                          connection started and has not stopped (INTERVAL
//                          in seconds, 0 for single shots)
//   "nmea-wanted N"        the driver's NMEA count
//   "lkg ID"               the driver's one last-known-good session; only while set
//   "nmea-lost N"          NMEA blocks the driver's queue has dropped since
//                          gnssd started
//   "location on|off"      the location service (on when the module loads)
//   "test-mode on|off"     production test mode (self-test type 1 on, type 2 off)
//   "nmea-log on|off"      the NMEA log file switch (GNSS_SetNMEALogging 255
//                          on, 0 off; off when the module loads)
//   "nmea-log-path PATH"   where the driver writes that file (the rest of the line)
//   "nmea-log-file present|missing"    only while the switch is on
//   "nmea-log-folder present|missing"  the file's folder, only while the
//                          switch is on: the driver creates the file, never
//                          its folder, and the switch is on even when the
//                          file could not be created
//   "modem attached" or "modem waiting [WHAT]"  whether a modem is attached;
//                          WHAT (the rest of the line) is what gnssd waits
//                          for: the modem's tty path, or its --modem text
// The switches follow requests that completed with success; gnssd loads the
// module itself and sees every request.  Clients ignore lines they do not
// know: later versions may add some.  Unknown codes complete with
// STATUS_NOT_SUPPORTED; an answer longer than the output length with
// STATUS_BUFFER_TOO_SMALL and its length as the information.
inline constexpr std::uint32_t kHostQueryStatus = 1;
inline constexpr std::size_t kMaxOutputLength = 64 * 1024;

enum class FrameType : std::uint16_t {
    DeviceControl = 0x0001,
    Cancel = 0x0002,
    HostQuery = 0x0003,
    OpenResult = 0x0081,
    Completion = 0x0082,
};

struct FramePrefix {
    std::uint32_t magic;
    std::uint16_t version;
    std::uint16_t type;
};

struct RequestHeader {
    FramePrefix prefix;
    std::uint64_t tag;
    std::uint32_t controlCode;
    std::uint32_t inputLength;
    std::uint32_t outputLength;
    std::uint32_t reserved;
};

struct OpenResultFrame {
    FramePrefix prefix;
    std::int32_t status;
    std::uint32_t interfaceVersion;
};

struct CompletionHeader {
    FramePrefix prefix;
    std::uint64_t tag;
    std::int32_t status;
    std::uint32_t outputCount;
    std::uint64_t information;
};

static_assert(std::is_trivially_copyable_v<RequestHeader> && std::is_standard_layout_v<RequestHeader>);
static_assert(std::is_trivially_copyable_v<CompletionHeader> &&
              std::is_standard_layout_v<CompletionHeader>);
static_assert(sizeof(FramePrefix) == 8);
static_assert(sizeof(RequestHeader) == 32);
static_assert(offsetof(RequestHeader, tag) == 8);
static_assert(offsetof(RequestHeader, controlCode) == 16);
static_assert(offsetof(RequestHeader, inputLength) == 20);
static_assert(offsetof(RequestHeader, outputLength) == 24);
static_assert(offsetof(RequestHeader, reserved) == 28);
static_assert(sizeof(OpenResultFrame) == 16);
static_assert(offsetof(OpenResultFrame, status) == 8);
static_assert(offsetof(OpenResultFrame, interfaceVersion) == 12);
static_assert(sizeof(CompletionHeader) == 32);
static_assert(offsetof(CompletionHeader, tag) == 8);
static_assert(offsetof(CompletionHeader, status) == 16);
static_assert(offsetof(CompletionHeader, outputCount) == 20);
static_assert(offsetof(CompletionHeader, information) == 24);

inline constexpr std::size_t kRequestHeaderSize = sizeof(RequestHeader);
inline constexpr std::size_t kCompletionHeaderSize = sizeof(CompletionHeader);
inline constexpr std::size_t kOpenResultSize = sizeof(OpenResultFrame);
inline constexpr std::size_t kMaxRequestFrame = kRequestHeaderSize + kMaxInputLength;
inline constexpr std::size_t kMaxCompletionFrame = kCompletionHeaderSize + kMaxOutputLength;
// The largest frame either side ever has to receive.
inline constexpr std::size_t kMaxFrame =
    kMaxRequestFrame > kMaxCompletionFrame ? kMaxRequestFrame : kMaxCompletionFrame;

enum class FrameError {
    None,
    ShortFrame,           // fewer bytes than the frame's header
    OversizedFrame,       // a length above 64 KiB, or a frame longer than any valid one
    BadMagic,
    BadVersion,
    UnknownType,          // not a type this side accepts
    InconsistentLengths,  // the declared lengths do not match the frame
    ReservedNotZero,      // a reserved word (or a cancel's unused field) is not 0
};

constexpr const char* FrameErrorText(FrameError e) {
    switch (e) {
        case FrameError::None: return "no error";
        case FrameError::ShortFrame: return "short frame";
        case FrameError::OversizedFrame: return "oversized frame";
        case FrameError::BadMagic: return "wrong magic";
        case FrameError::BadVersion: return "wrong protocol version";
        case FrameError::UnknownType: return "unknown frame type";
        case FrameError::InconsistentLengths: return "inconsistent lengths";
        case FrameError::ReservedNotZero: return "reserved field not zero";
    }
    return "unknown frame error";
}

// A decoded client frame.  `input` points into the decoded bytes.
struct Request {
    FrameType type = FrameType::DeviceControl;
    std::uint64_t tag = 0;
    std::uint32_t controlCode = 0;
    std::uint32_t outputLength = 0;
    std::span<const std::uint8_t> input;
};

struct OpenResult {
    NTSTATUS status = 0;
    std::uint32_t interfaceVersion = 0;
};

// A decoded completion.  `output` points into the decoded bytes.
struct Completion {
    std::uint64_t tag = 0;
    NTSTATUS status = 0;
    std::uint64_t information = 0;
    std::span<const std::uint8_t> output;
};

namespace detail {

template <class T>
inline T Load(std::span<const std::uint8_t> bytes) {
    T value;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

template <class T>
inline void Append(std::vector<std::uint8_t>& out, const T& value) {
    const std::size_t used = out.size();
    out.resize(used + sizeof value);
    std::memcpy(out.data() + used, &value, sizeof value);
}

constexpr FramePrefix Prefix(FrameType type) {
    return FramePrefix{kFrameMagic, kFrameVersion, static_cast<std::uint16_t>(type)};
}

// Checks the prefix common to every frame; `accept` tells which types this side takes.
template <class Accept>
inline FrameError CheckPrefix(std::span<const std::uint8_t> bytes, Accept accept, FrameType* type) {
    if (bytes.size() < sizeof(FramePrefix)) return FrameError::ShortFrame;
    const auto prefix = Load<FramePrefix>(bytes);
    if (prefix.magic != kFrameMagic) return FrameError::BadMagic;
    if (prefix.version != kFrameVersion) return FrameError::BadVersion;
    const auto t = static_cast<FrameType>(prefix.type);
    if (!accept(t)) return FrameError::UnknownType;
    *type = t;
    return FrameError::None;
}

}  // namespace detail

// --- encoders -----------------------------------------------------------------
// Each returns FrameError::None and fills `out` (replacing its content), or the
// reason the frame cannot be built, leaving `out` empty.

inline FrameError EncodeDeviceControl(std::uint64_t tag, std::uint32_t controlCode,
                                      std::span<const std::uint8_t> input,
                                      std::size_t outputLength, std::vector<std::uint8_t>& out) {
    out.clear();
    if (input.size() > kMaxInputLength || outputLength > kMaxOutputLength)
        return FrameError::OversizedFrame;
    const RequestHeader header{detail::Prefix(FrameType::DeviceControl), tag, controlCode,
                               static_cast<std::uint32_t>(input.size()),
                               static_cast<std::uint32_t>(outputLength), 0};
    out.reserve(kRequestHeaderSize + input.size());
    detail::Append(out, header);
    out.insert(out.end(), input.begin(), input.end());
    return FrameError::None;
}

inline std::vector<std::uint8_t> EncodeHostQuery(std::uint64_t tag, std::uint32_t query,
                                                 std::uint32_t outputLength) {
    std::vector<std::uint8_t> out;
    detail::Append(out, RequestHeader{detail::Prefix(FrameType::HostQuery), tag, query, 0,
                                      outputLength, 0});
    return out;
}

inline std::vector<std::uint8_t> EncodeCancel(std::uint64_t tag) {
    std::vector<std::uint8_t> out;
    detail::Append(out, RequestHeader{detail::Prefix(FrameType::Cancel), tag, 0, 0, 0, 0});
    return out;
}

inline std::vector<std::uint8_t> EncodeOpenResult(NTSTATUS status, std::uint32_t interfaceVersion) {
    std::vector<std::uint8_t> out;
    detail::Append(out, OpenResultFrame{detail::Prefix(FrameType::OpenResult), status, interfaceVersion});
    return out;
}

inline FrameError EncodeCompletion(std::uint64_t tag, NTSTATUS status, std::uint64_t information,
                                   std::span<const std::uint8_t> output,
                                   std::vector<std::uint8_t>& out) {
    out.clear();
    if (output.size() > kMaxOutputLength) return FrameError::OversizedFrame;
    if (output.size() > information) return FrameError::InconsistentLengths;
    const CompletionHeader header{detail::Prefix(FrameType::Completion), tag, status,
                                  static_cast<std::uint32_t>(output.size()), information};
    out.reserve(kCompletionHeaderSize + output.size());
    detail::Append(out, header);
    out.insert(out.end(), output.begin(), output.end());
    return FrameError::None;
}

// --- decoders -----------------------------------------------------------------

// A frame the server receives: device control or cancel.
inline FrameError DecodeRequest(std::span<const std::uint8_t> bytes, Request& out) {
    FrameType type{};
    const FrameError e = detail::CheckPrefix(
        bytes,
        [](FrameType t) {
            return t == FrameType::DeviceControl || t == FrameType::Cancel ||
                   t == FrameType::HostQuery;
        },
        &type);
    if (e != FrameError::None) return e;
    if (bytes.size() < kRequestHeaderSize) return FrameError::ShortFrame;
    if (bytes.size() > kMaxRequestFrame) return FrameError::OversizedFrame;
    const auto h = detail::Load<RequestHeader>(bytes);
    if (h.inputLength > kMaxInputLength || h.outputLength > kMaxOutputLength)
        return FrameError::OversizedFrame;
    if (bytes.size() - kRequestHeaderSize != h.inputLength) return FrameError::InconsistentLengths;
    if (h.reserved != 0) return FrameError::ReservedNotZero;
    if (type == FrameType::Cancel) {
        if (h.inputLength != 0 || h.outputLength != 0) return FrameError::InconsistentLengths;
        if (h.controlCode != 0) return FrameError::ReservedNotZero;
    }
    if (type == FrameType::HostQuery && h.inputLength != 0) return FrameError::InconsistentLengths;
    out.type = type;
    out.tag = h.tag;
    out.controlCode = h.controlCode;
    out.outputLength = h.outputLength;
    out.input = bytes.subspan(kRequestHeaderSize, h.inputLength);
    return FrameError::None;
}

// The frame type of a server frame, after checking its prefix.
inline FrameError PeekServerFrameType(std::span<const std::uint8_t> bytes, FrameType& type) {
    return detail::CheckPrefix(
        bytes,
        [](FrameType t) { return t == FrameType::OpenResult || t == FrameType::Completion; },
        &type);
}

inline FrameError DecodeOpenResult(std::span<const std::uint8_t> bytes, OpenResult& out) {
    FrameType type{};
    const FrameError e = detail::CheckPrefix(
        bytes, [](FrameType t) { return t == FrameType::OpenResult; }, &type);
    if (e != FrameError::None) return e;
    if (bytes.size() < kOpenResultSize) return FrameError::ShortFrame;
    if (bytes.size() != kOpenResultSize) return FrameError::InconsistentLengths;
    const auto f = detail::Load<OpenResultFrame>(bytes);
    out.status = f.status;
    out.interfaceVersion = f.interfaceVersion;
    return FrameError::None;
}

inline FrameError DecodeCompletion(std::span<const std::uint8_t> bytes, Completion& out) {
    FrameType type{};
    const FrameError e = detail::CheckPrefix(
        bytes, [](FrameType t) { return t == FrameType::Completion; }, &type);
    if (e != FrameError::None) return e;
    if (bytes.size() < kCompletionHeaderSize) return FrameError::ShortFrame;
    if (bytes.size() > kMaxCompletionFrame) return FrameError::OversizedFrame;
    const auto h = detail::Load<CompletionHeader>(bytes);
    if (h.outputCount > kMaxOutputLength) return FrameError::OversizedFrame;
    if (bytes.size() - kCompletionHeaderSize != h.outputCount || h.outputCount > h.information)
        return FrameError::InconsistentLengths;
    out.tag = h.tag;
    out.status = h.status;
    out.information = h.information;
    out.output = bytes.subspan(kCompletionHeaderSize, h.outputCount);
    return FrameError::None;
}

// --- the socket's address -------------------------------------------------------

// The folder of a user's own socket: $XDG_RUNTIME_DIR when it is set to an
// absolute path, else /tmp/gnss-<uid>.  Only that user may own and enter it,
// so nobody else can put a socket of theirs where the user's clients look.
// Empty for root, whose daemon listens in /run/gnss.
inline std::string UserSocketFolder(uid_t uid, const char* runtimeDir) {
    if (uid == 0) return {};
    if (runtimeDir != nullptr && *runtimeDir == '/') return runtimeDir;
    return "/tmp/gnss-" + std::to_string(uid);
}

// The folder for this process: its effective user and environment.
inline std::string UserSocketFolder() {
    return UserSocketFolder(::geteuid(), std::getenv("XDG_RUNTIME_DIR"));
}

// The socket of the system's gnssd, which serves everyone in its group.
inline constexpr const char* kSystemSocketPath = "/run/gnss/gnss.sock";

// Names the socket to use instead of the defaults, for gnssd and clients alike.
inline constexpr const char* kSocketEnvironment = "GNSS_SOCKET";

// Where gnssd listens unless told otherwise: /run/gnss/gnss.sock for root,
// else gnss.sock in UserSocketFolder().
inline std::string DefaultSocketPath() {
    const std::string folder = UserSocketFolder();
    return folder.empty() ? kSystemSocketPath : folder + "/gnss.sock";
}

// The socket a client uses unless told otherwise: `fromEnvironment` when it
// is set and not empty, else `systemSocket` when a socket is there (so a
// user reaches the system's gnssd), else `ownSocket`.
inline std::string ClientSocketPath(const char* fromEnvironment, const std::string& systemSocket,
                                    const std::string& ownSocket) {
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
    struct stat st{};
    if (::stat(systemSocket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return systemSocket;
    return ownSocket;
}

// The same for this process: $GNSS_SOCKET, /run/gnss/gnss.sock, DefaultSocketPath().
inline std::string ClientSocketPath() {
    return ClientSocketPath(std::getenv(kSocketEnvironment), kSystemSocketPath,
                            DefaultSocketPath());
}

// The folder part of a socket path ("" for a bare name).
inline std::string SocketFolderOf(const std::string& socketPath) {
    const auto slash = socketPath.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : socketPath.substr(0, slash);
}

// Checks that `folder` is private to `uid`: a directory itself (lstat, so not
// a link to one), owned by `uid`, with no access for group or others.  On
// failure `error` names the folder and what is wrong with it.
inline bool CheckPrivateFolder(const std::string& folder, uid_t uid, std::string& error) {
    struct stat st{};
    const std::string name = "the socket folder " + folder;
    if (::lstat(folder.c_str(), &st) != 0) {
        error = name + " cannot be examined: " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        error = name + " is a symbolic link, not a directory of its own";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = name + " is not a directory";
        return false;
    }
    if (st.st_uid != uid) {
        error = name + " belongs to uid " + std::to_string(st.st_uid) + ", not to uid " +
                std::to_string(uid);
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = name + " is open to group or others (mode " + mode + "; it must be 0700)";
        return false;
    }
    return true;
}

}  // namespace gnss::frame
