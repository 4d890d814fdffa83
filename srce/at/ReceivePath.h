// The receive path: everything the modem sends arrives here, one USB
// transfer at a time.  The bytes are cut into lines at line feeds, every line
// is classified and acted on: final "OK" and "ERROR" lines release the AT
// command the client thread waits for, intermediate answers are stored in the
// engine's state record before that, position reports become fix records and
// NMEA sentences are collected into blocks, which are posted to the engine's
// internal event queue.
//
// The modem closes its unsolicited blocks (one position report, or a run of
// NMEA lines) with an "OK" of their own; while such a block is open the next
// "OK" closes it instead of completing a command.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "gnss/platform/types.h"
#include "gnss/protocol/gnss_ddi.h"

enum GNSS_RESPONSE_TYPE : DWORD {
    GNSS_RESPONSE_NMEA = 1,
    GNSS_RESPONSE_STARTFIX = 2,
    GNSS_RESPONSE_OK = 3,
    GNSS_RESPONSE_ERROR = 4,
    GNSS_RESPONSE_NAVDATA = 5,
    GNSS_RESPONSE_NAVERROR = 6,
    GNSS_RESPONSE_STOPFIX = 7,
    GNSS_RESPONSE_NIREQUEST = 8,
    GNSS_RESPONSE_SWITCH = 9,
    GNSS_RESPONSE_IMSI = 10,
    GNSS_RESPONSE_CRSM = 11,
    GNSS_RESPONSE_SPECTRUANALYZER = 12,
    GNSS_RESPONSE_UNKNOWN = 13,
};

// Size of an NMEA block, its zero terminator included.  A block holds whole
// lines, each followed by "\r\n": at most 255 characters.
inline constexpr std::size_t NMEA_BLOCK_SIZE = 256;

// The longest line the receive path accepts: the bytes before its line feed.
// The modem's longest lines (position reports with all their satellites) are
// a few kilobytes; anything longer is garbage and is dropped, so a stream
// without line feeds cannot make the receive buffer grow without limit.
inline constexpr std::size_t RX_LINE_LIMIT = 64 * 1024;

// Receive-path state; module-wide, it lives as long as the module.
struct RECEIVE_PATH_STATE {
    // Bytes of the line being received, not yet ended by a line feed.
    std::vector<BYTE> m_vecRxBuffer;
    // 1 while the rest of an overlong line is skipped up to its line feed.
    DWORD m_bDiscardToLineFeed = 0;
    // The fix record of the last position report, waiting for its "OK";
    // allocated with std::calloc, handed to the event queue when posted.
    GNSS_FIXDATA* m_pFixData = nullptr;
    // 1 while an unsolicited block is open: the next "OK" closes it.
    DWORD m_bIgnoreNextOK = 0;
    // GNSS_RESPONSE_NAVDATA or GNSS_RESPONSE_NMEA for the open block,
    // GNSS_RESPONSE_UNKNOWN when none is open.
    DWORD eRespTypeForOK = GNSS_RESPONSE_UNKNOWN;
    // 1 from the first NMEA line of a block to the "OK" that closes it.
    DWORD m_bNmeaInProgress = 0;
    // The lines of the current NMEA block, each followed by "\r\n", zero-terminated.
    char m_NmeaBlock[NMEA_BLOCK_SIZE] = {};
    // Characters put into m_NmeaBlock (each line's length plus 2).
    DWORD m_dwNmeaBlockLength = 0;
};

// Read-only view of the state (diagnostics and tests; not synchronised
// with a transfer in progress).
const RECEIVE_PATH_STATE& ReceivePathState();

// Appends one transfer, then cuts, classifies and dispatches every complete
// line.  A partial line stays for the next transfer.
void UsbRxBufferCallback(const BYTE* data, std::size_t length);

// The response type of one line (without its line feed and carriage returns).
GNSS_RESPONSE_TYPE ClassifyResponse(std::string_view line);

// Extracts the value of one line into out:
//   GNSS_RESPONSE_NMEA      appends the line and "\r\n" to the 256-character block at out
//   GNSS_RESPONSE_STARTFIX  DWORD: the modem's request id (the number at index 21)
//   GNSS_RESPONSE_NAVDATA   GNSS_FIXDATA: the parsed position report
//   GNSS_RESPONSE_STOPFIX   sets m_hWaitForStopComplete (out unused)
//   GNSS_RESPONSE_NIREQUEST DWORD: the number at index 12
//   GNSS_RESPONSE_SWITCH    DWORD: GNSS_CHIP_PV7710 when the text from index 14
//                           holds exactly two comma-separated fields, else GNSS_CHIP_RXA7300
//   GNSS_RESPONSE_CRSM      DWORD: the MNC length when the status (3 characters
//                           at index 7) is 144, else 0
// Every other type does nothing; with a null out only the stop event is set.
//
// A line too short to have a character at the index a value is read from
// reads as if the text from there on were empty: the request id, the
// network-initiated status and the MNC length read 0 (for the request id 0
// means "no session", so a later stop goes out as the bare AT+XLSRSTOP
// rather than naming a stale session), and the switch answer has no fields,
// which means RXA7300, the procedure the engine also takes while the chip is
// unknown.  Nothing is ever read past the end of the line.
void RxAtLine(GNSS_RESPONSE_TYPE type, std::string_view line, void* out);

// Returns the receive path to its state at load: drops the partial line,
// releases a pending fix record, empties the NMEA block.  For tests only.
void ResetReceivePathForTest();
