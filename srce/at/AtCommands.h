// The text of every AT command the driver sends to the modem.
//
// Each builder appends one complete command line, ending in "\r\n", to a
// byte string owned by the caller (callers pass an empty one) and returns an
// HRESULT: S_OK, or E_INVALIDARG with nothing appended when a text argument
// is null.  Built commands carry no terminating zero byte; the transport is
// given the string's length.
//
// Numbers are written in decimal without padding, sign or separators (a
// negative signed value gets a leading "-").  Texts are copied verbatim up to
// their terminating zero byte; quoted texts are not escaped, so a double
// quote inside one goes out as it is.
#pragma once

#include <string>

#include "gnss/platform/types.h"

// The echo-off command, the first command after the receiver is switched on.
// It is the one command not built by a builder and goes out as 7 bytes: its
// six characters and the terminating zero byte.
inline constexpr char ATE0_COMMAND[] = "ATE0\r\n";
inline constexpr ULONG ATE0_COMMAND_LENGTH = 7;
static_assert(sizeof(ATE0_COMMAND) == ATE0_COMMAND_LENGTH);

// Decimal appenders: the digits are produced lowest first into a scratch
// area and copied out in reading order; 0 is the single digit "0".
void AppendSignedDecimal(std::string& out, LONG value);
void AppendUnsignedDecimal(std::string& out, ULONG value);

// AT+CCLK="yy/M/d,h:m:s": the given UTC time, or the current UTC time when
// pTime is null.  The year is written modulo 100; a time that cannot be
// converted is written as all zeros.
HRESULT ComposeCCLK(std::string& out, const FILETIME* pTime = nullptr);

// AT+CIMI: the SIM's IMSI.
HRESULT ComposeCIMI(std::string& out);

// AT+CRSM=176,28589,131,3,1: the byte of the SIM's administrative data that
// holds the length of the mobile network code.
HRESULT ComposeCRSM(std::string& out);

// at@gnss:prod_test_snr_mode_set(mode): 1 enters, 0 leaves the production test mode.
HRESULT ComposeGTIProdTest(std::string& out, LONG mode);

// at@gnss:npt_spect_ana_string_cmd(1,length,"text").
HRESULT ComposeGTISpectrumAnalyzerTest(std::string& out, ULONG length, const char* text);

// AT+XLCSLQOS=accuracy,second,responseTime,fourth.  Note that the argument
// order differs from the order on the wire.
HRESULT ComposeXLCSLQOS(std::string& out, ULONG horizontalAccuracy, ULONG responseTime,
                        ULONG secondValue, ULONG fourthValue);

// AT+XLCSLRMT=value: allow (1) or deny (0) network-initiated requests.
HRESULT ComposeXLCSLRMT(std::string& out, LONG value);

// AT+XLCSLRMT?
HRESULT ComposeXLCSLRMTQuery(std::string& out);

// AT+XLCSLRMT=verdict,requestId: the user's answer to a network-initiated request.
HRESULT ComposeXLCSLRV(std::string& out, LONG verdict, ULONG requestId);

// AT+XLCSLSR=protocol,mode,,,,,[interval],,,[2]: the interval is left empty
// when it is 0 (a single fix); the tenth parameter is "2" when nmea is 1 or 2.
HRESULT ComposeXLCSLSR(std::string& out, ULONG transportProtocol, ULONG positioningMode,
                       ULONG interval, ULONG nmea);

// AT+XLCSSLP=1,"address",port (the port text unquoted).
HRESULT ComposeXLCSSLP(std::string& out, const char* address, const char* port);

// AT+XLCSSTOREAPN="apn".
HRESULT ComposeXLCSSTOREAPN(std::string& out, const char* apn);

// AT+XLCSSUPLVER=version.
HRESULT ComposeXLCSSUPLVER(std::string& out, ULONG version);

// AT+XLCSSWITCH?
HRESULT ComposeXLCSSWITCHQuery(std::string& out);

// AT+XLCSTER=1.
HRESULT ComposeXLCSTER(std::string& out);

// AT+XLGNVRAM=mask,second: erases the selected kinds of assistance data.
HRESULT ComposeXLGNVRAM(std::string& out, ULONG mask, ULONG secondValue);

// AT+XLCSSWITCH=state[,mode]: mode 2 (the plain switch) is not written.
HRESULT ComposeXLSCSWITCH(std::string& out, ULONG state, ULONG mode);

// AT+XLSRSTOP[=first,session]: bare when the session id is 0.
HRESULT ComposeXLSRSTOP(std::string& out, ULONG firstValue, ULONG sessionId);

// AT+XLTC="chunk",totalLength,chunkNumber,0: one chunk of a certificate.
HRESULT ComposeXLTC(std::string& out, const char* chunk, ULONG totalLength, ULONG chunkNumber);
