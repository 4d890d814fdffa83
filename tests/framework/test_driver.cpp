#include "test_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fwtest {

TestDriver& TestDriver::Get() {
    static TestDriver driver;
    return driver;
}

void TestDriver::Reset() {
    std::lock_guard lock(mu);
    options = Options{};
    host = nullptr;
    usb.reset();
    driver = nullptr;
    device = nullptr;
    defaultQueue = manualQueue = nullptr;
    contextWasZero = contextAligned = initConsumed = false;
    log.clear();
    presented.clear();
    held.clear();
    d0EntryStopIdle.clear();
    closeSawOwnRequests.clear();
    echoSeparateZeroedOutput = true;
    chunks.clear();
    readerFailures.clear();
    readWhileCallbackRan = false;
    onD0Entry = nullptr;
    onCleanup = nullptr;
}

void TestDriver::Log(std::string entry) {
    std::lock_guard lock(mu);
    log.push_back(std::move(entry));
    cv.notify_all();
}

std::vector<std::string> TestDriver::Log() const {
    std::lock_guard lock(mu);
    return log;
}

std::size_t TestDriver::Count(const std::string& entry) const {
    std::lock_guard lock(mu);
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), entry));
}

WDFREQUEST TestDriver::TakeHeld() {
    std::unique_lock lock(mu);
    if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return !held.empty(); })) return nullptr;
    WDFREQUEST r = held.front();
    held.pop_front();
    return r;
}

std::size_t TestDriver::Presented() const {
    std::lock_guard lock(mu);
    return presented.size();
}

// ---------------------------------------------------------------------------
// The driver.
namespace {

Options Opt() {
    std::lock_guard lock(D().mu);
    return D().options;
}

void EvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, std::size_t outputLength, std::size_t inputLength,
                        ULONG code) {
    (void)queue;
    TestDriver& d = D();
    {
        std::lock_guard lock(d.mu);
        d.presented.push_back(Presentation{request, code, d.host != nullptr ? d.host->CallbackHistory() : std::vector<std::string>{},
                                           d.held.size()});
        char entry[32];
        std::snprintf(entry, sizeof entry, "Presented(0x%X)", static_cast<unsigned>(code));
        d.log.push_back(entry);
        d.cv.notify_all();
    }
    const ULONG argument = code & 0xFFF;
    switch (code & 0xF000) {
        case kEcho: {
            PVOID in = nullptr, out = nullptr;
            std::size_t inLength = 0, outLength = 0;
            NTSTATUS s = WdfRequestRetrieveInputBuffer(request, 1, &in, &inLength);
            if (!NT_SUCCESS(s)) {
                WdfRequestComplete(request, s);
                return;
            }
            std::vector<std::uint8_t> copy(static_cast<std::uint8_t*>(in), static_cast<std::uint8_t*>(in) + inLength);
            s = WdfRequestRetrieveOutputBuffer(request, 1, &out, &outLength);
            if (!NT_SUCCESS(s)) {
                WdfRequestComplete(request, s);
                return;
            }
            {
                std::lock_guard lock(d.mu);
                auto* o = static_cast<std::uint8_t*>(out);
                const bool zeroed = std::all_of(o, o + outLength, [](std::uint8_t b) { return b == 0; });
                d.echoSeparateZeroedOutput = d.echoSeparateZeroedOutput && in != out && zeroed;
            }
            auto* o = static_cast<std::uint8_t*>(out);
            for (std::size_t i = 0; i < outLength; ++i) o[i] = copy[copy.size() - 1 - (i % copy.size())];
            WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, argument != 0 ? argument : outputLength);
            (void)inputLength;
            return;
        }
        case kPark: {
            auto* ctx = DeviceGetContext(WdfIoQueueGetDevice(queue));
            NTSTATUS s = WdfRequestForwardToIoQueue(request, ctx->ManualQueue);
            if (!NT_SUCCESS(s)) {
                WdfRequestComplete(request, s);
                return;
            }
            d.Log("Parked");
            return;
        }
        case kHold: {
            std::lock_guard lock(d.mu);
            d.held.push_back(request);
            d.cv.notify_all();
            return;
        }
        case kMinimum: {
            PVOID in = nullptr;
            WdfRequestComplete(request, WdfRequestRetrieveInputBuffer(request, argument, &in, nullptr));
            return;
        }
        case kTwice:
            WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 0);
            WdfRequestCompleteWithInformation(request, STATUS_UNSUCCESSFUL, 0);
            return;
        default:
            WdfRequestComplete(request, STATUS_NOT_SUPPORTED);
            return;
    }
}

