// The modem engine's interface: the callback table through which it reports
// to the driver, and the atclient_ entry points the driver calls.
//
// The entry points that carry work copy their argument into a heap block,
// post an internal event and return at once; the engine's client thread
// carries the work out later, in posting order.  Their result (1 accepted,
// 0 refused) never says whether the modem carried the work out.
#pragma once

#include "gnss/platform/types.h"
#include "gnss/protocol/gnss_ddi.h"

using PFN_GPSCLIENT_FIXDATA_CB = void (*)(GNSS_FIXDATA* pFixData);
using PFN_GPSCLIENT_ERRINFO_CB = void (*)(GNSS_ERRORINFO* pErrorInfo);
using PFN_GPSCLIENT_NMEADATA_CB = void (*)(GNSS_NMEA_DATA* pNmeaData);
using PFN_GPSCLIENT_SERVICESTATUS_CB = void (*)(ULONG status);
using PFN_GPSCLIENT_STOPSESSION_CB = void (*)(ULONG FixSessionID);
using PFN_GPSCLIENT_NIREQDATA_CB = void (*)(GNSS_NI_REQUEST_PARAM* pNiRequest, void* pArgument);
using PFN_GPSCLIENT_ASSISTANCEREQ_CB = void (*)(GNSS_AGNSS_REQUEST_PARAM* pAgnssRequest);
using PFN_GPSCLIENT_DRIVERREQUEST_CB = void (*)(GNSS_DRIVER_REQUEST_DATA* pDriverRequest);
using PFN_GPSCLIENT_SELFTESTRESULT_CB = void (*)(GNSS_SELFTESTRESULT* pResult);
// Returns more than 0 when the bytes were handed to the transport.
using PFN_GPSCLIENT_MODEMSEND_CB = LONG (*)(const BYTE* pBuffer, ULONG uiLength);

// The GPS client callbacks, in this order.  Any slot may be null.
struct GPSCLIENT_CALLBACKS {
    PFN_GPSCLIENT_FIXDATA_CB pfnFixDataCb;
    PFN_GPSCLIENT_ERRINFO_CB pfnErrInfoCb;
    PFN_GPSCLIENT_NMEADATA_CB pfnNmeaDataCb;
    PFN_GPSCLIENT_SERVICESTATUS_CB pfnServiceStatusCb;
    PFN_GPSCLIENT_STOPSESSION_CB pfnStopSessionCb;
    PFN_GPSCLIENT_NIREQDATA_CB pfnNiReqDataCb;
    PFN_GPSCLIENT_ASSISTANCEREQ_CB pfnAssistanceReqCb;
    PFN_GPSCLIENT_DRIVERREQUEST_CB pfnDriverRequestCb;
    PFN_GPSCLIENT_SELFTESTRESULT_CB pfnSelfTestResultCb;
    PFN_GPSCLIENT_MODEMSEND_CB pfnModemSendCb;
};

// Start-up and shut-down.
BOOL atclient_Init(const GPSCLIENT_CALLBACKS* pCallbacks);
BOOL atclient_DeInit();

// Fix sessions.
BOOL atclient_StartFix(const GNSS_FIXSESSION_PARAM* pParam);
BOOL atclient_ModifyFixSession(const GNSS_FIXSESSION_PARAM* pParam);
BOOL atclient_StopFix(const GNSS_STOPFIXSESSION_PARAM* pParam);

// Receiver switches: 1 switches on, any other value off.
BOOL atclient_SetGnssPositioning(ULONG bEnable);
BOOL atclient_SetAgnssPositioning(ULONG bEnable);
BOOL atclient_SetPgnssPositioning(ULONG bEnable);

// Settings changed on the caller's thread.
BOOL atclient_SetNmea(ULONG value);
BOOL atclient_UpdateOperationMode(ULONG value);
BOOL atclient_UpdateSatelliteSystem(ULONG value);

// Device removal signalling.
BOOL atclient_SetDeviceRemoveEvent();
BOOL atclient_ResetDeviceRemoveEvent();

// Bytes received from the modem (one transfer at a time).
BOOL atclient_ReceivedModemData(const BYTE* pData, ULONG uiLen);

// Feature work.
BOOL atclient_NiResponse(const GNSS_NI_RESPONSE* pNiResponse);
BOOL atclient_InjectAssistance(const GNSS_AGNSS_INJECT* pAgnssInject);
BOOL atclient_ClearAgnssData(LONG dwFlags);
BOOL atclient_SetHslpAddress(const GNSS_SUPL_HSLP_CONFIG* pHslpConfig);
BOOL atclient_SetCertificate(const GNSS_SUPL_CERT_CONFIG* pCertConfig);
BOOL atclient_SetSuplVersion(const GNSS_SUPL_VERSION* pSuplVersion);
BOOL atclient_SelfTest(const GNSS_SELFTESTCONFIG* pSelfTestConfig);
