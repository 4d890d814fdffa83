// What the device server needs from the device: open and close file objects,
// submit device-control requests and cancel them.  gnssd implements it over
// the framework's DriverHost (DriverHostDevice.h); tests put a scripted
// device behind the same interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "gnss/protocol/status.h"

namespace gnss::host {

using FileHandle = std::uint64_t;     // 0 is never a valid file
using RequestHandle = std::uint64_t;  // 0 is never a valid request

struct DeviceCompletion {
    NTSTATUS status = STATUS_SUCCESS;
    std::uint64_t information = 0;
    std::vector<std::uint8_t> output;  // at most the request's output length
};

// Called exactly once per accepted request, on any thread, possibly while the
// driver holds its own locks: it must not block and must not call back into
// the device.
using DeviceCompletionHandler = std::function<void(DeviceCompletion&&)>;

class DeviceAccess {
public:
    virtual ~DeviceAccess() = default;

    // True while a device is attached and has published the GNSS interface.
    virtual bool Available() const = 0;
    // Opens a file object; the driver may refuse (STATUS_NOT_SUPPORTED when
    // all its session slots are taken).
    virtual NTSTATUS Open(FileHandle* file) = 0;
    // Cancels the file's waiting requests, then closes it.
    virtual void Close(FileHandle file) = 0;
    // Submits a request.  On success the handler runs exactly once, maybe
    // before Submit returns; on failure it never runs.
    virtual NTSTATUS Submit(FileHandle file, std::uint32_t controlCode,
                            const std::uint8_t* input, std::size_t inputLength,
                            std::size_t outputLength, DeviceCompletionHandler handler,
                            RequestHandle* request) = 0;
    // Cancels a request that still waits in a queue (it completes with
    // STATUS_CANCELLED); false when it was not waiting.
    virtual bool Cancel(RequestHandle request) = 0;
};

}  // namespace gnss::host
