// What every request handler shares: the module-wide GNSS state, the buffer
// helpers, the event layout, the radio gate and the device information.
#include <cstring>

#include "GnssState.h"
#include "gnss_driver_version.h"

std::atomic<ULONG> RadioState{1};
std::atomic<ULONG> SelfTestState{0};

namespace {

// The last capability block the platform sent; kept for diagnostics only.
GNSS_PLATFORM_CAPABILITY g_PlatformCapability{};

// Copies a text into a wide field, at most `limit` characters, NUL-terminated.
void CopyWide(WCHAR* field, const char* text, std::size_t limit) {
    std::size_t i = 0;
    for (; i < limit && text[i] != '\0'; ++i) field[i] = static_cast<WCHAR>(text[i]);
    field[i] = 0;
}

// A wide field as narrow text for the log (the fields hold ASCII).
void NarrowCopy(char* out, std::size_t size, const WCHAR* field, std::size_t fieldLength) {
    std::size_t i = 0;
    for (; i + 1 < size && i < fieldLength && field[i] != 0; ++i)
        out[i] = field[i] < 0x80 ? static_cast<char>(field[i]) : '?';
    out[i] = '\0';
}

}  // namespace

namespace {

// Retrieves the input or output buffer of a request with its minimum length.
NTSTATUS GetRequestBuffer(bool input, const char* function, WDFREQUEST Request,
                          std::size_t DeclaredLength, std::size_t MinimumLength, PVOID* Buffer) {
    if (DeclaredLength == 0 || MinimumLength == 0 || Buffer == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid Input Parameter", TAG_IOCTRL, function);
        return STATUS_INVALID_PARAMETER;
    }
    std::size_t length = 0;
    PVOID buffer = nullptr;
    const NTSTATUS status =
        input ? WdfRequestRetrieveInputBuffer(Request, MinimumLength, &buffer, &length)
              : WdfRequestRetrieveOutputBuffer(Request, MinimumLength, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: %s FAILED status=0x%X", TAG_IOCTRL, function,
                input ? "WdfRequestRetrieveInputBuffer" : "WdfRequestRetrieveOutputBuffer",
                static_cast<ULONG>(status));
        return status;
    }
    if (buffer == nullptr || length < MinimumLength) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid Param,  MinReqLen=%d, ActualLen=%d",
                TAG_IOCTRL, function, static_cast<int>(MinimumLength), static_cast<int>(length));
        return STATUS_INVALID_PARAMETER;
    }
    *Buffer = buffer;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS HelperGetInputBuffer(WDFREQUEST Request, std::size_t DeclaredLength,
                              std::size_t MinimumLength, PVOID* Buffer) {
    return GetRequestBuffer(true, __func__, Request, DeclaredLength, MinimumLength, Buffer);
}

NTSTATUS HelperGetOutputBuffer(WDFREQUEST Request, std::size_t DeclaredLength,
                               std::size_t MinimumLength, PVOID* Buffer) {
    return GetRequestBuffer(false, __func__, Request, DeclaredLength, MinimumLength, Buffer);
}

NTSTATUS HelperAnswerListener(const char* Function, WDFREQUEST Request, GNSS_EVENT_TYPE EventType,
                              const void* Data, ULONG DataSize) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_IOCTRL, Function);
    PVOID output = nullptr;
    const NTSTATUS status = HelperGetOutputBuffer(Request, GNSS_EVENT_SIZE, GNSS_EVENT_SIZE, &output);
    if (!NT_SUCCESS(status) || Data == nullptr) {
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, sizeof(ULONG));
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetOutputBuffer FAILED or NULL Data",
                TAG_IOCTRL, Function);
    } else {
        auto* event = static_cast<GNSS_EVENT*>(output);
        HelperInitEvent(event, EventType, DataSize);
        std::memcpy(EventDataArea(event), Data, DataSize);
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, GNSS_EVENT_SIZE);
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_IOCTRL, Function);
    return status;
}

void HelperInitEvent(GNSS_EVENT* Event, GNSS_EVENT_TYPE EventType, ULONG EventDataSize) {
    std::memset(Event, 0, GNSS_EVENT_SIZE);
    Event->Size = GNSS_EVENT_SIZE;
    Event->Version = GNSS_INTERFACE_VERSION;
    Event->EventType = EventType;
    Event->EventDataSize = EventDataSize;
}

BOOL CheckRadioStatus() {
    const ULONG radio = RadioState.load();
    const ULONG selfTest = SelfTestState.load();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s Version=%s, RadioState=%d, SelfTestState=%d", TAG_IOCTRL,
            __func__, GNSS_DRIVER_VERSION_TEXT, static_cast<int>(radio), static_cast<int>(selfTest));
    return radio == 1 && selfTest == 0;
}

