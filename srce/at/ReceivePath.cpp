// The receive path and the dispatch of the modem's lines.
#include "at/ReceivePath.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "Trace.h"
#include "at/PositionReport.h"
#include "engine/EngineState.h"

namespace {

// The dispatch lines carry the name of the function that cuts the lines.
constexpr const char* kRxFunction = "UsbRxBufferCallback";

// Indexes of the values in the answer lines.
constexpr std::size_t kSessionIdIndex = 21;  // "+XLCSLSR: request id" and one separator
constexpr std::size_t kLrmtIndex = 12;       // "+XLCSLRMT : "
constexpr std::size_t kSwitchIndex = 14;     // "+XLCSSWITCH : "
constexpr std::size_t kCrsmStatusIndex = 7;  // "+CRSM: "
constexpr std::size_t kCrsmStatusLength = 3;
constexpr std::size_t kCrsmMncIndex = 14;  // "+CRSM: 144,0,\""
constexpr std::size_t kCrsmMncLength = 2;
constexpr LONG kCrsmSuccess = 144;  // status word 0x90

// The largest number of characters a block holds before its zero terminator.
constexpr DWORD kNmeaBlockCapacity = NMEA_BLOCK_SIZE - 1;

RECEIVE_PATH_STATE& State() {
    static RECEIVE_PATH_STATE state;
    return state;
}

// Transfers arrive one at a time from the reader; the lock only keeps that
// true should two completions ever overlap.  It is never held by anyone
// else, and nothing called under it comes back into the receive path.
std::mutex& RxLock() {
    static std::mutex lock;
    return lock;
}

bool BeginsWith(std::string_view line, std::string_view literal) {
    return line.substr(0, literal.size()) == literal;
}

bool Contains(std::string_view line, std::string_view literal) {
    return line.find(literal) != std::string_view::npos;
}

// The text of a line from index on, and at most count characters of it;
// empty when the line has no character at that index.
std::string_view TextAt(std::string_view line, std::size_t index,
                        std::size_t count = std::string_view::npos) {
    if (index >= line.size()) return {};
    return line.substr(index, count);
}

void SetEventIfExists(const gnss::os::EventHandle& event) {
    if (event) event->Set();
}

// Posts a copy of the NMEA block, then empties the block.
void PostNmeaBlock(RECEIVE_PATH_STATE& s) {
    auto* data = static_cast<GNSS_NMEA_DATA*>(std::calloc(1, sizeof(GNSS_NMEA_DATA)));
    if (data == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Memory allocation for GNSS_NMEA_DATA FAILED",
                TAG_MODEM, kRxFunction);
    } else {
        data->Size = sizeof(GNSS_NMEA_DATA);
        data->Version = GNSS_DRIVER_VERSION_3;
        std::memcpy(data->NmeaSentences, s.m_NmeaBlock, sizeof data->NmeaSentences);
        AddInternalEvent(NMEA_NOTIFICATION, data, 0);
    }
    std::memset(s.m_NmeaBlock, 0, sizeof s.m_NmeaBlock);
    s.m_dwNmeaBlockLength = 0;
}

void CollectNmea(RECEIVE_PATH_STATE& s, std::string_view line) {
    s.m_bNmeaInProgress = 1;
    const std::size_t length = line.size();
    if (length + 2 > kNmeaBlockCapacity) {
        // No block can hold this line with its CR LF.  It is no NMEA sentence
        // (those are at most 82 characters), and a cut or split piece of it
        // would reach the listeners as a sentence that is not one, so it is
        // dropped; the block collected so far stays open and the modem's
        // closing "OK" still closes it.  The line itself is in the AT trace.
        GnssLog(GNSS_LEVEL_ERROR,
                "[%s] %s ERROR: NMEA line of %u characters does not fit a block, dropped",
                TAG_MODEM, kRxFunction, static_cast<unsigned>(length));
    } else {
        if (s.m_dwNmeaBlockLength + 2 + length > kNmeaBlockCapacity) PostNmeaBlock(s);
        RxAtLine(GNSS_RESPONSE_NMEA, line, s.m_NmeaBlock);
        s.m_dwNmeaBlockLength += static_cast<DWORD>(length + 2);
    }
    s.eRespTypeForOK = GNSS_RESPONSE_NMEA;
    s.m_bIgnoreNextOK = 1;
}

