// The published GNSS driver interface ("gnssdriver.h"), version 3: the device
// interface GUID, the control codes, the enumerations and the structures that
// travel between the location platform (the clients) and the driver.
//
// This is the one definition shared by the driver and the client library.
// Every structure is a plain, trivially copyable, standard-layout record that
// is copied byte for byte to and from the device socket, in native byte order.
// The layouts reproduce the published ones with 4-byte ULONG/BOOL/enums and
// naturally aligned DOUBLEs, so the sizes below hold on x86-64 and aarch64
// alike; the static_asserts at the end of the file pin every size and every
// offset the driver relies on.
//
// Where later interface versions grew a structure, the member set here is the
// one this driver is built with (for instance GNSS_FIXDATA carries
// GNSS_FIXDATA_BASIC and GNSS_FIXDATA_ACCURACY, not their _2 successors).
#pragma once

#include <cstddef>
#include <type_traits>

#include "gnss/protocol/types.h"

// ---------------------------------------------------------------------------
// Interface versions
// ---------------------------------------------------------------------------

inline constexpr ULONG GNSS_DRIVER_VERSION_1 = 1;
inline constexpr ULONG GNSS_DRIVER_VERSION_2 = 2;
inline constexpr ULONG GNSS_DRIVER_VERSION_3 = 3;

// The version this stack speaks; it goes into every Version field it fills.
inline constexpr ULONG GNSS_INTERFACE_VERSION = GNSS_DRIVER_VERSION_3;

// ---------------------------------------------------------------------------
// Device interface
// ---------------------------------------------------------------------------

// {3336E5E4-018A-4669-84C5-BD05F3BD368B}
inline constexpr GUID GUID_DEVINTERFACE_GNSS = {
    0x3336E5E4, 0x018A, 0x4669, {0x84, 0xC5, 0xBD, 0x05, 0xF3, 0xBD, 0x36, 0x8B}};

// ---------------------------------------------------------------------------
// Control codes
//
// All are CTL_CODE(0x22, function, METHOD_BUFFERED, FILE_ANY_ACCESS), that is
// 0x00220000 | function << 2.  The function numbers come in groups: device
// information, fix sessions, assistance data, listeners and SUPL/NI, test,
// geofences, driver requests and breadcrumbs.
// ---------------------------------------------------------------------------

inline constexpr ULONG IOCTL_GNSS_SEND_PLATFORM_CAPABILITY = 0x00220004;      // fn 0x001
inline constexpr ULONG IOCTL_GNSS_GET_DEVICE_CAPABILITY = 0x00220008;         // fn 0x002
inline constexpr ULONG IOCTL_GNSS_SEND_DRIVERCOMMAND = 0x0022000C;            // fn 0x003

inline constexpr ULONG IOCTL_GNSS_START_FIXSESSION = 0x00220040;              // fn 0x010
inline constexpr ULONG IOCTL_GNSS_MODIFY_FIXSESSION = 0x00220044;             // fn 0x011
inline constexpr ULONG IOCTL_GNSS_STOP_FIXSESSION = 0x00220048;               // fn 0x012
inline constexpr ULONG IOCTL_GNSS_GET_FIXDATA = 0x0022004C;                   // fn 0x013

inline constexpr ULONG IOCTL_GNSS_INJECT_AGNSS = 0x00220080;                  // fn 0x020

inline constexpr ULONG IOCTL_GNSS_LISTEN_AGNSS = 0x002200C0;                  // fn 0x030
inline constexpr ULONG IOCTL_GNSS_LISTEN_ERROR = 0x002200C4;                  // fn 0x031

inline constexpr ULONG IOCTL_GNSS_LISTEN_NI = 0x00220100;                     // fn 0x040
inline constexpr ULONG IOCTL_GNSS_SET_SUPL_HSLP = 0x00220104;                 // fn 0x041
inline constexpr ULONG IOCTL_GNSS_CONFIG_SUPL_CERT = 0x00220108;              // fn 0x042
inline constexpr ULONG IOCTL_GNSS_RESPOND_NI = 0x0022010C;                    // fn 0x043
inline constexpr ULONG IOCTL_GNSS_EXECUTE_CWTEST = 0x00220110;                // fn 0x044
inline constexpr ULONG IOCTL_GNSS_EXECUTE_SELFTEST = 0x00220114;              // fn 0x045
inline constexpr ULONG IOCTL_GNSS_GET_CHIPSETINFO = 0x00220118;               // fn 0x046
inline constexpr ULONG IOCTL_GNSS_LISTEN_NMEA = 0x0022011C;                   // fn 0x047
inline constexpr ULONG IOCTL_GNSS_SET_V2UPL_CONFIG = 0x00220120;              // fn 0x048

