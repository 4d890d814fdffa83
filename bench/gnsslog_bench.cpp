// The cost of a log line: with nobody listening (formatting and conversion
// only), with the in-flight recorder, and with an event session as well.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include "DriverEvents.h"
#include "Trace.h"
#include "gnss/platform/eventprovider.h"
#include "gnss/platform/trace.h"

namespace {

void LogLine(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    int session = -1;
    if (mode >= 1) GnssDiagnosticsInitialize();
    if (mode == 1) gnss::trace::RecorderStart();
    if (mode == 2) session = gnss::events::EnableTraceSession(gnss::driver::DriverManifest().guid, {"/dev/null", 0, 0, 0});
    for (auto _ : state)
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s -> IoctlCode=0x%X (%s) InBufLen=%d OutBufLen=%d", TAG_QUEUE,
                "GNSSDriverEvtIoDeviceControl", 0x0022004Cu, "IOCTL_GNSS_GET_FIXDATA", 4, 2736);
    if (session >= 0) gnss::events::DisableTraceSession(session);
    if (mode >= 1) GnssDiagnosticsCleanup();
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(mode == 0 ? "nobody listening" : mode == 1 ? "in-flight recorder" : "recorder and event session");
}
BENCHMARK(LogLine)->DenseRange(0, 2)->ArgName("sinks");

}  // namespace
