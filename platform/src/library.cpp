// OpenLibrary and LibrarySymbol (library.h).
#include "gnss/platform/library.h"

#include <dlfcn.h>

namespace gnss::platform {

void* OpenLibrary(const char* soname, const char* package, std::string& error) {
    // RTLD_LOCAL: nobody else in the process should bind to it by accident;
    // RTLD_NOW: a library that cannot be bound fails here, not in a call.
    void* library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = ::dlerror();
        error = std::string("cannot load ") + soname + " (install the Debian package " + package +
                "): " + (reason != nullptr ? reason : "unknown reason");
    }
    return library;
}

void* LibrarySymbol(void* library, const char* soname, const char* symbol, std::string& error) {
    ::dlerror();
    void* address = ::dlsym(library, symbol);
    if (address == nullptr) {
        const char* reason = ::dlerror();
        error = std::string(soname) + " lacks " + symbol + " (too old a version?)" +
                (reason != nullptr ? std::string(": ") + reason : std::string());
    }
    return address;
}

}  // namespace gnss::platform
