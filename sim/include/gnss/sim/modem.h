// The simulated modem: a USB cellular modem with a GNSS receiver, reached
// through AT command lines on a byte stream.
//
// The host writes command bytes with Write (the bulk OUT pipe) and reads the
// modem's output with Read (the bulk IN pipe); SetControlLines stands for the
// class request that sets DTR and RTS.  Every member function may be called
// from any thread.  The modem runs one thread of its own that puts out the
// unsolicited reports; the destructor stops it.
//
// Behaviour in short (sim/README.md has the details):
// - A command is complete at its carriage return; line feeds and zero bytes
//   are ignored (with the option linefeed=end a line feed ends a command
//   too).  With echo on (after power-up, until ATE0) the command line comes
//   back first.
// - Answers are framed "\r\n<line>\r\n"; an answer ends with OK or ERROR.
// - A location request (AT+XLCSLSR) answers "+XLCSLSR: request id <n>" and
//   OK, then reports positions unsolicited: each report is one line followed
//   by an OK line, each NMEA block the sentences followed by an OK line.
// - With DTR low (and honourDtr set) commands are recorded but neither carried
//   out nor answered, the running location request ends and pending output
//   is dropped; raising DTR again makes the modem answer again.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gnss/sim/options.h"

namespace gnss::sim {

enum class ReadStatus {
    Data,       // `bytes` bytes were read
    TimedOut,   // nothing to read within the time-out
    Cancelled,  // CancelRead was called while waiting
    Closed,     // Close was called
    Unplugged,  // the modem is gone
};

struct ReadResult {
    ReadStatus status = ReadStatus::TimedOut;
    std::size_t bytes = 0;
};

// One command as received: `raw` holds its bytes exactly as written, from its
// first byte through its carriage return, with the line feeds and zero bytes
// that followed it; `text` is the command line the modem carried out.
struct CommandRecord {
    std::string raw;
    std::string text;
};

struct Certificate {
    unsigned totalLength = 0;  // as announced by the pieces
    unsigned pieces = 0;
    std::string text;  // the pieces joined
    bool complete = false;  // text length reached the total length
};

struct ClockSetting {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;  // year as sent (two digits)
    std::string text;  // between the quotes
};

struct NiAnswer {
    int verdict = 0;  // 1 accept, 0 deny
    unsigned requestId = 0;
};

// What the host has set in the modem.
struct ModemSettings {
    std::optional<std::string> suplServer;  // AT+XLCSSLP host
    std::string suplPort;
    std::optional<unsigned> suplVersion;     // AT+XLCSSUPLVER
    std::optional<std::string> apn;          // AT+XLCSSTOREAPN
    std::optional<ClockSetting> clock;       // AT+CCLK
    std::vector<Certificate> certificates;   // AT+XLTC, in order of their first piece
    unsigned terminations = 0;               // AT+XLCSTER=1 count
    std::vector<unsigned> nvramClears;       // AT+XLGNVRAM masks
    std::optional<std::array<unsigned, 4>> qualityOfService;  // AT+XLCSLQOS, as sent
    std::vector<NiAnswer> niAnswers;         // AT+XLCSLRMT=<verdict>,<id>
    int niAllowed = 1;                       // AT+XLCSLRMT=<v>; 1 after power-up
};

struct ModemStatus {
    bool plugged = true;
    bool closed = false;
    bool echo = true;
    bool dtr = true, rts = true;
    unsigned controlLineRequests = 0;
    bool receiverOn = false;
    bool agnssOn = false, pgnssOn = false;  // the parts switched with modes 0 and 3
    bool productionTestMode = false;
    bool requestActive = false;
    unsigned requestId = 0;         // of the running (or last) location request
    unsigned requestInterval = 0;   // 0: single fix
    bool requestNmea = false;
    unsigned requestsStarted = 0;
    unsigned stops = 0;
    unsigned commands = 0;
    unsigned reports = 0;
    unsigned positionErrors = 0;
    unsigned nmeaBlocks = 0;
    std::size_t replayEpochs = 0;   // in the capture
    std::size_t replayPlayed = 0;   // epochs played so far (all loops)
    bool replayFinished = false;    // the capture has been played to its end (no loop)
    std::size_t pendingOutputBytes = 0;
    unsigned droppedBlocks = 0;  // unsolicited blocks lost while 1 MiB of output stayed unread
};

class Modem {
public:
    // Throws std::runtime_error when the replay capture or the record file
    // cannot be opened, OptionError on options out of range.
    explicit Modem(ModemOptions options = DefaultModemOptions());
    ~Modem();
    Modem(const Modem&) = delete;
    Modem& operator=(const Modem&) = delete;

    // Bytes the host wrote; returns the number accepted (all of them, or 0
    // once the modem is unplugged or closed).
    std::size_t Write(const std::uint8_t* data, std::size_t length);
    std::size_t Write(std::string_view text) {
        return Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }

    // Waits up to `timeout` for output and copies at most `capacity` bytes.
    // One read returns bytes of one output block (an echo, an answer, a report
    // block), or less under the split and nul faults.  A capacity of 0 returns
    // Data with 0 bytes at once.
    ReadResult Read(std::uint8_t* buffer, std::size_t capacity, std::chrono::milliseconds timeout);

    // Ends every Read that is waiting now with ReadStatus::Cancelled.  With
    // no read waiting, the next Read returns Cancelled at once instead (so a
    // reader that is just about to wait cannot miss the cancel); reads after
    // that wait as usual.
    void CancelRead();
    // Ends the modem for good: waiting and later reads return Closed, writes 0.
    void Close();

    // The host's set-control-line-state request.
    void SetControlLines(bool dtr, bool rts);

    // Drops the modem off the bus: output is lost, reads return Unplugged,
    // writes 0.
    void Unplug();

    // Faults, changeable at any time.
    void AddFault(const Fault& fault);
    void SetFaults(const std::vector<Fault>& faults);
    void ClearFaults();
    std::vector<Fault> Faults() const;

    ModemStatus Status() const;
    ModemSettings Settings() const;
    // The latest 10000 commands, oldest first.
    std::vector<CommandRecord> Commands() const;
    // What Write accepted, in order: everything, or at least the latest
    // 512 KiB once more than 1 MiB came.
    std::string ReceivedBytes() const;
    const ModemOptions& Options() const;

    // Waits until the replay has played its capture to the end (never with
    // replay loop on or without replay); true when it has.
    bool WaitReplayFinished(std::chrono::milliseconds timeout);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace gnss::sim
