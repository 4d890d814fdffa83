// Fuzz target of the device socket's frame decoders.  Every input goes
// through the three decoders; whatever one of them accepts must be exactly
// what the encoder makes of the decoded fields (the decoders take nothing
// the encoders would not produce, and lose nothing they would).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <span>
#include <vector>

#include "gnss/protocol/device_frame.h"

namespace {

using gnss::frame::FrameError;

void Require(bool condition) {
    if (!condition) std::abort();
}

bool Same(const std::vector<std::uint8_t>& encoded, std::span<const std::uint8_t> input) {
    return encoded.size() == input.size() &&
           std::equal(encoded.begin(), encoded.end(), input.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);

    gnss::frame::Request request;
    if (gnss::frame::DecodeRequest(input, request) == FrameError::None) {
        std::vector<std::uint8_t> encoded;
        if (request.type == gnss::frame::FrameType::Cancel) {
            encoded = gnss::frame::EncodeCancel(request.tag);
        } else if (request.type == gnss::frame::FrameType::HostQuery) {
            Require(request.input.empty());
            encoded = gnss::frame::EncodeHostQuery(request.tag, request.controlCode,
                                                   static_cast<std::uint32_t>(request.outputLength));
        } else {
            Require(request.type == gnss::frame::FrameType::DeviceControl);
            Require(request.input.size() <= gnss::frame::kMaxInputLength);
            Require(request.input.data() == data + gnss::frame::kRequestHeaderSize);
            Require(gnss::frame::EncodeDeviceControl(request.tag, request.controlCode, request.input,
                                                     request.outputLength, encoded) == FrameError::None);
        }
        Require(Same(encoded, input));
    }

    gnss::frame::Completion completion;
    if (gnss::frame::DecodeCompletion(input, completion) == FrameError::None) {
        Require(completion.output.size() <= completion.information);
        std::vector<std::uint8_t> encoded;
        Require(gnss::frame::EncodeCompletion(completion.tag, completion.status, completion.information,
                                              completion.output, encoded) == FrameError::None);
        Require(Same(encoded, input));
    }

    gnss::frame::OpenResult open;
    if (gnss::frame::DecodeOpenResult(input, open) == FrameError::None)
        Require(Same(gnss::frame::EncodeOpenResult(open.status, open.interfaceVersion), input));

    gnss::frame::FrameType type;
    const FrameError peeked = gnss::frame::PeekServerFrameType(input, type);
    Require(gnss::frame::FrameErrorText(peeked) != nullptr);
    return 0;
}