void TakePositionReport(RECEIVE_PATH_STATE& s, std::string_view line) {
    if (s.m_pFixData != nullptr) {
        GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: Previous FixData is not cleared", TAG_MODEM,
                kRxFunction);
        std::free(s.m_pFixData);
        s.m_pFixData = nullptr;
    }
    s.m_pFixData = static_cast<GNSS_FIXDATA*>(std::calloc(1, sizeof(GNSS_FIXDATA)));
    if (s.m_pFixData == nullptr) {
        // No block is opened: the modem's closing "OK" counts as a command result.
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: new for GNSS_FIXDATA FAILED", TAG_MODEM,
                kRxFunction);
        return;
    }
    RxAtLine(GNSS_RESPONSE_NAVDATA, line, s.m_pFixData);
    s.eRespTypeForOK = GNSS_RESPONSE_NAVDATA;
    s.m_bIgnoreNextOK = 1;
}

// The "OK" that closes an open unsolicited block.
void CloseBlock(RECEIVE_PATH_STATE& s) {
    if (s.eRespTypeForOK == GNSS_RESPONSE_NAVDATA) {
        if (s.m_pFixData == nullptr) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: FixData is NULL", TAG_MODEM, kRxFunction);
        } else if (s.m_pFixData->FixTimeStamp.dwLowDateTime != 0 ||
                   s.m_pFixData->FixTimeStamp.dwHighDateTime != 0) {
            AddInternalEvent(NAVDATA_NOTIFICATION, s.m_pFixData, 0);  // the event owns it now
        } else {
            std::free(s.m_pFixData);  // no usable date and time: the report is dropped
        }
        s.m_pFixData = nullptr;
    } else if (s.eRespTypeForOK == GNSS_RESPONSE_NMEA) {
        if (s.m_dwNmeaBlockLength > 0) {
            PostNmeaBlock(s);
        } else {
            GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: No valid NMEA Data available", TAG_MODEM,
                    kRxFunction);
        }
        s.m_bNmeaInProgress = 0;
    } else {
        GnssLog(GNSS_LEVEL_ERROR,
                "[%s] %s ERROR: OK is ignoed for UNKNOWN reason. eRespTypeForOK=%d", TAG_MODEM,
                kRxFunction, static_cast<int>(s.eRespTypeForOK));
    }
    s.m_bIgnoreNextOK = 0;
    s.eRespTypeForOK = GNSS_RESPONSE_UNKNOWN;
}

void CompleteCommand(DWORD status) {
    Engine().m_dwATResponseStatus = status;
    SetEventIfExists(EngineEvents().m_hATResponseEvent);
}

DWORD ExtractValue(GNSS_RESPONSE_TYPE type, std::string_view line) {
    DWORD value = 0;
    RxAtLine(type, line, &value);
    return value;
}

void Dispatch(RECEIVE_PATH_STATE& s, GNSS_RESPONSE_TYPE type, std::string_view line) {
    ENGINE_STATE& engine = Engine();
    switch (type) {
        case GNSS_RESPONSE_NMEA:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_NMEA Received. Ignore next OK",
                    TAG_MODEM, kRxFunction);
            CollectNmea(s, line);
            break;
        case GNSS_RESPONSE_STARTFIX:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_STARTFIX Received", TAG_MODEM,
                    kRxFunction);
            engine.m_dwReceivedSessionId = ExtractValue(type, line);
            break;
        case GNSS_RESPONSE_OK:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_OK Received", TAG_MODEM, kRxFunction);
            if (s.m_bIgnoreNextOK == 0)
                CompleteCommand(1);
            else
                CloseBlock(s);
            break;
        case GNSS_RESPONSE_ERROR:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_ERROR Received", TAG_MODEM,
                    kRxFunction);
            CompleteCommand(0);
            break;
        case GNSS_RESPONSE_NAVDATA:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_NAVDATA Received. Ignore next OK",
                    TAG_MODEM, kRxFunction);
            TakePositionReport(s, line);
            break;
        case GNSS_RESPONSE_NAVERROR:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_NAVERROR Received", TAG_MODEM,
                    kRxFunction);
            AddInternalEvent(NAVERROR_NOTIFICATION, nullptr, 0);
            break;
        case GNSS_RESPONSE_STOPFIX:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_STOPFIX Received", TAG_MODEM,
                    kRxFunction);
            RxAtLine(type, line, nullptr);
            break;
        case GNSS_RESPONSE_NIREQUEST:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_NIREQUEST Received", TAG_MODEM,
                    kRxFunction);
            engine.m_dwLRMTStatus = ExtractValue(type, line);
            break;
        case GNSS_RESPONSE_SWITCH:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_SWITCH Received", TAG_MODEM,
                    kRxFunction);
            engine.m_dwGnssChip = ExtractValue(type, line);
            break;
        case GNSS_RESPONSE_IMSI:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_IMSI Received", TAG_MODEM, kRxFunction);
            EngineSetImsi(std::string(line));
            break;
        case GNSS_RESPONSE_CRSM:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_CRSM Received", TAG_MODEM, kRxFunction);
            engine.m_uiCRSMStatus = ExtractValue(type, line);
            break;
        case GNSS_RESPONSE_SPECTRUANALYZER:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_RESPONSE_SPECTRUANALYZER Received", TAG_MODEM,
                    kRxFunction);
            EngineAppendSpectrumLine(std::string(line));
            break;
        case GNSS_RESPONSE_UNKNOWN:
            break;
    }
}