inline constexpr ULONG IOCTL_GNSS_CREATE_GEOFENCE = 0x00220140;               // fn 0x050
inline constexpr ULONG IOCTL_GNSS_DELETE_GEOFENCE = 0x00220144;               // fn 0x051
inline constexpr ULONG IOCTL_GNSS_LISTEN_GEOFENCE_ALERT = 0x00220148;         // fn 0x052
inline constexpr ULONG IOCTL_GNSS_LISTEN_GEOFENCES_TRACKINGSTATUS = 0x0022014C;  // fn 0x053

inline constexpr ULONG IOCTL_GNSS_LISTEN_DRIVER_REQUEST = 0x00220180;         // fn 0x060

inline constexpr ULONG IOCTL_GNSS_START_BREADCRUMBING = 0x002201C0;           // fn 0x070
inline constexpr ULONG IOCTL_GNSS_STOP_BREADCRUMBING = 0x002201C4;            // fn 0x071
inline constexpr ULONG IOCTL_GNSS_LISTEN_BREADCRUMBING_ALERT = 0x002201C8;    // fn 0x072
inline constexpr ULONG IOCTL_GNSS_POP_BREADCRUMBS = 0x002201CC;               // fn 0x073

// ---------------------------------------------------------------------------
// Array bounds
// ---------------------------------------------------------------------------

#ifndef MAX_PATH
inline constexpr std::size_t MAX_PATH = 260;
#endif
#ifndef ANYSIZE_ARRAY
// Trailing variable-length arrays are declared with one element; the real
// length is given by a size member and the data runs past the structure.
inline constexpr std::size_t ANYSIZE_ARRAY = 1;
#endif
inline constexpr std::size_t MAX_SERVER_URL_NAME = 260;
inline constexpr std::size_t GNSS_MAXSATELLITE = 64;

// ---------------------------------------------------------------------------
// Flag values
// ---------------------------------------------------------------------------

// GNSS_FIXDATA.FixLevelOfDetails / GNSS_FIXSESSION_PARAM.FixLevelOfDetails.
inline constexpr ULONG GNSS_FIXDETAIL_BASIC = 0x01;
inline constexpr ULONG GNSS_FIXDETAIL_ACCURACY = 0x02;
inline constexpr ULONG GNSS_FIXDETAIL_SATELLITE = 0x04;

// Data of GNSS_ForceOperationMode.
inline constexpr ULONG GNSS_OPERMODE_ANY = 0x00;
inline constexpr ULONG GNSS_OPERMODE_MSA = 0x01;
inline constexpr ULONG GNSS_OPERMODE_MSB = 0x02;
inline constexpr ULONG GNSS_OPERMODE_MSS = 0x04;
inline constexpr ULONG GNSS_OPERMODE_CELLID = 0x08;
inline constexpr ULONG GNSS_OPERMODE_AFLT = 0x10;
inline constexpr ULONG GNSS_OPERMODE_OTDOA = 0x20;

// Data of GNSS_ForceSatelliteSystem.
inline constexpr ULONG GNSS_SATELLITE_ANY = 0x00;
inline constexpr ULONG GNSS_SATELLITE_GPS = 0x01;
inline constexpr ULONG GNSS_SATELLITE_GLONASS = 0x02;
inline constexpr ULONG GNSS_SATELLITE_BEIDOU = 0x04;
inline constexpr ULONG GNSS_SATELLITE_GALILEO = 0x08;

// Capability and request bitmasks of assistance blob formats.
inline constexpr ULONG GNSS_AGNSSFORMAT_XTRA1 = 0x01;
inline constexpr ULONG GNSS_AGNSSFORMAT_XTRA2 = 0x02;
inline constexpr ULONG GNSS_AGNSSFORMAT_LTO = 0x04;
inline constexpr ULONG GNSS_AGNSSFORMAT_XTRA3 = 0x08;
inline constexpr ULONG GNSS_AGNSSFORMAT_XTRA3_1 = 0x10;
inline constexpr ULONG GNSS_AGNSSFORMAT_XTRA3_2 = 0x20;
inline constexpr ULONG GNSS_AGNSSFORMAT_XTRA_INT = 0x40;

// ---------------------------------------------------------------------------
// Enumerations.  Each has a fixed 32-bit underlying type so that it occupies
// exactly one word inside the structures and any value read off the wire is
// a valid value of the type (unknown ones included).
// ---------------------------------------------------------------------------

enum GNSS_FIXSESSIONTYPE : INT {
    GNSS_FixSession_SingleShot = 1,
    GNSS_FixSession_DistanceTracking = 2,
    GNSS_FixSession_ContinuousTracking = 3,
    GNSS_FixSession_LKG = 4,
};

enum GNSS_EVENT_TYPE : INT {
    GNSS_Event_FixAvailable = 1,
    GNSS_Event_RequireAgnss = 2,
    GNSS_Event_Error = 3,
    GNSS_Event_NiRequest = 12,
    GNSS_Event_NmeaData = 13,
    GNSS_Event_GeofenceAlertData = 14,
    GNSS_Event_GeofencesTrackingStatus = 15,
    GNSS_Event_DriverRequest = 16,
    GNSS_Event_BreadcrumbAlertEvent = 17,
    GNSS_Event_FixAvailable_2 = 18,
    GNSS_Event_Custom = 0x00008000,
};

