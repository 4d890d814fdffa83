#include "gnss/platform/usb_loopback.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace gnss::fw {

std::vector<UsbInterfaceDescriptor> LoopbackUsbBackend::DefaultInterfaces() {
    return {
        UsbInterfaceDescriptor{0, {UsbPipeDescriptor{0x83, WdfUsbPipeTypeInterrupt, 512}}},
        UsbInterfaceDescriptor{1,
                               {UsbPipeDescriptor{0x81, WdfUsbPipeTypeBulk, 512},
                                UsbPipeDescriptor{0x02, WdfUsbPipeTypeBulk, 512}}},
    };
}

LoopbackUsbBackend::LoopbackUsbBackend() : LoopbackUsbBackend(DefaultInterfaces()) {}

LoopbackUsbBackend::LoopbackUsbBackend(std::vector<UsbInterfaceDescriptor> interfaces, std::string name)
    : name_(std::move(name)), interfaces_(std::move(interfaces)) {}

std::string LoopbackUsbBackend::Describe() const { return name_; }

std::vector<UsbInterfaceDescriptor> LoopbackUsbBackend::Interfaces() { return interfaces_; }

NTSTATUS LoopbackUsbBackend::ControlTransfer(const UsbSetupPacket& setup, std::uint8_t* data, std::size_t length,
                                             ULONG* transferred) {
    if (transferred != nullptr) *transferred = 0;
    std::lock_guard lock(mu_);
    if (unplugged_) return STATUS_DEVICE_NOT_CONNECTED;
    if (failControls_ > 0) {
        failControls_--;
        return failControlStatus_;
    }
    ControlRecord record{setup, {}};
    const bool toDevice = (setup.bmRequestType & 0x80) == 0;
    if (toDevice && data != nullptr && length != 0) record.data.assign(data, data + length);
    controls_.push_back(std::move(record));
    cv_.notify_all();
    if (transferred != nullptr) *transferred = toDevice ? static_cast<ULONG>(length) : 0;
    return STATUS_SUCCESS;
}

NTSTATUS LoopbackUsbBackend::ReadPipe(UCHAR endpoint, std::uint8_t* buffer, std::size_t length,
                                      std::size_t* transferred) {
    if (transferred != nullptr) *transferred = 0;
    std::unique_lock lock(mu_);
    Endpoint& ep = endpoints_[endpoint];
    ep.reads++;
    if (ep.cancelPending) {
        // Cancelled before it began.
        ep.cancelPending = false;
        return STATUS_CANCELLED;
    }
    ep.inFlight++;
    ep.maxInFlight = std::max(ep.maxInFlight, ep.inFlight);
    const std::uint64_t cancelGeneration = ep.cancelGeneration;
    NTSTATUS status = STATUS_SUCCESS;
    bool counted = false;
    for (;;) {
        if (unplugged_) {
            status = STATUS_DEVICE_NOT_CONNECTED;
            break;
        }
        if (failReads_ > 0) {
            failReads_--;
            status = failReadStatus_;
            break;
        }
        if (!ep.transfers.empty()) {
            auto& front = ep.transfers.front();
            const std::size_t n = std::min(length, front.size());
            if (n != 0) std::memcpy(buffer, front.data(), n);
            if (n < front.size())
                front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
            else
                ep.transfers.pop_front();
            if (transferred != nullptr) *transferred = n;
            break;
        }
        if (ep.cancelGeneration != cancelGeneration) {
            status = STATUS_CANCELLED;
            break;
        }
        if (!counted) {
            counted = true;
            ep.blocked++;
            cv_.notify_all();
        }
        cv_.wait(lock);
    }
    if (counted) ep.blocked--;
    ep.inFlight--;
    cv_.notify_all();
    return status;
}

void LoopbackUsbBackend::CancelRead(UCHAR endpoint) {
    std::lock_guard lock(mu_);
    Endpoint& ep = endpoints_[endpoint];
    ep.cancels++;
    // A read in progress sees the new generation; with none, the next read
    // is cancelled before it begins.
    if (ep.inFlight > 0)
        ep.cancelGeneration++;
    else
        ep.cancelPending = true;
    cv_.notify_all();
}

NTSTATUS LoopbackUsbBackend::WritePipe(UCHAR endpoint, const std::uint8_t* data, std::size_t length, ULONG* written) {
    if (written != nullptr) *written = 0;
    Responder responder;
    Write write{endpoint, {}};
    {
        std::lock_guard lock(mu_);
        if (unplugged_) return STATUS_DEVICE_NOT_CONNECTED;
        if (failWrites_ > 0) {
            failWrites_--;
            return failWriteStatus_;
        }
        if (data != nullptr && length != 0) write.data.assign(data, data + length);
        writes_.push_back(write);
        responder = responder_;
        cv_.notify_all();
    }
    if (written != nullptr) *written = static_cast<ULONG>(length);
    if (responder) responder(*this, write);
    return STATUS_SUCCESS;
}