// One line: the bytes before its line feed, carriage returns included.
void ProcessLine(RECEIVE_PATH_STATE& s, std::string& line) {
    // The run of carriage returns right before the line feed goes; others stay.
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty())
        GnssLog(GNSS_LEVEL_ATCMD, "[%s] [ATCMD] %s [%d] %s", TAG_MODEM, kRxFunction,
                static_cast<int>(line.size()), line.c_str());

    GNSS_RESPONSE_TYPE type = ClassifyResponse(line);
    if (s.m_bNmeaInProgress == 1 && type != GNSS_RESPONSE_OK) type = GNSS_RESPONSE_NMEA;
    Dispatch(s, type, line);
}

void DropOverlongLine() {
    GnssLog(GNSS_LEVEL_ERROR,
            "[%s] %s ERROR: Line of more than %u bytes without a line feed, dropped up to its "
            "line feed",
            TAG_MODEM, kRxFunction, static_cast<unsigned>(RX_LINE_LIMIT));
}

}  // namespace

const RECEIVE_PATH_STATE& ReceivePathState() { return State(); }

void UsbRxBufferCallback(const BYTE* data, std::size_t length) {
    std::lock_guard guard(RxLock());
    RECEIVE_PATH_STATE& s = State();
    if (data == nullptr) length = 0;

    // The buffer holds only the line in progress; complete lines are taken
    // straight from the transfer, so each byte is looked at once whatever
    // the transfers' sizes.
    std::size_t pos = 0;
    std::string line;
    while (pos < length) {
        const BYTE* start = data + pos;
        const auto* lineFeed = static_cast<const BYTE*>(std::memchr(start, '\n', length - pos));
        const std::size_t run =
            lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - start) : length - pos;
        if (s.m_bDiscardToLineFeed != 0) {
            // The rest of a line already dropped as overlong.
            if (lineFeed != nullptr) s.m_bDiscardToLineFeed = 0;
            pos += run + (lineFeed != nullptr ? 1 : 0);
            continue;
        }
        if (s.m_vecRxBuffer.size() + run > RX_LINE_LIMIT) {
            // Whether or not its line feed is in this transfer, the line is
            // dropped the same way, so the outcome does not depend on how the
            // bytes were cut into transfers.
            DropOverlongLine();
            s.m_vecRxBuffer.clear();
            s.m_vecRxBuffer.shrink_to_fit();
            if (lineFeed == nullptr) s.m_bDiscardToLineFeed = 1;
            pos += run + (lineFeed != nullptr ? 1 : 0);
            continue;
        }
        if (lineFeed == nullptr) {
            s.m_vecRxBuffer.insert(s.m_vecRxBuffer.end(), start, start + run);
            pos = length;
            break;
        }
        line.assign(s.m_vecRxBuffer.begin(), s.m_vecRxBuffer.end());
        line.append(reinterpret_cast<const char*>(start), run);
        s.m_vecRxBuffer.clear();
        pos += run + 1;
        ProcessLine(s, line);
    }

    if (!s.m_vecRxBuffer.empty())
        GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: Partial data in Rx buffer", TAG_MODEM,
                __func__);
}

GNSS_RESPONSE_TYPE ClassifyResponse(std::string_view line) {
    if (BeginsWith(line, "+XLCSLSR: request id")) return GNSS_RESPONSE_STARTFIX;
    if (BeginsWith(line, "+XLCSLSR: ERROR, -8")) return GNSS_RESPONSE_NAVERROR;
    if (BeginsWith(line, "+XLCSLSR")) {
        if (Contains(line, "ERROR") || Contains(line, "failure")) return GNSS_RESPONSE_ERROR;
        return GNSS_RESPONSE_NAVDATA;
    }
    if (BeginsWith(line, "OK")) return GNSS_RESPONSE_OK;
    if (BeginsWith(line, "+XLSRSTOP")) return GNSS_RESPONSE_STOPFIX;
    if (BeginsWith(line, "$")) return GNSS_RESPONSE_NMEA;
    if (BeginsWith(line, "ERROR")) return GNSS_RESPONSE_ERROR;
    if (BeginsWith(line, "+XLCSSWITCH :")) return GNSS_RESPONSE_SWITCH;
    if (BeginsWith(line, "+XLCSLRMT")) return GNSS_RESPONSE_NIREQUEST;
    if (BeginsWith(line, "+CRSM")) return GNSS_RESPONSE_CRSM;
    if (line.size() == 14 || line.size() == 15) {
        const bool digits =
            std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; });
        return digits ? GNSS_RESPONSE_IMSI : GNSS_RESPONSE_UNKNOWN;
    }
    if (Engine().m_bProdTestMode == 1) return GNSS_RESPONSE_SPECTRUANALYZER;
    return GNSS_RESPONSE_UNKNOWN;
}

