// The libxml2 functions the driver's SUPL operator table reader calls,
// forwarded to libxml2.so.2, which is opened when a read begins and closed
// when it is over, so that the driver maps libxml2, and ICU, zlib and lzma
// with it, only while it reads the table (once a SIM has asked for SUPL
// settings), not from the start nor ever after.
//
// Each forwarder is defined with the name and type libxml2's headers declare
// (a different type does not compile), hidden, so that the reader's calls
// bind to it inside the driver module and nothing outside sees it.  xmlFree
// is a variable in libxml2 (a function pointer); ours points to a forwarder.
//
// The library is held while a call runs and while an object it handed out
// lives (a parser context, a document, an XPath context or result, a text
// from xmlNodeGetContent, which the reader gives back with xmlFree); when the
// last is given back, libxml2 is cleaned up and closed.  What the reader set
// up once for the process is kept here and set up again in the next opening:
// the parser's initialisation and its entity loader.  xmlGetExternalEntityLoader
// answers with the loader set here, or with a forwarder to the library's own
// default, so the reader's check of its loader and its fallback stay valid
// across openings.  The library stays open in a process in which someone else
// had it loaded first, and once more than one thread has used it (see Drop).
// Before it closes, ICU (which libxml2 loads for encodings it does not know
// itself) is told to free its caches, unless it was loaded before libxml2.
//
// Without the library, the failure is logged ("[XML] cannot load
// libxml2.so.2 (install the Debian package libxml2): ..."), and the functions
// fail as they do without memory: a null parser context, so the reader reports
// that it could not read the table.

// The system headers libxml2's headers include come first, outside the
// hidden block.
#include <iconv.h>
#include <limits.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <unicode/ucnv.h>

#include <dlfcn.h>
#include <link.h>

#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "gnss/platform/library.h"
#include "gnss/platform/trace.h"

#pragma GCC visibility push(hidden)
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/threads.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlmemory.h>
#include <libxml/xpath.h>

namespace gnss::platform {
namespace {

constexpr const char* kSoname = "libxml2.so.2";
constexpr const char* kPackage = "libxml2";

#define GNSS_LIBXML2_SYMBOLS(X)                                                                   \
    X(xmlCleanupParser) X(xmlCtxtReadMemory) X(xmlFree) X(xmlFreeDoc) X(xmlFreeParserCtxt)        \
    X(xmlGetExternalEntityLoader) X(xmlGetGlobalState) X(xmlInitParser) X(xmlIsMainThread)       \
    X(xmlNewParserCtxt) X(xmlNodeGetContent)                                                      \
    X(xmlResetLastError) X(xmlSetExternalEntityLoader) X(xmlXPathEvalExpression)                 \
    X(xmlXPathFreeContext) X(xmlXPathFreeObject) X(xmlXPathNewContext)

struct Functions {
#define GNSS_MEMBER(name) decltype(&::name) name = nullptr;
    GNSS_LIBXML2_SYMBOLS(GNSS_MEMBER)
#undef GNSS_MEMBER
};

xmlParserInputPtr DefaultLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt);

// The library while it is open, and what is set up again in every opening.
class Libxml2 {
public:
    // Opens the library when it is closed and holds it for one call or one
    // object; nullptr when it cannot be opened.
    const Functions* Hold() {
        std::lock_guard guard(lock_);
        if (handle_ == nullptr && !Open()) return nullptr;
        ++holds_;
        const std::thread::id self = std::this_thread::get_id();
        if (user_ == std::thread::id()) user_ = self;
        if (user_ != self) severalUsers_ = true;
        return &functions_;
    }
    // Gives back a hold; the last one closes the library.
    void Drop() {
        std::lock_guard guard(lock_);
        if (--holds_ > 0 || keep_ || severalUsers_) return;
        // libxml2 keeps a state for each thread but the main one, which its
        // key's destructor frees when the thread ends.  xmlCleanupParser
        // deletes the key, so that no destructor runs after the code is gone,
        // and the state of the one thread that used the library is freed
        // here instead.  With several threads that used it, the library stays
        // open: their states are theirs to free, by that destructor.
        xmlGlobalStatePtr state =
            functions_.xmlIsMainThread() != 0 ? nullptr : functions_.xmlGetGlobalState();
        functions_.xmlCleanupParser();
        std::free(state);
        // ICU, which libxml2 loaded for encodings it does not know itself,
        // keeps converters it opened in caches of its own; they would be lost
        // when it goes with libxml2.
        if (!icuBefore_) CleanUpIcu();
        ::dlclose(handle_);
        handle_ = nullptr;
        user_ = std::thread::id();
    }
    // The functions while an object of the library keeps it open.
    const Functions& Opened() const { return functions_; }

