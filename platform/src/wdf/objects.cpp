// Object model: the registry of handles, object references and deletion,
// typed contexts, and the framework's diagnostics.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "framework.h"
#include "gnss/platform/trace.h"

namespace gnss::fw::detail {

namespace {

constexpr unsigned kTraceFlag = 0x1;
// Deleted objects whose handles are still told apart from made-up ones in a
// violation's text ("was already completed" rather than "invalid handle").
// Misuse comes right after the end (a second completion), so the most recent
// few thousand are enough; each costs about 64 bytes for the process's life.
constexpr std::size_t kMaxTombstones = 4096;
constexpr std::align_val_t kContextAlignment{alignof(std::max_align_t) > 16 ? alignof(std::max_align_t) : 16};

void Trace(unsigned level, const char* text) {
    if (!gnss::trace::LineWanted(level, kTraceFlag)) return;
    char line[600];
    const int n = std::snprintf(line, sizeof line, "[WDF] %s", text);
    if (n > 0) gnss::trace::TraceLine(level, kTraceFlag, line, std::min<std::size_t>(n, sizeof line - 1));
}

}  // namespace

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Driver: return "driver";
        case Kind::Device: return "device";
        case Kind::Queue: return "queue";
        case Kind::Request: return "request";
        case Kind::File: return "file object";
        case Kind::Memory: return "memory object";
        case Kind::UsbDevice: return "USB device";
        case Kind::UsbInterface: return "USB interface";
        case Kind::UsbPipe: return "USB pipe";
    }
    return "object";
}

const char* PowerStateName(WDF_POWER_DEVICE_STATE state) {
    switch (state) {
        case WdfPowerDeviceD0: return "D0";
        case WdfPowerDeviceD1: return "D1";
        case WdfPowerDeviceD2: return "D2";
        case WdfPowerDeviceD3: return "D3";
        case WdfPowerDeviceD3Final: return "D3Final";
        case WdfPowerDevicePrepareForHibernation: return "PrepareForHibernation";
        default: return "Invalid";
    }
}

// ---------------------------------------------------------------------------
Object::~Object() {
    if (context != nullptr) ::operator delete(context, kContextAlignment);
}

void Object::ApplyAttributes(const WDF_OBJECT_ATTRIBUTES* attributes) {
    if (attributes == nullptr) return;
    cleanup = attributes->EvtCleanupCallback;
    destroy = attributes->EvtDestroyCallback;
    const WDF_OBJECT_CONTEXT_TYPE_INFO* type = attributes->ContextTypeInfo;
    if (type == nullptr) return;
    std::size_t size = type->ContextSize;
    if (attributes->ContextSizeOverride > size) size = attributes->ContextSizeOverride;
    if (size == 0) size = 1;
    context = ::operator new(size, kContextAlignment);
    std::memset(context, 0, size);
    contextType = type;
    contextName = type->ContextName != nullptr ? type->ContextName : "";
    contextSize = size;
}

// ---------------------------------------------------------------------------
Registry& Registry::Instance() {
    static auto* registry = new Registry;  // never destroyed: handles may be used at exit
    return *registry;
}

void Registry::Add(const std::shared_ptr<Object>& object) {
    std::lock_guard lock(mu_);
    object->id = nextId_++;
    live_.emplace(object->id, object);
}

void Registry::Remove(const Object& object) {
    std::lock_guard lock(mu_);
    live_.erase(object.id);
    tombs_[object.id] = Tomb{object.kind, object.host};
    tombOrder_.push_back(object.id);
    while (tombOrder_.size() > kMaxTombstones) {
        tombs_.erase(tombOrder_.front());
        tombOrder_.pop_front();
    }
}

std::shared_ptr<Object> Registry::Find(std::uint64_t id) {
    std::lock_guard lock(mu_);
    auto it = live_.find(id);
    return it == live_.end() ? nullptr : it->second;
}

bool Registry::Tombstone(std::uint64_t id, Kind* kind, std::shared_ptr<Host>* host) {
    std::lock_guard lock(mu_);
    auto it = tombs_.find(id);
    if (it == tombs_.end()) return false;
    *kind = it->second.kind;
    *host = it->second.host.lock();
    return true;
}

void Registry::AddHost(const std::shared_ptr<Host>& host) {
    std::lock_guard lock(mu_);
    hosts_.push_back(host);
}

