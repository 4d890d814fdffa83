#include "gnss/sim/modem.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "gnss/sim/receiver.h"
#include "gnss/sim/report.h"

namespace gnss::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxCommandLine = 1024;  // longer lines are answered ERROR
// Unread output beyond this makes the modem drop its unsolicited blocks, as a
// modem whose host does not read loses them; answers are always kept.
constexpr std::size_t kMaxUnreadOutput = 1 << 20;
// How much of what the host sent the modem keeps (Commands, ReceivedBytes).
constexpr std::size_t kKeptCommands = 10000;
constexpr std::size_t kKeptBytes = 1 << 20;
constexpr const char* kJunk = "\r\nERROR";     // what a host would see if it read past a zero byte

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && Upper(text.substr(0, prefix.size())) == Upper(prefix);
}

std::vector<std::string> SplitCommas(std::string_view text) {
    std::vector<std::string> out;
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = text.find(',', begin);
        out.emplace_back(text.substr(begin, comma == std::string_view::npos ? std::string_view::npos : comma - begin));
        if (comma == std::string_view::npos) return out;
        begin = comma + 1;
    }
}

bool Unsigned(std::string_view text, unsigned max, unsigned& out) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > max) return false;
    out = static_cast<unsigned>(value);
    return true;
}

// `"text"` -> text; false when the quotes are missing.
bool Unquote(std::string_view text, std::string& out) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
    out = std::string(text.substr(1, text.size() - 2));
    return true;
}

// Splits `count` comma-separated unsigned numbers off the end of `text`;
// `head` receives what stands before them.
bool TrailingNumbers(std::string_view text, std::size_t count, std::string_view& head, std::vector<unsigned>& numbers) {
    numbers.assign(count, 0);
    for (std::size_t i = count; i-- > 0;) {
        const std::size_t comma = text.rfind(',');
        if (comma == std::string_view::npos) return false;
        if (!Unsigned(text.substr(comma + 1), 0xFFFFFFFFu, numbers[i])) return false;
        text = text.substr(0, comma);
    }
    head = text;
    return true;
}

std::string Frame(const std::string& line) { return "\r\n" + line + "\r\n"; }

// Spectrum analyzer output lines never run 14 or 15 characters (a host would
// take those for an IMSI) and never begin with "$", "+", "OK" or "ERROR".
std::string SpectrumLine(std::string line) {
    while (line.size() == 14 || line.size() == 15) line += " -";
    return line;
}

struct Answer {
    std::vector<std::string> lines;  // intermediate lines
    bool ok = true;
    std::vector<std::string> after;  // unsolicited lines that follow the final result
};

Answer Ok() { return Answer{}; }
Answer Err() {
    Answer a;
    a.ok = false;
    return a;
}
Answer Lines(std::vector<std::string> lines) {
    Answer a;
    a.lines = std::move(lines);
    return a;
}

}  // namespace

struct Modem::Impl {
    struct Block {
        std::string bytes;
        std::size_t offset = 0;
        Clock::time_point due;
    };
    struct Request {
        bool active = false;
        unsigned id = 0;
        unsigned interval = 0;  // 0: single fix
        bool nmea = false;
        int mode = 1;
        std::int64_t nextEpoch = 0;  // UTC second of the next report
    };

    explicit Impl(ModemOptions o) : options(std::move(o)) {
        if (!(options.timeScale > 0.0) || options.timeScale > 1.0)
            throw OptionError("time scale must lie in (0, 1], not " + std::to_string(options.timeScale));
        origin = Clock::now();
        if (!options.start) {
            options.start = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        }
        startUnix = *options.start;
        echo = options.echo;
        if (!options.replayPath.empty()) {
            capture = LoadCapture(options.replayPath, startUnix);
        } else {
            synthetic.emplace(options);
        }
        if (!options.recordPath.empty()) {
            record.open(options.recordPath, std::ios::binary | std::ios::app);
            if (!record) throw std::runtime_error("cannot open the record file '" + options.recordPath + "'");
        }
        for (const Fault& fault : options.faults) AddFaultLocked(fault);
        timer = std::thread([this] { TimerLoop(); });
    }

