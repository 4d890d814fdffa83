#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "backend_log.h"
#include "libusb_loader.h"
#include "gnss/platform/libusb_usb_backend.h"

namespace gnss::fw {

namespace {

constexpr unsigned kTransferTimeoutMs = static_cast<unsigned>(kWriteBound.count());

std::string BusAddress(libusb_device* device) {
    char text[48];
    std::snprintf(text, sizeof text, "bus %u address %u", unsigned{libusb_get_bus_number(device)},
                  unsigned{libusb_get_device_address(device)});
    return text;
}

std::string DeviceFile(libusb_device* device) {
    char text[48];
    std::snprintf(text, sizeof text, "/dev/bus/usb/%03u/%03u", unsigned{libusb_get_bus_number(device)},
                  unsigned{libusb_get_device_address(device)});
    return text;
}

// Someone waiting for one synchronous transfer (control request, write).
struct TransferWaiter {
    std::mutex* mutex;
    std::condition_variable* changed;
    bool done = false;
};

}  // namespace

std::shared_ptr<LibusbUsbBackend> LibusbUsbBackend::Open(const UsbDeviceSelector& selector, std::string& error) {
    std::shared_ptr<LibusbUsbBackend> backend(new LibusbUsbBackend());
    if (!backend->Start(selector, error)) return nullptr;  // the destructor undoes what was done
    return backend;
}

bool LibusbUsbBackend::Start(const UsbDeviceSelector& selector, std::string& error) {
    const std::string name = "usb:" + selector.ToString();
    std::string missing;
    if (!detail::LoadLibusb(missing)) {
        error = name + ": " + missing;
        return false;
    }
    int rc = libusb_init(&context_);
    if (rc != LIBUSB_SUCCESS) {
        context_ = nullptr;
        error = name + ": libusb cannot start: " + libusb_strerror(rc) +
                " (are the USB device files under /dev/bus/usb there?)";
        return false;
    }

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    if (count < 0) {
        error = name + ": the USB devices cannot be listed: " + libusb_strerror(static_cast<int>(count));
        return false;
    }
    std::vector<libusb_device*> matches;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
        if (descriptor.idVendor != selector.vendorId || descriptor.idProduct != selector.productId) continue;
        if (selector.bus && (libusb_get_bus_number(list[i]) != *selector.bus ||
                             libusb_get_device_address(list[i]) != *selector.address))
            continue;
        matches.push_back(list[i]);
    }
    if (matches.size() != 1) {
        if (matches.empty()) {
            error = name + ": no such USB device is present (lsusb lists the present ones as "
                           "\"Bus BBB Device AAA: ID VID:PID\")";
        } else {
            error = name + ": " + std::to_string(matches.size()) + " devices match (";
            for (std::size_t i = 0; i < matches.size(); ++i)
                error += (i > 0 ? ", " : "") + BusAddress(matches[i]);
            error += "); choose one with usb:VID:PID:BUS:ADDRESS";
        }
        libusb_free_device_list(list, 1);
        return false;
    }
    libusb_device* device = matches.front();
    rc = libusb_open(device, &handle_);
    if (rc != LIBUSB_SUCCESS) {
        handle_ = nullptr;
        error = name + ": cannot open the device at " + BusAddress(device) + ": " + libusb_strerror(rc);
        if (rc == LIBUSB_ERROR_ACCESS)
            error += " (no read and write access to " + DeviceFile(device) +
                     "; a udev rule can give the daemon's group access)";
        libusb_free_device_list(list, 1);
        return false;
    }
    // The open handle holds its own reference on the device.
    device_ = libusb_get_device(handle_);
    libusb_free_device_list(list, 1);
    {
        char text[64];
        std::snprintf(text, sizeof text, "usb:%04x:%04x:%u:%u", selector.vendorId, selector.productId,
                      unsigned{libusb_get_bus_number(device_)}, unsigned{libusb_get_device_address(device_)});
        description_ = text;
    }

    rc = libusb_set_auto_detach_kernel_driver(handle_, 1);
    if (rc == LIBUSB_ERROR_NOT_SUPPORTED) {
        USBIO_LOG(detail::kLogWarning, "%s: kernel drivers cannot be detached here", description_.c_str());
    } else if (rc != LIBUSB_SUCCESS) {
        error = description_ + ": cannot have kernel drivers detached: " + libusb_strerror(rc);
        return false;
    }