NTSTATUS LoopbackUsbBackend::ResetPipe(UCHAR endpoint) {
    std::lock_guard lock(mu_);
    if (unplugged_) return STATUS_DEVICE_NOT_CONNECTED;
    endpoints_[endpoint].resets++;
    cv_.notify_all();
    return STATUS_SUCCESS;
}

void LoopbackUsbBackend::Push(UCHAR endpoint, std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mu_);
    endpoints_[endpoint].transfers.push_back(std::move(bytes));
    cv_.notify_all();
}

void LoopbackUsbBackend::Push(UCHAR endpoint, const std::string& text) {
    Push(endpoint, std::vector<std::uint8_t>(text.begin(), text.end()));
}

void LoopbackUsbBackend::SetResponder(Responder responder) {
    std::lock_guard lock(mu_);
    responder_ = std::move(responder);
}

std::vector<LoopbackUsbBackend::ControlRecord> LoopbackUsbBackend::ControlTransfers() const {
    std::lock_guard lock(mu_);
    return controls_;
}

std::vector<LoopbackUsbBackend::Write> LoopbackUsbBackend::Writes() const {
    std::lock_guard lock(mu_);
    return writes_;
}

void LoopbackUsbBackend::FailNextWrites(unsigned count, NTSTATUS status) {
    std::lock_guard lock(mu_);
    failWrites_ = count;
    failWriteStatus_ = status;
}

void LoopbackUsbBackend::FailNextControlTransfers(unsigned count, NTSTATUS status) {
    std::lock_guard lock(mu_);
    failControls_ = count;
    failControlStatus_ = status;
}

void LoopbackUsbBackend::FailNextReads(unsigned count, NTSTATUS status) {
    std::lock_guard lock(mu_);
    failReads_ = count;
    failReadStatus_ = status;
    cv_.notify_all();
}

void LoopbackUsbBackend::Unplug() {
    {
        std::lock_guard lock(mu_);
        if (unplugged_) return;
        unplugged_ = true;
        cv_.notify_all();
    }
    NotifyRemoved();
}

bool LoopbackUsbBackend::Unplugged() const {
    std::lock_guard lock(mu_);
    return unplugged_;
}

unsigned LoopbackUsbBackend::ReadsInFlight(UCHAR endpoint) const {
    std::lock_guard lock(mu_);
    auto it = endpoints_.find(endpoint);
    return it == endpoints_.end() ? 0 : it->second.inFlight;
}

unsigned LoopbackUsbBackend::MaxReadsInFlight(UCHAR endpoint) const {
    std::lock_guard lock(mu_);
    auto it = endpoints_.find(endpoint);
    return it == endpoints_.end() ? 0 : it->second.maxInFlight;
}

unsigned LoopbackUsbBackend::ReadCount(UCHAR endpoint) const {
    std::lock_guard lock(mu_);
    auto it = endpoints_.find(endpoint);
    return it == endpoints_.end() ? 0 : it->second.reads;
}

unsigned LoopbackUsbBackend::ResetCount(UCHAR endpoint) const {
    std::lock_guard lock(mu_);
    auto it = endpoints_.find(endpoint);
    return it == endpoints_.end() ? 0 : it->second.resets;
}

unsigned LoopbackUsbBackend::CancelCount(UCHAR endpoint) const {
    std::lock_guard lock(mu_);
    auto it = endpoints_.find(endpoint);
    return it == endpoints_.end() ? 0 : it->second.cancels;
}

std::size_t LoopbackUsbBackend::Pending(UCHAR endpoint) const {
    std::lock_guard lock(mu_);
    auto it = endpoints_.find(endpoint);
    return it == endpoints_.end() ? 0 : it->second.transfers.size();
}

template <class Pred>
bool LoopbackUsbBackend::WaitFor(DWORD timeoutMs, Pred pred) const {
    std::unique_lock lock(mu_);
    if (timeoutMs == INFINITE) {
        cv_.wait(lock, pred);
        return true;
    }
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

bool LoopbackUsbBackend::WaitForBlockedRead(UCHAR endpoint, DWORD timeoutMs) const {
    return WaitFor(timeoutMs, [&] {
        auto it = endpoints_.find(endpoint);
        return it != endpoints_.end() && it->second.blocked > 0 && it->second.transfers.empty();
    });
}

bool LoopbackUsbBackend::WaitForWrites(std::size_t count, DWORD timeoutMs) const {
    return WaitFor(timeoutMs, [&] { return writes_.size() >= count; });
}

}  // namespace gnss::fw