    ~Impl() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
            closed = true;
            ClearOutput();
        }
        readable.notify_all();
        timerWake.notify_all();
        replayCv.notify_all();
        timer.join();
    }

    // ---- time ----------------------------------------------------------

    double ReceiverSeconds(Clock::time_point at) const {
        return startUnix + std::chrono::duration<double>(at - origin).count() / options.timeScale;
    }
    Clock::time_point DueOf(std::int64_t unixSecond) const {
        const double real = static_cast<double>(unixSecond - startUnix) * options.timeScale;
        return origin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(real));
    }
    Clock::duration Scaled(double seconds) const {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds * options.timeScale));
    }

    // ---- faults --------------------------------------------------------

    const Fault* Matching(Fault::Kind kind, std::string_view command) const {
        for (const Fault& f : faults)
            if (f.kind == kind && (f.prefix.empty() || StartsWithNoCase(command, f.prefix))) return &f;
        return nullptr;
    }

    void AddFaultLocked(const Fault& fault) {
        if (fault.kind == Fault::Kind::Unplug && fault.when == Fault::When::Now) {
            UnplugLocked();
            return;
        }
        faults.push_back(fault);
    }

    // ---- output --------------------------------------------------------

    void Queue(std::string bytes, Clock::time_point due) {
        if (!plugged || closed || bytes.empty()) return;
        unread += bytes.size();
        // The output stays in order: nothing overtakes a late answer.
        if (!output.empty()) due = std::max(due, output.back().due);
        output.push_back(Block{std::move(bytes), 0, due});
        readable.notify_all();
    }

    void QueueBlock(std::string bytes, Clock::time_point due) {
        if (const Fault* g = Matching(Fault::Kind::Garbage, "")) Queue(Frame(g->text), due);
        Queue(std::move(bytes), due);
    }

    void ClearOutput() {
        output.clear();
        unread = 0;
    }

    // Room for an unsolicited block of `size` bytes.
    bool Room(std::size_t size) {
        if (unread + size <= kMaxUnreadOutput) return true;
        ++droppedBlocks;
        return false;
    }

    void UnplugLocked() {
        plugged = false;
        ClearOutput();
        request.active = false;
        readable.notify_all();
        timerWake.notify_all();
        replayCv.notify_all();
    }

    // ---- input ---------------------------------------------------------

    std::size_t Write(const std::uint8_t* data, std::size_t length) {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed || !plugged || data == nullptr) return 0;
        received.append(reinterpret_cast<const char*>(data), length);
        if (received.size() > kKeptBytes) received.erase(0, received.size() - kKeptBytes / 2);
        if (record.is_open()) {
            record.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
            record.flush();
        }
        for (std::size_t i = 0; i < length && plugged && !closed; ++i) {
            const char c = static_cast<char>(data[i]);
            // With linefeed=end a line feed ends a command that has text; the
            // one after a carriage return ends nothing more, so "AT\r\n" stays
            // one command either way.
            const bool endsLine =
                c == '\r' || (c == '\n' && options.lineFeed == LineFeed::End && !line.empty());
            if (!endsLine && (c == '\n' || c == '\0')) {
                // Line feeds and zero bytes are ignored; those after a
                // command belong to its record.
                if (trailing && !commands.empty()) commands.back().raw += c;
                else if (!lineRaw.empty()) lineRaw += c;
                continue;
            }
            trailing = false;
            lineRaw += c;
            if (!endsLine) {
                if (line.size() < kMaxCommandLine) line += c;
                else lineTooLong = true;
                continue;
            }
            CommandRecord entry{std::move(lineRaw), std::move(line)};
            const bool tooLong = lineTooLong;
            lineRaw.clear();
            line.clear();
            lineTooLong = false;
            trailing = true;
            Execute(std::move(entry), tooLong);
        }
        return length;
    }

    void Execute(CommandRecord entry, bool tooLong) {
        commands.push_back(entry);
        if (commands.size() > kKeptCommands) commands.pop_front();
        ++commandCount;
        std::string text = entry.text;
        text.erase(0, text.find_first_not_of(" \t"));

        for (auto it = faults.begin(); it != faults.end(); ++it) {
            if (it->kind != Fault::Kind::Unplug) continue;
            if ((it->when == Fault::When::OnPrefix && StartsWithNoCase(text, it->prefix)) ||
                (it->when == Fault::When::AfterCommands && it->value == 0)) {
                UnplugLocked();
                return;
            }
            if (it->when == Fault::When::AfterCommands) --it->value;
        }
        if (options.honourDtr && !dtr) return;
        if (text.empty()) return;

        const Clock::time_point now = Clock::now();
        if (echo) Queue(entry.text + "\r\n", now);
        if (Matching(Fault::Kind::Silent, text)) return;

        Answer answer = tooLong ? Err() : Matching(Fault::Kind::Error, text) ? Err() : Handle(text);
        Clock::time_point due = now;
        if (const Fault* delay = Matching(Fault::Kind::Delay, text)) due += Scaled(static_cast<double>(delay->value) / 1000.0);
        std::string block;
        for (const std::string& l : answer.lines) block += Frame(l);
        block += Frame(answer.ok ? "OK" : "ERROR");
        QueueBlock(std::move(block), due);
        for (const std::string& l : answer.after) QueueBlock(Frame(l), due);
    }

    // ---- commands ------------------------------------------------------

    Answer Handle(const std::string& text) {
        const std::string upper = Upper(text);
        if (upper == "AT") return Ok();
        if (upper == "ATE" || upper == "ATE0" || upper == "ATE1") {
            echo = upper == "ATE1";
            return Ok();
        }
        if (upper.rfind("AT@GNSS:", 0) == 0) return HandleTest(text.substr(8));
        if (upper.rfind("AT+", 0) != 0) return Err();
        const std::size_t end = upper.find_first_of("=?", 3);
        const std::string name = upper.substr(3, end == std::string::npos ? std::string::npos : end - 3);
        const bool query = end != std::string::npos && upper.compare(end, std::string::npos, "?") == 0;
        const bool set = end != std::string::npos && upper[end] == '=' && upper.compare(end, 2, "=?") != 0;
        const std::string args = set ? text.substr(end + 1) : std::string();
        const bool bare = end == std::string::npos;

        if (name == "XLCSSWITCH") return query ? SwitchQuery() : set ? Switch(args) : Err();
        if (name == "CIMI" && bare) return options.simPresent ? Lines({options.imsi}) : Err();
        if (name == "CRSM" && set) return Crsm(args);
        if (name == "XLCSLRMT") return query ? Lines({"+XLCSLRMT : " + std::to_string(settings.niAllowed)})
                                             : set ? NiPermission(args) : Err();
        if (name == "XLCSLSR" && set) return LocationRequest(args);
        if (name == "XLSRSTOP" && (bare || set)) return Stop(args, bare);
        if (name == "XLCSLQOS" && set) return QualityOfService(args);
        if (name == "XLCSSLP" && set) return SuplServer(args);
        if (name == "XLCSSUPLVER" && set) {
            unsigned version = 0;
            if (!Unsigned(args, 3, version)) return Err();
            settings.suplVersion = version;
            return Ok();
        }
        if (name == "XLTC" && set) return CertificatePiece(args);
        if (name == "XLCSSTOREAPN" && set) {
            std::string apn;
            if (!Unquote(args, apn)) return Err();
            settings.apn = apn;
            return Ok();
        }
        if (name == "CCLK" && set) return SetClock(args);
        if (name == "XLGNVRAM" && set) {
            const auto p = SplitCommas(args);
            unsigned mask = 0, second = 0;
            if (p.size() != 2 || !Unsigned(p[0], 127, mask) || mask == 0 || !Unsigned(p[1], 0xFFFF, second)) return Err();
            settings.nvramClears.push_back(mask);
            return Ok();
        }
        if (name == "XLCSTER" && set) {
            if (args != "1") return Err();
            ++settings.terminations;
            return Ok();
        }
        return Err();
    }

    Answer SwitchQuery() {
        std::string line = "+XLCSSWITCH : " + std::string(receiverOn ? "1" : "0");
        if (options.chip == Chip::PV7710) line += agnssOn ? ",1" : ",0";
        return Lines({line});
    }

    Answer Switch(const std::string& args) {
        const auto p = SplitCommas(args);
        unsigned state = 0, mode = 2;
        if (p.empty() || p.size() > 2 || !Unsigned(p[0], 1, state)) return Err();
        if (p.size() == 2 && (!Unsigned(p[1], 3, mode) || mode == 1)) return Err();
        if (mode == 0) agnssOn = state == 1;
        else if (mode == 3) pgnssOn = state == 1;
        else {
            receiverOn = state == 1;
            if (!receiverOn) request.active = false;
        }
        return Ok();
    }

    // READ BINARY of the SIM's administrative data file (EF-AD); its fourth
    // byte holds the length of the MNC.
    Answer Crsm(const std::string& args) {
        if (!options.simPresent) return Err();
        const auto p = SplitCommas(args);
        unsigned command = 0, file = 0, p1 = 0, p2 = 0, p3 = 0;
        if (p.size() < 2 || !Unsigned(p[0], 255, command) || !Unsigned(p[1], 0xFFFF, file)) return Err();
        if (p.size() >= 5 && (!Unsigned(p[2], 255, p1) || !Unsigned(p[3], 255, p2) || !Unsigned(p[4], 255, p3)))
            return Err();
        if (command != 176) return Lines({"+CRSM: 109,0"});  // instruction not supported
        if (file != 28589) return Lines({"+CRSM: 148,4"});   // file not found
        const unsigned char content[4] = {0x00, 0x00, 0x00, static_cast<unsigned char>(options.mncLength)};
        const unsigned offset = (p1 & 0x80) != 0 ? p2 : p1 * 256 + p2;
        const unsigned count = p3 == 0 ? 4 - std::min(offset, 4u) : p3;
        if (p.size() < 5 || offset + count > 4 || count == 0) return Lines({"+CRSM: 103,0"});  // wrong length
        std::string hex;
        for (unsigned i = offset; i < offset + count; ++i) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02X", content[i]);
            hex += pair;
        }
        return Lines({"+CRSM: 144,0,\"" + hex + "\""});
    }

    Answer NiPermission(const std::string& args) {
        const auto p = SplitCommas(args);
        unsigned value = 0, id = 0;
        if (p.empty() || p.size() > 2 || !Unsigned(p[0], 1, value)) return Err();
        if (p.size() == 1) {
            settings.niAllowed = static_cast<int>(value);
            return Ok();
        }
        if (!Unsigned(p[1], 0xFFFFFFFFu, id)) return Err();
        settings.niAnswers.push_back({static_cast<int>(value), id});
        return Ok();
    }

    Answer LocationRequest(const std::string& args) {
        const auto p = SplitCommas(args);
        unsigned transport = 0, mode = 0, interval = 0;
        if (p.size() < 2 || p.size() > 10) return Err();
        if (!Unsigned(p[0], 2, transport) || transport == 0 || !Unsigned(p[1], 3, mode)) return Err();
        if (p.size() > 6 && !p[6].empty() && !Unsigned(p[6], 86400, interval)) return Err();
        const std::string nmea = p.size() > 9 ? p[9] : std::string();
        if (!nmea.empty() && nmea != "0" && nmea != "2") return Err();
        if (!receiverOn || testMode) return Err();

        request.active = true;
        request.id = nextRequestId++;
        request.interval = interval;
        request.nmea = nmea == "2";
        request.mode = static_cast<int>(mode);
        request.nextEpoch = static_cast<std::int64_t>(std::ceil(ReceiverSeconds(Clock::now()) + options.firstFixSeconds));
        ++requestsStarted;
        timerWake.notify_all();
        return Lines({"+XLCSLSR: request id " + std::to_string(request.id)});
    }

    Answer Stop(const std::string& args, bool bare) {
        unsigned first = 0, id = 0;
        if (!bare) {
            const auto p = SplitCommas(args);
            if (p.size() != 2 || !Unsigned(p[0], 0xFFFF, first) || !Unsigned(p[1], 0xFFFFFFFFu, id)) return Err();
        }
        if (bare) id = request.active ? request.id : 0;
        if (bare || (request.active && request.id == id)) request.active = false;
        ++stops;
        Answer a;
        a.after.push_back("+XLSRSTOP: " + std::to_string(first) + "," + std::to_string(id));
        return a;
    }

    Answer QualityOfService(const std::string& args) {
        const auto p = SplitCommas(args);
        std::array<unsigned, 4> values{};
        if (p.size() != 4) return Err();
        for (std::size_t i = 0; i < 4; ++i)
            if (!Unsigned(p[i], 0xFFFFFFFFu, values[i])) return Err();
        settings.qualityOfService = values;
        return Ok();
    }

    Answer SuplServer(const std::string& args) {
        // 1,"host",port: the host is quoted (as it is, no escaping), the port is not.
        std::string_view head;
        std::vector<unsigned> port;
        const std::size_t comma = args.find(',');
        if (comma == std::string::npos || args.substr(0, comma) != "1") return Err();
        if (!TrailingNumbers(std::string_view(args).substr(comma + 1), 1, head, port) || port[0] == 0 || port[0] > 65535)
            return Err();
        std::string host;
        if (!Unquote(head, host) || host.empty()) return Err();
        settings.suplServer = host;
        settings.suplPort = std::to_string(port[0]);
        return Ok();
    }

    Answer CertificatePiece(const std::string& args) {
        std::string_view head;
        std::vector<unsigned> n;
        std::string piece;
        if (!TrailingNumbers(args, 3, head, n) || !Unquote(head, piece)) return Err();
        const unsigned total = n[0], number = n[1];
        if (total == 0 || number == 0 || piece.size() > total) return Err();
        if (number == 1) {
            settings.certificates.push_back(Certificate{total, 0, std::string(), false});
        } else if (settings.certificates.empty() || settings.certificates.back().complete ||
                   settings.certificates.back().pieces + 1 != number ||
                   settings.certificates.back().totalLength != total ||
                   settings.certificates.back().text.size() + piece.size() > total) {
            return Err();  // out of order, or past the announced length
        }
        Certificate& certificate = settings.certificates.back();
        certificate.text += piece;
        ++certificate.pieces;
        certificate.complete = certificate.text.size() == total;
        return Ok();
    }

    Answer SetClock(const std::string& args) {
        std::string value;
        if (!Unquote(args, value)) return Err();
        ClockSetting clock;
        clock.text = value;
        char tail = 0;
        const int n = std::sscanf(value.c_str(), "%d/%d/%d,%d:%d:%d%c", &clock.year, &clock.month, &clock.day,
                                  &clock.hour, &clock.minute, &clock.second, &tail);
        if (n < 6 || (n == 7 && tail != '+' && tail != '-')) return Err();
        if (clock.year < 0 || clock.year > 99 || clock.month < 1 || clock.month > 12 || clock.day < 1 ||
            clock.day > 31 || clock.hour < 0 || clock.hour > 23 || clock.minute < 0 || clock.minute > 59 ||
            clock.second < 0 || clock.second > 59)
            return Err();
        settings.clock = clock;
        return Ok();
    }

    Answer HandleTest(const std::string& call) {
        const std::size_t open = call.find('(');
        if (open == std::string::npos || call.back() != ')') return Err();
        const std::string function = Upper(call.substr(0, open));
        const std::string args = call.substr(open + 1, call.size() - open - 2);
        if (function == "PROD_TEST_SNR_MODE_SET") {
            unsigned mode = 0;
            if (!Unsigned(args, 1, mode)) return Err();
            testMode = mode == 1;
            if (testMode) request.active = false;
            return Ok();
        }
        if (function == "NPT_SPECT_ANA_STRING_CMD") {
            if (!testMode) return Err();
            const std::size_t comma = args.find(',');
            if (comma == std::string::npos || args.substr(0, comma) != "1") return Err();
            const std::size_t second = args.find(',', comma + 1);
            unsigned length = 0;
            std::string text;
            if (second == std::string::npos || !Unsigned(args.substr(comma + 1, second - comma - 1), 0xFFFFFFFFu, length) ||
                !Unquote(std::string_view(args).substr(second + 1), text))
                return Err();
            return Lines(Spectrum(text));
        }
        return Err();
    }

    std::vector<std::string> Spectrum(const std::string& request) const {
        if (!options.spectrumLine.empty()) return {options.spectrumLine};
        std::uint64_t hash = options.seed * 0x9E3779B97F4A7C15ULL + 0x51ED;
        for (char c : request) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ULL;
        const auto noise = [&hash]() {
            hash ^= hash >> 29;
            hash *= 0xBF58476D1CE4E5B9ULL;
            hash ^= hash >> 32;
            return static_cast<double>(hash % 1000) / 1000.0;
        };
        constexpr double kCentre = 1575.420, kSpan = 8.184;
        constexpr int kBins = 16;
        std::vector<std::string> lines;
        char buffer[160];
        lines.push_back(SpectrumLine("spectrum analyzer scan \"" + request + "\""));
        std::snprintf(buffer, sizeof buffer, "centre %.3f MHz span %.3f MHz bins %d", kCentre, kSpan, kBins);
        lines.push_back(SpectrumLine(buffer));
        double peak = -200.0, peakFrequency = kCentre, mean = 0.0;
        for (int i = 0; i < kBins; ++i) {
            const double frequency = kCentre - kSpan / 2 + kSpan * (i + 0.5) / kBins;
            const double distance = std::fabs(frequency - kCentre);
            const double power = -121.0 + 2.0 * noise() + (distance < 1.1 ? 9.0 * (1.1 - distance) : 0.0);
            mean += power / kBins;
            if (power > peak) {
                peak = power;
                peakFrequency = frequency;
            }
            std::snprintf(buffer, sizeof buffer, "bin %02d %.3f MHz %.1f dBm", i + 1, frequency, power);
            lines.push_back(SpectrumLine(buffer));
        }
        std::snprintf(buffer, sizeof buffer, "peak %.3f MHz %.1f dBm", peakFrequency, peak);
        lines.push_back(SpectrumLine(buffer));
        std::snprintf(buffer, sizeof buffer, "mean level %.1f dBm", mean);
        lines.push_back(SpectrumLine(buffer));
        return lines;
    }

    // ---- reports -------------------------------------------------------

    void TimerLoop() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            const bool running = request.active && plugged && !closed && !(capture.epochs.size() && replayFinished);
            if (!running) {
                timerWake.wait(lock);
                continue;
            }
            const Clock::time_point due = DueOf(request.nextEpoch);
            if (Clock::now() < due) {
                timerWake.wait_until(lock, due);
                continue;
            }
            Tick();
        }
    }

    void Tick() {
        Epoch epoch;
        if (synthetic) {
            epoch = synthetic->At(request.nextEpoch);
        } else {
            if (replayIndex >= capture.epochs.size()) {
                if (!options.replayLoop) {
                    replayFinished = true;
                    replayCv.notify_all();
                    return;
                }
                replayIndex = 0;
            }
            epoch = capture.epochs[replayIndex++];
            ++replayPlayed;
        }

        const Clock::time_point now = Clock::now();
        if (request.nmea && !epoch.nmea.empty()) {
            // No empty line inside the block: the host files every line
            // before the closing OK as NMEA text.
            std::string block = "\r\n";
            for (const std::string& sentence : epoch.nmea) block += sentence + "\r\n";
            block += "OK\r\n";
            if (Room(block.size())) {
                QueueBlock(std::move(block), now);
                ++nmeaBlocks;
            }
        }

        bool answered = false;
        Fault* navError = nullptr;
        for (Fault& f : faults)
            if (f.kind == Fault::Kind::NavError) navError = &f;
        if (epoch.fix.valid && navError == nullptr) {
            std::string block = Frame(FormatPositionReport(epoch.fix, options.shape, request.mode)) + Frame("OK");
            if (Room(block.size())) {
                QueueBlock(std::move(block), now);
                ++reports;
            }
            answered = true;
        } else if (epoch.fix.valid || options.noFix == NoFixPolicy::PositionError) {
            // A position error is not followed by OK.
            QueueBlock(Frame(kPositionErrorLine), now);
            ++positionErrors;
            answered = true;
            if (epoch.fix.valid && navError->value != 0 && --navError->value == 0) {
                faults.erase(faults.begin() + (navError - faults.data()));
            }
        }

        if (request.interval == 0 && answered) request.active = false;  // a single fix ends with its answer
        request.nextEpoch += request.interval == 0 ? 1 : request.interval;
        if (!synthetic && replayIndex >= capture.epochs.size() && !options.replayLoop) {
            replayFinished = true;
            replayCv.notify_all();
        }
    }

    // ---- reading -------------------------------------------------------

    ReadResult Read(std::uint8_t* buffer, std::size_t capacity, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        if (cancelPending) {
            cancelPending = false;
            return {ReadStatus::Cancelled, 0};
        }
        const std::uint64_t generation = cancelGeneration;
        const Clock::time_point deadline = Clock::now() + timeout;
        ++waitingReaders;
        struct Leave {
            unsigned& count;
            ~Leave() { --count; }
        } leave{waitingReaders};
        while (true) {
            if (closed) return {ReadStatus::Closed, 0};
            if (!plugged) return {ReadStatus::Unplugged, 0};
            if (capacity == 0 || buffer == nullptr) return {ReadStatus::Data, 0};
            const Clock::time_point now = Clock::now();
            if (!output.empty() && output.front().due <= now) return Deliver(buffer, capacity);
            if (generation != cancelGeneration) return {ReadStatus::Cancelled, 0};
            if (now >= deadline) return {ReadStatus::TimedOut, 0};
            Clock::time_point until = deadline;
            if (!output.empty()) until = std::min(until, output.front().due);
            readable.wait_until(lock, until);
        }
    }

    ReadResult Deliver(std::uint8_t* buffer, std::size_t capacity) {
        std::size_t split = SIZE_MAX, junk = 0;
        bool nul = false;
        for (const Fault& f : faults) {
            if (f.kind == Fault::Kind::Split) split = std::min<std::size_t>(split, f.value);
            if (f.kind == Fault::Kind::Nul) {
                nul = true;
                junk = std::max<std::size_t>(junk, f.value);
            }
        }
        std::size_t limit = capacity;
        if (nul && capacity >= 2) {
            junk = std::min(junk, capacity - 2);
            limit = capacity - 1 - junk;
        } else {
            nul = false;
        }
        limit = std::min(limit, split);
        Block& block = output.front();
        const std::size_t count = std::min(limit, block.bytes.size() - block.offset);
        std::copy_n(block.bytes.data() + block.offset, count, buffer);
        block.offset += count;
        unread -= count;
        if (block.offset == block.bytes.size()) output.pop_front();
        std::size_t total = count;
        if (nul) {
            buffer[total++] = 0;
            for (std::size_t i = 0; i < junk; ++i) buffer[total++] = static_cast<std::uint8_t>(kJunk[i % 7]);
        }
        return {ReadStatus::Data, total};
    }

    // ---- state ---------------------------------------------------------

    ModemOptions options;
    Clock::time_point origin;
    std::int64_t startUnix = 0;

    mutable std::mutex mutex;
    std::condition_variable readable, timerWake, replayCv;
    std::thread timer;
    bool stopping = false;

    std::deque<Block> output;
    std::size_t unread = 0;  // bytes in `output` not yet read
    unsigned droppedBlocks = 0;
    std::uint64_t cancelGeneration = 0;
    unsigned waitingReaders = 0;
    bool cancelPending = false;
    bool closed = false, plugged = true;

    std::string line, lineRaw;
    bool lineTooLong = false, trailing = false;
    // What the host sent, for tests and diagnostics: the latest commands and
    // bytes only, so a modem that serves a daemon for days stays small.
    std::deque<CommandRecord> commands;
    std::string received;
    std::ofstream record;

    bool echo = true;
    bool dtr = true, rts = true;
    unsigned controlLineRequests = 0;
    bool receiverOn = false, agnssOn = false, pgnssOn = false, testMode = false;
    ModemSettings settings;
    Request request;
    unsigned nextRequestId = 1;
    unsigned requestsStarted = 0, stops = 0, commandCount = 0, reports = 0, positionErrors = 0, nmeaBlocks = 0;
    std::vector<Fault> faults;

    std::optional<SyntheticReceiver> synthetic;
    Capture capture;
    std::size_t replayIndex = 0, replayPlayed = 0;
    bool replayFinished = false;
};

