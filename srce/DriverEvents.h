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
// Whether WriteEvent would write event `id`: the provider is registered and a
// session wants it.  Lets a caller skip building the values.
bool EventWanted(std::uint16_t id);

}  // namespace gnss::driver