void Registry::RemoveHost(const Host* host) {
    std::lock_guard lock(mu_);
    std::erase_if(hosts_, [&](const std::weak_ptr<Host>& w) {
        auto h = w.lock();
        return h == nullptr || h.get() == host;
    });
    for (auto it = live_.begin(); it != live_.end();) {
        auto owner = it->second->host.lock();
        if (owner == nullptr || owner.get() == host)
            it = live_.erase(it);
        else
            ++it;
    }
    std::erase_if(records_, [&](const auto& entry) {
        auto h = entry.second.lock();
        return h == nullptr || h.get() == host;
    });
}

std::vector<std::shared_ptr<Host>> Registry::Hosts() {
    std::lock_guard lock(mu_);
    std::vector<std::shared_ptr<Host>> result;
    for (auto& w : hosts_)
        if (auto h = w.lock()) result.push_back(std::move(h));
    return result;
}

void Registry::AddRecord(const void* record, const std::shared_ptr<Host>& host) {
    std::lock_guard lock(mu_);
    records_[record] = host;
}

void Registry::RemoveRecord(const void* record) {
    std::lock_guard lock(mu_);
    records_.erase(record);
}

std::shared_ptr<Host> Registry::RecordHost(const void* record) {
    std::lock_guard lock(mu_);
    auto it = records_.find(record);
    return it == records_.end() ? nullptr : it->second.lock();
}

// ---------------------------------------------------------------------------
namespace {

// A violation about a handle nobody can be found for goes to every live host.
template <class... Args>
void ReportUnowned(const char* format, Args... args) {
    auto hosts = Registry::Instance().Hosts();
    if (hosts.empty()) {
        char text[512];
        std::snprintf(text, sizeof text, format, args...);
        Trace(2, text);
        return;
    }
    for (auto& h : hosts) h->Violation(format, args...);
}

}  // namespace

Resolved ResolveHandle(const void* handle, const char* api, bool (*accepts)(Kind), const char* expected) {
    const std::uint64_t id = HandleId(handle);
    if (id == 0) {
        ReportUnowned("%s: invalid %s handle %p", api, expected, handle);
        return {};
    }
    auto object = Registry::Instance().Find(id);
    std::shared_ptr<Host> host = object != nullptr ? object->host.lock() : nullptr;
    if (object == nullptr || host == nullptr) {
        Kind kind;
        std::shared_ptr<Host> owner;
        if (Registry::Instance().Tombstone(id, &kind, &owner)) {
            const char* what = kind == Kind::Request ? "was already completed" : "was already deleted";
            if (owner != nullptr)
                owner->Violation("%s: %s %p %s", api, KindName(kind), handle, what);
            else
                ReportUnowned("%s: %s %p %s", api, KindName(kind), handle, what);
        } else {
            ReportUnowned("%s: invalid %s handle %p", api, expected, handle);
        }
        return {};
    }
    if (!accepts(object->kind)) {
        host->Violation("%s: handle %p is a %s, not a %s", api, handle, KindName(object->kind), expected);
        return {};
    }
    return Resolved{std::move(object), std::move(host)};
}

// ---------------------------------------------------------------------------
Host::Host() = default;
Host::~Host() = default;

namespace {
std::string Format(const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}
}  // namespace

void Host::Violation(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    {
        std::lock_guard lock(diagMu_);
        violations_.push_back(text);
    }
    Trace(2, ("VIOLATION: " + text).c_str());
}

void Host::Error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    Trace(2, text.c_str());
}

void Host::Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    Trace(4, text.c_str());
}

void Host::RecordCallback(std::string name) {
    Trace(4, ("-> " + name).c_str());
    std::lock_guard lock(diagMu_);
    history_.push_back(std::move(name));
}

std::vector<std::string> Host::ViolationList() const {
    std::lock_guard lock(diagMu_);
    return violations_;
}

std::vector<std::string> Host::History() const {
    std::lock_guard lock(diagMu_);
    return history_;
}

void Host::RegisterLocked(const std::shared_ptr<Object>& object) {
    object->host = weak_from_this();
    object->registered = true;
    Registry::Instance().Add(object);
}