    libusb_config_descriptor* config = nullptr;
    rc = libusb_get_active_config_descriptor(device_, &config);
    if (rc != LIBUSB_SUCCESS) {
        error = description_ + ": cannot read the active configuration: " + libusb_strerror(rc);
        return false;
    }
    interfaces_ = InterfacesFromConfig(*config);
    libusb_free_config_descriptor(config);

    const auto data = std::find_if(interfaces_.begin(), interfaces_.end(), [](const UsbInterfaceDescriptor& i) {
        return i.InterfaceNumber == kDataInterfaceNumber;
    });
    const bool hasComm = std::any_of(interfaces_.begin(), interfaces_.end(), [](const UsbInterfaceDescriptor& i) {
        return i.InterfaceNumber == kCommInterfaceNumber;
    });
    const DataPipes pipes = data != interfaces_.end() ? ClassifyDataPipes(*data) : DataPipes{};
    if (!hasComm || !pipes.in || !pipes.out) {
        error = description_ +
                ": interface 0 and a data interface 1 with a bulk IN and a bulk OUT endpoint are "
                "needed, the active configuration does not have them (is this the modem's AT function?)";
        return false;
    }
    bulkIn_ = *pipes.in;
    bulkOut_ = *pipes.out;

    for (const int number : {int{kCommInterfaceNumber}, int{kDataInterfaceNumber}}) {
        rc = libusb_claim_interface(handle_, number);
        if (rc != LIBUSB_SUCCESS) {
            error = description_ + ": cannot claim interface " + std::to_string(number) + ": " +
                    libusb_strerror(rc) +
                    (rc == LIBUSB_ERROR_BUSY ? " (another program or a kernel driver holds it)" : "");
            return false;
        }
        claimed_.push_back(number);
    }

    read_ = libusb_alloc_transfer(0);
    if (read_ == nullptr) {
        error = description_ + ": out of memory for the read transfer";
        return false;
    }

    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
        libusb_hotplug_callback_handle callback = 0;
        rc = libusb_hotplug_register_callback(context_, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0, selector.vendorId,
                                              selector.productId, LIBUSB_HOTPLUG_MATCH_ANY, &OnHotplug, this,
                                              &callback);
        if (rc == LIBUSB_SUCCESS)
            hotplug_ = callback;
        else
            USBIO_LOG(detail::kLogWarning, "%s: no hot-plug notice (%s); a failing transfer tells of removal",
                      description_.c_str(), libusb_strerror(rc));
    } else {
        USBIO_LOG(detail::kLogInfo, "%s: libusb has no hot-plug notices here; a failing transfer tells of removal",
                  description_.c_str());
    }

    events_ = std::thread([this] {
        while (!stopEvents_.load()) {
            const int result = libusb_handle_events(context_);
            if (result != LIBUSB_SUCCESS && result != LIBUSB_ERROR_INTERRUPTED)
                USBIO_LOG(detail::kLogError, "%s: handling USB events failed: %s", description_.c_str(),
                          libusb_strerror(result));
        }
    });
    USBIO_LOG(detail::kLogInfo, "%s: claimed interfaces 0 and 1, bulk IN 0x%02X, bulk OUT 0x%02X",
              description_.c_str(), bulkIn_, bulkOut_);
    return true;
}

LibusbUsbBackend::~LibusbUsbBackend() {
    if (read_ != nullptr && events_.joinable()) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (inFlight_ && !cancelIssued_ && libusb_cancel_transfer(read_) == LIBUSB_SUCCESS) cancelIssued_ = true;
        changed_.wait(lock, [this] { return !inFlight_; });
    }
    // Released interfaces get their kernel drivers back.
    for (const int number : claimed_) libusb_release_interface(handle_, number);
    if (hotplug_) libusb_hotplug_deregister_callback(context_, *hotplug_);
    if (events_.joinable()) {
        stopEvents_ = true;
        libusb_interrupt_event_handler(context_);
        events_.join();
    }
    if (handle_ != nullptr) libusb_close(handle_);
    if (read_ != nullptr) libusb_free_transfer(read_);
    if (context_ != nullptr) libusb_exit(context_);
}

std::string LibusbUsbBackend::Describe() const { return description_; }

std::vector<UsbInterfaceDescriptor> LibusbUsbBackend::Interfaces() { return interfaces_; }

void LibusbUsbBackend::MarkGoneLocked() {
    gone_ = true;
    changed_.notify_all();
}

void LibusbUsbBackend::NotifyGone(const char* why) {
    if (removalSent_.exchange(true)) return;
    USBIO_LOG(detail::kLogWarning, "%s is gone (%s)", description_.c_str(), why);
    NotifyRemoved();
}

