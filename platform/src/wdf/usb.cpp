// The USB target: interfaces and pipes from the device's USB back-end,
// control transfers, synchronous writes, I/O target start and stop, and the
// continuous reader.
#include <cstring>

#include "framework.h"

namespace gnss::fw::detail {

void Host::StartReaderLocked(const std::shared_ptr<UsbPipeObj>& pipe) {
    if (!pipe->readerConfigured) return;
    if (pipe->readerRunning && !pipe->readerExited) {
        pipe->readerStop = false;  // a reader left with its read pending goes on
        return;
    }
    if (pipe->reader.joinable()) {
        // The previous reader ended on its own (device gone, or its failure
        // callback declined a restart); it no longer needs the lock.
        if (pipe->readerId == std::this_thread::get_id())
            pipe->reader.detach();
        else
            pipe->reader.join();
    }
    pipe->readerStop = false;
    pipe->readerExited = false;
    pipe->readInFlight = false;
    pipe->readerRunning = true;
    const std::uint64_t generation = ++pipe->readerGeneration;
    auto self = shared_from_this();
    pipe->reader = std::thread([self, pipe, generation] { self->ReaderLoop(pipe, generation); });
    pipe->readerId = pipe->reader.get_id();
    Note("continuous reader of pipe %p (endpoint 0x%02X) started", static_cast<void*>(pipe->Handle()),
         pipe->desc.EndpointAddress);
}

void Host::StopReaderLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<UsbPipeObj>& pipe,
                            WDF_IO_TARGET_SENT_IO_ACTION action) {
    if (!pipe->readerRunning) return;
    pipe->readerStop = true;
    cv.notify_all();
    if (pipe->readerId == std::this_thread::get_id()) {
        // Stopped from its own completion or failure callback: the reader ends
        // when that callback returns.
        pipe->readerRunning = false;
        pipe->reader.detach();
        return;
    }
    if (action == WdfIoTargetLeaveSentIoPending) {
        // The read in flight stays; the reader ends when it completes (its
        // data is still delivered).  A later start joins it.
        return;
    }
    if (action == WdfIoTargetCancelSentIo && !pipe->readerExited) {
        // One cancel suffices: the back-end ends the read in progress, or the
        // next one before it begins, and the reader then sees the stop.
        auto be = pipe->backend;
        const UCHAR endpoint = pipe->desc.EndpointAddress;
        lock.unlock();
        if (be != nullptr) be->CancelRead(endpoint);
        lock.lock();
    }
    cv.wait(lock, [&] { return pipe->readerExited; });
    std::thread t = std::move(pipe->reader);
    pipe->readerRunning = false;
    lock.unlock();
    if (t.joinable()) t.join();
    lock.lock();
    Note("continuous reader of pipe %p stopped", static_cast<void*>(pipe->Handle()));
}

void Host::ReaderLoop(std::shared_ptr<UsbPipeObj> pipe, std::uint64_t generation) {
    std::unique_lock lock(mu);
    const auto be = pipe->backend;
    const UCHAR endpoint = pipe->desc.EndpointAddress;
    const WDF_USB_CONTINUOUS_READER_CONFIG config = pipe->readerConfig;
    const auto memory = pipe->readerBuffer;
    std::uint8_t* data = memory->bytes.data() + config.HeaderLength;
    const std::size_t length = config.TransferLength;
    const WDFUSBPIPE pipeHandle = pipe->HandleAs<WDFUSBPIPE>();
    const WDFMEMORY memoryHandle = memory->HandleAs<WDFMEMORY>();

    // A reader left behind by a stop from its own callback may still run
    // when a new one starts; it ends as soon as it sees the newer generation.
    auto current = [&] { return pipe->readerGeneration == generation; };
    while (!pipe->readerStop && current()) {
        pipe->readInFlight = true;
        cv.notify_all();
        lock.unlock();
        std::size_t transferred = 0;
        const NTSTATUS status = be->ReadPipe(endpoint, data, length, &transferred);
        if (transferred > length) transferred = length;
        lock.lock();
        if (!current()) break;
        pipe->readInFlight = false;
        cv.notify_all();
        if (NT_SUCCESS(status)) {
            // Delivered even when a stop came meanwhile: the data was read.
            lock.unlock();
            config.EvtUsbTargetPipeReadComplete(pipeHandle, memoryHandle, transferred,
                                                config.EvtUsbTargetPipeReadCompleteContext);
            lock.lock();
            continue;
        }
        if (pipe->readerStop) break;  // the read was cancelled by the stop
        if (status == STATUS_CANCELLED) continue;  // a cancel left over from an earlier stop
        const bool gone = status == STATUS_DEVICE_NOT_CONNECTED;
        Note("read on endpoint 0x%02X failed, status=0x%X%s", endpoint, static_cast<unsigned>(status),
             gone ? " (device gone)" : "");
        lock.unlock();
        BOOLEAN again = TRUE;
        if (config.EvtUsbTargetPipeReadersFailed != nullptr)
            again = config.EvtUsbTargetPipeReadersFailed(pipeHandle, status, 0);
        if (!gone && again) be->ResetPipe(endpoint);
        lock.lock();
        if (gone || !again) {
            Note("continuous reader of endpoint 0x%02X ends", endpoint);
            break;
        }
    }
    if (current()) {
        pipe->readInFlight = false;
        pipe->readerExited = true;
    }
    cv.notify_all();
}

