// What a connection's requests leave running in the driver after its file
// object has closed, so that the server can undo it when the connection ends.
//
// The driver keeps a fix session running after the file object that started
// it has closed (the engine goes on counting it as a client and the modem
// goes on tracking), and it counts NMEA requests module-wide: driver command
// GNSS_SetNMEALogging with 255 or 256 raises the count (capped at 2), any
// other value lowers it (floored at 0).  The ledger follows every such request
// that completed with success and, when a connection ends, names the requests
// that undo what that connection left: a stop for each of its sessions (the
// single-shot and continuous slots of its file object and the last-known-good
// id it set), then as many GNSS_SetNMEALogging 1 as bring the driver's count
// down to what the remaining connections still want.
//
// The NMEA log file that a value 255 opened is left open: a lowering with 1
// does not close it.  The file is the daemon's switch (`gnssctl nmea --log on`
// is a connection that ends at once), not a resource of the connection; with
// nobody wanting NMEA the modem sends none and nothing is written to it, and
// the next client that wants NMEA finds it recording.  Only value 0 closes it.
//
// The ledger also follows the driver's module-wide switches for gnssd's status
// answer: the location service (on at module load; GNSS_SetLocationServiceEnabled
// sets it), production test mode (off at load; a self-test of type 1 turns it
// on, type 2 off) and the NMEA log file (closed at load; 255 opens it, 0
// closes it).  gnssd loads the module itself and sees every request, so these
// start known and stay known.  They belong to no connection and are never undone.
//
// Loop thread only: no locking.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "gnss/protocol/status.h"

namespace gnss::host {

// What one request changes in the driver once it has completed with success.
struct RequestEffect {
    enum class Kind : std::uint8_t {
        None,
        StartSingleShot,  // value: the session id
        StartContinuous,
        StartLkg,
        Stop,
        NmeaWanted,     // value: the GNSS_SetNMEALogging data (255 or 256)
        NmeaNotWanted,  // any other GNSS_SetNMEALogging data
        Location,       // value: the GNSS_SetLocationServiceEnabled byte (1: on)
        TestMode,       // value: 1 on (self-test type 1), 0 off (type 2)
    };
    Kind kind = Kind::None;
    std::uint32_t value = 0;
    std::uint32_t interval = 0;  // StartContinuous: the preferred interval, seconds

    bool Any() const { return kind != Kind::None; }
    // Whether the request changed the driver when it completed with `status`.
    // The driver sets its location state before it asks the modem, so a
    // modem that refuses the switch (STATUS_INTERNAL_ERROR) leaves it set.
    bool TookEffect(NTSTATUS status) const {
        return NT_SUCCESS(status) || (kind == Kind::Location && status == STATUS_INTERNAL_ERROR);
    }
};

// Judged from the control code and the input alone, by the lengths the
// driver's handlers require; None for every request the ledger ignores.
RequestEffect EffectOf(std::uint32_t controlCode, std::span<const std::uint8_t> input);

// One request the server sends on a connection's file object to undo what the
// connection left.
struct UndoRequest {
    std::uint32_t controlCode = 0;
    std::vector<std::uint8_t> input;
    RequestEffect effect;  // to be Applied (to kNoConnection) once it succeeds
};

class SessionLedger {
public:
    // The connection of the undo requests, which belong to nobody.
    static constexpr std::uint64_t kNoConnection = 0;

    // A request of `connection` completed with success.
    void Applied(std::uint64_t connection, const RequestEffect& effect);
    // The requests that undo what `connection` left, in the order to send
    // them; the connection is forgotten.
    std::vector<UndoRequest> TakeUndo(std::uint64_t connection);
    // Forgets a connection whose file object the driver has closed already
    // (a removed device keeps nothing of it).
    void Forget(std::uint64_t connection) { entries_.erase(connection); }

    // True while the connection has left anything to undo.
    bool Holds(std::uint64_t connection) const;

    // The driver's NMEA count as the requests seen so far have left it.
    unsigned NmeaCount() const { return nmeaCount_; }
    // The driver's last-known-good session id as the requests have left it (0: none).
    std::uint32_t LkgId() const { return lkg_; }

    // The fix sessions connections started and have not stopped (a single
    // shot that has delivered its fix counts until its stop), for gnssd's
    // status answer.
    struct Session {
        std::uint64_t connection;
        std::uint32_t id;
        bool continuous;
        std::uint32_t interval;  // seconds; 0 for a single shot
    };
    std::vector<Session> Sessions() const;

    // The driver's module-wide switches as the requests have left them.
    bool LocationOn() const { return location_; }
    bool TestModeOn() const { return testMode_; }
    bool NmeaLogOn() const { return nmeaLog_; }

private:
    struct Entry {
        std::uint32_t singleShot = 0;  // the file object's slots; 0 = no session
        std::uint32_t continuous = 0;
        std::uint32_t interval = 0;  // of the continuous session
        unsigned nmeaWanted = 0;  // its raises that it has not lowered again
    };

    std::map<std::uint64_t, Entry> entries_;
    std::uint32_t lkg_ = 0;  // the driver's one last-known-good id, module-wide
    std::uint64_t lkgOwner_ = kNoConnection;
    unsigned nmeaCount_ = 0;
    bool location_ = true;
    bool testMode_ = false;
    bool nmeaLog_ = false;  // the driver was asked to open its log file (255), not to close it (0)
};

}  // namespace gnss::host
