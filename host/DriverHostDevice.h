// DeviceAccess over the framework: the driver's one device, opened and
// driven through gnss::fw::DriverHost.
#pragma once

#include "DeviceAccess.h"

namespace gnss::fw {
class DriverHost;
}

namespace gnss::host {

class DriverHostDevice final : public DeviceAccess {
public:
    explicit DriverHostDevice(fw::DriverHost& host) : host_(host) {}

    bool Available() const override;
    NTSTATUS Open(FileHandle* file) override;
    void Close(FileHandle file) override;
    NTSTATUS Submit(FileHandle file, std::uint32_t controlCode, const std::uint8_t* input,
                    std::size_t inputLength, std::size_t outputLength,
                    DeviceCompletionHandler handler, RequestHandle* request) override;
    bool Cancel(RequestHandle request) override;

private:
    fw::DriverHost& host_;
};

}  // namespace gnss::host