void Host::DeleteUsbDeviceLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<UsbDeviceObj>& usb,
                                 Deferred& deferred) {
    if (!usb->alive) return;
    usb->started = false;
    for (auto& i : usb->interfaces)
        for (auto& p : i->pipes) {
            p->started = false;
            StopReaderLocked(lock, p, WdfIoTargetCancelSentIo);
        }
    if (!usb->alive) return;  // deleted meanwhile by another thread
    for (auto& i : usb->interfaces) {
        for (auto& p : i->pipes) {
            if (p->readerBuffer != nullptr) KillLocked(p->readerBuffer, deferred);
            KillLocked(p, deferred);
        }
        KillLocked(i, deferred);
    }
    KillLocked(usb, deferred);
    if (device != nullptr && device->usb == usb) device->usb.reset();
    // The deleted target lets go of the back-end; the device keeps it for a
    // USB target it may create again.
    std::vector<std::shared_ptr<UsbBackend>> backends;
    TakeUsbBackendsLocked(*usb, backends);
    deferred.Add([held = std::move(backends)]() mutable { held.clear(); });
}

void Host::TakeUsbBackendsLocked(UsbDeviceObj& usb, std::vector<std::shared_ptr<UsbBackend>>& out) {
    if (usb.backend != nullptr) out.push_back(std::move(usb.backend));
    usb.backend.reset();
    for (auto& i : usb.interfaces)
        for (auto& p : i->pipes) {
            if (p->backend != nullptr) out.push_back(std::move(p->backend));
            p->backend.reset();
        }
}

}  // namespace gnss::fw::detail

// ===========================================================================
// Driver-facing calls.
using namespace gnss::fw::detail;

namespace {

std::shared_ptr<UsbDeviceObj> PipeDevice(const UsbPipeObj& pipe) { return pipe.usb.lock(); }

bool TransfersAllowed(const UsbPipeObj& pipe) {
    auto usb = PipeDevice(pipe);
    return usb != nullptr && usb->alive && usb->started && pipe.started;
}

}  // namespace

void WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(WDF_MEMORY_DESCRIPTOR* Descriptor, PVOID Buffer, ULONG Length) {
    if (Descriptor == nullptr) return;
    Descriptor->Buffer = Buffer;
    Descriptor->Length = Length;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, std::size_t* BufferSize) {
    if (BufferSize != nullptr) *BufferSize = 0;
    auto a = Acquire<MemoryObj>(Memory, "WdfMemoryGetBuffer", "memory object", Need::Registered);
    if (!a) return nullptr;
    if (BufferSize != nullptr) *BufferSize = a->bytes.size();
    return a->bytes.data();
}

