// The SUPL operator table reader.
//
// The configuration file is an XML document that carries its DTD in its
// internal subset.  It is parsed with libxml2, validated against that DTD,
// and never allowed to pull anything in from outside: no network access, no
// external DTD subset, no external entity.  Every external resource the parser
// asks for while we parse is refused, and a document that asks for one does
// not load.
#include "SUPLConfiguration.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "Trace.h"
#include "gnss_driver_version.h"

namespace {

constexpr const char* kConfigurationFileName = "GNSSDriverSUPLInfo-DTD.xml";
constexpr const char* kFnReadXml = "SUPLConfiguration::ReadXML";
constexpr const char* kFnGetHslpConfig = "SUPLConfiguration::GetHSLPConfig";
constexpr const char* kFnGetSuplVersion = "SUPLConfiguration::GetSUPLVersion";
constexpr const char* kFnGetSuplCert = "SUPLConfiguration::GetSUPLCert";

// SuplHslp holds the address, ":" and the port, plus the terminating zero.
constexpr std::size_t kMaxHslpText = sizeof(GNSS_SUPL_HSLP_CONFIG::SuplHslp) - 1;
// Certificates longer than this are never handed out.
constexpr std::size_t kMaxCertificate = 4096;
// The operator table is a few kilobytes; anything this large is not one.
constexpr off_t kMaxConfigurationFileSize = 16 * 1024 * 1024;

constexpr ULONG kHslpConfigVersion = 3;

// ---------------------------------------------------------------------------
// Error texts
// ---------------------------------------------------------------------------

// Our own descriptions of the HRESULT values this reader reports.
const char* DescribeHresult(HRESULT hr) {
    switch (static_cast<std::uint32_t>(hr)) {
        case 0x00000000u: return "The operation completed successfully.";
        case 0x00000001u: return "The operation completed, but found nothing.";
        case 0x80004005u: return "Unspecified failure.";
        case 0x8007000Eu: return "Not enough memory to complete the operation.";
        case 0x80070057u: return "One or more arguments are not valid.";
        default: return nullptr;
    }
}

void LogXmlError(const char* functionName, const char* message, const char* description) {
    if (description == nullptr || *description == '\0') {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Couldn't find description for Error", TAG_XMLCFG,
                functionName);
        return;
    }
    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: %s %s", TAG_XMLCFG, functionName, message,
            description);
}

// ---------------------------------------------------------------------------
// libxml2 set-up and the per-parse guard
// ---------------------------------------------------------------------------

// What one parse on this thread has collected: libxml2's last error and the
// first external resource that was refused.  Fixed buffers: the callbacks
// run inside libxml2 and must neither throw nor allocate through C++.
struct ParseState {
    char lastError[512] = {};
    int lastErrorCode = 0;
    char refused[256] = {};
};

thread_local ParseState* t_parse = nullptr;

// Installs a ParseState for the current thread for as long as it lives.
class ParseScope {
public:
    explicit ParseScope(ParseState& state) : previous_(t_parse) { t_parse = &state; }
    ~ParseScope() { t_parse = previous_; }
    ParseScope(const ParseScope&) = delete;
    ParseScope& operator=(const ParseScope&) = delete;

private:
    ParseState* previous_;
};

// The loader that was installed before ours (set once, before ours goes in).
std::atomic<xmlExternalEntityLoader> g_previousLoader{nullptr};

// The process-wide entity loader.  While one of our parses runs on this
// thread it refuses everything (the document itself is handed to the parser
// from memory, so it never comes through here); other libxml2 users in the
// process keep the loader they had.
xmlParserInputPtr GuardedEntityLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt) {
    if (t_parse != nullptr) {
        if (t_parse->refused[0] == '\0') {
            std::snprintf(t_parse->refused, sizeof t_parse->refused, "%s",
                          url != nullptr ? url : (id != nullptr ? id : "(unnamed)"));
        }
        return nullptr;
    }
    const xmlExternalEntityLoader previous = g_previousLoader.load(std::memory_order_acquire);
    return previous != nullptr ? previous(url, id, ctxt) : nullptr;
}

#if LIBXML_VERSION >= 21200
using XmlErrorArg = const xmlError*;
#else
using XmlErrorArg = xmlErrorPtr;
#endif