Modem::Modem(ModemOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Modem::~Modem() = default;

std::size_t Modem::Write(const std::uint8_t* data, std::size_t length) { return impl_->Write(data, length); }

ReadResult Modem::Read(std::uint8_t* buffer, std::size_t capacity, std::chrono::milliseconds timeout) {
    return impl_->Read(buffer, capacity, timeout);
}

void Modem::CancelRead() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->waitingReaders == 0) {
        impl_->cancelPending = true;  // ends the next read instead
        return;
    }
    ++impl_->cancelGeneration;
    impl_->readable.notify_all();
}

void Modem::Close() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->closed = true;
    impl_->ClearOutput();
    impl_->request.active = false;
    impl_->readable.notify_all();
    impl_->timerWake.notify_all();
    impl_->replayCv.notify_all();
}

void Modem::SetControlLines(bool dtr, bool rts) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl& m = *impl_;
    ++m.controlLineRequests;
    if (m.options.honourDtr && m.dtr && !dtr) {
        // Hang-up: the request ends, pending output and a half-received
        // command are dropped.
        m.request.active = false;
        m.ClearOutput();
        m.line.clear();
        m.lineRaw.clear();
        m.lineTooLong = false;
    }
    m.dtr = dtr;
    m.rts = rts;
}

void Modem::Unplug() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->UnplugLocked();
}

