#include "DriverHostDevice.h"

#include <algorithm>

#include "gnss/platform/wdfhost.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::host {

bool DriverHostDevice::Available() const {
    if (!host_.DevicePresent()) return false;
    const auto interfaces = host_.DeviceInterfaces();
    return std::find(interfaces.begin(), interfaces.end(), GUID_DEVINTERFACE_GNSS) !=
           interfaces.end();
}

NTSTATUS DriverHostDevice::Open(FileHandle* file) {
    fw::FileId id = 0;
    const NTSTATUS status = host_.OpenFile(&id);
    *file = NT_SUCCESS(status) ? id : 0;
    return status;
}

void DriverHostDevice::Close(FileHandle file) { host_.CloseFile(file); }

NTSTATUS DriverHostDevice::Submit(FileHandle file, std::uint32_t controlCode,
                                  const std::uint8_t* input, std::size_t inputLength,
                                  std::size_t outputLength, DeviceCompletionHandler handler,
                                  RequestHandle* request) {
    // The handler runs on a framework or driver thread: it hands the result on
    // and returns; the copy of the output is the only work done there.
    fw::RequestId id = 0;
    const NTSTATUS status = host_.SubmitDeviceControl(
        file, controlCode, input, inputLength, outputLength,
        [done = std::move(handler)](const fw::Completion& c) {
            done(DeviceCompletion{c.status, static_cast<std::uint64_t>(c.information), c.output});
        },
        &id);
    if (request != nullptr) *request = NT_SUCCESS(status) ? id : 0;
    return status;
}

bool DriverHostDevice::Cancel(RequestHandle request) { return host_.CancelRequest(request); }

}  // namespace gnss::host
