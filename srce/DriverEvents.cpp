#include "DriverEvents.h"

#include <atomic>

namespace gnss::driver {
namespace {

using events::EventDefinition;
using events::FieldDefinition;
using events::FieldFormat;
using events::FieldType;
using events::NamedValue;

// Field templates, each ended by an entry without a name.
#define GNSS_TEMPLATE_BEGIN(id) constexpr FieldDefinition kTemplate##id[] = {
#define GNSS_FIELD(name, type, format) {name, FieldType::type, FieldFormat::format},
#define GNSS_TEMPLATE_END {nullptr, FieldType::UInt32, FieldFormat::Plain}};
#include "GnssDriverEvents.def"

constexpr NamedValue kLevels[] = {
#define GNSS_LEVEL(value, name) {value, name},
#include "GnssDriverEvents.def"
};

constexpr NamedValue kOpcodes[] = {
#define GNSS_OPCODE(value, name) {value, name},
#include "GnssDriverEvents.def"
};

constexpr NamedValue kKeywords[] = {
#define GNSS_KEYWORD(mask, name) {mask, name},
#include "GnssDriverEvents.def"
};

constexpr EventDefinition kEvents[] = {
#define GNSS_EVENT(id, version, level, opcode, keywords, tmpl, message) \
    {{id, version, 0, level, opcode, 0, keywords}, message, kTemplate##tmpl},
#include "GnssDriverEvents.def"
};

#define GNSS_PROVIDER(name, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
    constexpr const char* kProviderName = name;                        \
    constexpr GUID kProviderGuid = {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};
#include "GnssDriverEvents.def"

const events::ProviderManifest kManifest = {
    kProviderName, kProviderGuid,
    kLevels,       std::size(kLevels),
    kOpcodes,      std::size(kOpcodes),
    kKeywords,     std::size(kKeywords),
    kEvents,       std::size(kEvents),
};

std::atomic<events::ProviderHandle> g_provider{0};

}  // namespace

const events::ProviderManifest& DriverManifest() { return kManifest; }

void EventProviderRegister() {
    events::ProviderHandle handle = 0;
    if (events::EventRegister(&kManifest, nullptr, nullptr, &handle) == 0)
        g_provider.store(handle, std::memory_order_release);
}

void EventProviderUnregister() {
    const events::ProviderHandle handle = g_provider.exchange(0, std::memory_order_acq_rel);
    if (handle != 0) events::EventUnregister(handle);
}

bool EventProviderRegistered() { return g_provider.load(std::memory_order_acquire) != 0; }

bool EventWanted(std::uint16_t id) {
    const events::ProviderHandle handle = g_provider.load(std::memory_order_acquire);
    if (handle == 0) return false;
    const EventDefinition* definition = kManifest.Find(id);
    return definition != nullptr && events::EventEnabled(handle, definition->descriptor);
}

void WriteEvent(std::uint16_t id, std::initializer_list<events::EventValue> values) {
    const events::ProviderHandle handle = g_provider.load(std::memory_order_acquire);
    if (handle == 0) return;
    const EventDefinition* definition = kManifest.Find(id);
    if (definition == nullptr || !events::EventEnabled(handle, definition->descriptor)) return;
    events::EventWrite(handle, definition->descriptor, values.size(), values.begin());
}

}  // namespace gnss::driver