void EvtIoStop(WDFQUEUE, WDFREQUEST, ULONG flags) {
    D().Log("IoStop(" + std::to_string(flags) + ")");
}

void EvtFileCreate(WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT file) {
    auto* ctx = FileGetContext(file);
    if (ctx != nullptr) ctx->Opens++;
    WdfRequestComplete(request, Opt().createStatus);
}

void EvtFileClose(WDFFILEOBJECT file) {
    TestDriver& d = D();
    WDFQUEUE manual = nullptr;
    {
        std::lock_guard lock(d.mu);
        manual = d.manualQueue;
    }
    bool parked = false;
    if (manual != nullptr) {
        WDFREQUEST tag = nullptr;
        NTSTATUS s = WdfIoQueueFindRequest(manual, nullptr, file, nullptr, &tag);
        if (NT_SUCCESS(s)) {
            parked = true;
            WdfObjectDereference(tag);
        }
    }
    std::lock_guard lock(d.mu);
    d.closeSawOwnRequests.push_back(parked);
    d.log.push_back("FileClose");
    d.cv.notify_all();
}

void EvtReadComplete(WDFUSBPIPE, WDFMEMORY memory, std::size_t bytes, WDFCONTEXT) {
    TestDriver& d = D();
    std::size_t size = 0;
    auto* data = static_cast<const char*>(WdfMemoryGetBuffer(memory, &size));
    std::shared_ptr<gnss::fw::LoopbackUsbBackend> usb;
    {
        std::lock_guard lock(d.mu);
        usb = d.usb;
    }
    const bool readPending = usb != nullptr && usb->ReadsInFlight(0x81) != 0;
    std::lock_guard lock(d.mu);
    if (readPending) d.readWhileCallbackRan = true;
    d.chunks.emplace_back(data != nullptr ? std::string(data, std::min(bytes, size)) : std::string("<null>"));
    d.cv.notify_all();
}

BOOLEAN EvtReadersFailed(WDFUSBPIPE, NTSTATUS status, USBD_STATUS) {
    TestDriver& d = D();
    std::lock_guard lock(d.mu);
    d.readerFailures.push_back(status);
    d.cv.notify_all();
    return d.options.restartReader;
}

NTSTATUS EvtPrepareHardware(WDFDEVICE device, WDFOBJECT, WDFOBJECT) {
    const Options o = Opt();
    if (!NT_SUCCESS(o.prepareStatus)) return o.prepareStatus;
    if (!o.usb) return STATUS_SUCCESS;
    auto* ctx = DeviceGetContext(device);
    NTSTATUS s = WdfUsbTargetDeviceCreate(device, nullptr, &ctx->UsbDevice);
    if (!NT_SUCCESS(s)) return s;
    WDF_USB_CONTROL_SETUP_PACKET setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&setup, BmRequestHostToDevice, BmRequestToInterface, 0x22, 0x0003, 0);
    s = WdfUsbTargetDeviceSendControlTransferSynchronously(ctx->UsbDevice, nullptr, nullptr, &setup, nullptr, nullptr);
    if (!NT_SUCCESS(s)) return s;
    WDFUSBINTERFACE iface = WdfUsbTargetDeviceGetInterface(ctx->UsbDevice, 1);
    if (iface == nullptr) return STATUS_UNSUCCESSFUL;
    for (BYTE i = 0; i < WdfUsbInterfaceGetNumConfiguredPipes(iface); ++i) {
        WDF_USB_PIPE_INFORMATION info;
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(iface, i, &info);
        if (pipe == nullptr) continue;
        WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
        if (info.PipeType == WdfUsbPipeTypeBulk && WdfUsbTargetPipeIsInEndpoint(pipe)) ctx->BulkIn = pipe;
        else if (info.PipeType == WdfUsbPipeTypeBulk && WdfUsbTargetPipeIsOutEndpoint(pipe)) ctx->BulkOut = pipe;
    }
    if (ctx->BulkIn == nullptr || ctx->BulkOut == nullptr) return STATUS_INVALID_DEVICE_STATE;
    WDF_USB_CONTINUOUS_READER_CONFIG config;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, EvtReadComplete, ctx, o.readLength);
    config.NumPendingReads = 1;
    config.EvtUsbTargetPipeReadersFailed = EvtReadersFailed;
    return WdfUsbTargetPipeConfigContinuousReaders(ctx->BulkIn, &config);
}