void LIBUSB_CALL LibusbUsbBackend::OnTransferDone(libusb_transfer* transfer) {
    auto* waiter = static_cast<TransferWaiter*>(transfer->user_data);
    std::lock_guard<std::mutex> lock(*waiter->mutex);
    waiter->done = true;
    waiter->changed->notify_all();
}

NTSTATUS LibusbUsbBackend::RunTransfer(libusb_transfer* transfer) {
    TransferWaiter waiter{&mutex_, &changed_};
    transfer->user_data = &waiter;
    const int rc = libusb_submit_transfer(transfer);
    if (rc != LIBUSB_SUCCESS) return StatusFromLibusbError(rc);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&waiter] { return waiter.done; });
    return StatusFromTransferStatus(transfer->status);
}

NTSTATUS LibusbUsbBackend::ControlTransfer(const UsbSetupPacket& setup, std::uint8_t* data, std::size_t length,
                                           ULONG* transferred) {
    if (transferred != nullptr) *transferred = 0;
    if (setup.wLength > 0 && (data == nullptr || length < setup.wLength)) return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_) return STATUS_DEVICE_NOT_CONNECTED;
    }
    const bool toHost = (setup.bmRequestType & LIBUSB_ENDPOINT_IN) != 0;
    std::vector<std::uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + setup.wLength);
    const std::array<std::uint8_t, 8> packet = SetupPacketBytes(setup);
    std::copy(packet.begin(), packet.end(), buffer.begin());
    if (!toHost && setup.wLength > 0) std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data, setup.wLength);

    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    libusb_fill_control_transfer(transfer, handle_, buffer.data(), &OnTransferDone, nullptr, kTransferTimeoutMs);
    const NTSTATUS status = RunTransfer(transfer);
    const std::size_t moved = static_cast<std::size_t>(std::max(transfer->actual_length, 0));
    libusb_free_transfer(transfer);

    if (NT_SUCCESS(status)) {
        if (toHost) std::memcpy(data, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, std::min(moved, length));
        if (transferred != nullptr) *transferred = static_cast<ULONG>(moved);
        return status;
    }
    USBIO_LOG(detail::kLogError, "%s: request %02X %02X wValue=%04X wIndex=%04X failed, status=0x%X",
              description_.c_str(), setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
              static_cast<unsigned>(status));
    if (status == STATUS_DEVICE_NOT_CONNECTED) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            MarkGoneLocked();
        }
        NotifyGone("a control request found no device");
    }
    return status;
}

NTSTATUS LibusbUsbBackend::SubmitReadLocked() {
    libusb_fill_bulk_transfer(read_, handle_, bulkIn_, readBuffer_.data(), static_cast<int>(readBuffer_.size()),
                              &OnReadDone, this, 0);
    const int rc = libusb_submit_transfer(read_);
    if (rc == LIBUSB_SUCCESS) {
        inFlight_ = true;
        cancelIssued_ = false;
        return STATUS_SUCCESS;
    }
    if (rc == LIBUSB_ERROR_NO_DEVICE) MarkGoneLocked();
    return StatusFromLibusbError(rc);
}

void LIBUSB_CALL LibusbUsbBackend::OnReadDone(libusb_transfer* transfer) {
    auto* self = static_cast<LibusbUsbBackend*>(transfer->user_data);
    bool gone = false;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->inFlight_ = false;
        self->cancelIssued_ = false;
        // Bytes are handed on whatever ended the transfer (a cancelled one
        // may have received some).
        if (transfer->actual_length > 0) {
            self->chunkLength_ = static_cast<std::size_t>(transfer->actual_length);
            self->chunkOffset_ = 0;
        }
        switch (transfer->status) {
            case LIBUSB_TRANSFER_COMPLETED:
                // A zero-length packet: nothing to hand on; read on for the
                // reader still waiting.
                if (transfer->actual_length == 0 && self->readGate_.Reading() && !self->readGate_.Cancelled() && !self->gone_) {
                    const NTSTATUS status = self->SubmitReadLocked();
                    if (status == STATUS_DEVICE_NOT_CONNECTED) gone = true;
                    else if (!NT_SUCCESS(status)) self->readError_ = status;
                }
                break;
            case LIBUSB_TRANSFER_CANCELLED:
                break;
            case LIBUSB_TRANSFER_NO_DEVICE:
                self->MarkGoneLocked();
                gone = true;
                break;
            default:
                self->readError_ = StatusFromTransferStatus(transfer->status);
                break;
        }
        self->changed_.notify_all();
    }
    if (gone) self->NotifyGone("the read found no device");
}