void WDF_USB_PIPE_INFORMATION_INIT(WDF_USB_PIPE_INFORMATION* Info) {
    if (Info == nullptr) return;
    *Info = WDF_USB_PIPE_INFORMATION{};
    Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

void WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(WDF_USB_CONTROL_SETUP_PACKET* Packet, WDF_USB_BMREQUEST_DIRECTION Direction,
                                             WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request, USHORT Value,
                                             USHORT Index) {
    if (Packet == nullptr) return;
    std::memset(Packet, 0, sizeof *Packet);
    Packet->Packet.bmRequestType = static_cast<UCHAR>(((Direction & 1) << 7) | (BmRequestClass << 5) | (Recipient & 0x1F));
    Packet->Packet.bRequest = Request;
    Packet->Packet.wValue = Value;
    Packet->Packet.wIndex = Index;
    Packet->Packet.wLength = 0;
}

void WDF_USB_CONTINUOUS_READER_CONFIG_INIT(WDF_USB_CONTINUOUS_READER_CONFIG* Config,
                                           PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtReadComplete, WDFCONTEXT Context,
                                           std::size_t TransferLength) {
    if (Config == nullptr) return;
    *Config = WDF_USB_CONTINUOUS_READER_CONFIG{};
    Config->Size = sizeof(WDF_USB_CONTINUOUS_READER_CONFIG);
    Config->EvtUsbTargetPipeReadComplete = EvtReadComplete;
    Config->EvtUsbTargetPipeReadCompleteContext = Context;
    Config->TransferLength = TransferLength;
}

NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, const WDF_OBJECT_ATTRIBUTES* Attributes, WDFUSBDEVICE* UsbDevice) {
    constexpr const char* api = "WdfUsbTargetDeviceCreate";
    if (UsbDevice != nullptr) *UsbDevice = nullptr;
    auto a = Acquire<DeviceObj>(Device, api, "device");
    if (!a) return STATUS_INVALID_HANDLE;
    Host& host = *a.host;
    auto device = a.obj;
    if (host.device != device || host.pnp == Pnp::Removing || host.pnp == Pnp::Removed)
        return STATUS_INVALID_DEVICE_STATE;
    if (device->usb != nullptr && device->usb->alive) {
        host.Violation("%s: the device already has its USB target", api);
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto backend = host.backend;
    if (backend == nullptr) {
        host.Error("%s: the device has no USB function", api);
        return STATUS_NOT_SUPPORTED;
    }
    a.lock.unlock();
    std::vector<gnss::fw::UsbInterfaceDescriptor> interfaces = backend->Interfaces();
    std::string description = backend->Describe();
    a.lock.lock();
    if (!device->alive || host.device != device) return STATUS_INVALID_DEVICE_STATE;
    if (device->usb != nullptr && device->usb->alive) return STATUS_INVALID_DEVICE_STATE;

    auto usb = std::make_shared<UsbDeviceObj>();
    usb->backend = backend;
    usb->ApplyAttributes(Attributes);
    host.RegisterLocked(usb);
    for (const auto& desc : interfaces) {
        auto iface = std::make_shared<UsbInterfaceObj>();
        iface->number = desc.InterfaceNumber;
        host.RegisterLocked(iface);
        for (const auto& pd : desc.Pipes) {
            auto pipe = std::make_shared<UsbPipeObj>();
            pipe->usb = usb;
            pipe->backend = backend;
            pipe->desc = pd;
            host.RegisterLocked(pipe);
            iface->pipes.push_back(pipe);
        }
        usb->interfaces.push_back(iface);
    }
    device->usb = usb;
    host.Note("USB target %p created on %s with %zu interface(s)", static_cast<void*>(usb->Handle()),
              description.c_str(), interfaces.size());
    if (UsbDevice != nullptr) *UsbDevice = usb->HandleAs<WDFUSBDEVICE>();
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                            const WDF_REQUEST_SEND_OPTIONS* RequestOptions,
                                                            WDF_USB_CONTROL_SETUP_PACKET* SetupPacket,
                                                            WDF_MEMORY_DESCRIPTOR* MemoryDescriptor,
                                                            ULONG* BytesTransferred) {
    (void)Request;
    (void)RequestOptions;
    if (BytesTransferred != nullptr) *BytesTransferred = 0;
    auto a = Acquire<UsbDeviceObj>(UsbDevice, "WdfUsbTargetDeviceSendControlTransferSynchronously", "USB device");
    if (!a) return STATUS_INVALID_HANDLE;
    if (SetupPacket == nullptr) return STATUS_INVALID_PARAMETER;
    if (MemoryDescriptor != nullptr && MemoryDescriptor->Buffer == nullptr && MemoryDescriptor->Length != 0)
        return STATUS_INVALID_PARAMETER;
    if (!a->started) return STATUS_INVALID_DEVICE_STATE;
    auto backend = a->backend;
    a.lock.unlock();

    gnss::fw::UsbSetupPacket setup{};
    setup.bmRequestType = SetupPacket->Packet.bmRequestType;
    setup.bRequest = SetupPacket->Packet.bRequest;
    setup.wValue = SetupPacket->Packet.wValue;
    setup.wIndex = SetupPacket->Packet.wIndex;
    std::uint8_t* data = nullptr;
    std::size_t length = 0;
    if (MemoryDescriptor != nullptr) {
        data = static_cast<std::uint8_t*>(MemoryDescriptor->Buffer);
        length = MemoryDescriptor->Length;
    }
    setup.wLength = static_cast<USHORT>(length);
    ULONG transferred = 0;
    const NTSTATUS status = backend->ControlTransfer(setup, data, length, &transferred);
    if (BytesTransferred != nullptr) *BytesTransferred = NT_SUCCESS(status) ? transferred : 0;
    return status;
}

WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex) {
    auto a = Acquire<UsbDeviceObj>(UsbDevice, "WdfUsbTargetDeviceGetInterface", "USB device");
    if (!a || InterfaceIndex >= a->interfaces.size()) return nullptr;
    return a->interfaces[InterfaceIndex]->HandleAs<WDFUSBINTERFACE>();
}

BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface) {
    auto a = Acquire<UsbInterfaceObj>(UsbInterface, "WdfUsbInterfaceGetNumConfiguredPipes", "USB interface");
    return a ? static_cast<BYTE>(a->pipes.size()) : 0;
}

WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex, WDF_USB_PIPE_INFORMATION* PipeInfo) {
    auto a = Acquire<UsbInterfaceObj>(UsbInterface, "WdfUsbInterfaceGetConfiguredPipe", "USB interface");
    if (!a || PipeIndex >= a->pipes.size()) return nullptr;
    const auto& pipe = a->pipes[PipeIndex];
    if (PipeInfo != nullptr) {
        const ULONG size = PipeInfo->Size;
        *PipeInfo = WDF_USB_PIPE_INFORMATION{};
        PipeInfo->Size = size;
        PipeInfo->MaximumPacketSize = pipe->desc.MaximumPacketSize;
        PipeInfo->EndpointAddress = pipe->desc.EndpointAddress;
        PipeInfo->Interval = 0;
        PipeInfo->SettingIndex = 0;
        PipeInfo->PipeType = pipe->desc.Type;
        PipeInfo->MaximumTransferSize = 0x10000;
    }
    return pipe->HandleAs<WDFUSBPIPE>();
}

BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe) {
    auto a = Acquire<UsbPipeObj>(Pipe, "WdfUsbTargetPipeIsInEndpoint", "USB pipe");
    return a && a->In() ? TRUE : FALSE;
}

BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe) {
    auto a = Acquire<UsbPipeObj>(Pipe, "WdfUsbTargetPipeIsOutEndpoint", "USB pipe");
    return a && !a->In() ? TRUE : FALSE;
}

WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe) {
    auto a = Acquire<UsbPipeObj>(Pipe, "WdfUsbTargetPipeGetType", "USB pipe");
    return a ? a->desc.Type : WdfUsbPipeTypeInvalid;
}

void WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe) {
    auto a = Acquire<UsbPipeObj>(Pipe, "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck", "USB pipe");
    if (a) a->noMaximumPacketSizeCheck = true;
}

