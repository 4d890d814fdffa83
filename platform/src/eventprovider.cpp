#include "gnss/platform/eventprovider.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "clockfmt.h"

namespace gnss::events {
namespace {

constexpr std::size_t kMaxProviders = 8;

struct Provider {
    std::atomic<const ProviderManifest*> manifest{nullptr};
    EnableCallback callback = nullptr;
    void* context = nullptr;
};

struct Session {
    std::mutex writeLock;  // guards fd against a concurrent disable
    int fd = -1;
    bool ownsFd = false;
    std::atomic<bool> active{false};
    // The enabled provider's GUID as two words, so that a writer may read it
    // while the slot is being reused.
    std::atomic<std::uint64_t> guidLow{0};
    std::atomic<std::uint64_t> guidHigh{0};
    std::atomic<UCHAR> level{0};
    std::atomic<ULONGLONG> matchAny{0};
    std::atomic<ULONGLONG> matchAll{0};
};

struct State {
    std::mutex configLock;  // serialises registration and session changes
    Provider providers[kMaxProviders];
    Session sessions[kMaxSessions];
};

State& Global() {
    static auto* state = new State;  // never destroyed: events may be written at exit
    return *state;
}

void GuidWords(const GUID& g, std::uint64_t& low, std::uint64_t& high) {
    std::memcpy(&low, &g, 8);
    std::memcpy(&high, reinterpret_cast<const char*>(&g) + 8, 8);
}

bool SessionHasProvider(const Session& s, const GUID& provider) {
    std::uint64_t low, high;
    GuidWords(provider, low, high);
    return s.guidLow.load(std::memory_order_relaxed) == low &&
           s.guidHigh.load(std::memory_order_relaxed) == high;
}

GUID SessionProvider(const Session& s) {
    GUID g;
    const std::uint64_t low = s.guidLow.load(), high = s.guidHigh.load();
    std::memcpy(&g, &low, 8);
    std::memcpy(reinterpret_cast<char*>(&g) + 8, &high, 8);
    return g;
}

const ProviderManifest* ManifestOf(ProviderHandle handle) {
    if (handle == 0 || handle > kMaxProviders) return nullptr;
    return Global().providers[handle - 1].manifest.load(std::memory_order_acquire);
}

bool SessionEnables(Session& s, const GUID& provider, UCHAR level, ULONGLONG keywords) {
    if (!s.active.load(std::memory_order_acquire)) return false;
    if (!SessionHasProvider(s, provider)) return false;
    return SessionMatches(s.level.load(std::memory_order_relaxed),
                          s.matchAny.load(std::memory_order_relaxed),
                          s.matchAll.load(std::memory_order_relaxed), level, keywords);
}

// Bounded output buffer; appends are silently cut at the end.
struct Out {
    char* buf;
    std::size_t size;
    std::size_t used = 0;

