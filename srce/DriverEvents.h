// The driver's event provider: its compiled-in manifest and the writing of
// its events.
#pragma once

#include <initializer_list>

#include "gnss/platform/eventprovider.h"

namespace gnss::driver {

// The manifest compiled from resources/GnssDriverEvents.def.
const events::ProviderManifest& DriverManifest();

void EventProviderRegister();
void EventProviderUnregister();
bool EventProviderRegistered();

// Writes event `id` with its field values, in template order, when a trace
// session enables it.  Safe from any thread at any time; allocates nothing.
void WriteEvent(std::uint16_t id, std::initializer_list<events::EventValue> values = {});

}  // namespace gnss::driver