NTSTATUS EvtReleaseHardware(WDFDEVICE device, WDFOBJECT) {
    auto* ctx = DeviceGetContext(device);
    // Every parked request is cancelled, then the manual queue goes.
    WDFREQUEST request = nullptr;
    while (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(ctx->ManualQueue, &request)))
        WdfRequestCompleteWithInformation(request, STATUS_CANCELLED, 4);
    WdfIoQueuePurgeSynchronously(ctx->ManualQueue);
    WdfObjectDelete(ctx->ManualQueue);
    {
        std::lock_guard lock(D().mu);
        D().manualQueue = nullptr;
    }
    if (ctx->UsbDevice != nullptr) WdfIoTargetStop(WdfUsbTargetDeviceGetIoTarget(ctx->UsbDevice), WdfIoTargetCancelSentIo);
    return STATUS_SUCCESS;
}

NTSTATUS EvtD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    const Options o = Opt();
    if (!NT_SUCCESS(o.d0EntryStatus)) return o.d0EntryStatus;
    std::function<void(WDFDEVICE)> hook;
    {
        std::lock_guard lock(D().mu);
        hook = D().onD0Entry;
    }
    if (hook) hook(device);
    auto* ctx = DeviceGetContext(device);
    NTSTATUS s = STATUS_SUCCESS;
    if (ctx->BulkIn != nullptr) s = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(ctx->BulkIn));
    if (o.engineUses > 0) {
        NTSTATUS r = WdfDeviceStopIdle(device, FALSE);
        std::lock_guard lock(D().mu);
        D().d0EntryStopIdle.push_back(r);
    }
    return s;
}

NTSTATUS EvtD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    auto* ctx = DeviceGetContext(device);
    if (ctx->BulkIn != nullptr) WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(ctx->BulkIn), WdfIoTargetCancelSentIo);
    if (Opt().engineUses > 0) WdfDeviceResumeIdle(device);
    return STATUS_SUCCESS;
}

NTSTATUS EvtSelfManagedIoInit(WDFDEVICE device) {
    const Options o = Opt();
    if (!NT_SUCCESS(o.selfManagedIoInitStatus)) return o.selfManagedIoInitStatus;
    if (!o.assignIdle) return STATUS_SUCCESS;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&settings, IdleCannotWakeFromS0);
    settings.IdleTimeout = o.idleTimeoutMs;
    settings.PowerUpIdleDeviceOnSystemWake = o.powerUpOnWake;
    settings.IdleTimeoutType = SystemManagedIdleTimeout;
    return WdfDeviceAssignS0IdleSettings(device, &settings);
}

NTSTATUS EvtSelfManagedIoSuspend(WDFDEVICE device) {
    D().Log("Suspend");
    WDFQUEUE queue = WdfDeviceGetDefaultQueue(device);
    WdfIoQueueStopSynchronously(queue);
    WdfIoQueueStart(queue);
    return STATUS_SUCCESS;
}

NTSTATUS EvtSelfManagedIoRestart(WDFDEVICE) { return STATUS_SUCCESS; }

void EvtSelfManagedIoFlush(WDFDEVICE device) { WdfIoQueuePurgeSynchronously(WdfDeviceGetDefaultQueue(device)); }

void EvtSelfManagedIoCleanup(WDFDEVICE) {
    std::function<void()> hook;
    {
        std::lock_guard lock(D().mu);
        hook = D().onCleanup;
    }
    if (hook) hook();
}

NTSTATUS EvtQueryRemove(WDFDEVICE) { return Opt().queryRemoveStatus; }

void EvtSurpriseRemoval(WDFDEVICE) {}

void EvtDeviceCleanup(WDFOBJECT) { D().Log("DeviceCleanup"); }

