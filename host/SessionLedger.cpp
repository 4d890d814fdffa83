#include "SessionLedger.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "gnss/protocol/gnss_ddi.h"

namespace gnss::host {
namespace {

// The driver's NMEA count never exceeds this (two listeners' worth).
constexpr unsigned kMaxNmeaCount = 2;
// GNSS_SetNMEALogging values: these two raise the count, every other lowers it;
// 1 lowers it without closing the NMEA log file (0 would close it).
constexpr std::uint32_t kNmeaWithLog = 255;
constexpr std::uint32_t kNmeaWanted = 256;
constexpr std::uint32_t kNmeaNotWanted = 1;
constexpr std::uint32_t kNmeaLogOff = 0;
// Self-test types that switch production test mode on and off.
constexpr std::uint32_t kTestModeOn = 1;
constexpr std::uint32_t kTestModeOff = 2;

std::uint32_t ReadU32(std::span<const std::uint8_t> input, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, input.data() + offset, sizeof value);
    return value;
}

template <class T>
std::vector<std::uint8_t> Bytes(const T& record) {
    std::vector<std::uint8_t> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

UndoRequest StopRequest(std::uint32_t id) {
    GNSS_STOPFIXSESSION_PARAM param{};
    param.Size = sizeof param;
    param.Version = GNSS_INTERFACE_VERSION;
    param.FixSessionID = id;
    return {IOCTL_GNSS_STOP_FIXSESSION, Bytes(param), {RequestEffect::Kind::Stop, id}};
}

UndoRequest NmeaNotWantedRequest() {
    // The command's data follow its fixed part; the record's own size leaves
    // room for them (its data array and padding).
    constexpr std::size_t kData = offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData);
    static_assert(sizeof(GNSS_DRIVERCOMMAND_PARAM) >= kData + sizeof(std::uint32_t));
    GNSS_DRIVERCOMMAND_PARAM param{};
    param.Size = sizeof param;
    param.Version = GNSS_INTERFACE_VERSION;
    param.CommandType = GNSS_SetNMEALogging;
    param.CommandDataSize = sizeof(std::uint32_t);
    std::vector<std::uint8_t> input = Bytes(param);
    std::memcpy(input.data() + kData, &kNmeaNotWanted, sizeof kNmeaNotWanted);
    return {IOCTL_GNSS_SEND_DRIVERCOMMAND, std::move(input),
            {RequestEffect::Kind::NmeaNotWanted, kNmeaNotWanted}};
}

}  // namespace

RequestEffect EffectOf(std::uint32_t controlCode, std::span<const std::uint8_t> input) {
    using Kind = RequestEffect::Kind;
    switch (controlCode) {
        case IOCTL_GNSS_START_FIXSESSION: {
            if (input.size() < sizeof(GNSS_FIXSESSION_PARAM)) return {};
            const std::uint32_t id = ReadU32(input, offsetof(GNSS_FIXSESSION_PARAM, FixSessionID));
            switch (ReadU32(input, offsetof(GNSS_FIXSESSION_PARAM, SessionType))) {
                case GNSS_FixSession_SingleShot: return {Kind::StartSingleShot, id};
                case GNSS_FixSession_ContinuousTracking:
                    return {Kind::StartContinuous, id,
                            ReadU32(input, offsetof(GNSS_FIXSESSION_PARAM, ContinuousParam) +
                                               offsetof(GNSS_CONTINUOUSTRACKING_PARAM,
                                                        PreferredInterval))};
                case GNSS_FixSession_LKG: return {Kind::StartLkg, id};
                default: return {};  // refused by the driver
            }
        }
        case IOCTL_GNSS_STOP_FIXSESSION:
            if (input.size() < sizeof(GNSS_STOPFIXSESSION_PARAM)) return {};
            return {Kind::Stop, ReadU32(input, offsetof(GNSS_STOPFIXSESSION_PARAM, FixSessionID))};
        case IOCTL_GNSS_SEND_DRIVERCOMMAND: {
            // The driver reads a command's data only when CommandDataSize
            // covers them and lies inside the input.
            constexpr std::size_t kData = offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData);
            if (input.size() < sizeof(GNSS_DRIVERCOMMAND_PARAM)) return {};
            const std::uint32_t size =
                ReadU32(input, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandDataSize));
            switch (ReadU32(input, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandType))) {
                case GNSS_SetNMEALogging: {
                    if (size < sizeof(std::uint32_t)) return {};
                    const std::uint32_t value = ReadU32(input, kData);
                    return {value == kNmeaWithLog || value == kNmeaWanted ? Kind::NmeaWanted
                                                                          : Kind::NmeaNotWanted,
                            value};
                }
                case GNSS_SetLocationServiceEnabled:
                    if (size < 1 || size > input.size() - kData) return {};
                    return {Kind::Location, input[kData]};
                default: return {};
            }
        }
        case IOCTL_GNSS_EXECUTE_SELFTEST: {
            if (input.size() < sizeof(GNSS_SELFTESTCONFIG)) return {};
            const std::uint32_t type = ReadU32(input, offsetof(GNSS_SELFTESTCONFIG, TestType));
            if (type == kTestModeOn) return {Kind::TestMode, 1};
            if (type == kTestModeOff) return {Kind::TestMode, 0};
            return {};
        }
        default: return {};
    }
}

