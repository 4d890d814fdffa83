// The module-wide GNSS state the request handlers keep, the helpers every
// handler shares, and the handlers themselves.
#pragma once

#include <atomic>

#include "Driver.h"
#include "gnss/protocol/gnss_ddi.h"

// The size of every event buffer the handlers fill.
inline constexpr std::size_t GNSS_EVENT_SIZE = sizeof(GNSS_EVENT);

// ---------------------------------------------------------------------------
// Module-wide GNSS state (one instance for the driver module).
extern std::atomic<ULONG> RadioState;     // location service: 1 at load
extern std::atomic<ULONG> SelfTestState;  // 1 while self-test type 1 is on

// Buffer helpers: never complete the request.
NTSTATUS HelperGetInputBuffer(WDFREQUEST Request, std::size_t DeclaredLength,
                              std::size_t MinimumLength, PVOID* Buffer);
NTSTATUS HelperGetOutputBuffer(WDFREQUEST Request, std::size_t DeclaredLength,
                               std::size_t MinimumLength, PVOID* Buffer);
// Zeroes the event and fills its header (Size, Version, EventType, EventDataSize).
void HelperInitEvent(GNSS_EVENT* Event, GNSS_EVENT_TYPE EventType, ULONG EventDataSize);
// Answers a parked listen request with an event carrying `Data` (the
// handlers of the listen-AGNSS, listen-NI and listen-driver-request requests):
// logs entry and exit under `Function`, completes the request and returns
// the output buffer helper's status.
NTSTATUS HelperAnswerListener(const char* Function, WDFREQUEST Request, GNSS_EVENT_TYPE EventType,
                              const void* Data, ULONG DataSize);
// The event's data area, the union after the 512 unused bytes.
inline BYTE* EventDataArea(GNSS_EVENT* Event) {
    return reinterpret_cast<BYTE*>(Event) + offsetof(GNSS_EVENT, FixData);
}

// TRUE exactly when RadioState is 1 and SelfTestState is 0.
BOOL CheckRadioStatus();

// ---------------------------------------------------------------------------
// Session tables (three slots each, keyed by file object), LKG and last fix.
BOOL RegisterFileObject(WDFFILEOBJECT FileObject);
BOOL UnregisterFileObject(WDFFILEOBJECT FileObject);
BOOL IsContinuousSessionId(ULONG FixSessionID);
BOOL IsLKGSessionId(WDFREQUEST Request);
void CacheFixData(const GNSS_FIXDATA* FixData, BOOL Delivered);
BOOL GetCachedFixData(GNSS_FIXDATA* FixData, BOOL OnlyFresh);
void ClearFreshFixFlag();

// NMEA queue.
void CacheNmeaData(const GNSS_NMEA_DATA* NmeaData);
void ClearNmeaData();
BOOL GetCachedGnssNmeaData(GNSS_NMEA_DATA* NmeaData);

// ---------------------------------------------------------------------------
// Request handlers.  Each returns an NTSTATUS under the dispatcher's
// contract: STATUS_PENDING parks the request, STATUS_NOT_SUPPORTED and
// STATUS_ACCESS_DENIED leave completion to the dispatcher, anything else
// means the handler completed the request.
NTSTATUS OnGNSSSendPlatformCapability(WDFREQUEST Request, std::size_t InputBufferLength);
NTSTATUS OnGNSSGetDeviceCapability(WDFREQUEST Request, std::size_t OutputBufferLength);
NTSTATUS OnGNSSGetChipsetInfo(WDFREQUEST Request, std::size_t OutputBufferLength);
NTSTATUS OnGNSSSendDriverCommand(WDFREQUEST Request, std::size_t InputBufferLength);
NTSTATUS OnGNSSStartFixSession(WDFREQUEST Request, std::size_t InputBufferLength);
NTSTATUS OnGNSSModifyFixSession(WDFREQUEST Request, std::size_t InputBufferLength);
NTSTATUS OnGNSSStopFixSession(WDFREQUEST Request, std::size_t InputBufferLength);
NTSTATUS OnGNSSGetFixData(WDFREQUEST Request, const GNSS_FIXDATA* FixData);
NTSTATUS OnGNSSFixError(WDFREQUEST Request, const GNSS_ERRORINFO* ErrorInfo);
NTSTATUS OnGNSSListenNmeaData(WDFREQUEST Request, const GNSS_NMEA_DATA* NmeaData);
NTSTATUS OnGNSSRequestDriver(WDFREQUEST Request, const GNSS_DRIVER_REQUEST_DATA* RequestData);
NTSTATUS OnGNSSNiRequest(WDFREQUEST Request, const GNSS_NI_REQUEST_PARAM* NiRequest);
NTSTATUS OnGNSSRespondNi(WDFREQUEST Request, std::size_t InputBufferLength);
NTSTATUS OnGNSSInjectAgnss(WDFREQUEST Request, std::size_t InputBufferLength);
NTSTATUS OnGNSSRequestAgnss(WDFREQUEST Request, const GNSS_AGNSS_REQUEST_PARAM* AgnssRequest);
NTSTATUS OnGNSSSetSuplHslp(WDFREQUEST Request, std::size_t InputBufferLength);
NTSTATUS OnGNSSConfigSuplCert(WDFREQUEST Request, std::size_t InputBufferLength);
NTSTATUS OnGNSSSelfTest(WDFREQUEST Request, std::size_t InputBufferLength,
                        std::size_t OutputBufferLength);
void OnGNSSSelfTestResponse(GNSS_SELFTESTRESULT* Result);