    void Put(char c) {
        if (used + 1 < size) buf[used++] = c;
    }
    void Put(const char* s) {
        while (*s != '\0') Put(*s++);
    }
    void Put(const char* s, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) Put(s[i]);
    }
    void Printf(const char* fmt, auto... args) {
        if (used + 1 >= size) return;
        const int n = std::snprintf(buf + used, size - used, fmt, args...);
        if (n > 0) used = std::min(size - 1, used + static_cast<std::size_t>(n));
    }
    void JsonString(const char* s, std::size_t n) {
        Put('"');
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            switch (c) {
                case '"': Put("\\\""); break;
                case '\\': Put("\\\\"); break;
                case '\n': Put("\\n"); break;
                case '\r': Put("\\r"); break;
                case '\t': Put("\\t"); break;
                default:
                    if (c < 0x20)
                        Printf("\\u%04x", c);
                    else
                        Put(static_cast<char>(c));
            }
        }
        Put('"');
    }
    const char* Finish() {
        buf[used] = '\0';
        return buf;
    }
};

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
void AppendUtf16(Out& out, const char16_t* s) {
    if (s == nullptr) return;
    while (*s != 0) {
        char32_t cp = *s++;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (*s >= 0xDC00 && *s <= 0xDFFF)
                cp = 0x10000 + ((cp - 0xD800) << 10) + (*s++ - 0xDC00);
            else
                cp = 0xFFFD;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.Put(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.Put(static_cast<char>(0xC0 | (cp >> 6)));
            out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.Put(static_cast<char>(0xE0 | (cp >> 12)));
            out.Put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.Put(static_cast<char>(0xF0 | (cp >> 18)));
            out.Put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.Put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
}

void RenderValue(Out& out, const FieldDefinition& field, const EventValue* value) {
    switch (field.type) {
        case FieldType::UnicodeString:
            if (value != nullptr) AppendUtf16(out, value->unicode);
            return;
        case FieldType::AnsiString:
            if (value != nullptr && value->ansi != nullptr) out.Put(value->ansi);
            return;
        case FieldType::UInt32:
        case FieldType::UInt64:
        case FieldType::Pointer: {
            std::uint64_t n = value == nullptr ? 0
                              : field.type == FieldType::Pointer
                                  ? reinterpret_cast<std::uintptr_t>(value->pointer)
                                  : value->number;
            if (field.type == FieldType::UInt32) n &= 0xFFFFFFFFu;
            const bool hex = field.format != FieldFormat::Plain || field.type == FieldType::Pointer;
            if (!hex)
                out.Printf("%llu", static_cast<unsigned long long>(n));
            else if (field.format == FieldFormat::HexPrefixed)
                out.Printf("0x%llX", static_cast<unsigned long long>(n));
            else
                out.Printf("%llX", static_cast<unsigned long long>(n));
            return;
        }
    }
}

const char* TypeName(FieldType t) {
    switch (t) {
        case FieldType::UnicodeString: return "UnicodeString";
        case FieldType::AnsiString: return "AnsiString";
        case FieldType::UInt32: return "UInt32";
        case FieldType::UInt64: return "UInt64";
        case FieldType::Pointer: return "Pointer";
    }
    return "Unknown";
}

const char* NameOf(const NamedValue* table, std::size_t count, std::uint64_t value) {
    for (std::size_t i = 0; i < count; ++i)
        if (table[i].value == value) return table[i].name;
    return nullptr;
}

std::size_t FieldCount(const EventDefinition& e) {
    std::size_t n = 0;
    if (e.fields != nullptr)
        while (e.fields[n].name != nullptr) ++n;
    return n;
}

// The message text with %1, %2 ... replaced by the rendered values.
void RenderMessage(Out& out, const EventDefinition& e, std::size_t count,
                   const EventValue* values) {
    const std::size_t fields = FieldCount(e);
    for (const char* p = e.message; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            std::size_t index = 0;
            while (p[1] >= '0' && p[1] <= '9') index = index * 10 + static_cast<std::size_t>(*++p - '0');
            if (index >= 1 && index <= fields)
                RenderValue(out, e.fields[index - 1], index <= count ? &values[index - 1] : nullptr);
            continue;
        }
        out.Put(*p);
    }
}

void WriteAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

void NotifyProviders(const GUID& guid, ULONG enabled, const SessionConfig& config) {
    for (Provider& p : Global().providers) {
        const ProviderManifest* m = p.manifest.load(std::memory_order_acquire);
        if (m != nullptr && m->guid == guid && p.callback != nullptr)
            p.callback(guid, enabled, config.level, config.matchAny, config.matchAll, p.context);
    }
}

}  // namespace

const EventDefinition* ProviderManifest::Find(std::uint16_t id) const {
    for (std::size_t i = 0; i < eventCount; ++i)
        if (events[i].descriptor.id == id) return &events[i];
    return nullptr;
}

