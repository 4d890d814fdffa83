#include "gnss/platform/sim_usb_backend.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>

#include "backend_log.h"
#include "gnss/platform/usb_function.h"

namespace gnss::fw {

namespace {

// Modem::Read wants a time-out; the back-end waits for data, cancellation or
// removal, so it asks again whenever this long passes without any of them.
constexpr std::chrono::hours kReadWait{1};

}  // namespace

SimUsbBackend::SimUsbBackend(gnss::sim::ModemOptions options, std::string optionText)
    : modem_(std::move(options)), optionText_(std::move(optionText)) {}

SimUsbBackend::~SimUsbBackend() = default;

std::shared_ptr<SimUsbBackend> SimUsbBackend::Create(std::string_view optionText, std::string& error) {
    gnss::sim::ModemOptions options = gnss::sim::DefaultModemOptions();
    std::string why;
    if (!gnss::sim::TryParseModemOptions(optionText, options, why)) {
        error = "sim: bad modem options: " + why;
        return nullptr;
    }
    try {
        return std::make_shared<SimUsbBackend>(std::move(options), std::string(optionText));
    } catch (const std::exception& e) {
        error = std::string("sim: the simulated modem cannot be created: ") + e.what();
        return nullptr;
    }
}

std::string SimUsbBackend::Describe() const {
    return optionText_.empty() ? std::string("sim") : "sim:" + optionText_;
}

std::vector<UsbInterfaceDescriptor> SimUsbBackend::Interfaces() { return SerialFunctionInterfaces(); }

NTSTATUS SimUsbBackend::Gone() {
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone_ = true;
        notify = !removalSent_;
        removalSent_ = true;
    }
    if (notify) {
        USBIO_LOG(detail::kLogWarning, "the simulated modem is gone");
        NotifyRemoved();
    }
    return STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS SimUsbBackend::ControlTransfer(const UsbSetupPacket& setup, std::uint8_t* data,
                                        std::size_t length, ULONG* transferred) {
    if (transferred != nullptr) *transferred = 0;
    ControlLines lines;
    const NTSTATUS status = DecodeControlLineRequest(setup, data, length, lines);
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_) return STATUS_DEVICE_NOT_CONNECTED;
    }
    const gnss::sim::ModemStatus modem = modem_.Status();
    if (!modem.plugged || modem.closed) return Gone();
    modem_.SetControlLines(lines.dtr, lines.rts);
    return STATUS_SUCCESS;
}

NTSTATUS SimUsbBackend::ReadPipe(UCHAR endpoint, std::uint8_t* buffer, std::size_t length,
                                 std::size_t* transferred) {
    if (transferred != nullptr) *transferred = 0;
    if (endpoint != kBulkInEndpoint || buffer == nullptr || length == 0) return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_) return STATUS_DEVICE_NOT_CONNECTED;
        const NTSTATUS begun = readGate_.Begin();
        if (!NT_SUCCESS(begun)) return begun;
    }
    if (readStarted_) readStarted_();

    const std::size_t capacity = std::min(length, kReadChunkBytes);
    NTSTATUS status = STATUS_SUCCESS;
    bool gone = false;
    while (true) {
        const gnss::sim::ReadResult result = modem_.Read(buffer, capacity, kReadWait);
        if (result.status == gnss::sim::ReadStatus::Data) {
            if (transferred != nullptr) *transferred = result.bytes;
            break;
        }
        if (result.status == gnss::sim::ReadStatus::Cancelled) {
            // A cancel meant for an earlier read that had already got its
            // data may still be pending in the modem; only this read's own
            // cancel ends it.
            std::lock_guard<std::mutex> lock(mutex_);
            if (readGate_.Cancelled()) {
                status = STATUS_CANCELLED;
                break;
            }
            continue;
        }
        if (result.status == gnss::sim::ReadStatus::Unplugged ||
            result.status == gnss::sim::ReadStatus::Closed) {
            gone = true;
            break;
        }
        // TimedOut: nothing happened for a long while; wait on.
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        readGate_.End();
    }
    return gone ? Gone() : status;
}

void SimUsbBackend::CancelRead(UCHAR endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (endpoint == kBulkInEndpoint && readGate_.Cancel()) modem_.CancelRead();
}

NTSTATUS SimUsbBackend::WritePipe(UCHAR endpoint, const std::uint8_t* data, std::size_t length,
                                  ULONG* written) {
    if (written != nullptr) *written = 0;
    if (endpoint != kBulkOutEndpoint || data == nullptr || length == 0 ||
        length > std::numeric_limits<ULONG>::max())
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_) return STATUS_DEVICE_NOT_CONNECTED;
    }
    const std::size_t accepted = modem_.Write(data, length);
    if (accepted == 0) {
        const gnss::sim::ModemStatus modem = modem_.Status();
        if (!modem.plugged || modem.closed) return Gone();
        USBIO_LOG(detail::kLogError, "the simulated modem took none of %zu bytes", length);
        return STATUS_UNSUCCESSFUL;
    }
    if (written != nullptr) *written = static_cast<ULONG>(accepted);
    return STATUS_SUCCESS;
}

}  // namespace gnss::fw