int LIBUSB_CALL LibusbUsbBackend::OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                                            void* user) {
    auto* self = static_cast<LibusbUsbBackend*>(user);
    if (event != LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT || device != self->device_) return 0;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->MarkGoneLocked();
    }
    self->NotifyGone("unplugged");
    return 0;
}

NTSTATUS LibusbUsbBackend::ReadPipe(UCHAR endpoint, std::uint8_t* buffer, std::size_t length,
                                    std::size_t* transferred) {
    if (transferred != nullptr) *transferred = 0;
    if (endpoint != bulkIn_ || buffer == nullptr || length == 0) return STATUS_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock(mutex_);
    const NTSTATUS begun = readGate_.Begin();
    if (!NT_SUCCESS(begun)) return begun;

    NTSTATUS status = STATUS_SUCCESS;
    while (true) {
        if (chunkOffset_ < chunkLength_) {
            const std::size_t count = std::min(length, chunkLength_ - chunkOffset_);
            std::memcpy(buffer, readBuffer_.data() + chunkOffset_, count);
            chunkOffset_ += count;
            if (transferred != nullptr) *transferred = count;
            if (chunkOffset_ == chunkLength_) {
                chunkOffset_ = chunkLength_ = 0;
                // Keep the pipe read while the chunk is being handled,
                // unless the reader is being stopped.
                if (!gone_ && !inFlight_ && !readGate_.Cancelled()) {
                    const NTSTATUS next = SubmitReadLocked();
                    if (!NT_SUCCESS(next) && next != STATUS_DEVICE_NOT_CONNECTED) readError_ = next;
                }
            }
            break;
        }
        if (readError_ != STATUS_SUCCESS) {
            status = readError_;
            readError_ = STATUS_SUCCESS;
            break;
        }
        if (gone_) {
            status = STATUS_DEVICE_NOT_CONNECTED;
            break;
        }
        if (readGate_.Cancelled()) {
            status = STATUS_CANCELLED;
            break;
        }
        if (!inFlight_) {
            status = SubmitReadLocked();
            if (!NT_SUCCESS(status)) break;
        }
        changed_.wait(lock);
    }
    readGate_.End();
    const bool gone = gone_;
    lock.unlock();
    if (gone) NotifyGone("reading found no device");
    return status;
}

void LibusbUsbBackend::CancelRead(UCHAR endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (endpoint != bulkIn_) return;
    readGate_.Cancel();
    // The transfer in flight goes too, also between reads: a stopped reader
    // leaves nothing in flight.  Bytes it already holds wait for the next read.
    if (inFlight_ && !cancelIssued_ && libusb_cancel_transfer(read_) == LIBUSB_SUCCESS) cancelIssued_ = true;
    changed_.notify_all();
}

NTSTATUS LibusbUsbBackend::WritePipe(UCHAR endpoint, const std::uint8_t* data, std::size_t length, ULONG* written) {
    if (written != nullptr) *written = 0;
    if (endpoint != bulkOut_ || data == nullptr || length == 0 || length > static_cast<std::size_t>(INT_MAX))
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_) return STATUS_DEVICE_NOT_CONNECTED;
    }
    std::vector<std::uint8_t> copy(data, data + length);
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    libusb_fill_bulk_transfer(transfer, handle_, bulkOut_, copy.data(), static_cast<int>(length), &OnTransferDone,
                              nullptr, kTransferTimeoutMs);
    const NTSTATUS status = RunTransfer(transfer);
    const int moved = transfer->actual_length;
    libusb_free_transfer(transfer);
    if (NT_SUCCESS(status)) {
        if (written != nullptr) *written = static_cast<ULONG>(std::max(moved, 0));
        return status;
    }
    USBIO_LOG(detail::kLogError, "%s: write of %zu bytes failed (%d sent), status=0x%X", description_.c_str(), length,
              moved, static_cast<unsigned>(status));
    if (status == STATUS_DEVICE_NOT_CONNECTED) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            MarkGoneLocked();
        }
        NotifyGone("a write found no device");
    }
    return status;
}

NTSTATUS LibusbUsbBackend::ResetPipe(UCHAR endpoint) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_) return STATUS_DEVICE_NOT_CONNECTED;
    }
    const int rc = libusb_clear_halt(handle_, endpoint);
    if (rc == LIBUSB_ERROR_NO_DEVICE) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            MarkGoneLocked();
        }
        NotifyGone("clearing a halt found no device");
    }
    return StatusFromLibusbError(rc);
}

}  // namespace gnss::fw