// The published values leave 5 to 8 and 11 unnamed; a driver treats them
// like any other unknown command.
enum GNSS_DRIVERCOMMAND_TYPE : INT {
    GNSS_SetLocationServiceEnabled = 1,
    GNSS_SetLocationNIRequestAllowed = 2,
    GNSS_ForceSatelliteSystem = 3,
    GNSS_ForceOperationMode = 4,
    GNSS_ResetEngine = 9,
    GNSS_ClearAgnssData = 10,
    GNSS_SetSuplVersion = 12,
    GNSS_SetNMEALogging = 13,
    GNSS_SetUplServerAccessInterval = 14,
    GNSS_SetNiTimeoutInterval = 15,
    GNSS_ResetGeofencesTracking = 16,
    GNSS_SetSuplVersion2 = 17,
    GNSS_CustomCommand = 0x0100,
};

// Kind of assistance data asked for (GNSS_AGNSS_REQUEST_PARAM.RequestType)
// or injected (GNSS_AGNSS_INJECT.InjectionType).
enum GNSS_AGNSS_REQUEST_TYPE : INT {
    GNSS_AGNSS_TimeInjection = 1,
    GNSS_AGNSS_PositionInjection = 2,
    GNSS_AGNSS_BlobInjection = 3,
};

enum GNSS_NI_REQUEST_TYPE : INT {
    GNSS_NI_Request_SingleShot = 1,
    GNSS_NI_Request_AreaTrigger = 2,
};

enum GNSS_NI_NOTIFICATION_TYPE : INT {
    GNSS_NI_NoNotifyNoVerify = 1,
    GNSS_NI_NotifyOnly = 2,
    GNSS_NI_NotifyVerifyDefaultAllow = 3,
    GNSS_NI_NotifyVerifyDefaultNotAllow = 4,
    GNSS_NI_PrivacyOverride = 5,
};

enum GNSS_NI_PLANE_TYPE : INT {
    GNSS_NI_SUPL = 1,
    GNSS_NI_CP = 2,
    GNSS_NI_V2UPL = 3,
};

enum GNSS_NI_USER_RESPONSE : INT {
    GNSS_Ni_UserResponseAccept = 1,
    GNSS_Ni_UserResponseDeny = 2,
    GNSS_Ni_UserResponseTimeout = 3,
};

enum GNSS_SUPL_CERT_ACTION : INT {
    GNSS_Supl_Cert_Inject = 1,
    GNSS_Supl_Cert_Delete = 2,
    GNSS_Supl_Cert_Purge = 3,
};

enum GNSS_DRIVER_REQUEST : INT {
    SUPL_CONFIG_DATA = 1,
};

enum GNSS_GEOFENCE_STATE : INT {
    GNSS_GeofenceState_Unknown = 0,
    GNSS_GeofenceState_Entered = 1,
    GNSS_GeofenceState_Exited = 2,
};

// ---------------------------------------------------------------------------
// Capabilities and chipset information
// ---------------------------------------------------------------------------

struct GNSS_SUPL_VERSION {
    ULONG MajorVersion;
    ULONG MinorVersion;
};

// Input of IOCTL_GNSS_SEND_PLATFORM_CAPABILITY.
struct GNSS_PLATFORM_CAPABILITY {
    ULONG Size;
    ULONG Version;
    BOOL SupportAgnssInjection;
    ULONG AgnssFormatSupported;  // GNSS_AGNSSFORMAT_* bits
    BYTE Unused[516];
};

// Output of IOCTL_GNSS_GET_DEVICE_CAPABILITY.
struct GNSS_DEVICE_CAPABILITY {
    ULONG Size;
    ULONG Version;
    BOOL SupportMultipleFixSessions;
    BOOL SupportMultipleAppSessions;
    BOOL RequireAGnssInjection;
    ULONG AgnssFormatSupported;
    ULONG AgnssFormatPreferred;
    BOOL SupportDistanceTracking;
    BOOL SupportContinuousTracking;
    ULONG Reserved1;
    BOOL Reserved2;
    BOOL Reserved3;
    BOOL Reserved4;
    BOOL Reserved5;
    ULONG GeofencingSupport;
    BOOL Reserved6;
    BOOL Reserved7;
    BOOL SupportCpLocation;
    BOOL SupportUplV2;
    BOOL SupportSuplV1;
    BOOL SupportSuplV2;
    GNSS_SUPL_VERSION SupportedSuplVersion;
    ULONG MaxGeofencesSupported;
    BOOL SupportMultipleSuplRootCert;
    ULONG GnssBreadCrumbPayloadVersion;
    ULONG MaxGnssBreadCrumbFixes;
    BYTE Unused[496];
};

