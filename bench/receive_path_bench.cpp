// The receive path and the position report parser on realistic modem output:
// position reports of every shape with their satellites, and NMEA blocks, as
// the simulated modem formats them.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "at/PositionReport.h"
#include "at/ReceivePath.h"
#include "engine/EngineState.h"
#include "gnss/sim/receiver.h"
#include "gnss/sim/report.h"

namespace {

constexpr std::int64_t kStart = 1733400000;  // a fixed instant: the same output every run

std::vector<std::string> Reports(gnss::sim::ReportShape shape, int count) {
    const gnss::sim::SyntheticReceiver receiver(gnss::sim::DefaultModemOptions());
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i)
        lines.push_back(gnss::sim::FormatPositionReport(receiver.At(kStart + i).fix, shape, 1));
    return lines;
}

// One minute of a tracking session with NMEA, framed as the modem sends it.
std::string Stream() {
    const gnss::sim::SyntheticReceiver receiver(gnss::sim::DefaultModemOptions());
    std::string stream;
    for (int i = 0; i < 60; ++i) {
        const gnss::sim::Epoch epoch = receiver.At(kStart + i);
        stream += "\r\n" + gnss::sim::FormatPositionReport(epoch.fix, gnss::sim::ReportShape::Ellipsoid, 1) +
                  "\r\n\r\nOK\r\n";
        for (const std::string& sentence : epoch.nmea) stream += "\r\n" + sentence + "\r\n";
        stream += "\r\nOK\r\n";
    }
    return stream;
}

void ParsePositionReport(benchmark::State& state) {
    const auto lines = Reports(static_cast<gnss::sim::ReportShape>(state.range(0)), 64);
    std::size_t i = 0, bytes = 0;
    GNSS_FIXDATA record;
    for (auto _ : state) {
        record = GNSS_FIXDATA{};
        const std::string& line = lines[i++ % lines.size()];
        benchmark::DoNotOptimize(ParseXLCSLSR(line.c_str(), &record));
        bytes += line.size();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ParsePositionReport)->DenseRange(0, 3)->ArgName("shape");

// The stream in USB transfers of the given size; the posted fixes and NMEA
// blocks are freed as the client thread would.
void ReceiveModemStream(benchmark::State& state) {
    const std::string stream = Stream();
    const std::size_t chunk = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            const std::size_t n = std::min(chunk, stream.size() - at);
            atclient_ReceivedModemData(reinterpret_cast<const BYTE*>(stream.data() + at), static_cast<ULONG>(n));
        }
        while (INTERNAL_EVENT* event = TakeInternalEvent()) {
            std::free(event->pParam);
            FreeInternalEvent(event);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(ReceiveModemStream)->Arg(1024)->Arg(64)->Arg(1)->ArgName("transfer");

}  // namespace
