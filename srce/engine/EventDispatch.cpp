// Dispatch of the internal events on the client thread, the choice of the
// fix procedure and the retry rule for failed location requests.
#include <cstdlib>
#include <string>

#include "Trace.h"
#include "engine/Engine.h"

namespace {

// PV7710 procedures need a SIM: the modem's IMSI decides.
bool ChoosePV7710Procedure() {
    if (GetGNSSChip() != GNSS_CHIP_PV7710) return false;
    std::string imsi;
    HelperGetImsi(imsi);
    if (imsi.size() != 14 && imsi.size() != 15) return false;
    Engine().m_bUsePV7710Procedure = 1;
    return true;
}

BOOL RetryRequest(LONG nEventType, const GNSS_FIXSESSION_PARAM* pParam) {
    ENGINE_STATE& engine = Engine();
    const bool singleShot = nEventType == SINGLESHOT_RETRY;
    std::atomic<LONG>& own = singleShot ? engine.m_iSingleshotRetryCount : engine.m_iPeriodicRetryCount;
    std::atomic<LONG>& other = singleShot ? engine.m_iPeriodicRetryCount : engine.m_iSingleshotRetryCount;

    GnssLog(GNSS_LEVEL_INFO,
            singleShot ? "[%s] %s SINGLESHOT_RETRY [%d][%d]" : "[%s] %s PERIODIC_RETRY [%d][%d]",
            TAG_MODEM, "ProcessInternalEvent", static_cast<int>(engine.m_iSingleshotRetryCount.load()),
            static_cast<int>(engine.m_iPeriodicRetryCount.load()));

    if (own >= MAX_LOCATION_RETRIES) {
        own = 0;
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s MAX retries reached, give-up", TAG_MODEM,
                "ProcessInternalEvent");
        return 0;
    }
    // A request of the other kind has come between: this retry is stale.
    if (other > 0) {
        other = 0;
        return 0;
    }

    const bool pv7710 = GetGNSSChip() == GNSS_CHIP_PV7710 && engine.m_bUsePV7710Procedure == 1;
    BOOL result;
    if (singleShot)
        result = pv7710 ? ProcessSingleshotRequestPV7710(pParam, 1) : ProcessSingleshotRequestRXA7300(pParam, 1);
    else
        result = pv7710 ? ProcessPeriodicRequestPV7710(pParam, 1) : ProcessPeriodicRequestRXA7300(pParam, 1);
    ++own;
    return result;
}

}  // namespace

BOOL ProcessInternalEvent(LONG nEventType, void* pParam) {
    ENGINE_STATE& engine = Engine();
    auto* fixParam = static_cast<const GNSS_FIXSESSION_PARAM*>(pParam);
    BOOL result = 0;

    switch (nEventType) {
        case SINGLESHOT_REQUEST:
            engine.m_iSingleshotRetryCount = 0;
            result = ChoosePV7710Procedure() ? ProcessSingleshotRequestPV7710(fixParam, 0)
                                             : ProcessSingleshotRequestRXA7300(fixParam, 0);
            break;
        case PERIODIC_REQUEST:
            engine.m_iPeriodicRetryCount = 0;
            result = ChoosePV7710Procedure() ? ProcessPeriodicRequestPV7710(fixParam, 0)
                                             : ProcessPeriodicRequestRXA7300(fixParam, 0);
            break;
        case SINGLESHOT_RETRY:
        case PERIODIC_RETRY:
            result = RetryRequest(nEventType, fixParam);
            break;
        case STOP_REQUEST: {
            auto* stopParam = static_cast<const GNSS_STOPFIXSESSION_PARAM*>(pParam);
            result = GetGNSSChip() == GNSS_CHIP_PV7710 ? ProcessStopRequestPV7710(stopParam)
                                                        : ProcessStopRequestRXA7300(stopParam);
            break;
        }
        case NAVDATA_NOTIFICATION:
            result = ProcessNavDataNotification(static_cast<GNSS_FIXDATA*>(pParam));
            break;
        case MODIFY_REQUEST:
            result = ProcessModifyFixRequest(fixParam);
            break;
        case NMEA_NOTIFICATION:
            result = ProcessNMEADataNotification(static_cast<GNSS_NMEA_DATA*>(pParam));
            break;
        case NAVERROR_NOTIFICATION:
            if (GetGNSSChip() == GNSS_CHIP_PV7710) {
                // A failed first fix of a continuous session goes on periodically;
                // otherwise the PV7710 procedures are left.
                if (engine.m_ModemSessionParam.Update == 1 && engine.m_dwPreferredInterval > 0)
                    RefreshReportInterval();
                else
                    engine.m_bUsePV7710Procedure = 0;
                result = 1;
            }
            break;
        case GNSS_ON:
            result = ProcessRadioOn();
            break;
        case GNSS_OFF:
            result = ProcessRadioOff();
            break;
        case AGNSS_ON:
            result = InternalRadioOperation(1, 0);
            break;
        case AGNSS_OFF:
            result = InternalRadioOperation(0, 0);
            break;
        case PGNSS_ON:
            result = InternalRadioOperation(1, 3);
            break;
        case PGNSS_OFF:
            result = InternalRadioOperation(0, 3);
            break;
        case CLEAR_ASSISTANCE:
            result = ProcessClearAssistance(static_cast<const LONG*>(pParam));
            break;
        case NI_REQUEST_ALLOWED:
            result = ProcessNiRequestAllowed(1);
            break;
        case NI_REQUEST_DENIED:
            result = ProcessNiRequestAllowed(0);
            break;
        case NI_RESPONSE:
            result = ProcessNiResponse(static_cast<const GNSS_NI_RESPONSE*>(pParam));
            break;
        case NI_REQUEST:
            result = ProcessNiRequest(static_cast<GNSS_NI_REQUEST_PARAM*>(pParam), nullptr);
            break;
        case SET_SUPL_VERSION:
            result = ProcessSetSuplVersion(static_cast<const GNSS_SUPL_VERSION*>(pParam));
            break;
        case SET_SUPL_SERVER:
            result = ProcessSetSuplServer(static_cast<const GNSS_SUPL_HSLP_CONFIG*>(pParam));
            break;
        case SET_CERTIFICATE:
            result = ProcessSetCertificate(static_cast<const GNSS_SUPL_CERT_CONFIG*>(pParam));
            break;
        case INJECT_ASSISTANCE:
            result = ProcessInjectAssistance(static_cast<const GNSS_AGNSS_INJECT*>(pParam));
            break;
        case SELF_TEST:
            result = ProcessSelfTest(static_cast<const GNSS_SELFTESTCONFIG*>(pParam));
            break;
        default:
            // No handler for this type.
            break;
    }

    std::free(pParam);

    if (result != 0)
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s [** %02d **] Event Processed <-----", TAG_MODEM, __func__,
                static_cast<int>(nEventType));
    else
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: [** %02d **] Event Processed FAILED <-----", TAG_MODEM,
                __func__, static_cast<int>(nEventType));
    return result;
}
