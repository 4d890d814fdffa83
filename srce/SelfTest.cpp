// Self-test: the receiver's production test mode and its spectrum scan.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "GnssState.h"
#include "engine/AtClient.h"

namespace {

constexpr std::size_t kSelfTestInputHeader = offsetof(GNSS_SELFTESTCONFIG, InBuffer);
constexpr std::size_t kSelfTestOutputHeader = offsetof(GNSS_SELFTESTRESULT, OutBuffer);
// How long a scan request waits for the engine's result.  The engine itself
// waits for the modem without a limit; the platform's request does not.
constexpr DWORD kSelfTestResultWaitMs = 30000;

// The result block handed over by the engine, guarded by g_resultLock, and
// the event that signals its arrival (created by the first self-test).
std::mutex g_resultLock;
GNSS_SELFTESTRESULT* m_pSelfTestResult = nullptr;
gnss::os::EventHandle g_SelfTestResultEvent;

gnss::os::EventHandle SelfTestResultEvent(bool create) {
    std::lock_guard guard(g_resultLock);
    if (!g_SelfTestResultEvent && create)
        g_SelfTestResultEvent = gnss::os::Event::Create(gnss::os::Event::Mode::AutoReset);
    return g_SelfTestResultEvent;
}

GNSS_SELFTESTRESULT* TakeSelfTestResult() {
    std::lock_guard guard(g_resultLock);
    GNSS_SELFTESTRESULT* result = m_pSelfTestResult;
    m_pSelfTestResult = nullptr;
    return result;
}

}  // namespace

void OnGNSSSelfTestResponse(GNSS_SELFTESTRESULT* Result) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_IOCTRL, __func__);
    gnss::os::EventHandle event = SelfTestResultEvent(true);
    {
        std::lock_guard guard(g_resultLock);
        std::free(m_pSelfTestResult);  // a result nobody waited for
        m_pSelfTestResult = Result;
    }
    event->Set();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_IOCTRL, __func__);
}

NTSTATUS OnGNSSSelfTest(WDFREQUEST Request, std::size_t InputBufferLength,
                        std::size_t OutputBufferLength) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_IOCTRL, __func__);
    ULONG_PTR returnDataSize = 0;
    PVOID buffer = nullptr;
    NTSTATUS status =
        HelperGetInputBuffer(Request, InputBufferLength, sizeof(GNSS_SELFTESTCONFIG), &buffer);

    if (!NT_SUCCESS(status) || buffer == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetInputBuffer FAILED or NULL Data",
                TAG_IOCTRL, __func__);
    } else {
        const auto* config = static_cast<const GNSS_SELFTESTCONFIG*>(buffer);
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s Version=%d, TestType=%d, InBufLen=%d", TAG_IOCTRL,
                __func__, static_cast<int>(config->Version), static_cast<int>(config->TestType),
                static_cast<int>(config->InBufLen));
        const ULONG type = config->TestType;
        if (!(type == 1 || type == 2 || (type == 3 && SelfTestState == 1))) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid Test Type", TAG_IOCTRL, __func__);
            status = STATUS_INTERNAL_ERROR;
        } else if (type == 3 && kSelfTestInputHeader + static_cast<std::size_t>(config->InBufLen) >
                                    InputBufferLength) {
            // The scan's argument text must lie inside the input; test-mode on
            // and off never read it.
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid InBufLen=%d, InputBufferLength=%d",
                    TAG_IOCTRL, __func__, static_cast<int>(config->InBufLen),
                    static_cast<int>(InputBufferLength));
            status = STATUS_INVALID_PARAMETER;
        } else {
            gnss::os::EventHandle resultEvent = SelfTestResultEvent(true);
            if (type == 3) {
                // A result that arrived after an earlier request gave up is stale.
                std::free(TakeSelfTestResult());
                resultEvent->Reset();
            }
            if (!atclient_SelfTest(config)) {
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: atclient_SelfTest FAILED", TAG_IOCTRL,
                        __func__);
                status = STATUS_INTERNAL_ERROR;
            } else if (type == 1 || type == 2) {
                SelfTestState = type == 1 ? 1 : 0;
                status = STATUS_SUCCESS;
            } else {
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s INFO: WaitForSelfResult", TAG_IOCTRL, __func__);
                if (!resultEvent->Wait(kSelfTestResultWaitMs)) {
                    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WaitForSelfResult FAILED", TAG_IOCTRL,
                            __func__);
                    status = STATUS_TIMEOUT;
                } else {
                    GnssLog(GNSS_LEVEL_INFO, "[%s] %s INFO: Got SelfTestResult", TAG_IOCTRL, __func__);
                    GNSS_SELFTESTRESULT* result = TakeSelfTestResult();
                    status = STATUS_SUCCESS;
                    if (result == nullptr) {
                        GnssLog(GNSS_LEVEL_INFO, "[%s] %s INFO: m_pSelfTestResult is NULL",
                                TAG_IOCTRL, __func__);
                    } else {
                        GnssLog(GNSS_LEVEL_INFO, "[%s] %s INFO: SelfTestResult Required OutBufLen=%ul",
                                TAG_IOCTRL, __func__, static_cast<unsigned>(result->OutBufLen));
                        PVOID output = nullptr;
                        status = HelperGetOutputBuffer(Request, OutputBufferLength,
                                                       sizeof(GNSS_SELFTESTRESULT), &output);
                        const std::size_t needed = kSelfTestOutputHeader + result->OutBufLen;
                        if (NT_SUCCESS(status) && needed > OutputBufferLength) {
                            // The caller's buffer cannot hold the whole text.
                            GnssLog(GNSS_LEVEL_ERROR,
                                    "[%s] %s ERROR: Output buffer too small, Required=%d, Supplied=%d",
                                    TAG_IOCTRL, __func__, static_cast<int>(needed),
                                    static_cast<int>(OutputBufferLength));
                            status = STATUS_BUFFER_TOO_SMALL;
                        } else if (NT_SUCCESS(status)) {
                            auto* out = static_cast<GNSS_SELFTESTRESULT*>(output);
                            GnssLog(GNSS_LEVEL_INFO, "[%s] %s Supplied OutBufLen=%ul", TAG_IOCTRL,
                                    __func__, static_cast<unsigned>(out->OutBufLen));
                            out->Size = sizeof(GNSS_SELFTESTRESULT);
                            out->Version = GNSS_INTERFACE_VERSION;
                            out->TestResultStatus = result->TestResultStatus;
                            out->Result = 0;
                            out->PinFailedBitMask = 0;
                            out->OutBufLen = result->OutBufLen;
                            std::memcpy(reinterpret_cast<BYTE*>(out) + kSelfTestOutputHeader,
                                        reinterpret_cast<const BYTE*>(result) + kSelfTestOutputHeader,
                                        result->OutBufLen);
                            returnDataSize = needed;
                            GnssLog(GNSS_LEVEL_INFO, "[%s] %s INFO: Copied OutBuffer", TAG_IOCTRL,
                                    __func__);
                        } else {
                            GnssLog(GNSS_LEVEL_INFO, "[%s] %s INFO: Couldn't get o/p buffer, status=0x%X, ptr=0x%X",
                                    TAG_IOCTRL, __func__, static_cast<ULONG>(status),
                                    static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(output)));
                        }
                        std::free(result);
                    }
                }
            }
        }
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s status=0x%X, returnDataSize=%d", TAG_IOCTRL, __func__,
            static_cast<ULONG>(status), static_cast<int>(returnDataSize));
    WdfRequestCompleteWithInformation(Request, status, returnDataSize);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_IOCTRL, __func__);
    return status;
}
