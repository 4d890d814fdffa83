// The libxml2 functions the driver's SUPL operator table reader calls,
// forwarded to libxml2.so.2 once the first call has opened it, so that the
// driver maps libxml2, and ICU, zlib and lzma with it, only when it reads
// the table (once a SIM has asked for SUPL settings), not from the start.
//
// Each forwarder is defined with the name and type libxml2's headers declare
// (a different type does not compile), hidden, so that the reader's calls
// bind to it inside the driver module and nothing outside sees it.  xmlFree
// is a variable in libxml2 (a function pointer); ours points to a forwarder.
//
// Without the library, the failure is logged once ("[XML] cannot load
// libxml2.so.2 (install the Debian package libxml2): ..."), and the functions
// fail as they do without memory: a null parser context, so the reader reports
// that it could not read the table.  The entity loader the reader installs is
// kept here then, so that its own check of it still holds.
//
// The library stays loaded once it is: the reader keeps it initialised with
// its entity loader installed for as long as the driver is loaded.
//
// \todo Release the library after a read; the reader would have to install
// its entity loader and initialise the parser again for the next read.

// The system headers libxml2's headers include come first, outside the
// hidden block.
#include <iconv.h>
#include <limits.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <unicode/ucnv.h>

#include <atomic>
#include <string>

#include "gnss/platform/library.h"
#include "gnss/platform/trace.h"

#pragma GCC visibility push(hidden)
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlmemory.h>
#include <libxml/xpath.h>

namespace gnss::platform {
namespace {

constexpr const char* kSoname = "libxml2.so.2";
constexpr const char* kPackage = "libxml2";

#define GNSS_LIBXML2_SYMBOLS(X)                                                                   \
    X(xmlCtxtReadMemory) X(xmlFree) X(xmlFreeDoc) X(xmlFreeParserCtxt)                            \
    X(xmlGetExternalEntityLoader) X(xmlInitParser) X(xmlNewParserCtxt) X(xmlNodeGetContent)       \
    X(xmlResetLastError) X(xmlSetExternalEntityLoader) X(xmlXPathEvalExpression)                 \
    X(xmlXPathFreeContext) X(xmlXPathFreeObject) X(xmlXPathNewContext)

struct Libxml2 {
#define GNSS_MEMBER(name) decltype(&::name) name = nullptr;
    GNSS_LIBXML2_SYMBOLS(GNSS_MEMBER)
#undef GNSS_MEMBER
    bool loaded = false;
};

void LogMissing(const std::string& error) {
    const std::string line = "[XML] " + error;
    // Flag 0x2: the flag of the driver's and the daemon's own lines.
    trace::TraceLine(2, 0x2, line.data(), line.size());
}

Libxml2 Load() {
    Libxml2 lib;
    std::string error;
    void* handle = OpenLibrary(kSoname, kPackage, error);
    bool complete = handle != nullptr;
#define GNSS_RESOLVE(name)                                                                              \
    if (complete) {                                                                                     \
        lib.name = reinterpret_cast<decltype(lib.name)>(LibrarySymbol(handle, kSoname, #name, error)); \
        complete = lib.name != nullptr;                                                                 \
    }
    GNSS_LIBXML2_SYMBOLS(GNSS_RESOLVE)
#undef GNSS_RESOLVE
    lib.loaded = complete;
    if (!complete) LogMissing(error);
    return lib;
}

const Libxml2& Lib() {
    static const Libxml2 lib = Load();
    return lib;
}

// The entity loader while the library is missing.
std::atomic<xmlExternalEntityLoader> g_loader{nullptr};

template <auto Member, typename R, typename... Args>
R Forward(R failed, Args... args) {
    const Libxml2& lib = Lib();
    return lib.loaded ? (lib.*Member)(args...) : failed;
}

template <auto Member, typename... Args>
void ForwardVoid(Args... args) {
    const Libxml2& lib = Lib();
    if (lib.loaded) (lib.*Member)(args...);
}

void FreeThroughLibrary(void* memory) {
    const Libxml2& lib = Lib();
    if (lib.loaded) (*lib.xmlFree)(memory);
}

}  // namespace
}  // namespace gnss::platform

using gnss::platform::Forward;
using gnss::platform::ForwardVoid;
using gnss::platform::Libxml2;

extern "C" {

xmlFreeFunc xmlFree = gnss::platform::FreeThroughLibrary;

xmlDocPtr xmlCtxtReadMemory(xmlParserCtxtPtr ctxt, const char* buffer, int size, const char* url,
                            const char* encoding, int options) {
    return Forward<&Libxml2::xmlCtxtReadMemory>(static_cast<xmlDocPtr>(nullptr), ctxt, buffer, size,
                                                url, encoding, options);
}
void xmlFreeDoc(xmlDocPtr doc) { ForwardVoid<&Libxml2::xmlFreeDoc>(doc); }
void xmlFreeParserCtxt(xmlParserCtxtPtr ctxt) { ForwardVoid<&Libxml2::xmlFreeParserCtxt>(ctxt); }
xmlExternalEntityLoader xmlGetExternalEntityLoader(void) {
    return Forward<&Libxml2::xmlGetExternalEntityLoader>(gnss::platform::g_loader.load());
}
void xmlInitParser(void) { ForwardVoid<&Libxml2::xmlInitParser>(); }
xmlParserCtxtPtr xmlNewParserCtxt(void) {
    return Forward<&Libxml2::xmlNewParserCtxt>(static_cast<xmlParserCtxtPtr>(nullptr));
}
xmlChar* xmlNodeGetContent(const xmlNode* node) {
    return Forward<&Libxml2::xmlNodeGetContent>(static_cast<xmlChar*>(nullptr), node);
}
void xmlResetLastError(void) { ForwardVoid<&Libxml2::xmlResetLastError>(); }
void xmlSetExternalEntityLoader(xmlExternalEntityLoader loader) {
    if (!gnss::platform::Lib().loaded) gnss::platform::g_loader.store(loader);
    ForwardVoid<&Libxml2::xmlSetExternalEntityLoader>(loader);
}
xmlXPathObjectPtr xmlXPathEvalExpression(const xmlChar* expression, xmlXPathContextPtr ctxt) {
    return Forward<&Libxml2::xmlXPathEvalExpression>(static_cast<xmlXPathObjectPtr>(nullptr),
                                                     expression, ctxt);
}
void xmlXPathFreeContext(xmlXPathContextPtr ctxt) { ForwardVoid<&Libxml2::xmlXPathFreeContext>(ctxt); }
void xmlXPathFreeObject(xmlXPathObjectPtr object) { ForwardVoid<&Libxml2::xmlXPathFreeObject>(object); }
xmlXPathContextPtr xmlXPathNewContext(xmlDocPtr doc) {
    return Forward<&Libxml2::xmlXPathNewContext>(static_cast<xmlXPathContextPtr>(nullptr), doc);
}

}  // extern "C"

#pragma GCC visibility pop