void RxAtLine(GNSS_RESPONSE_TYPE type, std::string_view line, void* out) {
    auto* value = static_cast<DWORD*>(out);
    switch (type) {
        case GNSS_RESPONSE_NMEA: {
            if (out == nullptr) return;
            // Bounded concatenation: the line up to a zero byte, then CR LF,
            // never past the block's last character before its terminator.
            auto* block = static_cast<char*>(out);
            std::size_t used = ::strnlen(block, NMEA_BLOCK_SIZE);
            if (used >= NMEA_BLOCK_SIZE) return;  // not a terminated block: leave it alone
            std::string_view text = line.substr(0, line.find('\0'));
            for (std::string_view piece : {text, std::string_view("\r\n")}) {
                const std::size_t n = std::min(piece.size(), kNmeaBlockCapacity - used);
                std::memcpy(block + used, piece.data(), n);
                used += n;
                block[used] = '\0';
            }
            break;
        }
        case GNSS_RESPONSE_STARTFIX:
            if (value != nullptr)
                *value = static_cast<DWORD>(ReadInteger(TextAt(line, kSessionIdIndex)));
            break;
        case GNSS_RESPONSE_NAVDATA:
            if (out != nullptr)
                ParseXLCSLSR(std::string(line).c_str(), static_cast<GNSS_FIXDATA*>(out));
            break;
        case GNSS_RESPONSE_STOPFIX:
            SetEventIfExists(EngineEvents().m_hWaitForStopComplete);
            break;
        case GNSS_RESPONSE_NIREQUEST:
            if (value != nullptr)
                *value = static_cast<DWORD>(ReadInteger(TextAt(line, kLrmtIndex)));
            break;
        case GNSS_RESPONSE_SWITCH: {
            if (value == nullptr) return;
            FieldTokenizer tokenizer(std::string(TextAt(line, kSwitchIndex)).c_str(), ",");
            int fields = 0;
            while (tokenizer.NextField() != nullptr) ++fields;
            *value = fields == 2 ? GNSS_CHIP_PV7710 : GNSS_CHIP_RXA7300;
            break;
        }
        case GNSS_RESPONSE_CRSM: {
            if (value == nullptr) return;
            const LONG status = ReadInteger(TextAt(line, kCrsmStatusIndex, kCrsmStatusLength));
            if (status == kCrsmSuccess) {
                const LONG mnc = ReadInteger(TextAt(line, kCrsmMncIndex, kCrsmMncLength));
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s INFO: MNC Length=%d", TAG_MODEM, __func__,
                        static_cast<int>(mnc));
                *value = static_cast<DWORD>(mnc);
            } else {
                *value = 0;
            }
            break;
        }
        default:
            break;
    }
}

void ResetReceivePathForTest() {
    std::lock_guard guard(RxLock());
    RECEIVE_PATH_STATE& s = State();
    std::free(s.m_pFixData);
    s.m_pFixData = nullptr;
    s.m_vecRxBuffer.clear();
    s.m_bDiscardToLineFeed = 0;
    s.m_bIgnoreNextOK = 0;
    s.eRespTypeForOK = GNSS_RESPONSE_UNKNOWN;
    s.m_bNmeaInProgress = 0;
    std::memset(s.m_NmeaBlock, 0, sizeof s.m_NmeaBlock);
    s.m_dwNmeaBlockLength = 0;
}

// ---------------------------------------------------------------------------
// The engine entry for received bytes.

BOOL atclient_ReceivedModemData(const BYTE* pData, ULONG uiLen) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_CLIENT, __func__);
    if (pData == nullptr || uiLen == 0) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: INVALID_PARAMETER", TAG_CLIENT, __func__);
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- bRetVal=%d", TAG_CLIENT, __func__, 0);
        return FALSE;
    }
    UsbRxBufferCallback(pData, uiLen);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- bRetVal=%d", TAG_CLIENT, __func__, 1);
    return TRUE;
}
