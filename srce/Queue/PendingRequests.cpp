// Requests parked in the manual queue until the modem engine has something
// to complete them with.
#include <cstring>
#include <vector>

#include "Driver.h"
#include "GnssState.h"

NTSTATUS HelperRequestFowardToManaulQueue(WDFQUEUE Queue, WDFREQUEST Request) {
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    DEVICE_CONTEXT* context = DeviceGetContext(device);
    const NTSTATUS status = context != nullptr
                                ? WdfRequestForwardToIoQueue(Request, context->ManualQueue)
                                : STATUS_INVALID_DEVICE_STATE;
    if (NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s HelperRequestFowardToManaulQueue SUCCESS", TAG_QUEUE,
                __func__);
        return STATUS_SUCCESS;
    }
    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperRequestFowardToManaulQueue FAILED, status=0x%X",
            TAG_QUEUE, __func__, static_cast<ULONG>(status));
    WdfRequestComplete(Request, status);
    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Completing IO with Failed Error, status=0x%X",
            TAG_QUEUE, __func__, static_cast<ULONG>(status));
    return status;
}

NTSTATUS HelperManualQueueFindRequest(ULONG IoControlCode, WDFREQUEST* Request) {
    DEVICE_CONTEXT* context = DeviceGetContext(m_hDevice.load());
    if (context == nullptr || context->ManualQueue == nullptr || Request == nullptr)
        return STATUS_UNSUCCESSFUL;
    WDFQUEUE queue = context->ManualQueue;

    for (;;) {  // a scan from the head
        WDFREQUEST previousTag = nullptr;
        bool restart = false;
        while (!restart) {
            WDF_REQUEST_PARAMETERS parameters;
            WDF_REQUEST_PARAMETERS_INIT(&parameters);
            WDFREQUEST tag = nullptr;
            NTSTATUS status = WdfIoQueueFindRequest(queue, previousTag, nullptr, &parameters, &tag);
            if (previousTag != nullptr) WdfObjectDereference(previousTag);
            previousTag = nullptr;

            if (status == STATUS_NO_MORE_ENTRIES) return STATUS_UNSUCCESSFUL;
            if (status == STATUS_NOT_FOUND) {
                // The previous tag left the queue meanwhile: start again.
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STATUS_NOT_FOUND", TAG_QUEUE, __func__);
                restart = true;
                continue;
            }
            if (!NT_SUCCESS(status)) {
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfIoQueueFindRequest FAILED. status=0x%X",
                        TAG_QUEUE, __func__, static_cast<ULONG>(status));
                return STATUS_UNSUCCESSFUL;
            }
            if (parameters.Parameters.DeviceIoControl.IoControlCode != IoControlCode &&
                IoControlCode != 0) {
                previousTag = tag;
                continue;
            }

            WDFREQUEST found = nullptr;
            status = WdfIoQueueRetrieveFoundRequest(queue, tag, &found);
            WdfObjectDereference(tag);
            if (status == STATUS_NOT_FOUND) {
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STATUS_NOT_FOUND", TAG_QUEUE, __func__);
                restart = true;
                continue;
            }
            if (!NT_SUCCESS(status)) {
                GnssLog(GNSS_LEVEL_ERROR,
                        "[%s] %s ERROR: WdfIoQueueRetrieveFoundRequest FAILED. status=0x%X",
                        TAG_QUEUE, __func__, static_cast<ULONG>(status));
                return STATUS_UNSUCCESSFUL;
            }
            *Request = found;
            return STATUS_SUCCESS;
        }
    }
}

NTSTATUS CancelRequestFromManualQueue(ULONG IoControlCode, ULONG FixSessionID) {
    constexpr int kMaxRequests = 10;
    std::vector<WDFREQUEST> kept;
    NTSTATUS status = STATUS_SUCCESS;

    for (int i = 0; i < kMaxRequests; ++i) {
        WDFREQUEST request = nullptr;
        status = HelperManualQueueFindRequest(IoControlCode, &request);
        if (!NT_SUCCESS(status)) break;

        if (IoControlCode == IOCTL_GNSS_GET_FIXDATA) {
            PVOID buffer = nullptr;
            status = HelperGetInputBuffer(request, sizeof(ULONG), sizeof(ULONG), &buffer);
            if (!NT_SUCCESS(status)) {
                // The request goes back to wait; the scan ends here.
                kept.push_back(request);
                break;
            }
            ULONG sessionId = 0;
            std::memcpy(&sessionId, buffer, sizeof sessionId);
            if (sessionId == FixSessionID) {
                WdfRequestSetInformation(request, sizeof(ULONG));
                WdfRequestComplete(request, STATUS_CANCELLED);
                GnssLog(GNSS_LEVEL_INFO,
                        "[%s] %s PENDING DATA REQUEST %d Canceled for FixSessionID=0x%X", TAG_QUEUE,
                        __func__, static_cast<int>(IoControlCode), FixSessionID);
                break;
            }
            kept.push_back(request);
        } else {
            WdfRequestSetInformation(request, sizeof(ULONG));
            WdfRequestComplete(request, STATUS_CANCELLED);
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s PENDING DATA REQUEST %d Canceled for FixSessionID=0x%X",
                    TAG_QUEUE, __func__, static_cast<int>(IoControlCode), FixSessionID);
        }
    }

    for (std::size_t index = 0; index < kept.size(); ++index) {
        status = WdfRequestRequeue(kept[index]);
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s Request Requeued dwIndex=%d", TAG_QUEUE, __func__,
                static_cast<int>(index));
    }
    return status;
}

void GNSSDriverQueueDeinitialize(WDFDEVICE Device) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_QUEUE, __func__);
    DEVICE_CONTEXT* context = DeviceGetContext(Device);
    {
        gnss::os::CriticalSectionLock guard(m_csRequestLock);
        WDFREQUEST request = nullptr;
        while (NT_SUCCESS(HelperManualQueueFindRequest(0, &request))) {
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s Canceling request from Manual Queue", TAG_QUEUE,
                    __func__);
            WdfRequestCompleteWithInformation(request, STATUS_CANCELLED, sizeof(ULONG));
        }
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s Manual Queue Empty", TAG_QUEUE, __func__);
        if (context != nullptr && context->ManualQueue != nullptr) {
            WdfIoQueuePurgeSynchronously(context->ManualQueue);
            WdfObjectDelete(context->ManualQueue);
            context->ManualQueue = nullptr;
        }
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_QUEUE, __func__);
}
