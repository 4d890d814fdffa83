// Manifest-based event provider back-end.
//
// A provider describes itself with a manifest (name, GUID, levels, opcodes,
// keywords and its events, each with a template of typed fields and a message
// text with %1, %2 ... inserts) and registers with that manifest.  Trace
// sessions enable a provider (by GUID) with a level and keyword masks; an
// event is written when at least one session enables it by the standard rule:
//   the session level is 0 or at least the event's level, and
//   the event's keywords are 0, or they meet the session's match-any mask
//   (a mask of 0 matches everything) and include all of its match-all mask.
// Each enabled session receives the event as one JSON line:
//   {"time":"2026-12-05T18:41:54.123456Z","provider":"...","id":102,"version":1,
//    "level":2,"opcode":0,"keywords":"0x1","fields":[{"name":"Message",
//    "type":"UnicodeString","value":"..."},{"name":"Status","type":"UInt32",
//    "value":"0xC0000001"}],"message":"ERROR: .... Status=0xC0000001."}
// Writing allocates nothing and is safe from any thread at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "gnss/platform/types.h"

namespace gnss::events {

enum class FieldType : std::uint8_t {
    UnicodeString,  // UTF-16, NUL-terminated
    AnsiString,     // narrow text, NUL-terminated
    UInt32,
    UInt64,
    Pointer,
};

// How a value is rendered in the message text and the JSON value.
enum class FieldFormat : std::uint8_t {
    Plain,        // text as it is, numbers in decimal
    Hex,          // upper-case hex digits without prefix (the text supplies "0x")
    HexPrefixed,  // upper-case hex digits with a 0x prefix
};

struct FieldDefinition {
    const char* name;  // nullptr ends a template
    FieldType type;
    FieldFormat format;
};

struct EventDescriptor {
    std::uint16_t id;
    std::uint8_t version;
    std::uint8_t channel;
    std::uint8_t level;
    std::uint8_t opcode;
    std::uint16_t task;
    std::uint64_t keywords;
};

struct EventDefinition {
    EventDescriptor descriptor;
    const char* message;
    const FieldDefinition* fields;  // terminated by an entry with a null name
};

struct NamedValue {
    std::uint64_t value;
    const char* name;
};

struct ProviderManifest {
    const char* name;
    GUID guid;
    const NamedValue* levels;
    std::size_t levelCount;
    const NamedValue* opcodes;
    std::size_t opcodeCount;
    const NamedValue* keywords;
    std::size_t keywordCount;
    const EventDefinition* events;
    std::size_t eventCount;

    const EventDefinition* Find(std::uint16_t id) const;
};

// One field value of a written event.
struct EventValue {
    union {
        const char16_t* unicode;
        const char* ansi;
        std::uint64_t number;
        const void* pointer;
    };
    static EventValue Unicode(const char16_t* s) { EventValue v; v.unicode = s; return v; }
    static EventValue Ansi(const char* s) { EventValue v; v.ansi = s; return v; }
    static EventValue Number(std::uint64_t n) { EventValue v; v.number = n; return v; }
    static EventValue Pointer(const void* p) { EventValue v; v.pointer = p; return v; }
};

using ProviderHandle = std::uint64_t;  // 0 = not registered

// Called when a session enables or disables the provider (isEnabled 1 or 0),
// with the combined level and keyword masks.
using EnableCallback = void (*)(const GUID& provider, ULONG isEnabled, UCHAR level,
                                ULONGLONG matchAny, ULONGLONG matchAll, void* context);

// --- provider side -----------------------------------------------------------
ULONG EventRegister(const ProviderManifest* manifest, EnableCallback callback, void* context,
                    ProviderHandle* handle);
ULONG EventUnregister(ProviderHandle handle);
bool EventProviderEnabled(ProviderHandle handle, UCHAR level, ULONGLONG keywords);
bool EventEnabled(ProviderHandle handle, const EventDescriptor& descriptor);
// Writes the event with the values of its template, in order.  Values beyond
// the template are ignored; missing ones render as empty/0.
ULONG EventWrite(ProviderHandle handle, const EventDescriptor& descriptor, std::size_t count,
                 const EventValue* values);

// --- controller side -----------------------------------------------------------
struct SessionConfig {
    std::string path;  // JSON lines appended here; "-" is standard output
    UCHAR level = 0;   // 0 enables every level
    ULONGLONG matchAny = 0;
    ULONGLONG matchAll = 0;
};

inline constexpr int kMaxSessions = 4;

// Enables the provider with this GUID for a new session; returns the session
// id (>= 0) or -1 when the file cannot be opened or all sessions are in use.
int EnableTraceSession(const GUID& provider, const SessionConfig& config);
void DisableTraceSession(int session);
void DisableAllTraceSessions();

// The standard enable rule, exposed for tests and tools.
bool SessionMatches(UCHAR sessionLevel, ULONGLONG matchAny, ULONGLONG matchAll,
                    UCHAR eventLevel, ULONGLONG eventKeywords);

// Parses "0x..." or decimal keyword masks; false on bad text.
bool ParseKeywordMask(const char* text, ULONGLONG* mask);

}  // namespace gnss::events