// Structured error handler for parsing, validation and XPath: keeps the last
// error of the current parse (warnings are not kept), and keeps libxml2 from
// printing anything.
void CollectXmlError(void* /*userData*/, XmlErrorArg error) {
    if (t_parse == nullptr || error == nullptr || error->level < XML_ERR_ERROR) return;
    const char* text = error->message != nullptr ? error->message : "unknown XML error";
    int length = static_cast<int>(std::strlen(text));
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        --length;
    if (error->line > 0) {
        std::snprintf(t_parse->lastError, sizeof t_parse->lastError, "%.*s (line %d)", length, text,
                      error->line);
    } else {
        std::snprintf(t_parse->lastError, sizeof t_parse->lastError, "%.*s", length, text);
    }
    t_parse->lastErrorCode = error->code;
}

// Initialises libxml2 once for the process (it is never cleaned up while the
// driver is loaded) and installs the guarded entity loader.
void EnsureXmlLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        g_previousLoader.store(xmlGetExternalEntityLoader(), std::memory_order_release);
        xmlSetExternalEntityLoader(GuardedEntityLoader);
    });
}

// ---------------------------------------------------------------------------
// libxml2 ownership
// ---------------------------------------------------------------------------

struct DocDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ParserCtxtDeleter {
    void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};
struct XPathCtxtDeleter {
    void operator()(xmlXPathContext* ctxt) const { xmlXPathFreeContext(ctxt); }
};
struct XPathObjectDeleter {
    void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};
struct XmlCharDeleter {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;
using ParserCtxtPtr = std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter>;
using XPathCtxtPtr = std::unique_ptr<xmlXPathContext, XPathCtxtDeleter>;
using XPathObjectPtr = std::unique_ptr<xmlXPathObject, XPathObjectDeleter>;
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharDeleter>;

// The text of a node (an element's concatenated text, an attribute's value),
// as UTF-8.  False only when libxml2 could not allocate it.
bool NodeText(xmlNode* node, std::string& out) {
    XmlCharPtr content(xmlNodeGetContent(node));
    if (!content) return false;
    out.assign(reinterpret_cast<const char*>(content.get()));
    return true;
}

// ---------------------------------------------------------------------------
// Locating the file
// ---------------------------------------------------------------------------

std::mutex g_testModulePathMutex;
std::string g_testModulePath;

struct ModulePath {
    bool known = false;
    std::string path;
    int error = 0;
};

// The path of the module that holds this code (or the path a test put in).
ModulePath QueryModulePath() {
    {
        std::lock_guard<std::mutex> lock(g_testModulePathMutex);
        if (!g_testModulePath.empty()) return {true, g_testModulePath, 0};
    }
    Dl_info info{};
    errno = 0;
    if (dladdr(reinterpret_cast<void*>(&SUPLConfiguration::ReportXmlError), &info) == 0 ||
        info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
        return {false, std::string(), errno};
    }
    return {true, info.dli_fname, 0};
}

// The configuration file's path: the module path cut where the module's own
// file name starts (case-sensitive), with the configuration file name put
// there.  Without the module's name the path is left as it is.
std::string DeriveConfigurationPath(const std::string& modulePath, bool& found) {
    const std::size_t at = modulePath.find(GNSS_DRIVER_MODULE_FILE_NAME);
    found = at != std::string::npos;
    if (!found) return modulePath;
    return modulePath.substr(0, at) + kConfigurationFileName;
}

// Reads the whole file; on failure `error` says why.
bool ReadWholeFile(const std::string& path, std::string& content, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = "cannot examine " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        return false;
    }
    if (st.st_size > kMaxConfigurationFileSize) {
        error = path + " is larger than 16 MiB";
        return false;
    }
    content.clear();
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > static_cast<std::size_t>(kMaxConfigurationFileSize)) {
            error = path + " is larger than 16 MiB";
            return false;
        }
    }
    return true;
}

// Parses and validates the document against its own DTD.  On failure
// `error` holds the reason (libxml2's own text for parse and validation
// errors) and `hr` the result to return.
DocPtr LoadConfiguration(const std::string& path, HRESULT& hr, std::string& error) {
    hr = E_FAIL;
    std::string content;
    if (!ReadWholeFile(path, content, error)) return nullptr;

    if (xmlGetExternalEntityLoader() != GuardedEntityLoader) {
        // Someone in the process replaced the loader: we could no longer
        // keep the parser from reading other files.
        error = "the XML entity loader was replaced; not parsing without it";
        return nullptr;
    }

    ParseState state;
    ParseScope scope(state);
    ParserCtxtPtr ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        hr = E_OUTOFMEMORY;
        error = DescribeHresult(E_OUTOFMEMORY);
        return nullptr;
    }
    ctxt->sax->serror = CollectXmlError;

    // Validate against the document's own DTD; no network; entities are not
    // substituted and nothing external is loaded (the entity loader refuses).
    DocPtr doc(xmlCtxtReadMemory(ctxt.get(), content.data(), static_cast<int>(content.size()),
                                 path.c_str(), nullptr, XML_PARSE_DTDVALID | XML_PARSE_NONET));

    if (state.refused[0] != '\0') {
        error = std::string("the document refers to an external resource, which is not loaded: ") +
                state.refused;
        return nullptr;
    }
    if (!doc || !ctxt->wellFormed || !ctxt->valid) {
        if (state.lastErrorCode == XML_ERR_NO_MEMORY) hr = E_OUTOFMEMORY;
        error = state.lastError[0] != '\0' ? state.lastError : "the document is not valid";
        return nullptr;
    }
    hr = S_OK;
    return doc;
}