NTSTATUS OnGNSSSendPlatformCapability(WDFREQUEST Request, std::size_t InputBufferLength) {
    PVOID buffer = nullptr;
    const NTSTATUS status = HelperGetInputBuffer(Request, InputBufferLength,
                                                 sizeof(GNSS_PLATFORM_CAPABILITY), &buffer);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetInputBuffer FAILED", TAG_IOCTRL, __func__);
    } else {
        std::memcpy(&g_PlatformCapability, buffer, sizeof g_PlatformCapability);
        GnssLog(GNSS_LEVEL_DATA, "[%s] %s Version=%d, SupportAgnssInjection=%d, AgnssFormatSupported=%d",
                TAG_IOCTRL, __func__, static_cast<int>(g_PlatformCapability.Version),
                static_cast<int>(g_PlatformCapability.SupportAgnssInjection),
                static_cast<int>(g_PlatformCapability.AgnssFormatSupported));
    }
    WdfRequestSetInformation(Request, sizeof(ULONG));
    WdfRequestComplete(Request, status);
    return status;
}

NTSTATUS OnGNSSGetDeviceCapability(WDFREQUEST Request, std::size_t OutputBufferLength) {
    PVOID buffer = nullptr;
    const NTSTATUS status = HelperGetOutputBuffer(Request, OutputBufferLength,
                                                  sizeof(GNSS_DEVICE_CAPABILITY), &buffer);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetOutputBuffer FAILED", TAG_IOCTRL, __func__);
    } else {
        auto* cap = static_cast<GNSS_DEVICE_CAPABILITY*>(buffer);
        cap->Size = sizeof(GNSS_DEVICE_CAPABILITY);
        cap->Version = GNSS_INTERFACE_VERSION;
        cap->SupportMultipleFixSessions = 0;
        cap->SupportMultipleAppSessions = 0;
        cap->RequireAGnssInjection = 0;
        cap->AgnssFormatSupported = 0;
        cap->AgnssFormatPreferred = 0;
        cap->SupportDistanceTracking = 0;
        cap->SupportContinuousTracking = 1;
        cap->GeofencingSupport = 0;
        cap->SupportCpLocation = 0;
        cap->SupportUplV2 = 0;
        cap->SupportSuplV1 = 1;
        cap->SupportSuplV2 = 1;
        cap->SupportedSuplVersion.MajorVersion = 2;
        cap->SupportedSuplVersion.MinorVersion = 0;
        cap->MaxGeofencesSupported = 0;
        cap->SupportMultipleSuplRootCert = 0;
        GnssLog(GNSS_LEVEL_DATA, "[%s] %s MSF=%d MAS=%d ReqAgnssInj=%d DT=%d CT=%d GF=0x%X MaxGF=%d",
                TAG_IOCTRL, __func__, cap->SupportMultipleFixSessions,
                cap->SupportMultipleAppSessions, cap->RequireAGnssInjection,
                cap->SupportDistanceTracking, cap->SupportContinuousTracking,
                cap->GeofencingSupport, static_cast<int>(cap->MaxGeofencesSupported));
        GnssLog(GNSS_LEVEL_DATA,
                "[%s] %s SupportCpLocation=%d SupportUplV2=%d SupportSuplV1=%d SupportSuplV2=%d "
                "SUPLMajorVersion=%d SUPLMinorVersion=%d MultipleSuplRootCert=%d",
                TAG_IOCTRL, __func__, cap->SupportCpLocation, cap->SupportUplV2,
                cap->SupportSuplV1, cap->SupportSuplV2,
                static_cast<int>(cap->SupportedSuplVersion.MajorVersion),
                static_cast<int>(cap->SupportedSuplVersion.MinorVersion),
                cap->SupportMultipleSuplRootCert);
    }
    WdfRequestSetInformation(Request, NT_SUCCESS(status) ? sizeof(GNSS_DEVICE_CAPABILITY)
                                                         : sizeof(ULONG));
    WdfRequestComplete(Request, status);
    return status;
}

NTSTATUS OnGNSSGetChipsetInfo(WDFREQUEST Request, std::size_t OutputBufferLength) {
    PVOID buffer = nullptr;
    const NTSTATUS status = HelperGetOutputBuffer(Request, OutputBufferLength,
                                                  sizeof(GNSS_CHIPSETINFO), &buffer);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetOutputBuffer FAILED", TAG_IOCTRL, __func__);
    } else {
        auto* info = static_cast<GNSS_CHIPSETINFO*>(buffer);
        info->Size = sizeof(GNSS_CHIPSETINFO);
        info->Version = GNSS_INTERFACE_VERSION;
        CopyWide(info->ManufacturerID, "Tavrin", 24);
        CopyWide(info->HardwareID, "RXA 7300", 24);
        CopyWide(info->FirmwareVersion, "1.0.0.1", 19);
        char manufacturer[32], hardware[32], firmware[32];
        NarrowCopy(manufacturer, sizeof manufacturer, info->ManufacturerID, 25);
        NarrowCopy(hardware, sizeof hardware, info->HardwareID, 25);
        NarrowCopy(firmware, sizeof firmware, info->FirmwareVersion, 20);
        GnssLog(GNSS_LEVEL_DATA, "[%s] %s ManufacturerID=%s HardwareID=%s FirmwareVersion=%s",
                TAG_IOCTRL, __func__, manufacturer, hardware, firmware);
    }
    WdfRequestSetInformation(Request, NT_SUCCESS(status) ? sizeof(GNSS_CHIPSETINFO) : sizeof(ULONG));
    WdfRequestComplete(Request, status);
    return status;
}