bool SessionMatches(UCHAR sessionLevel, ULONGLONG matchAny, ULONGLONG matchAll, UCHAR eventLevel,
                    ULONGLONG eventKeywords) {
    if (sessionLevel != 0 && eventLevel > sessionLevel) return false;
    if (eventKeywords == 0) return true;
    if (matchAny != 0 && (eventKeywords & matchAny) == 0) return false;
    return (eventKeywords & matchAll) == matchAll;
}

ULONG EventRegister(const ProviderManifest* manifest, EnableCallback callback, void* context,
                    ProviderHandle* handle) {
    if (manifest == nullptr || handle == nullptr) return 87;  // ERROR_INVALID_PARAMETER
    State& g = Global();
    std::lock_guard guard(g.configLock);
    for (std::size_t i = 0; i < kMaxProviders; ++i) {
        Provider& p = g.providers[i];
        if (p.manifest.load(std::memory_order_relaxed) != nullptr) continue;
        p.callback = callback;
        p.context = context;
        p.manifest.store(manifest, std::memory_order_release);
        *handle = i + 1;
        // Sessions that were waiting for this provider enable it now.
        for (Session& s : g.sessions) {
            if (s.active.load(std::memory_order_relaxed) && SessionHasProvider(s, manifest->guid) &&
                callback != nullptr)
                callback(manifest->guid, 1, s.level.load(), s.matchAny.load(), s.matchAll.load(),
                         context);
        }
        return 0;
    }
    return 8;  // ERROR_NOT_ENOUGH_MEMORY
}

ULONG EventUnregister(ProviderHandle handle) {
    if (handle == 0 || handle > kMaxProviders) return 6;  // ERROR_INVALID_HANDLE
    State& g = Global();
    std::lock_guard guard(g.configLock);
    Provider& p = g.providers[handle - 1];
    p.manifest.store(nullptr, std::memory_order_release);
    p.callback = nullptr;
    p.context = nullptr;
    return 0;
}

bool EventProviderEnabled(ProviderHandle handle, UCHAR level, ULONGLONG keywords) {
    const ProviderManifest* m = ManifestOf(handle);
    if (m == nullptr) return false;
    for (Session& s : Global().sessions)
        if (SessionEnables(s, m->guid, level, keywords)) return true;
    return false;
}

bool EventEnabled(ProviderHandle handle, const EventDescriptor& d) {
    return EventProviderEnabled(handle, d.level, d.keywords);
}

