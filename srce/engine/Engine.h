// The modem engine's own functions: the client thread, event dispatch, the
// synchronous AT exchange, the radio and fix-session procedures, the
// notifications and the feature work.  Everything here but SetNmea and
// UpdateOperationMode (and the start-up and shut-down functions) runs on the
// client thread, inside the handling of an internal event.
#pragma once

#include <cstddef>
#include <string>

#include "engine/EngineState.h"

// ---------------------------------------------------------------------------
// Result codes of SendATCmdSync.
inline constexpr HRESULT AT_RESULT_OK = S_OK;
inline constexpr HRESULT AT_RESULT_INVALID_ARGUMENT = E_INVALIDARG;            // 0x80070057
inline constexpr HRESULT AT_RESULT_NO_ANSWER = HRESULT_INTERNAL_ERROR;         // 0x8007054F
inline constexpr HRESULT AT_RESULT_STOPPED = HRESULT_DEVICE_UNREACHABLE;       // 0x80070141

// Longest command SendATCmdSync hands to the transport.
inline constexpr LONG AT_COMMAND_MAX_LENGTH = 512;

// Waits the procedures use (milliseconds, before the time scale).
inline constexpr DWORD AT_ANSWER_TIMEOUT_MS = 1000;
inline constexpr DWORD AT_CRSM_TIMEOUT_MS = 10000;
inline constexpr DWORD STOP_CONFIRM_TIMEOUT_MS = 3000;
inline constexpr DWORD CLIENT_THREAD_EXIT_TIMEOUT_MS = 3000;

// Retries of a failed location request, per request kind.
inline constexpr LONG MAX_LOCATION_RETRIES = 10;

// Default and minimum response time of a single shot (seconds).
inline constexpr ULONG DEFAULT_RESPONSE_TIME = 150;

// Default path of the NMEA log file; GNSS_NMEA_LOG_FILE overrides it.
inline constexpr const char* NMEA_LOG_DEFAULT_PATH = "/var/log/gnss/NmeaLog.txt";
inline constexpr const char* NMEA_LOG_PATH_VARIABLE = "GNSS_NMEA_LOG_FILE";

// ---------------------------------------------------------------------------
// Start-up, shut-down and the client thread.
BOOL InitGpsClientCbs(const GPSCLIENT_CALLBACKS* pCallbacks);
BOOL InitGpsClientThread();
BOOL DeInitGpsClientThread();
DWORD ModemStateThread();
BOOL SetDeviceRemoveEvent();
BOOL ResetDeviceRemoveEvent();

// The events and the callbacks as the calling thread may use them.  The
// client thread uses the events it was started with; a client thread that
// outlived its shut-down sees no callbacks.  Any other thread sees the
// engine's current ones.
ENGINE_EVENTS ClientEvents();
GPSCLIENT_CALLBACKS ClientCallbacks();
// Posts an event from the client thread's own work (a re-post); a client
// thread that outlived its shut-down posts nothing and frees pParam.
BOOL PostFromClient(LONG nEventType, void* pParam);

// ---------------------------------------------------------------------------
// Dispatch of one internal event; returns the handler's result.
BOOL ProcessInternalEvent(LONG nEventType, void* pParam);

// ---------------------------------------------------------------------------
// The synchronous AT exchange.
HRESULT SendATCmdSync(const char* pBuff, LONG uiLen, BOOL bPowerRef, DWORD dwTimeoutMs);
HRESULT SendATCmdSync(const std::string& command, BOOL bPowerRef, DWORD dwTimeoutMs);
// A pause that ends early on shut-down or device removal: 1 when the time
// has passed, 0 otherwise.
BOOL HelperSleep(DWORD dwMilliseconds);
// The engine's other fixed pauses (before a re-post, around a command,
// between attempts): like HelperSleep, they end early on shut-down or device
// removal, which is logged under the caller's name.  True when the whole time
// has passed; false when the engine is to stop, and the caller then sends
// nothing more for the work at hand.
bool PauseUnlessStopped(DWORD dwMilliseconds, const char* function);
// True once shut-down or device removal is signalled (checked without
// waiting): the work at hand ends, and nothing of it reaches the next modem.
bool StopRequested();

enum class StopWaitResult { Confirmed, Shutdown, DeviceRemoved, TimedOut };
// Waits for the modem's confirmation of a stop ("+XLSRSTOP").
StopWaitResult WaitForStopComplete(DWORD dwTimeoutMs);