NTSTATUS WdfUsbTargetPipeConfigContinuousReaders(WDFUSBPIPE Pipe, WDF_USB_CONTINUOUS_READER_CONFIG* Config) {
    constexpr const char* api = "WdfUsbTargetPipeConfigContinuousReaders";
    auto a = Acquire<UsbPipeObj>(Pipe, api, "USB pipe");
    if (!a) return STATUS_INVALID_HANDLE;
    Host& host = *a.host;
    auto pipe = a.obj;
    if (Config == nullptr || Config->TransferLength == 0 || Config->EvtUsbTargetPipeReadComplete == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (!pipe->In() || (pipe->desc.Type != WdfUsbPipeTypeBulk && pipe->desc.Type != WdfUsbPipeTypeInterrupt)) {
        host.Error("%s: pipe %p is not a bulk or interrupt IN pipe", api, static_cast<void*>(Pipe));
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!pipe->noMaximumPacketSizeCheck && pipe->desc.MaximumPacketSize != 0 &&
        Config->TransferLength % pipe->desc.MaximumPacketSize != 0) {
        host.Error("%s: transfer length %zu is not a multiple of the maximum packet size %u", api,
                   Config->TransferLength, static_cast<unsigned>(pipe->desc.MaximumPacketSize));
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (pipe->readerRunning && !pipe->readerExited) return STATUS_INVALID_DEVICE_STATE;
    Deferred deferred;
    if (pipe->readerBuffer != nullptr) host.KillLocked(pipe->readerBuffer, deferred);
    auto memory = std::make_shared<MemoryObj>();
    memory->bytes.assign(Config->HeaderLength + Config->TransferLength + Config->TrailerLength, 0);
    if (Config->BufferAttributes != nullptr) memory->ApplyAttributes(Config->BufferAttributes);
    host.RegisterLocked(memory);
    pipe->readerBuffer = memory;
    pipe->readerConfig = *Config;
    pipe->readerConfigured = true;
    a.lock.unlock();
    deferred.Run();
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetPipeWriteSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request, const WDF_REQUEST_SEND_OPTIONS* RequestOptions,
                                            WDF_MEMORY_DESCRIPTOR* MemoryDescriptor, ULONG* BytesWritten) {
    (void)Request;
    (void)RequestOptions;
    if (BytesWritten != nullptr) *BytesWritten = 0;
    auto a = Acquire<UsbPipeObj>(Pipe, "WdfUsbTargetPipeWriteSynchronously", "USB pipe");
    if (!a) return STATUS_INVALID_HANDLE;
    if (MemoryDescriptor == nullptr || (MemoryDescriptor->Buffer == nullptr && MemoryDescriptor->Length != 0))
        return STATUS_INVALID_PARAMETER;
    if (a->In()) return STATUS_INVALID_DEVICE_REQUEST;
    if (!TransfersAllowed(*a.obj)) return STATUS_INVALID_DEVICE_STATE;
    auto backend = a->backend;
    const UCHAR endpoint = a->desc.EndpointAddress;
    a.lock.unlock();
    ULONG written = 0;
    const NTSTATUS status =
        backend->WritePipe(endpoint, static_cast<const std::uint8_t*>(MemoryDescriptor->Buffer), MemoryDescriptor->Length, &written);
    if (BytesWritten != nullptr) *BytesWritten = NT_SUCCESS(status) ? written : 0;
    return status;
}

WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice) {
    auto a = Acquire<UsbDeviceObj>(UsbDevice, "WdfUsbTargetDeviceGetIoTarget", "USB device");
    return a ? a->HandleAs<WDFUSBDEVICE>() : nullptr;
}

WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe) {
    auto a = Acquire<UsbPipeObj>(Pipe, "WdfUsbTargetPipeGetIoTarget", "USB pipe");
    return a ? a->HandleAs<WDFUSBPIPE>() : nullptr;
}

NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget) {
    auto a = Acquire<AnyIoTarget>(IoTarget, "WdfIoTargetStart", "I/O target");
    if (!a) return STATUS_INVALID_HANDLE;
    Host& host = *a.host;
    if (host.pnp == Pnp::Removed) return STATUS_INVALID_DEVICE_STATE;
    if (a->kind == Kind::UsbDevice) {
        auto usb = std::static_pointer_cast<UsbDeviceObj>(a.obj);
        usb->started = true;
        for (auto& i : usb->interfaces)
            for (auto& p : i->pipes) {
                p->started = true;
                host.StartReaderLocked(p);
            }
        return STATUS_SUCCESS;
    }
    auto pipe = std::static_pointer_cast<UsbPipeObj>(a.obj);
    auto usb = pipe->usb.lock();
    if (usb == nullptr || !usb->alive || !usb->started) return STATUS_INVALID_DEVICE_STATE;
    pipe->started = true;
    host.StartReaderLocked(pipe);
    return STATUS_SUCCESS;
}

void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action) {
    auto a = Acquire<AnyIoTarget>(IoTarget, "WdfIoTargetStop", "I/O target");
    if (!a) return;
    Host& host = *a.host;
    if (a->kind == Kind::UsbDevice) {
        auto usb = std::static_pointer_cast<UsbDeviceObj>(a.obj);
        usb->started = false;
        for (auto& i : usb->interfaces)
            for (auto& p : i->pipes) {
                p->started = false;
                host.StopReaderLocked(a.lock, p, Action);
            }
        return;
    }
    auto pipe = std::static_pointer_cast<UsbPipeObj>(a.obj);
    pipe->started = false;
    host.StopReaderLocked(a.lock, pipe, Action);
}