// Evaluates an XPath expression; on failure `hr` and `error` say why.
XPathObjectPtr SelectNodes(xmlXPathContext* xpath, const std::string& expression, HRESULT& hr,
                           std::string& error) {
    ParseState state;
    ParseScope scope(state);
    XPathObjectPtr result(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression.c_str()), xpath));
    if (!result || result->type != XPATH_NODESET) {
        hr = state.lastErrorCode == XML_ERR_NO_MEMORY || (!result && state.lastError[0] == '\0')
                 ? E_OUTOFMEMORY
                 : E_FAIL;
        error = state.lastError[0] != '\0' ? state.lastError : DescribeHresult(hr);
        return nullptr;
    }
    hr = S_OK;
    return result;
}

std::size_t NodeCount(const xmlXPathObject* object) {
    return object->nodesetval != nullptr ? static_cast<std::size_t>(object->nodesetval->nodeNr) : 0;
}

bool NameIs(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && node->name != nullptr &&
           std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

// The reading proper; ReadXML wraps it.
HRESULT ReadConfiguration(SUPLConfiguration& config) {
    if (config.m_strSupl_IMSI.empty()) {
        SUPLConfiguration::ReportXmlError(kFnReadXml, "IMSI Value Not Set. Error:", 0);
        return E_FAIL;
    }

    config.m_strSupl_MCC.clear();
    config.m_strSupl_MNC.clear();
    config.m_strSupl_Address_type.clear();
    config.m_strSupl_Address.clear();
    config.m_strSupl_Port_Number.clear();
    config.m_strSupl_Ver_Info.clear();
    config.m_strSupl_Apn_Name.clear();
    config.m_strSupl_Certificate.clear();

    EnsureXmlLibrary();

    // Where the file is: beside the driver module.
    const ModulePath module = QueryModulePath();
    if (module.known) {
        GnssLog(GNSS_LEVEL_INFO, "%s Module path: WinErr=0x%X, %s", TAG_XMLCFG,
                static_cast<unsigned>(module.path.size()), module.path.c_str());
    } else {
        GnssLog(GNSS_LEVEL_ERROR, "%s GetModuleHandleExA FAILED. Err=0x%X", TAG_XMLCFG,
                static_cast<unsigned>(module.error));
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s Drv Path=%s", TAG_XMLCFG, kFnReadXml, module.path.c_str());
    bool found = false;
    const std::string path = DeriveConfigurationPath(module.path, found);
    if (!found) GnssLog(GNSS_LEVEL_ERROR, "%s Module Name not found", TAG_XMLCFG);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s DTD xml Path=%s", TAG_XMLCFG, kFnReadXml, path.c_str());

    // Load and validate.
    HRESULT hr = E_FAIL;
    std::string error;
    DocPtr doc;
    if (found) {
        doc = LoadConfiguration(path, hr, error);
    } else {
        hr = E_FAIL;
        error = "the driver module's file name " GNSS_DRIVER_MODULE_FILE_NAME
                " is not in its path, so the file's place is unknown";
    }
    if (!doc) {
        LogXmlError(kFnReadXml,
                    "Failed to load DOM from GNSSDriverSUPLInfo-DTD.xml. Error:", error.c_str());
        return hr == E_OUTOFMEMORY ? E_OUTOFMEMORY : E_FAIL;
    }

    XPathCtxtPtr xpath(xmlXPathNewContext(doc.get()));
    if (!xpath) {
        SUPLConfiguration::ReportXmlError(
            kFnReadXml, "Failed to create the XPath context. Error:", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    xpath->error = CollectXmlError;

    // Is there an entry for this SIM?  Any SID attribute whose value, without
    // its underscores, starts the IMSI (an empty one starts every IMSI).
    XPathObjectPtr sids = SelectNodes(xpath.get(), "//@SID", hr, error);
    if (!sids) {
        LogXmlError(kFnReadXml, "Error while calling selectNodes. Error:", error.c_str());
        return hr;
    }
    HRESULT lastStatus = S_FALSE;  // walking the whole list ends with S_FALSE
    for (std::size_t i = 0; i < NodeCount(sids.get()); ++i) {
        std::string sid;
        if (!NodeText(sids->nodesetval->nodeTab[i], sid)) {
            SUPLConfiguration::ReportXmlError(kFnReadXml,
                                              "Error while reading a SID. Error:", E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        }
        std::erase(sid, '_');
        if (!config.m_strSupl_IMSI.starts_with(sid)) continue;
        const bool sixDigits = config.m_strSupl_IMSI.size() == 15 &&
                               (config.m_uiMncLength == 3 || config.m_uiMncLength == 0);
        const std::string code = config.m_strSupl_IMSI.substr(0, sixDigits ? 6 : 5);
        config.m_strSupl_MCC = code.substr(0, 3);
        config.m_strSupl_MNC = code.size() > 3 ? code.substr(3) : std::string();
        lastStatus = S_OK;
        break;
    }

    std::string key;
    if (config.m_strSupl_MCC.empty() || config.m_strSupl_MNC.empty()) {
        SUPLConfiguration::ReportXmlError(
            kFnReadXml, "Can not Find correct MCC/MNC from XML Error:", lastStatus);
        key = "Default";
    } else {
        key = config.m_strSupl_MCC + config.m_strSupl_MNC;
    }

    // The entry itself: the first SUPL element whose SID is "_" + key.
    std::string query = "//SUPL[@";
    query += "SID=";
    query += '\'';
    query += '_';
    query += key;
    query += '\'';
    query += "]";
    XPathObjectPtr entries = SelectNodes(xpath.get(), query, hr, error);
    if (!entries) {
        LogXmlError(kFnReadXml, "Error while calling selectSingleNode. Error:", error.c_str());
        return hr;
    }
    if (NodeCount(entries.get()) == 0) {
        SUPLConfiguration::ReportXmlError(kFnReadXml,
                                          "Error while calling selectSingleNode. Error:", S_FALSE);
        return S_FALSE;
    }

    // Its values, by element name; for a repeated element the last one wins,
    // certificates are collected in document order.
    std::string text;
    for (xmlNode* child = entries->nodesetval->nodeTab[0]->children; child != nullptr;
         child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        if (NameIs(child, "SuplServer")) {
            for (xmlNode* item = child->children; item != nullptr; item = item->next) {
                std::string* target = nullptr;
                const bool certificate = NameIs(item, "Supl_Certificate");
                if (NameIs(item, "Supl_Address_type"))
                    target = &config.m_strSupl_Address_type;
                else if (NameIs(item, "Supl_Address"))
                    target = &config.m_strSupl_Address;
                else if (NameIs(item, "Supl_Port_Number"))
                    target = &config.m_strSupl_Port_Number;
                if (target == nullptr && !certificate) continue;
                if (!NodeText(item, text)) {
                    SUPLConfiguration::ReportXmlError(
                        kFnReadXml, "Error while reading an element's text. Error:", E_OUTOFMEMORY);
                    return E_OUTOFMEMORY;
                }
                if (certificate)
                    config.m_strSupl_Certificate.push_back(text);
                else
                    *target = text;
            }
            continue;
        }
        std::string* target = nullptr;
        if (NameIs(child, "Supl_Ver_Info"))
            target = &config.m_strSupl_Ver_Info;
        else if (NameIs(child, "Supl_Apn_Name"))
            target = &config.m_strSupl_Apn_Name;
        if (target == nullptr) continue;
        if (!NodeText(child, *target)) {
            SUPLConfiguration::ReportXmlError(
                kFnReadXml, "Error while reading an element's text. Error:", E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        }
    }
    // The end of the entry's child list.
    return S_FALSE;
}

}  // namespace

// ---------------------------------------------------------------------------
// SUPLConfiguration
// ---------------------------------------------------------------------------

SUPLConfiguration::SUPLConfiguration() = default;

void SUPLConfiguration::ReportXmlError(const char* functionName, const char* message, HRESULT hr) {
    LogXmlError(functionName, message, DescribeHresult(hr));
}

void SUPLConfiguration::SetModulePathForTest(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_testModulePathMutex);
    g_testModulePath = path;
}

std::string SUPLConfiguration::ConfigurationFilePath() {
    const ModulePath module = QueryModulePath();
    bool found = false;
    return DeriveConfigurationPath(module.path, found);
}

HRESULT SUPLConfiguration::ReadXML() {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_XMLCFG, kFnReadXml);
    HRESULT hr = E_FAIL;
    try {
        hr = ReadConfiguration(*this);
    } catch (const std::bad_alloc&) {
        ReportXmlError(kFnReadXml, "Out of memory while reading GNSSDriverSUPLInfo-DTD.xml. Error:",
                       E_OUTOFMEMORY);
        hr = E_OUTOFMEMORY;
    }
    // libxml2 keeps a copy of the last error per thread; drop it.
    xmlResetLastError();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- hr=0x%X", TAG_XMLCFG, kFnReadXml,
            static_cast<unsigned>(hr));
    return hr;
}

HRESULT SUPLConfiguration::GetHSLPConfig(GNSS_SUPL_HSLP_CONFIG* pHslpConfig) {
    if (pHslpConfig == nullptr) return E_INVALIDARG;
    if (m_strSupl_Address_type != "1") {
        ReportXmlError(kFnGetHslpConfig, "Error while Creating \"XLCSSLP\" Cpmmand ", E_FAIL);
        return E_FAIL;
    }
    if (m_strSupl_Address.empty()) {
        ReportXmlError(kFnGetHslpConfig,
                       "slp_address is a mandatory parameter if m_strSupl_Address_type is \"0\" "
                       "or \"1\" ",
                       E_INVALIDARG);
        return E_INVALIDARG;
    }
    const std::size_t length = m_strSupl_Address.size() + 1 + m_strSupl_Port_Number.size();
    if (length > kMaxHslpText) {
        char message[192];
        std::snprintf(message, sizeof message,
                      "Supl_Address and Supl_Port_Number are %zu characters with the colon; "
                      "SuplHslp holds at most %zu. Error:",
                      length, kMaxHslpText);
        ReportXmlError(kFnGetHslpConfig, message, E_INVALIDARG);
        return E_INVALIDARG;
    }
    pHslpConfig->Size = sizeof(GNSS_SUPL_HSLP_CONFIG);
    pHslpConfig->Version = kHslpConfigVersion;
    char* out = pHslpConfig->SuplHslp;
    std::memcpy(out, m_strSupl_Address.data(), m_strSupl_Address.size());
    out += m_strSupl_Address.size();
    *out++ = ':';
    std::memcpy(out, m_strSupl_Port_Number.data(), m_strSupl_Port_Number.size());
    out[m_strSupl_Port_Number.size()] = '\0';
    return S_OK;
}

HRESULT SUPLConfiguration::GetSUPLVersion(GNSS_SUPL_VERSION* pSuplVersion) {
    if (pSuplVersion == nullptr) return E_INVALIDARG;
    if (m_strSupl_Ver_Info.empty()) {
        ReportXmlError(kFnGetSuplVersion, "m_strSupl_Ver_Info is is empty \"0\" or \"1\" ",
                       E_INVALIDARG);
        return E_INVALIDARG;
    }
    // Read as atoi reads (leading blanks, a sign, digits; 0 when none), with
    // out-of-range values saturated rather than undefined.  Anything that is
    // not 0, 1 or 2 -- negative numbers included -- is capped at 2.
    const long value = std::strtol(m_strSupl_Ver_Info.c_str(), nullptr, 10);
    pSuplVersion->MajorVersion = (value < 0 || value > 2) ? 2u : static_cast<ULONG>(value);
    pSuplVersion->MinorVersion = 0;
    return S_OK;
}

NTSTATUS SUPLConfiguration::GetSUPLCert(ULONG index, GNSS_SUPL_CERT_CONFIG* pCertConfig) {
    if (pCertConfig == nullptr) return HRESULT_NT_INVALID_PARAMETER;
    if (index >= m_strSupl_Certificate.size() || m_strSupl_Certificate[index].empty()) {
        ReportXmlError(kFnGetSuplCert, "m_strSupl_Certificate is empty", E_INVALIDARG);
        return HRESULT_NT_INVALID_PARAMETER;
    }
    if (pCertConfig->CertSize > kMaxCertificate) {
        ReportXmlError(kFnGetSuplCert, "CertSize is larger than 4096. Error:", E_INVALIDARG);
        return HRESULT_NT_INVALID_PARAMETER;
    }
    const std::string& certificate = m_strSupl_Certificate[index];
    // CertData has room for CertSize + 1 bytes, the terminating zero included.
    BYTE* data = pCertConfig->CertData;
    std::size_t copied = 0;
    if (certificate.size() <= kMaxCertificate) {
        copied = std::min<std::size_t>(certificate.size(), pCertConfig->CertSize);
        std::memcpy(data, certificate.data(), copied);
    }
    data[copied] = 0;
    return 0;
}