// ---------------------------------------------------------------------------
// Radio and chip.
BOOL ProcessRadioOn();
BOOL ProcessRadioOff();
BOOL InternalRadioOperation(DWORD bEnable, DWORD dwMode);
DWORD GetGNSSChip();
BOOL IsFirstLocationRequest();

// ---------------------------------------------------------------------------
// Fix sessions.
BOOL ProcessSingleshotRequestPV7710(const GNSS_FIXSESSION_PARAM* pInParam, BOOL bRetry);
BOOL ProcessSingleshotRequestRXA7300(const GNSS_FIXSESSION_PARAM* pInParam, BOOL bRetry);
BOOL ProcessPeriodicRequestPV7710(const GNSS_FIXSESSION_PARAM* pInParam, BOOL bRetry);
BOOL ProcessPeriodicRequestRXA7300(const GNSS_FIXSESSION_PARAM* pInParam, BOOL bRetry);
BOOL ProcessStopRequestPV7710(const GNSS_STOPFIXSESSION_PARAM* pInParam);
BOOL ProcessStopRequestRXA7300(const GNSS_STOPFIXSESSION_PARAM* pInParam);
BOOL ProcessModifyFixRequest(const GNSS_FIXSESSION_PARAM* pInParam);
BOOL RefreshReportInterval();
BOOL HelperIssueStop();

// ---------------------------------------------------------------------------
// Notifications and settings.
BOOL ProcessNavDataNotification(GNSS_FIXDATA* pFixData);
BOOL ProcessNMEADataNotification(GNSS_NMEA_DATA* pNmeaData);
void SetNmea(DWORD value);
void UpdateOperationMode(DWORD value);
// Closes the NMEA log file if it is open (engine shut-down).
void CloseNmeaLogFile();
// True while the NMEA log file is open.
bool IsNmeaLogFileOpen();

// ---------------------------------------------------------------------------
// Feature work.
BOOL ProcessNiResponse(const GNSS_NI_RESPONSE* pNiResponse);
BOOL ProcessNiRequestAllowed(LONG bAllowed);
BOOL ProcessNiRequest(GNSS_NI_REQUEST_PARAM* pNiRequest, void* pArgument);
BOOL ProcessInjectAssistance(const GNSS_AGNSS_INJECT* pAgnssData);
BOOL ProcessClearAssistance(const LONG* pClearValue);
BOOL ProcessSetSuplServer(const GNSS_SUPL_HSLP_CONFIG* pHslpConfig);
BOOL ProcessSetSuplVersion(const GNSS_SUPL_VERSION* pSuplVersion);
BOOL ProcessSetCertificate(const GNSS_SUPL_CERT_CONFIG* pCertConfig);
BOOL ProcessSelfTest(const GNSS_SELFTESTCONFIG* pSelfTestData);

// The mask of AT+XLGNVRAM for a clear value; false for a value that has none.
bool ClearValueToMask(LONG value, ULONG* pMask);

// ---------------------------------------------------------------------------
// SUPL provisioning from the SIM.
void HelperGetImsi(std::string& strImsi);
BOOL HelperUpdateSuplConfigPV7710();

// ---------------------------------------------------------------------------
// Small helpers shared by the engine's files.

// The command text for the log: the bytes up to the first zero byte, without
// the line terminator.
std::string CommandLogText(const char* pBuff, std::size_t length);
inline std::string CommandLogText(const std::string& command) {
    return CommandLogText(command.data(), command.size());
}

// Offset of the certificate bytes in GNSS_SUPL_CERT_CONFIG and of the input
// bytes in GNSS_SELFTESTCONFIG, the header sizes the entry points copy.
inline constexpr std::size_t SUPL_CERT_HEADER_SIZE = offsetof(GNSS_SUPL_CERT_CONFIG, CertData);
inline constexpr std::size_t SELFTEST_CONFIG_HEADER_SIZE = offsetof(GNSS_SELFTESTCONFIG, InBuffer);
inline constexpr std::size_t SELFTEST_RESULT_HEADER_SIZE = offsetof(GNSS_SELFTESTRESULT, OutBuffer);
static_assert(SUPL_CERT_HEADER_SIZE == 788);
static_assert(SELFTEST_CONFIG_HEADER_SIZE == 528);
static_assert(SELFTEST_RESULT_HEADER_SIZE == 536);
