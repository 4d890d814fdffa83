#include "gnss/client/nmea_listener.h"

#include <mutex>
#include <string>
#include <utility>

#include "gnss/client/host_status.h"
#include "gnss/client/structures.h"
#include "gnss/protocol/device_frame.h"

namespace gnss::client {

std::uint64_t NmeaBlocksLost(Device& device, std::chrono::milliseconds timeout) {
    return QueryHostStatus(device, timeout).nmeaLost.value_or(0);
}

// Shared with the request's callback, which may outlive the listener.
struct NmeaListener::State {
    Device& device;
    CompletionCallback onEvent;
    std::mutex lock;
    bool running = false;
    Tag tag = 0;  // the armed request, while running

    State(Device& d, CompletionCallback callback) : device(d), onEvent(std::move(callback)) {}

    // Arms the next request; the lock is held.
    static void Arm(const std::shared_ptr<State>& self) {
        std::weak_ptr<State> weak = self;
        self->tag = self->device.ControlAsync(IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT),
                                              [weak](Completion&& c) {
                                                  if (const auto state = weak.lock())
                                                      Completed(state, std::move(c));
                                              });
    }

    static void Completed(const std::shared_ptr<State>& self, Completion&& c) {
        {
            std::lock_guard guard(self->lock);
            if (!self->running) return;
            const bool again = c.ok() || (c.status == STATUS_CANCELLED && !c.disconnected);
            if (again) {
                try {
                    Arm(self);
                } catch (const Error&) {
                    // The connection has ended: its end comes as a disconnected completion.
                    self->running = false;
                }
            } else {
                self->running = false;
            }
            if (c.status == STATUS_CANCELLED && !c.disconnected) return;
        }
        self->onEvent(std::move(c));
    }
};

NmeaListener::NmeaListener(Device& device, CompletionCallback onEvent)
    : device_(device), state_(std::make_shared<State>(device, std::move(onEvent))) {}

NmeaListener::~NmeaListener() { Stop(); }

void NmeaListener::Start() {
    lostAtStart_ = NmeaBlocksLost(device_);
    std::lock_guard guard(state_->lock);
    if (state_->running) return;
    State::Arm(state_);
    state_->running = true;
}

void NmeaListener::Stop() {
    Tag tag = 0;
    {
        std::lock_guard guard(state_->lock);
        if (!state_->running) return;
        state_->running = false;
        tag = state_->tag;
    }
    device_.Cancel(tag);
}

std::uint64_t NmeaListener::Lost() { return NmeaBlocksLost(device_) - lostAtStart_; }

}  // namespace gnss::client
