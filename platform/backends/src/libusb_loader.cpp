// The libusb functions the usb: back-end calls, forwarded to libusb-1.0.so.0
// once LoadLibusb (or the first call) has opened it, so that gnssd maps
// libusb and libudev only when it drives a modem through libusb.
//
// Each forwarder is defined with the name and type libusb.h declares (a
// different type does not compile), hidden, so that the back-end's calls bind
// to it and nothing outside this program sees it.
#include "libusb_loader.h"

#include <sys/time.h>
#include <sys/types.h>

#include <climits>
#include <cstdint>
#include <ctime>

#include "gnss/platform/library.h"

// The system headers libusb.h includes come first, outside the hidden block.
#pragma GCC visibility push(hidden)
#include <libusb.h>

namespace gnss::fw::detail {
namespace {

constexpr const char* kSoname = "libusb-1.0.so.0";
constexpr const char* kPackage = "libusb-1.0-0";

#define GNSS_LIBUSB_FUNCTIONS(X)                                                                      \
    X(libusb_alloc_transfer) X(libusb_cancel_transfer) X(libusb_claim_interface) X(libusb_clear_halt) \
    X(libusb_close) X(libusb_exit) X(libusb_free_config_descriptor) X(libusb_free_device_list)       \
    X(libusb_free_transfer) X(libusb_get_active_config_descriptor) X(libusb_get_bus_number)          \
    X(libusb_get_device) X(libusb_get_device_address) X(libusb_get_device_descriptor)                \
    X(libusb_get_device_list) X(libusb_handle_events) X(libusb_has_capability)                       \
    X(libusb_hotplug_deregister_callback) X(libusb_hotplug_register_callback) X(libusb_init)         \
    X(libusb_interrupt_event_handler) X(libusb_open) X(libusb_release_interface)                     \
    X(libusb_set_auto_detach_kernel_driver) X(libusb_strerror) X(libusb_submit_transfer)

struct Libusb {
#define GNSS_MEMBER(name) decltype(&::name) name = nullptr;
    GNSS_LIBUSB_FUNCTIONS(GNSS_MEMBER)
#undef GNSS_MEMBER
    bool loaded = false;
    std::string error;
};

Libusb Load() {
    Libusb lib;
    void* handle = platform::OpenLibrary(kSoname, kPackage, lib.error);
    if (handle == nullptr) return lib;
    bool complete = true;
#define GNSS_RESOLVE(name)                                                                  \
    if (complete) {                                                                         \
        lib.name = reinterpret_cast<decltype(lib.name)>(                                    \
            platform::LibrarySymbol(handle, kSoname, #name, lib.error));                    \
        complete = lib.name != nullptr;                                                     \
    }
    GNSS_LIBUSB_FUNCTIONS(GNSS_RESOLVE)
#undef GNSS_RESOLVE
    // The handle stays open for the process's life: transfers and the event
    // thread outlive any one back-end's reach into the table.
    lib.loaded = complete;
    return lib;
}

const Libusb& Lib() {
    static const Libusb lib = Load();
    return lib;
}

template <auto Member, typename R, typename... Args>
R Forward(R failed, Args... args) {
    const Libusb& lib = Lib();
    return lib.loaded ? (lib.*Member)(args...) : failed;
}

template <auto Member, typename... Args>
void ForwardVoid(Args... args) {
    const Libusb& lib = Lib();
    if (lib.loaded) (lib.*Member)(args...);
}

}  // namespace

bool LoadLibusb(std::string& error) {
    const Libusb& lib = Lib();
    if (!lib.loaded) error = lib.error;
    return lib.loaded;
}

}  // namespace gnss::fw::detail

using gnss::fw::detail::Forward;
using gnss::fw::detail::ForwardVoid;
using gnss::fw::detail::Libusb;

extern "C" {

libusb_transfer* libusb_alloc_transfer(int iso_packets) {
    return Forward<&Libusb::libusb_alloc_transfer>(static_cast<libusb_transfer*>(nullptr), iso_packets);
}
int libusb_cancel_transfer(libusb_transfer* transfer) {
    return Forward<&Libusb::libusb_cancel_transfer>(int{LIBUSB_ERROR_NOT_SUPPORTED}, transfer);
}
int libusb_claim_interface(libusb_device_handle* handle, int number) {
    return Forward<&Libusb::libusb_claim_interface>(int{LIBUSB_ERROR_NOT_SUPPORTED}, handle, number);
}
int libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
    return Forward<&Libusb::libusb_clear_halt>(int{LIBUSB_ERROR_NOT_SUPPORTED}, handle, endpoint);
}
void libusb_close(libusb_device_handle* handle) { ForwardVoid<&Libusb::libusb_close>(handle); }
void libusb_exit(libusb_context* context) { ForwardVoid<&Libusb::libusb_exit>(context); }
void libusb_free_config_descriptor(libusb_config_descriptor* config) {
    ForwardVoid<&Libusb::libusb_free_config_descriptor>(config);
}
void libusb_free_device_list(libusb_device** list, int unref) {
    ForwardVoid<&Libusb::libusb_free_device_list>(list, unref);
}
void libusb_free_transfer(libusb_transfer* transfer) {
    ForwardVoid<&Libusb::libusb_free_transfer>(transfer);
}
int libusb_get_active_config_descriptor(libusb_device* device, libusb_config_descriptor** config) {
    return Forward<&Libusb::libusb_get_active_config_descriptor>(int{LIBUSB_ERROR_NOT_SUPPORTED}, device,
                                                                 config);
}
uint8_t libusb_get_bus_number(libusb_device* device) {
    return Forward<&Libusb::libusb_get_bus_number>(uint8_t{0}, device);
}
libusb_device* libusb_get_device(libusb_device_handle* handle) {
    return Forward<&Libusb::libusb_get_device>(static_cast<libusb_device*>(nullptr), handle);
}
uint8_t libusb_get_device_address(libusb_device* device) {
    return Forward<&Libusb::libusb_get_device_address>(uint8_t{0}, device);
}
int libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor) {
    return Forward<&Libusb::libusb_get_device_descriptor>(int{LIBUSB_ERROR_NOT_SUPPORTED}, device,
                                                          descriptor);
}
ssize_t libusb_get_device_list(libusb_context* context, libusb_device*** list) {
    return Forward<&Libusb::libusb_get_device_list>(ssize_t{LIBUSB_ERROR_NOT_SUPPORTED}, context, list);
}
int libusb_handle_events(libusb_context* context) {
    return Forward<&Libusb::libusb_handle_events>(int{LIBUSB_ERROR_NOT_SUPPORTED}, context);
}
int libusb_has_capability(uint32_t capability) {
    return Forward<&Libusb::libusb_has_capability>(0, capability);
}
void libusb_hotplug_deregister_callback(libusb_context* context, libusb_hotplug_callback_handle callback) {
    ForwardVoid<&Libusb::libusb_hotplug_deregister_callback>(context, callback);
}
int libusb_hotplug_register_callback(libusb_context* context, int events, int flags, int vendor, int product,
                                     int deviceClass, libusb_hotplug_callback_fn callback, void* userData,
                                     libusb_hotplug_callback_handle* handle) {
    return Forward<&Libusb::libusb_hotplug_register_callback>(int{LIBUSB_ERROR_NOT_SUPPORTED}, context, events,
                                                              flags, vendor, product, deviceClass, callback,
                                                              userData, handle);
}
int libusb_init(libusb_context** context) {
    return Forward<&Libusb::libusb_init>(int{LIBUSB_ERROR_NOT_SUPPORTED}, context);
}
void libusb_interrupt_event_handler(libusb_context* context) {
    ForwardVoid<&Libusb::libusb_interrupt_event_handler>(context);
}
int libusb_open(libusb_device* device, libusb_device_handle** handle) {
    return Forward<&Libusb::libusb_open>(int{LIBUSB_ERROR_NOT_SUPPORTED}, device, handle);
}
int libusb_release_interface(libusb_device_handle* handle, int number) {
    return Forward<&Libusb::libusb_release_interface>(int{LIBUSB_ERROR_NOT_SUPPORTED}, handle, number);
}
int libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int enable) {
    return Forward<&Libusb::libusb_set_auto_detach_kernel_driver>(int{LIBUSB_ERROR_NOT_SUPPORTED}, handle,
                                                                  enable);
}
const char* libusb_strerror(int code) {
    return Forward<&Libusb::libusb_strerror>(static_cast<const char*>("libusb is not loaded"), code);
}
int libusb_submit_transfer(libusb_transfer* transfer) {
    return Forward<&Libusb::libusb_submit_transfer>(int{LIBUSB_ERROR_NOT_SUPPORTED}, transfer);
}

}  // extern "C"

#pragma GCC visibility pop