void SessionLedger::Applied(std::uint64_t connection, const RequestEffect& effect) {
    using Kind = RequestEffect::Kind;
    if (!effect.Any()) return;
    Entry* entry = nullptr;
    if (connection != kNoConnection) entry = &entries_[connection];
    switch (effect.kind) {
        case Kind::StartSingleShot:
            // A second start on the same file object takes over its slot, as in the driver.
            if (entry != nullptr) entry->singleShot = effect.value;
            break;
        case Kind::StartContinuous:
            if (entry != nullptr) {
                entry->continuous = effect.value;
                entry->interval = effect.interval;
            }
            break;
        case Kind::StartLkg:
            lkg_ = effect.value;
            lkgOwner_ = connection;
            break;
        case Kind::Stop:
            // The driver's order: the last-known-good id first, whoever set
            // it, then the file object's single-shot slot, then its continuous one.
            if (effect.value == lkg_) {
                lkg_ = 0;
                lkgOwner_ = kNoConnection;
            } else if (entry != nullptr && entry->singleShot == effect.value) {
                entry->singleShot = 0;
            } else if (entry != nullptr && entry->continuous == effect.value) {
                entry->continuous = 0;
            }
            break;
        case Kind::NmeaWanted:
            nmeaCount_ = std::min(nmeaCount_ + 1, kMaxNmeaCount);
            if (entry != nullptr) ++entry->nmeaWanted;
            if (effect.value == kNmeaWithLog) nmeaLog_ = true;
            break;
        case Kind::NmeaNotWanted:
            if (nmeaCount_ > 0) --nmeaCount_;
            if (entry != nullptr && entry->nmeaWanted > 0) --entry->nmeaWanted;
            if (effect.value == kNmeaLogOff) nmeaLog_ = false;
            break;
        case Kind::Location: location_ = effect.value == 1; break;
        case Kind::TestMode: testMode_ = effect.value != 0; break;
        case Kind::None: break;
    }
}

bool SessionLedger::Holds(std::uint64_t connection) const {
    if (lkgOwner_ == connection && lkg_ != 0) return true;
    const auto it = entries_.find(connection);
    return it != entries_.end() &&
           (it->second.singleShot != 0 || it->second.continuous != 0 || it->second.nmeaWanted != 0);
}

std::vector<SessionLedger::Session> SessionLedger::Sessions() const {
    std::vector<Session> sessions;
    for (const auto& [connection, entry] : entries_) {
        if (entry.singleShot != 0) sessions.push_back({connection, entry.singleShot, false, 0});
        if (entry.continuous != 0)
            sessions.push_back({connection, entry.continuous, true, entry.interval});
    }
    return sessions;
}

std::vector<UndoRequest> SessionLedger::TakeUndo(std::uint64_t connection) {
    std::vector<UndoRequest> undo;
    const auto it = entries_.find(connection);
    const Entry entry = it != entries_.end() ? it->second : Entry{};
    if (it != entries_.end()) entries_.erase(it);

    // The stops, in the order the driver matches them.  An id 0 names no
    // session (an empty slot), so a session started as 0 cannot be stopped.
    std::uint32_t lkg = lkg_;
    if (lkgOwner_ == connection && lkg != 0) {
        undo.push_back(StopRequest(lkg));
        lkg = 0;
    }
    for (const std::uint32_t id : {entry.singleShot, entry.continuous}) {
        if (id == 0) continue;
        // Another connection's last-known-good id that equals this session's
        // hides the session from a stop: the first stop clears that id, the
        // second stops the session, which counts for more (a client of the
        // engine and a tracking modem against a cached fix).
        if (id == lkg) {
            undo.push_back(StopRequest(id));
            lkg = 0;
        }
        undo.push_back(StopRequest(id));
    }

    // The NMEA lowerings: the driver's count goes down to what the other
    // connections still want, and by no more than this one raised it.
    unsigned othersWant = 0;
    for (const auto& [id, other] : entries_) othersWant += other.nmeaWanted;
    const unsigned target = std::min(othersWant, kMaxNmeaCount);
    const unsigned excess = nmeaCount_ > target ? nmeaCount_ - target : 0;
    for (unsigned i = 0; i < std::min(entry.nmeaWanted, excess); ++i)
        undo.push_back(NmeaNotWantedRequest());
    return undo;
}

}  // namespace gnss::host
