#include "Backends.h"

#include <functional>

#include "gnss/platform/usb_loopback.h"
#include "gnss/platform/wdfhost.h"

namespace gnss::host {
namespace {

struct BackendKind {
    const char* name;  // the text before the first ':'
    const char* help;  // one --help line
    bool takesArgument;
    std::function<std::shared_ptr<fw::UsbBackend>(const std::string& argument, std::string& error)>
        create;
};

const std::vector<BackendKind>& Kinds() {
    static const std::vector<BackendKind> kinds = {
        {"loopback", "loopback    the test back-end: a modem function without a modem", false,
         [](const std::string&, std::string&) -> std::shared_ptr<fw::UsbBackend> {
             return std::make_shared<fw::LoopbackUsbBackend>();
         }},
    };
    return kinds;
}

const BackendKind* Find(const std::string& modem, std::string& argument, std::string& error) {
    const auto colon = modem.find(':');
    const std::string name = modem.substr(0, colon);
    argument = colon == std::string::npos ? std::string() : modem.substr(colon + 1);
    for (const auto& kind : Kinds()) {
        if (name != kind.name) continue;
        if (!kind.takesArgument && colon != std::string::npos) {
            error = "the modem back-end '" + name + "' takes no argument";
            return nullptr;
        }
        return &kind;
    }
    error = "unknown modem back-end '" + modem + "' (known:";
    for (const auto& kind : Kinds()) error += std::string(" ") + kind.name;
    error += ")";
    return nullptr;
}

}  // namespace

bool CheckBackendName(const std::string& modem, std::string& error) {
    std::string argument;
    return Find(modem, argument, error) != nullptr;
}

std::shared_ptr<fw::UsbBackend> CreateUsbBackend(const std::string& modem, std::string& error) {
    std::string argument;
    const BackendKind* kind = Find(modem, argument, error);
    if (kind == nullptr) return nullptr;
    auto backend = kind->create(argument, error);
    if (!backend && error.empty()) error = "the modem back-end '" + modem + "' cannot be opened";
    return backend;
}

std::string BackendsHelp() {
    std::string text;
    for (const auto& kind : Kinds()) text += std::string("                           ") + kind.help + "\n";
    return text;
}

}  // namespace gnss::host