bool Host::UsableLocked(const Object& object, const char* api, const void* handle, Need need) {
    if (!object.registered) {
        Violation("%s: %s %p %s", api, KindName(object.kind), handle,
                  object.kind == Kind::Request ? "was already completed" : "was already deleted");
        return false;
    }
    if (need == Need::Alive && !object.alive) {
        Violation("%s: %s %p %s", api, KindName(object.kind), handle,
                  object.kind == Kind::Request ? "was already completed" : "was already deleted");
        return false;
    }
    return true;
}

void Host::KillLocked(const std::shared_ptr<Object>& object, Deferred& deferred) {
    if (!object->alive) return;
    object->alive = false;
    if (object->cleanup != nullptr) {
        // The handle stays valid (and its context readable) during the callback.
        object->internalRefs++;
        auto self = shared_from_this();
        deferred.Add([self, object, cb = object->cleanup] {
            cb(object->Handle());
            Deferred more;
            std::unique_lock lock(self->mu);
            object->internalRefs--;
            self->ReleaseLocked(object, more);
        });
        return;
    }
    ReleaseLocked(object, deferred);
}

void Host::ReleaseLocked(const std::shared_ptr<Object>& object, Deferred& deferred) {
    if (!object->registered || object->alive || object->driverRefs > 0 || object->internalRefs > 0) return;
    if (object->destroy != nullptr && !object->destroyCalled) {
        object->destroyCalled = true;
        object->internalRefs++;
        auto self = shared_from_this();
        deferred.Add([self, object, cb = object->destroy] {
            cb(object->Handle());
            Deferred more;
            std::unique_lock lock(self->mu);
            object->internalRefs--;
            self->ReleaseLocked(object, more);
        });
        return;
    }
    object->registered = false;
    Registry::Instance().Remove(*object);
    if (object->kind == Kind::Request) {
        auto request = std::static_pointer_cast<RequestObj>(object);
        if (auto file = request->file) {
            request->file.reset();
            file->internalRefs--;
            ReleaseLocked(file, deferred);
        }
    } else if (object->kind != Kind::File) {
        // Kept: the driver may still hold a pointer into its context.  File
        // objects, one per open, are freed (their handles are already invalid).
        graveyard.push_back(object);
    }
}

}  // namespace gnss::fw::detail

// ===========================================================================
// Driver-facing calls: objects.
using namespace gnss::fw::detail;

void WDF_OBJECT_ATTRIBUTES_INIT(WDF_OBJECT_ATTRIBUTES* Attributes) {
    if (Attributes == nullptr) return;
    *Attributes = WDF_OBJECT_ATTRIBUTES{};
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

void* WdfObjectGetTypedContextWorker(WDFOBJECT Handle, const WDF_OBJECT_CONTEXT_TYPE_INFO* TypeInfo) {
    auto a = Acquire<AnyObject>(Handle, "WdfObjectGetTypedContext", "object", Need::Registered);
    if (!a || TypeInfo == nullptr) return nullptr;
    Object& object = *a.obj;
    if (object.context == nullptr) return nullptr;
    if (object.contextType == TypeInfo) return object.context;
    // The same type seen from another module has another type record.
    if (TypeInfo->ContextName != nullptr && object.contextName == TypeInfo->ContextName &&
        object.contextSize >= TypeInfo->ContextSize)
        return object.context;
    return nullptr;
}

void WdfObjectReferenceActual(WDFOBJECT Object, PVOID Tag, LONG Line, PCSTR File) {
    auto a = Acquire<AnyObject>(Object, "WdfObjectReference", "object", Need::Registered);
    if (!a) return;
    a.obj->driverRefs++;
    (void)Tag;
    (void)Line;
    (void)File;
}

void WdfObjectDereferenceActual(WDFOBJECT Object, PVOID Tag, LONG Line, PCSTR File) {
    Deferred deferred;
    auto a = Acquire<AnyObject>(Object, "WdfObjectDereference", "object", Need::Registered);
    if (!a) return;
    auto object = a.obj;
    if (object->driverRefs == 0) {
        a.host->Violation("WdfObjectDereference: no reference held on %s %p (tag %p, %s:%d)",
                          KindName(object->kind), static_cast<void*>(Object), Tag, File != nullptr ? File : "?",
                          static_cast<int>(Line));
        return;
    }
    object->driverRefs--;
    a.host->ReleaseLocked(object, deferred);
}