void Modem::AddFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->AddFaultLocked(fault);
}

void Modem::SetFaults(const std::vector<Fault>& faults) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.clear();
    for (const Fault& f : faults) impl_->AddFaultLocked(f);
}

void Modem::ClearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.clear();
}

std::vector<Fault> Modem::Faults() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->faults;
}

ModemStatus Modem::Status() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const Impl& m = *impl_;
    ModemStatus s;
    s.plugged = m.plugged;
    s.closed = m.closed;
    s.echo = m.echo;
    s.dtr = m.dtr;
    s.rts = m.rts;
    s.controlLineRequests = m.controlLineRequests;
    s.receiverOn = m.receiverOn;
    s.agnssOn = m.agnssOn;
    s.pgnssOn = m.pgnssOn;
    s.productionTestMode = m.testMode;
    s.requestActive = m.request.active;
    s.requestId = m.request.id;
    s.requestInterval = m.request.interval;
    s.requestNmea = m.request.nmea;
    s.requestsStarted = m.requestsStarted;
    s.stops = m.stops;
    s.commands = m.commandCount;
    s.reports = m.reports;
    s.positionErrors = m.positionErrors;
    s.nmeaBlocks = m.nmeaBlocks;
    s.replayEpochs = m.capture.epochs.size();
    s.replayPlayed = m.replayPlayed;
    s.replayFinished = m.replayFinished;
    s.pendingOutputBytes = m.unread;
    s.droppedBlocks = m.droppedBlocks;
    return s;
}

ModemSettings Modem::Settings() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->settings;
}

std::vector<CommandRecord> Modem::Commands() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return {impl_->commands.begin(), impl_->commands.end()};
}

std::string Modem::ReceivedBytes() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->received;
}

const ModemOptions& Modem::Options() const { return impl_->options; }

bool Modem::WaitReplayFinished(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->replayCv.wait_for(lock, timeout, [this] {
        return impl_->replayFinished || impl_->closed || !impl_->plugged;
    });
    return impl_->replayFinished;
}

}  // namespace gnss::sim
