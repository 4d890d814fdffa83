// gnssd: the framework host of the GNSS driver.
#include <cstdio>
#include <string>

#include "DriverEvents.h"
#include "HostOptions.h"
#include "Trace.h"
#include "gnss/platform/eventprovider.h"
#include "gnss/platform/trace.h"
#include "gnss_driver_version.h"

int main(int argc, char** argv) {
    gnss::host::HostOptions options;
    std::string error;
    if (!gnss::host::ParseHostOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "gnssd: %s\n%s", error.c_str(), gnss::host::HostUsage());
        return 2;
    }
    if (options.help) {
        std::fputs(gnss::host::HostUsage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("gnssd %s\n", GNSS_DRIVER_VERSION_TEXT);
        return 0;
    }

    if (!gnss::trace::StartRealtimeSession({options.logFile, options.logLevel, 0xFFFF})) {
        std::fprintf(stderr, "gnssd: cannot open log file '%s'\n", options.logFile.c_str());
        return 1;
    }
    int eventSession = -1;
    if (!options.eventsFile.empty()) {
        eventSession = gnss::events::EnableTraceSession(
            gnss::driver::DriverManifest().guid,
            {options.eventsFile, options.eventsLevel, options.eventsKeywords, 0});
        if (eventSession < 0) {
            std::fprintf(stderr, "gnssd: cannot open event file '%s'\n", options.eventsFile.c_str());
            return 1;
        }
    }

    // The driver's diagnostics come up first and go down last.
    GnssDiagnosticsInitialize();
    GnssLogVersionBanner();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s diagnostics up: trace level %u, event session %s", TAG_DRIVER,
            __func__, options.logLevel, eventSession >= 0 ? "on" : "off");
    GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: no device framework yet, nothing to serve",
            TAG_DRIVER, __func__);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s diagnostics down", TAG_DRIVER, __func__);
    GnssDiagnosticsCleanup();

    gnss::events::DisableAllTraceSessions();
    gnss::trace::StopRealtimeSession();
    return 0;
}