    void Initialised() {
        std::lock_guard guard(lock_);
        initialised_ = true;
    }
    xmlExternalEntityLoader Loader() {
        std::lock_guard guard(lock_);
        return loader_ != nullptr ? loader_ : DefaultLoader;
    }
    void SetLoader(xmlExternalEntityLoader loader) {
        std::lock_guard guard(lock_);
        loader_ = loader == DefaultLoader ? nullptr : loader;
        if (handle_ != nullptr)
            functions_.xmlSetExternalEntityLoader(loader_ != nullptr ? loader_ : libraryDefault_);
    }
    // The library's own loader; only called while the library is held.
    xmlExternalEntityLoader LibraryDefault() const { return libraryDefault_; }
    void ResetLastError() {
        std::lock_guard guard(lock_);
        // A closed library keeps no error.
        if (handle_ != nullptr) functions_.xmlResetLastError();
    }

private:
    bool Open() {
        std::string error;
        void* already = ::dlopen(kSoname, RTLD_NOW | RTLD_NOLOAD);
        keep_ = already != nullptr;
        if (already != nullptr) ::dlclose(already);
        icuBefore_ = !IcuLibrary().empty();
        void* handle = OpenLibrary(kSoname, kPackage, error);
        bool complete = handle != nullptr;
#define GNSS_RESOLVE(name)                                                                     \
    if (complete) {                                                                            \
        functions_.name =                                                                      \
            reinterpret_cast<decltype(functions_.name)>(LibrarySymbol(handle, kSoname, #name, error)); \
        complete = functions_.name != nullptr;                                                 \
    }
        GNSS_LIBXML2_SYMBOLS(GNSS_RESOLVE)
#undef GNSS_RESOLVE
        if (!complete) {
            if (handle != nullptr) ::dlclose(handle);
            handle_ = nullptr;
            const std::string line = "[XML] " + error;
            // Flag 0x2: the flag of the driver's and the daemon's own lines.
            trace::TraceLine(2, 0x2, line.data(), line.size());
            return false;
        }
        handle_ = handle;
        libraryDefault_ = functions_.xmlGetExternalEntityLoader();
        if (initialised_) functions_.xmlInitParser();
        if (loader_ != nullptr) functions_.xmlSetExternalEntityLoader(loader_);
        return true;
    }

    // The file name of the ICU common library this process has loaded
    // ("libicuuc.so.72"), empty when none.
    static std::string IcuLibrary() {
        std::string found;
        ::dl_iterate_phdr(
            [](dl_phdr_info* info, std::size_t, void* data) {
                const std::string path = info->dlpi_name != nullptr ? info->dlpi_name : "";
                const std::string name = path.substr(path.rfind('/') + 1);
                if (name.rfind("libicuuc.so.", 0) != 0) return 0;
                *static_cast<std::string*>(data) = name;
                return 1;
            },
            &found);
        return found;
    }
    // Frees what ICU holds (u_cleanup, named with ICU's major version, as
    // ICU names all its functions).
    static void CleanUpIcu() {
        const std::string name = IcuLibrary();
        if (name.empty()) return;
        void* icu = ::dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (icu == nullptr) return;
        const std::string version = name.substr(std::string("libicuuc.so.").size());
        const std::string symbol = "u_cleanup_" + version.substr(0, version.find('.'));
        if (auto* cleanup = reinterpret_cast<void (*)()>(::dlsym(icu, symbol.c_str())))
            cleanup();
        ::dlclose(icu);
    }

    std::mutex lock_;
    bool icuBefore_ = false;  // ICU was loaded before libxml2 came: not ours to clean
    void* handle_ = nullptr;
    Functions functions_;
    std::size_t holds_ = 0;
    bool keep_ = false;
    std::thread::id user_;  // the first thread that held the library since it opened
    bool severalUsers_ = false;
    bool initialised_ = false;
    xmlExternalEntityLoader loader_ = nullptr;
    xmlExternalEntityLoader libraryDefault_ = nullptr;
};

Libxml2& Lib() {
    static auto* lib = new Libxml2;  // never destroyed: the reader may run at exit
    return *lib;
}

xmlParserInputPtr DefaultLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt) {
    if (Lib().Hold() == nullptr) return nullptr;
    xmlParserInputPtr input = Lib().LibraryDefault()(url, id, ctxt);
    Lib().Drop();
    return input;
}

// Calls a function that hands out an object, which holds the library until
// it is given back.
template <auto Member, typename R, typename... Args>
R Make(Args... args) {
    const Functions* functions = Lib().Hold();
    if (functions == nullptr) return nullptr;
    R object = (functions->*Member)(args...);
    if (object == nullptr) Lib().Drop();
    return object;
}

// Gives an object back to the library, and the library's hold with it.
template <auto Member, typename T>
void GiveBack(T object) {
    if (object == nullptr) return;
    (Lib().Opened().*Member)(object);
    Lib().Drop();
}

void FreeThroughLibrary(void* memory) {
    if (memory == nullptr) return;
    (*Lib().Opened().xmlFree)(memory);
    Lib().Drop();
}

}  // namespace
}  // namespace gnss::platform

