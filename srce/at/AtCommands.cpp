// The AT command builders.
#include "at/AtCommands.h"

#include "gnss/platform/time.h"

namespace {

constexpr const char* kTerminator = "\r\n";

// Digits of a magnitude, lowest first, into the end of a scratch area; then
// copied out in reading order.
void AppendMagnitude(std::string& out, ULONG magnitude) {
    char scratch[10];  // 4294967295 has ten digits
    std::size_t first = sizeof scratch;
    do {
        scratch[--first] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    out.append(scratch + first, sizeof scratch - first);
}

void AppendQuoted(std::string& out, const char* text) {
    out += '"';
    out += text;
    out += '"';
}

}  // namespace

void AppendSignedDecimal(std::string& out, LONG value) {
    ULONG magnitude = static_cast<ULONG>(value);
    if (value < 0) {
        out += '-';
        magnitude = 0u - magnitude;  // also right for the most negative value
    }
    AppendMagnitude(out, magnitude);
}

void AppendUnsignedDecimal(std::string& out, ULONG value) { AppendMagnitude(out, value); }

HRESULT ComposeCCLK(std::string& out, const FILETIME* pTime) {
    SYSTEMTIME st{};
    if (pTime != nullptr) {
        if (!gnss::os::FileTimeToSystemTime(pTime, &st)) st = SYSTEMTIME{};
    } else {
        gnss::os::GetSystemTime(&st);
    }
    out += "AT+CCLK=";
    out += '"';
    AppendSignedDecimal(out, st.wYear % 100);
    out += '/';
    AppendSignedDecimal(out, st.wMonth);
    out += '/';
    AppendSignedDecimal(out, st.wDay);
    out += ',';
    AppendSignedDecimal(out, st.wHour);
    out += ':';
    AppendSignedDecimal(out, st.wMinute);
    out += ':';
    AppendSignedDecimal(out, st.wSecond);
    out += '"';
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeCIMI(std::string& out) {
    out += "AT+CIMI";
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeCRSM(std::string& out) {
    out += "AT+CRSM=176,28589,131,3,1";
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeGTIProdTest(std::string& out, LONG mode) {
    out += "at@gnss:";
    out += "prod_test_snr_mode_set";
    out += '(';
    AppendSignedDecimal(out, mode);
    out += ')';
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeGTISpectrumAnalyzerTest(std::string& out, ULONG length, const char* text) {
    if (text == nullptr) return E_INVALIDARG;
    out += "at@gnss:";
    out += "npt_spect_ana_string_cmd";
    out += '(';
    out += "1,";
    AppendUnsignedDecimal(out, length);
    out += ',';
    AppendQuoted(out, text);
    out += ')';
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLCSLQOS(std::string& out, ULONG horizontalAccuracy, ULONG responseTime,
                        ULONG secondValue, ULONG fourthValue) {
    out += "AT+XLCSLQOS=";
    AppendUnsignedDecimal(out, horizontalAccuracy);
    out += ',';
    AppendUnsignedDecimal(out, secondValue);
    out += ',';
    AppendUnsignedDecimal(out, responseTime);
    out += ',';
    AppendUnsignedDecimal(out, fourthValue);
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLCSLRMT(std::string& out, LONG value) {
    out += "AT+XLCSLRMT=";
    AppendSignedDecimal(out, value);
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLCSLRMTQuery(std::string& out) {
    out += "AT+XLCSLRMT?";
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLCSLRV(std::string& out, LONG verdict, ULONG requestId) {
    // The answer to a network-initiated request goes out under AT+XLCSLRMT.
    out += "AT+XLCSLRMT=";
    AppendSignedDecimal(out, verdict);
    out += ',';
    AppendUnsignedDecimal(out, requestId);
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLCSLSR(std::string& out, ULONG transportProtocol, ULONG positioningMode,
                       ULONG interval, ULONG nmea) {
    out += "AT+XLCSLSR=";
    AppendUnsignedDecimal(out, transportProtocol);
    out += ',';
    AppendUnsignedDecimal(out, positioningMode);
    out += ",,,,,";                                           // parameters 3 to 6 empty
    if (interval != 0) AppendUnsignedDecimal(out, interval);  // empty asks for a single fix
    out += ',';
    out += ",,";  // parameters 8 and 9 empty
    if (nmea == 1 || nmea == 2) out += '2';
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLCSSLP(std::string& out, const char* address, const char* port) {
    if (address == nullptr || port == nullptr) return E_INVALIDARG;
    out += "AT+XLCSSLP=";
    AppendUnsignedDecimal(out, 1);
    out += ',';
    AppendQuoted(out, address);
    out += ',';
    out += port;
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLCSSTOREAPN(std::string& out, const char* apn) {
    if (apn == nullptr) return E_INVALIDARG;
    out += "AT+XLCSSTOREAPN=";
    AppendQuoted(out, apn);
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLCSSUPLVER(std::string& out, ULONG version) {
    out += "AT+XLCSSUPLVER=";
    AppendUnsignedDecimal(out, version);
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLCSSWITCHQuery(std::string& out) {
    out += "AT+XLCSSWITCH?";
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLCSTER(std::string& out) {
    out += "AT+XLCSTER=";
    AppendUnsignedDecimal(out, 1);
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLGNVRAM(std::string& out, ULONG mask, ULONG secondValue) {
    out += "AT+XLGNVRAM=";
    AppendUnsignedDecimal(out, mask);
    out += ',';
    AppendUnsignedDecimal(out, secondValue);
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLSCSWITCH(std::string& out, ULONG state, ULONG mode) {
    out += "AT+XLCSSWITCH=";
    AppendUnsignedDecimal(out, state);
    if (mode != 2) {  // mode 2 is the plain switch and is not written
        out += ',';
        AppendUnsignedDecimal(out, mode);
    }
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLSRSTOP(std::string& out, ULONG firstValue, ULONG sessionId) {
    out += "AT+XLSRSTOP";
    if (sessionId != 0) {  // with no known session the bare command stops whatever runs
        out += '=';
        AppendUnsignedDecimal(out, firstValue);
        out += ',';
        AppendUnsignedDecimal(out, sessionId);
    }
    out += kTerminator;
    return S_OK;
}

HRESULT ComposeXLTC(std::string& out, const char* chunk, ULONG totalLength, ULONG chunkNumber) {
    if (chunk == nullptr) return E_INVALIDARG;
    out += "AT+XLTC=";
    AppendQuoted(out, chunk);
    out += ',';
    AppendUnsignedDecimal(out, totalLength);
    out += ',';
    AppendUnsignedDecimal(out, chunkNumber);
    out += ',';
    out += '0';
    out += kTerminator;
    return S_OK;
}