ULONG EventWrite(ProviderHandle handle, const EventDescriptor& d, std::size_t count,
                 const EventValue* values) {
    const ProviderManifest* m = ManifestOf(handle);
    if (m == nullptr) return 6;
    const EventDefinition* e = m->Find(d.id);
    if (e == nullptr) return 87;
    State& g = Global();
    bool any = false;
    for (Session& s : g.sessions) any = any || SessionEnables(s, m->guid, d.level, d.keywords);
    if (!any) return 0;

    char buffer[16384];
    Out out{buffer, sizeof buffer};
    char stamp[40];
    detail::FormatUtcNow(stamp, sizeof stamp);
    out.Put("{\"time\":\"");
    out.Put(stamp);
    out.Put("\",\"provider\":");
    out.JsonString(m->name, std::strlen(m->name));
    out.Printf(",\"id\":%u,\"version\":%u,\"level\":%u", d.id, d.version, d.level);
    if (const char* name = NameOf(m->levels, m->levelCount, d.level)) {
        out.Put(",\"levelName\":");
        out.JsonString(name, std::strlen(name));
    }
    out.Printf(",\"opcode\":%u", d.opcode);
    if (const char* name = NameOf(m->opcodes, m->opcodeCount, d.opcode)) {
        out.Put(",\"opcodeName\":");
        out.JsonString(name, std::strlen(name));
    }
    out.Printf(",\"keywords\":\"0x%llX\",\"keywordNames\":[",
               static_cast<unsigned long long>(d.keywords));
    bool first = true;
    for (std::size_t i = 0; i < m->keywordCount; ++i) {
        if ((d.keywords & m->keywords[i].value) == 0) continue;
        if (!first) out.Put(',');
        first = false;
        out.JsonString(m->keywords[i].name, std::strlen(m->keywords[i].name));
    }
    out.Put("],\"fields\":[");
    const std::size_t fields = FieldCount(*e);
    for (std::size_t i = 0; i < fields; ++i) {
        const FieldDefinition& f = e->fields[i];
        if (i > 0) out.Put(',');
        out.Put("{\"name\":");
        out.JsonString(f.name, std::strlen(f.name));
        out.Put(",\"type\":\"");
        out.Put(TypeName(f.type));
        out.Put("\",\"value\":");
        char valueText[8192];
        Out value{valueText, sizeof valueText};
        RenderValue(value, f, i < count ? &values[i] : nullptr);
        const bool numeric = (f.type == FieldType::UInt32 || f.type == FieldType::UInt64) &&
                             f.format == FieldFormat::Plain;
        if (numeric)
            out.Put(value.Finish());
        else
            out.JsonString(value.buf, value.used);
        out.Put('}');
    }
    out.Put("],\"message\":");
    char messageText[8192];
    Out message{messageText, sizeof messageText};
    RenderMessage(message, *e, count, values);
    out.JsonString(message.buf, message.used);
    out.Put("}");
    // Keep room for the line end even when the line was cut.
    if (out.used + 1 >= out.size) out.used = out.size - 2;
    out.buf[out.used++] = '\n';

    for (Session& s : g.sessions) {
        if (!SessionEnables(s, m->guid, d.level, d.keywords)) continue;
        std::lock_guard guard(s.writeLock);
        if (s.fd >= 0) WriteAll(s.fd, out.buf, out.used);
    }
    return 0;
}

int EnableTraceSession(const GUID& provider, const SessionConfig& config) {
    State& g = Global();
    std::lock_guard guard(g.configLock);
    for (int i = 0; i < kMaxSessions; ++i) {
        Session& s = g.sessions[i];
        if (s.active.load(std::memory_order_relaxed)) continue;
        int fd = STDOUT_FILENO;
        bool owns = false;
        if (config.path != "-") {
            fd = ::open(config.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd < 0) return -1;
            owns = true;
        }
        {
            std::lock_guard writeGuard(s.writeLock);
            s.fd = fd;
            s.ownsFd = owns;
        }
        std::uint64_t low, high;
        GuidWords(provider, low, high);
        s.guidLow.store(low, std::memory_order_relaxed);
        s.guidHigh.store(high, std::memory_order_relaxed);
        s.level.store(config.level, std::memory_order_relaxed);
        s.matchAny.store(config.matchAny, std::memory_order_relaxed);
        s.matchAll.store(config.matchAll, std::memory_order_relaxed);
        s.active.store(true, std::memory_order_release);
        NotifyProviders(provider, 1, config);
        return i;
    }
    return -1;
}

void DisableTraceSession(int session) {
    if (session < 0 || session >= kMaxSessions) return;
    State& g = Global();
    std::lock_guard guard(g.configLock);
    Session& s = g.sessions[session];
    if (!s.active.load(std::memory_order_relaxed)) return;
    s.active.store(false, std::memory_order_release);
    {
        std::lock_guard writeGuard(s.writeLock);
        if (s.ownsFd && s.fd >= 0) ::close(s.fd);
        s.fd = -1;
        s.ownsFd = false;
    }
    SessionConfig off;
    off.level = s.level.load();
    NotifyProviders(SessionProvider(s), 0, off);
}

void DisableAllTraceSessions() {
    for (int i = 0; i < kMaxSessions; ++i) DisableTraceSession(i);
}

bool ParseKeywordMask(const char* text, ULONGLONG* mask) {
    if (text == nullptr || *text == '\0' || mask == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
    *mask = value;
    return true;
}

}  // namespace gnss::events