using gnss::platform::Functions;
using gnss::platform::GiveBack;
using gnss::platform::Lib;
using gnss::platform::Make;

extern "C" {

xmlFreeFunc xmlFree = gnss::platform::FreeThroughLibrary;

xmlDocPtr xmlCtxtReadMemory(xmlParserCtxtPtr ctxt, const char* buffer, int size, const char* url,
                            const char* encoding, int options) {
    return Make<&Functions::xmlCtxtReadMemory, xmlDocPtr>(ctxt, buffer, size, url, encoding, options);
}
void xmlFreeDoc(xmlDocPtr doc) { GiveBack<&Functions::xmlFreeDoc>(doc); }
void xmlFreeParserCtxt(xmlParserCtxtPtr ctxt) { GiveBack<&Functions::xmlFreeParserCtxt>(ctxt); }
xmlExternalEntityLoader xmlGetExternalEntityLoader(void) { return Lib().Loader(); }
void xmlInitParser(void) {
    Lib().Initialised();
    if (const Functions* functions = Lib().Hold()) {
        functions->xmlInitParser();
        Lib().Drop();
    }
}
xmlParserCtxtPtr xmlNewParserCtxt(void) { return Make<&Functions::xmlNewParserCtxt, xmlParserCtxtPtr>(); }
xmlChar* xmlNodeGetContent(const xmlNode* node) {
    return Make<&Functions::xmlNodeGetContent, xmlChar*>(node);
}
void xmlResetLastError(void) { Lib().ResetLastError(); }
void xmlSetExternalEntityLoader(xmlExternalEntityLoader loader) { Lib().SetLoader(loader); }
xmlXPathObjectPtr xmlXPathEvalExpression(const xmlChar* expression, xmlXPathContextPtr ctxt) {
    return Make<&Functions::xmlXPathEvalExpression, xmlXPathObjectPtr>(expression, ctxt);
}
void xmlXPathFreeContext(xmlXPathContextPtr ctxt) { GiveBack<&Functions::xmlXPathFreeContext>(ctxt); }
void xmlXPathFreeObject(xmlXPathObjectPtr object) { GiveBack<&Functions::xmlXPathFreeObject>(object); }
xmlXPathContextPtr xmlXPathNewContext(xmlDocPtr doc) {
    return Make<&Functions::xmlXPathNewContext, xmlXPathContextPtr>(doc);
}

}  // extern "C"

#pragma GCC visibility pop
