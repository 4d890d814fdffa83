// A listener of the driver's NMEA blocks that keeps its one listen-NMEA
// request armed, and the count of the blocks the driver dropped.
//
//   gnss::client::NmeaListener listener(*device, [](gnss::client::Completion&& c) { ... });
//   listener.Start();
//   ...
//   std::uint64_t lost = listener.Lost();   // blocks dropped since Start
//
// The driver answers one listen-NMEA request with one block and queues five
// blocks for a listener that has none waiting; the sixth clears that queue.
// So the next request goes out as soon as a block has come, before the
// block is handed on: the driver then finds it waiting for the next block
// while the caller is still busy with this one.  A request completed with
// STATUS_CANCELLED while the listener runs (every stop of a fix session
// cancels the waiting NMEA requests) is armed again and not handed on.
// Any other failure (a disconnection among them) ends the listening and is
// handed on.
//
// Threads: the callback runs on the Device's reader thread, with the
// Device's callback rules.  Start, Stop and Lost are for the caller's thread
// (not the callback); Lost asks gnssd and waits for its answer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "gnss/client/device.h"

namespace gnss::client {

// The NMEA blocks the driver has dropped since gnssd started (the status
// query's "nmea-lost" line), 0 from a gnssd that does not count them.
// Throws what Device::HostQuery throws.
std::uint64_t NmeaBlocksLost(Device& device,
                             std::chrono::milliseconds timeout = Device::kDefaultTimeout);

class NmeaListener {
public:
    NmeaListener(Device& device, CompletionCallback onEvent);
    // Stops; the callback may still run on the reader thread until the
    // Device is closed, and then finds the listener gone.
    ~NmeaListener();
    NmeaListener(const NmeaListener&) = delete;
    NmeaListener& operator=(const NmeaListener&) = delete;

    // Reads the drop count as the start of Lost(), then arms the request.
    void Start();
    // Cancels the armed request; no more events are handed on.
    void Stop();
    // Blocks the driver dropped since Start.
    std::uint64_t Lost();

private:
    struct State;
    Device& device_;
    std::shared_ptr<State> state_;
    std::uint64_t lostAtStart_ = 0;
};

}  // namespace gnss::client