// Output of IOCTL_GNSS_GET_CHIPSETINFO; the texts are NUL-terminated.
struct GNSS_CHIPSETINFO {
    ULONG Size;
    ULONG Version;
    WCHAR ManufacturerID[25];
    WCHAR HardwareID[25];
    WCHAR FirmwareVersion[20];
    BYTE Unused[512];
};

// ---------------------------------------------------------------------------
// Driver commands
// ---------------------------------------------------------------------------

// Input of IOCTL_GNSS_SEND_DRIVERCOMMAND; CommandDataSize bytes of command
// data start at CommandData.
struct GNSS_DRIVERCOMMAND_PARAM {
    ULONG Size;
    ULONG Version;
    GNSS_DRIVERCOMMAND_TYPE CommandType;
    ULONG Reserved;
    ULONG CommandDataSize;
    BYTE Unused[512];
    BYTE CommandData[ANYSIZE_ARRAY];
};

// ---------------------------------------------------------------------------
// Fix sessions
// ---------------------------------------------------------------------------

struct GNSS_SINGLESHOT_PARAM {
    ULONG Size;
    ULONG Version;
    ULONG ResponseTime;  // seconds, 0 = no preference
};

struct GNSS_DISTANCETRACKING_PARAM {
    ULONG Size;
    ULONG Version;
    ULONG MovementThreshold;  // metres
};

struct GNSS_CONTINUOUSTRACKING_PARAM {
    ULONG Size;
    ULONG Version;
    ULONG PreferredInterval;  // seconds
};

struct GNSS_LKGFIX_PARAM {
    ULONG Size;
    ULONG Version;
};

// Input of IOCTL_GNSS_START_FIXSESSION and IOCTL_GNSS_MODIFY_FIXSESSION.
// The union member in use follows SessionType.
struct GNSS_FIXSESSION_PARAM {
    ULONG Size;
    ULONG Version;
    ULONG FixSessionID;
    GNSS_FIXSESSIONTYPE SessionType;
    ULONG HorizontalAccuracy;
    ULONG HorizontalConfidence;
    ULONG Reserved[9];
    ULONG FixLevelOfDetails;  // GNSS_FIXDETAIL_* bits
    union {
        GNSS_SINGLESHOT_PARAM SingleShotParam;
        GNSS_DISTANCETRACKING_PARAM DistanceParam;
        GNSS_CONTINUOUSTRACKING_PARAM ContinuousParam;
        GNSS_LKGFIX_PARAM LkgFixParam;
        BYTE UnusedParam[268];
    };
    BYTE Unused[256];
};

// Input of IOCTL_GNSS_STOP_FIXSESSION.
struct GNSS_STOPFIXSESSION_PARAM {
    ULONG Size;
    ULONG Version;
    ULONG FixSessionID;
    BYTE Unused[512];
};

// ---------------------------------------------------------------------------
// Fix data
// ---------------------------------------------------------------------------

struct GNSS_FIXDATA_BASIC {
    ULONG Size;
    ULONG Version;
    DOUBLE Latitude;   // degrees, negative south
    DOUBLE Longitude;  // degrees, negative west
    DOUBLE Altitude;   // metres
    DOUBLE Speed;      // metres per second
    DOUBLE Heading;    // degrees from true north
};

// The first-generation accuracy block, ending with three single-precision
// dilution-of-precision values.
struct GNSS_FIXDATA_ACCURACY {
    ULONG Size;
    ULONG Version;
    ULONG HorizontalAccuracy;        // metres
    ULONG HorizontalErrorMajorAxis;  // metres
    ULONG HorizontalErrorMinorAxis;  // metres
    ULONG HorizontalErrorAngle;      // degrees
    ULONG HeadingAccuracy;
    ULONG AltitudeAccuracy;
    ULONG SpeedAccuracy;
    ULONG HorizontalConfidence;  // percent
    ULONG HeadingConfidence;
    ULONG AltitudeConfidence;
    ULONG SpeedConfidence;
    FLOAT PositionDilutionOfPrecision;
    FLOAT HorizontalDilutionOfPrecision;
    FLOAT VerticalDilutionOfPrecision;
};

struct GNSS_SATELLITEINFO {
    ULONG SatelliteId;
    BOOL UsedInPositiong;  // sic: the published member name
    DOUBLE Elevation;
    DOUBLE Azimuth;
    DOUBLE SignalToNoiseRatio;
};

// Four padding bytes follow SatelliteCount, so the array is 8-aligned.
struct GNSS_FIXDATA_SATELLITE {
    ULONG Size;
    ULONG Version;
    ULONG SatelliteCount;
    GNSS_SATELLITEINFO SatelliteArray[GNSS_MAXSATELLITE];
};

struct GNSS_FIXDATA {
    ULONG Size;
    ULONG Version;
    ULONG FixSessionID;
    FILETIME FixTimeStamp;  // UTC
    BOOL IsFinalFix;
    NTSTATUS FixStatus;
    ULONG FixLevelOfDetails;  // GNSS_FIXDETAIL_* bits
    GNSS_FIXDATA_BASIC BasicData;
    GNSS_FIXDATA_ACCURACY AccuracyData;
    GNSS_FIXDATA_SATELLITE SatelliteData;
};