NTSTATUS EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    const Options o = Opt();
    WdfDeviceInitSetPowerPolicyOwnership(init, TRUE);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceD0Entry = EvtD0Entry;
    pnp.EvtDeviceD0Exit = EvtD0Exit;
    pnp.EvtDevicePrepareHardware = EvtPrepareHardware;
    pnp.EvtDeviceReleaseHardware = EvtReleaseHardware;
    pnp.EvtDeviceSelfManagedIoCleanup = EvtSelfManagedIoCleanup;
    pnp.EvtDeviceSelfManagedIoFlush = EvtSelfManagedIoFlush;
    pnp.EvtDeviceSelfManagedIoInit = EvtSelfManagedIoInit;
    pnp.EvtDeviceSelfManagedIoSuspend = EvtSelfManagedIoSuspend;
    pnp.EvtDeviceSelfManagedIoRestart = EvtSelfManagedIoRestart;
    pnp.EvtDeviceSurpriseRemoval = EvtSurpriseRemoval;
    pnp.EvtDeviceQueryRemove = EvtQueryRemove;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);

    WDF_FILEOBJECT_CONFIG files;
    WDF_FILEOBJECT_CONFIG_INIT(&files, EvtFileCreate, EvtFileClose, nullptr);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FILE_CONTEXT);
    WdfDeviceInitSetFileObjectConfig(init, &files, &fileAttributes);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = EvtDeviceCleanup;
    WDFDEVICE device = nullptr;
    NTSTATUS s = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(s)) return s;

    DEVICE_CONTEXT* ctx = DeviceGetContext(device);
    bool zero = ctx != nullptr;
    if (ctx != nullptr) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(ctx);
        for (std::size_t i = 0; i < sizeof(DEVICE_CONTEXT); ++i) zero = zero && bytes[i] == 0;
    }
    s = WdfDeviceCreateDeviceInterface(device, &kInterface, nullptr);
    if (!NT_SUCCESS(s)) return s;

    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDeviceControl = EvtIoDeviceControl;
    config.EvtIoStop = EvtIoStop;
    WDFQUEUE defaultQueue = nullptr;
    s = WdfIoQueueCreate(device, &config, nullptr, &defaultQueue);
    if (!NT_SUCCESS(s)) return s;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    config.PowerManaged = WdfFalse;
    s = WdfIoQueueCreate(device, &config, nullptr, &ctx->ManualQueue);
    if (!NT_SUCCESS(s)) return s;

    std::lock_guard lock(D().mu);
    D().device = device;
    D().defaultQueue = defaultQueue;
    D().manualQueue = ctx->ManualQueue;
    D().contextWasZero = zero;
    D().contextAligned = reinterpret_cast<std::uintptr_t>(ctx) % alignof(std::max_align_t) == 0;
    D().initConsumed = init == nullptr;
    return o.deviceAddStatus;
}

void EvtDriverUnload(WDFDRIVER) { D().Log("DriverUnload"); }
void EvtDriverCleanup(WDFOBJECT) { D().Log("DriverCleanup"); }

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PCSTR registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    config.EvtDriverUnload = EvtDriverUnload;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = EvtDriverCleanup;
    WDFDRIVER driver = nullptr;
    NTSTATUS s = WdfDriverCreate(driverObject, registryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(s)) return s;
    std::lock_guard lock(D().mu);
    D().driver = driver;
    return D().options.entryStatus;
}

// ---------------------------------------------------------------------------
gnss::fw::CompletionHandler Completions::Handler() {
    return [this](const gnss::fw::Completion& c) {
        std::lock_guard lock(mu_);
        done_[c.id].push_back(c);
        total_++;
        cv_.notify_all();
    };
}

bool Completions::Wait(gnss::fw::RequestId id, gnss::fw::Completion* out, int timeoutMs) {
    std::unique_lock lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done_.count(id) != 0; })) return false;
    if (out != nullptr) *out = done_[id].front();
    return true;
}

bool Completions::WaitCount(std::size_t count, int timeoutMs) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return total_ >= count; });
}

std::size_t Completions::Count(gnss::fw::RequestId id) const {
    std::lock_guard lock(mu_);
    auto it = done_.find(id);
    return it == done_.end() ? 0 : it->second.size();
}

std::size_t Completions::Total() const {
    std::lock_guard lock(mu_);
    return total_;
}

std::vector<std::string> HistoryFrom(const gnss::fw::DriverHost& host, std::size_t from) {
    auto all = host.CallbackHistory();
    if (from >= all.size()) return {};
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
}

bool Contains(const std::vector<std::string>& texts, const std::string& part) {
    for (const auto& t : texts)
        if (t.find(part) != std::string::npos) return true;
    return false;
}

}  // namespace fwtest
