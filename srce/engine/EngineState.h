// The engine's state record: the one set of variables that all parts of the
// engine share, and the internal event queue's interface.
//
// Threads that touch it: the driver's request threads (entry points), the
// framework's power threads (device-removal event), the USB reader's thread
// (the receive path) and the client thread, which alone runs the event
// handlers and sends AT commands.  Single 32-bit members are atomics; the
// hand-over from the receive path to the client thread is ordered by the
// events: the receive path stores a value, then sets the event the client
// thread waits for.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "engine/AtClient.h"
#include "gnss/platform/sync.h"

// ---------------------------------------------------------------------------
// Chip generation (m_dwGnssChip).
enum GNSS_CHIP : DWORD {
    GNSS_CHIP_UNKNOWN = 0,
    GNSS_CHIP_PV7710 = 1,
    GNSS_CHIP_RXA7300 = 2,
};

// The modem's location session as the engine last arranged it.
struct MODEM_SESSION_PARAM {
    std::atomic<DWORD> bSessionInUse{0};
    std::atomic<DWORD> bNmeaRequested{0};
    std::atomic<DWORD> Update{0};
    std::atomic<DWORD> RI{0};
    std::atomic<DWORD> SessionID{0};
    std::atomic<DWORD> NumberOfClients{0};

    void Clear() {
        bSessionInUse = 0;
        bNmeaRequested = 0;
        Update = 0;
        RI = 0;
        SessionID = 0;
        NumberOfClients = 0;
    }
};

// The five engine events.  Each handle is null until created and again after
// it has been closed; readers take a copy (a shared reference) under the
// handle lock, so a thread that still holds a copy never touches a released
// event.
struct ENGINE_EVENTS {
    gnss::os::EventHandle m_hClientStateEvent;
    gnss::os::EventHandle m_hShutdownEvent;
    gnss::os::EventHandle m_hATResponseEvent;
    gnss::os::EventHandle m_hWaitForStopComplete;
    gnss::os::EventHandle m_hDeviceRemoveEvent;
};

struct ENGINE_STATE {
    // Events, guarded by handleLock (copy them out with EngineEvents()).
    std::mutex handleLock;
    ENGINE_EVENTS events;

    MODEM_SESSION_PARAM m_ModemSessionParam;

    // AT exchange and the modem's answers.
    std::atomic<DWORD> m_dwATResponseStatus{0};
    std::atomic<DWORD> m_dwReceivedSessionId{0};
    std::atomic<LONG> m_iEventResult{0};
    std::atomic<DWORD> m_dwLRMTStatus{0};
    std::atomic<DWORD> m_uiCRSMStatus{0};
    std::atomic<DWORD> m_dwGnssChip{GNSS_CHIP_UNKNOWN};

    // Fix requests and retries.
    std::atomic<DWORD> m_bUsePV7710Procedure{0};
    std::atomic<LONG> m_iSingleshotRetryCount{0};
    std::atomic<LONG> m_iPeriodicRetryCount{0};
    std::atomic<DWORD> m_dwPreferredInterval{0};

    // Settings.
    std::atomic<DWORD> dwTransportProtocol{1};
    std::atomic<DWORD> dwOperationMode{1};  // MSB
    std::atomic<DWORD> m_dwSatelliteSystem{0};
    std::atomic<DWORD> m_dwNmeaListeners{0};

    // Production test mode and its spectrum analyzer output.
    std::atomic<DWORD> m_bProdTestMode{0};

    // Texts written by the receive path, guarded by textLock.
    std::mutex textLock;
    std::string m_strIMSI;
    std::string m_strSpectrumResult;

    // A device removal the client thread has not taken yet.  The flag changes
    // together with the removal event, under removalLock: set with the event
    // by a removal, cleared when the thread has forgotten the modem session of
    // the device that went away and resets the event.  m_hRemovalHandled is
    // signalled while no removal is pending.  A device that comes back waits
    // for it, so the old device's session is over before the new one is
    // served, and no removal goes unhandled.
    std::mutex removalLock;
    bool m_bRemovalPending = false;
    gnss::os::EventHandle m_hRemovalHandled =
        gnss::os::Event::Create(gnss::os::Event::Mode::ManualReset, true);

    // The callbacks, guarded by handleLock (copy them out with EngineCallbacks()).
    GPSCLIENT_CALLBACKS callbacks{};
};

// The engine's single state record (module lifetime).
ENGINE_STATE& Engine();

// A snapshot of the event handles and of the callback table.
ENGINE_EVENTS EngineEvents();
GPSCLIENT_CALLBACKS EngineCallbacks();

// The texts the receive path fills.
void EngineSetImsi(const std::string& imsi);
std::string EngineGetImsi();
void EngineClearImsi();
void EngineAppendSpectrumLine(const std::string& line);
std::string EngineTakeSpectrumResult();  // returns the text and empties it

// ---------------------------------------------------------------------------
// Internal events.
enum INTERNAL_EVENT_TYPE : LONG {
    SINGLESHOT_REQUEST = 2,
    PERIODIC_REQUEST = 3,
    SINGLESHOT_RETRY = 4,
    PERIODIC_RETRY = 5,
    STOP_REQUEST = 6,
    NAVDATA_NOTIFICATION = 7,
    MODIFY_REQUEST = 8,
    NMEA_NOTIFICATION = 9,
    NAVERROR_NOTIFICATION = 10,
    GNSS_ON = 11,
    GNSS_OFF = 12,
    AGNSS_ON = 13,
    AGNSS_OFF = 14,
    PGNSS_ON = 15,
    PGNSS_OFF = 16,
    CLEAR_ASSISTANCE = 17,
    NI_REQUEST_ALLOWED = 18,
    NI_REQUEST_DENIED = 19,
    NI_RESPONSE = 20,
    NI_REQUEST = 21,
    SET_SUPL_VERSION = 22,
    SET_SUPL_SERVER = 23,
    SET_CERTIFICATE = 24,
    INJECT_ASSISTANCE = 25,
    SELF_TEST = 26,
};

// Parameter blocks are allocated with std::malloc/std::calloc by the poster;
// from the moment of posting they belong to the event, which frees them with
// std::free after handling (or when the queue is emptied).
//
// Posts an event.  With dwTimeoutMs 0 returns 1 once it is queued (0 when
// the record cannot be allocated); with a time-out waits for the handler's
// result (0 on time-out, shut-down or device removal).
BOOL AddInternalEvent(LONG nEventType, void* pParam, DWORD dwTimeoutMs);

// One posted event.  The completion event, when a poster waits, is shared by
// the record and the poster, so it stays valid for whichever lets go last.
struct INTERNAL_EVENT {
    gnss::os::EventHandle hDoneEvent;
    LONG nEventType = 0;
    void* pParam = nullptr;
};

// Takes the record at the front of the queue, or resets m_hClientStateEvent
// and returns nullptr when the queue is empty (both under the queue lock).
INTERNAL_EVENT* TakeInternalEvent();
// Frees every queued record with its parameter block, without handling it.
void EmptyInternalEventQueue();
// Frees a record taken from the queue (its parameter block is the handler's).
void FreeInternalEvent(INTERNAL_EVENT* pEvent);
// Number of queued records (for diagnostics and tests).
std::size_t InternalEventQueueLength();