// ---------------------------------------------------------------------------
// Assistance data
// ---------------------------------------------------------------------------

struct GNSS_AGNSS_REQUEST_PARAM {
    ULONG Size;
    ULONG Version;
    GNSS_AGNSS_REQUEST_TYPE RequestType;
    ULONG BlobFormat;  // one GNSS_AGNSSFORMAT_* value, for blob requests
};

struct GNSS_AGNSS_INJECTTIME {
    ULONG Size;
    ULONG Version;
    FILETIME UtcTime;
    ULONG TimeUncertainty;  // milliseconds
};

struct GNSS_AGNSS_INJECTPOSITION {
    ULONG Size;
    ULONG Version;
    ULONG Age;  // seconds
    GNSS_FIXDATA_BASIC BasicData;
    GNSS_FIXDATA_ACCURACY AccuracyData;
};

// BlobSize bytes of blob data start at BlobData.
struct GNSS_AGNSS_INJECTBLOB {
    ULONG Size;
    ULONG Version;
    ULONG BlobOui;
    ULONG BlobVersion;
    ULONG AgnssFormat;
    ULONG BlobSize;
    BYTE BlobData[ANYSIZE_ARRAY];
};

// Input of IOCTL_GNSS_INJECT_AGNSS.  The union member in use follows
// InjectionType; the data is to be ignored unless InjectionStatus succeeds.
struct GNSS_AGNSS_INJECT {
    ULONG Size;
    ULONG Version;
    GNSS_AGNSS_REQUEST_TYPE InjectionType;
    NTSTATUS InjectionStatus;
    ULONG InjectionDataSize;
    BYTE Unused[512];
    union {
        GNSS_AGNSS_INJECTTIME Time;
        GNSS_AGNSS_INJECTPOSITION Position;
        GNSS_AGNSS_INJECTBLOB BlobData;
    };
};

// ---------------------------------------------------------------------------
// Errors and NMEA
// ---------------------------------------------------------------------------

struct GNSS_ERRORINFO {
    ULONG Size;
    ULONG Version;
    ULONG ErrorCode;  // HRESULT
    BOOL IsRecoverable;
    WCHAR ErrorDescription[256];
    BYTE Unused[512];
};

struct GNSS_NMEA_DATA {
    ULONG Size;
    ULONG Version;
    CHAR NmeaSentences[256];  // NUL-terminated text of one or more sentences
};

// ---------------------------------------------------------------------------
// Network-initiated requests
// ---------------------------------------------------------------------------

struct GNSS_SUPL_NI_INFO {
    ULONG Size;
    ULONG Version;
    WCHAR RequestorId[MAX_PATH];
    WCHAR ClientName[MAX_PATH];
    CHAR SuplNiUrl[MAX_SERVER_URL_NAME];
};

struct GNSS_CP_NI_INFO {
    ULONG Size;
    ULONG Version;
    WCHAR RequestorId[MAX_PATH];
    WCHAR NotificationText[MAX_PATH];
};

struct GNSS_V2UPL_NI_INFO {
    ULONG Size;
    ULONG Version;
    WCHAR RequestorId[MAX_PATH];
};

// The union member in use follows RequestPlaneType.
struct GNSS_NI_REQUEST_PARAM {
    ULONG Size;
    ULONG Version;
    ULONG RequestId;
    GNSS_NI_REQUEST_TYPE RequestType;
    GNSS_NI_NOTIFICATION_TYPE NotificationType;
    GNSS_NI_PLANE_TYPE RequestPlaneType;
    union {
        GNSS_SUPL_NI_INFO SuplNiInfo;
        GNSS_CP_NI_INFO CpNiInfo;
        GNSS_V2UPL_NI_INFO V2UplNiInfo;
    };
    ULONG ResponseTimeInSec;
    BOOL EmergencyLocation;
};

// Input of IOCTL_GNSS_RESPOND_NI.
struct GNSS_NI_RESPONSE {
    ULONG Size;
    ULONG Version;
    ULONG RequestId;
    GNSS_NI_USER_RESPONSE UserResponse;
};

// ---------------------------------------------------------------------------
// SUPL settings
// ---------------------------------------------------------------------------

// Input of IOCTL_GNSS_SET_SUPL_HSLP; the addresses are NUL-terminated
// "host" or "host:port" texts.
struct GNSS_SUPL_HSLP_CONFIG {
    ULONG Size;
    ULONG Version;
    CHAR SuplHslp[MAX_SERVER_URL_NAME];
    CHAR SuplHslpFromImsi[MAX_SERVER_URL_NAME];
    ULONG Reserved;
    BYTE Unused[512];
};

// Input of IOCTL_GNSS_CONFIG_SUPL_CERT; CertSize bytes of certificate start
// at CertData.
struct GNSS_SUPL_CERT_CONFIG {
    ULONG Size;
    ULONG Version;
    GNSS_SUPL_CERT_ACTION CertAction;
    CHAR SuplCertName[MAX_PATH];
    ULONG CertSize;
    BYTE Unused[512];
    BYTE CertData[ANYSIZE_ARRAY];
};

// ---------------------------------------------------------------------------
// Self-test
// ---------------------------------------------------------------------------

// Input of IOCTL_GNSS_EXECUTE_SELFTEST; InBufLen bytes start at InBuffer.
struct GNSS_SELFTESTCONFIG {
    ULONG Size;
    ULONG Version;
    ULONG TestType;
    BYTE Unused[512];
    ULONG InBufLen;
    BYTE InBuffer[ANYSIZE_ARRAY];
};

// Output of IOCTL_GNSS_EXECUTE_SELFTEST; OutBufLen bytes start at OutBuffer.
struct GNSS_SELFTESTRESULT {
    ULONG Size;
    ULONG Version;
    NTSTATUS TestResultStatus;
    ULONG Result;
    ULONG PinFailedBitMask;
    BYTE Unused[512];
    ULONG OutBufLen;
    BYTE OutBuffer[ANYSIZE_ARRAY];
};

// ---------------------------------------------------------------------------
// Geofence, breadcrumb and driver-request event data
// ---------------------------------------------------------------------------

struct GNSS_GEOFENCE_ALERT_DATA {
    ULONG Size;
    ULONG Version;
    ULONG GeofenceID;
    GNSS_GEOFENCE_STATE GeofenceState;
    GNSS_FIXDATA_BASIC FixBasicData;
    GNSS_FIXDATA_ACCURACY FixAccuracyData;
    BYTE Unused[512];
};

struct GNSS_GEOFENCES_TRACKINGSTATUS_DATA {
    ULONG Size;
    ULONG Version;
    NTSTATUS Status;
    FILETIME StatusTimeStamp;
    BYTE Unused[512];
};

struct GNSS_BREADCRUMBING_ALERT_DATA {
    ULONG Size;
    ULONG Version;
    BYTE Unused[512];
};

struct GNSS_DRIVER_REQUEST_DATA {
    ULONG Size;
    ULONG Version;
    GNSS_DRIVER_REQUEST Request;
    ULONG RequestFlag;
};

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------

// Output of every listening request and of IOCTL_GNSS_GET_FIXDATA.  The event
// data follows the 512 unused bytes; EventDataSize says how much of it counts
// and EventType which union member it is.
struct GNSS_EVENT {
    ULONG Size;
    ULONG Version;
    GNSS_EVENT_TYPE EventType;
    ULONG EventDataSize;
    BYTE Unused[512];
    union {
        GNSS_FIXDATA FixData;
        GNSS_AGNSS_REQUEST_PARAM AgnssRequest;
        GNSS_NI_REQUEST_PARAM NiRequest;
        GNSS_ERRORINFO ErrorInformation;
        GNSS_NMEA_DATA NmeaData;
        GNSS_GEOFENCE_ALERT_DATA GeofenceAlertData;
        GNSS_BREADCRUMBING_ALERT_DATA BreadcrumbAlertData;
        GNSS_GEOFENCES_TRACKINGSTATUS_DATA GeofencesTrackingStatus;
        GNSS_DRIVER_REQUEST_DATA DriverRequestData;
        BYTE CustomData[ANYSIZE_ARRAY];
    };
};

// This driver's own event data, carried in CustomData of a GNSS_Event_Custom
// event answering a listen-NMEA request when the receiver's service state
// changes.
struct GNSS_SERVICE_STATUS_EVENT {
    ULONG Size;     // sizeof(GNSS_SERVICE_STATUS_EVENT)
    ULONG Version;  // GNSS_INTERFACE_VERSION
    ULONG Kind;     // GNSS_CUSTOM_EVENT_SERVICE_STATUS
    ULONG Status;   // 1 receiver on, 0 receiver off
};

// Kind of GNSS_SERVICE_STATUS_EVENT.
inline constexpr ULONG GNSS_CUSTOM_EVENT_SERVICE_STATUS = 1;

// ---------------------------------------------------------------------------
// Layout checks
// ---------------------------------------------------------------------------

namespace gnss::ddi_detail {

// Records that may be copied byte for byte to and from the wire.
template <class T>
inline constexpr bool kWireRecord =
    std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T>;

}  // namespace gnss::ddi_detail

#define GNSS_DDI_CHECK_RECORD(T, size)                                    \
    static_assert(gnss::ddi_detail::kWireRecord<T>, #T " must be a plain record"); \
    static_assert(sizeof(T) == (size), "sizeof(" #T ") must be " #size)

GNSS_DDI_CHECK_RECORD(GNSS_SUPL_VERSION, 8);
GNSS_DDI_CHECK_RECORD(GNSS_PLATFORM_CAPABILITY, 532);
GNSS_DDI_CHECK_RECORD(GNSS_DEVICE_CAPABILITY, 604);
GNSS_DDI_CHECK_RECORD(GNSS_CHIPSETINFO, 660);
GNSS_DDI_CHECK_RECORD(GNSS_DRIVERCOMMAND_PARAM, 536);
GNSS_DDI_CHECK_RECORD(GNSS_SINGLESHOT_PARAM, 12);
GNSS_DDI_CHECK_RECORD(GNSS_DISTANCETRACKING_PARAM, 12);
GNSS_DDI_CHECK_RECORD(GNSS_CONTINUOUSTRACKING_PARAM, 12);
GNSS_DDI_CHECK_RECORD(GNSS_LKGFIX_PARAM, 8);
GNSS_DDI_CHECK_RECORD(GNSS_FIXSESSION_PARAM, 588);
GNSS_DDI_CHECK_RECORD(GNSS_STOPFIXSESSION_PARAM, 524);
GNSS_DDI_CHECK_RECORD(GNSS_FIXDATA_BASIC, 48);
GNSS_DDI_CHECK_RECORD(GNSS_FIXDATA_ACCURACY, 64);
GNSS_DDI_CHECK_RECORD(GNSS_SATELLITEINFO, 32);
GNSS_DDI_CHECK_RECORD(GNSS_FIXDATA_SATELLITE, 2064);
GNSS_DDI_CHECK_RECORD(GNSS_FIXDATA, 2208);
GNSS_DDI_CHECK_RECORD(GNSS_AGNSS_REQUEST_PARAM, 16);
GNSS_DDI_CHECK_RECORD(GNSS_AGNSS_INJECTTIME, 20);
GNSS_DDI_CHECK_RECORD(GNSS_AGNSS_INJECTPOSITION, 128);
GNSS_DDI_CHECK_RECORD(GNSS_AGNSS_INJECTBLOB, 28);
GNSS_DDI_CHECK_RECORD(GNSS_AGNSS_INJECT, 664);
GNSS_DDI_CHECK_RECORD(GNSS_ERRORINFO, 1040);
GNSS_DDI_CHECK_RECORD(GNSS_NMEA_DATA, 264);
GNSS_DDI_CHECK_RECORD(GNSS_SUPL_NI_INFO, 1308);
GNSS_DDI_CHECK_RECORD(GNSS_CP_NI_INFO, 1048);
GNSS_DDI_CHECK_RECORD(GNSS_V2UPL_NI_INFO, 528);
GNSS_DDI_CHECK_RECORD(GNSS_NI_REQUEST_PARAM, 1340);
GNSS_DDI_CHECK_RECORD(GNSS_NI_RESPONSE, 16);
GNSS_DDI_CHECK_RECORD(GNSS_SUPL_HSLP_CONFIG, 1044);
GNSS_DDI_CHECK_RECORD(GNSS_SUPL_CERT_CONFIG, 792);
GNSS_DDI_CHECK_RECORD(GNSS_SELFTESTCONFIG, 532);
GNSS_DDI_CHECK_RECORD(GNSS_SELFTESTRESULT, 540);
GNSS_DDI_CHECK_RECORD(GNSS_GEOFENCE_ALERT_DATA, 640);
GNSS_DDI_CHECK_RECORD(GNSS_GEOFENCES_TRACKINGSTATUS_DATA, 532);
GNSS_DDI_CHECK_RECORD(GNSS_BREADCRUMBING_ALERT_DATA, 520);
GNSS_DDI_CHECK_RECORD(GNSS_DRIVER_REQUEST_DATA, 16);
GNSS_DDI_CHECK_RECORD(GNSS_EVENT, 2736);
GNSS_DDI_CHECK_RECORD(GNSS_SERVICE_STATUS_EVENT, 16);

#undef GNSS_DDI_CHECK_RECORD

// Enumerations occupy one 32-bit word.
static_assert(sizeof(GNSS_FIXSESSIONTYPE) == 4 && sizeof(GNSS_EVENT_TYPE) == 4 &&
              sizeof(GNSS_DRIVERCOMMAND_TYPE) == 4 && sizeof(GNSS_AGNSS_REQUEST_TYPE) == 4 &&
              sizeof(GNSS_NI_REQUEST_TYPE) == 4 && sizeof(GNSS_NI_NOTIFICATION_TYPE) == 4 &&
              sizeof(GNSS_NI_PLANE_TYPE) == 4 && sizeof(GNSS_NI_USER_RESPONSE) == 4 &&
              sizeof(GNSS_SUPL_CERT_ACTION) == 4 && sizeof(GNSS_DRIVER_REQUEST) == 4 &&
              sizeof(GNSS_GEOFENCE_STATE) == 4);

// The event data starts after the 16-byte header and 512 unused bytes, and
// every member of the union starts there.
static_assert(offsetof(GNSS_EVENT, EventType) == 8);
static_assert(offsetof(GNSS_EVENT, EventDataSize) == 12);
static_assert(offsetof(GNSS_EVENT, Unused) == 16);
static_assert(offsetof(GNSS_EVENT, FixData) == 528);
static_assert(offsetof(GNSS_EVENT, AgnssRequest) == 528);
static_assert(offsetof(GNSS_EVENT, NiRequest) == 528);
static_assert(offsetof(GNSS_EVENT, ErrorInformation) == 528);
static_assert(offsetof(GNSS_EVENT, NmeaData) == 528);
static_assert(offsetof(GNSS_EVENT, DriverRequestData) == 528);
static_assert(offsetof(GNSS_EVENT, CustomData) == 528);
static_assert(sizeof(GNSS_EVENT) - offsetof(GNSS_EVENT, FixData) == sizeof(GNSS_FIXDATA));

// Fix data.
static_assert(offsetof(GNSS_FIXDATA, FixSessionID) == 8);
static_assert(offsetof(GNSS_FIXDATA, FixTimeStamp) == 12);
static_assert(offsetof(GNSS_FIXDATA, IsFinalFix) == 20);
static_assert(offsetof(GNSS_FIXDATA, FixStatus) == 24);
static_assert(offsetof(GNSS_FIXDATA, FixLevelOfDetails) == 28);
static_assert(offsetof(GNSS_FIXDATA, BasicData) == 32);
static_assert(offsetof(GNSS_FIXDATA, AccuracyData) == 80);
static_assert(offsetof(GNSS_FIXDATA, SatelliteData) == 144);
static_assert(offsetof(GNSS_FIXDATA_BASIC, Latitude) == 8);
static_assert(offsetof(GNSS_FIXDATA_ACCURACY, PositionDilutionOfPrecision) == 52);
static_assert(offsetof(GNSS_FIXDATA_SATELLITE, SatelliteCount) == 8);
static_assert(offsetof(GNSS_FIXDATA_SATELLITE, SatelliteArray) == 16);
static_assert(offsetof(GNSS_SATELLITEINFO, Elevation) == 8);

// Fix sessions: the third word of the parameter union is the single-shot
// response time and the continuous-tracking interval alike.
static_assert(offsetof(GNSS_FIXSESSION_PARAM, SessionType) == 12);
static_assert(offsetof(GNSS_FIXSESSION_PARAM, FixLevelOfDetails) == 60);
static_assert(offsetof(GNSS_FIXSESSION_PARAM, SingleShotParam) == 64);
static_assert(offsetof(GNSS_FIXSESSION_PARAM, ContinuousParam) == 64);
static_assert(offsetof(GNSS_FIXSESSION_PARAM, Unused) == 332);
static_assert(offsetof(GNSS_STOPFIXSESSION_PARAM, FixSessionID) == 8);

// Driver commands, assistance data, NI, SUPL and self-test.
static_assert(offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandDataSize) == 16);
static_assert(offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData) == 532);
static_assert(offsetof(GNSS_AGNSS_INJECT, InjectionStatus) == 12);
static_assert(offsetof(GNSS_AGNSS_INJECT, Time) == 536);
static_assert(offsetof(GNSS_AGNSS_INJECTTIME, UtcTime) == 8);
static_assert(offsetof(GNSS_NI_REQUEST_PARAM, SuplNiInfo) == 24);
static_assert(offsetof(GNSS_NI_REQUEST_PARAM, ResponseTimeInSec) == 1332);
static_assert(offsetof(GNSS_NI_RESPONSE, UserResponse) == 12);
static_assert(offsetof(GNSS_SUPL_HSLP_CONFIG, SuplHslp) == 8);
static_assert(offsetof(GNSS_SUPL_HSLP_CONFIG, SuplHslpFromImsi) == 268);
static_assert(offsetof(GNSS_SUPL_CERT_CONFIG, SuplCertName) == 12);
static_assert(offsetof(GNSS_SUPL_CERT_CONFIG, CertSize) == 272);
static_assert(offsetof(GNSS_SUPL_CERT_CONFIG, CertData) == 788);
static_assert(offsetof(GNSS_SELFTESTCONFIG, InBufLen) == 524);
static_assert(offsetof(GNSS_SELFTESTCONFIG, InBuffer) == 528);
static_assert(offsetof(GNSS_SELFTESTRESULT, OutBufLen) == 532);
static_assert(offsetof(GNSS_SELFTESTRESULT, OutBuffer) == 536);
static_assert(offsetof(GNSS_CHIPSETINFO, HardwareID) == 58);
static_assert(offsetof(GNSS_CHIPSETINFO, FirmwareVersion) == 108);
static_assert(offsetof(GNSS_DEVICE_CAPABILITY, SupportedSuplVersion) == 84);
static_assert(offsetof(GNSS_DEVICE_CAPABILITY, MaxGeofencesSupported) == 92);
