// Feeds arbitrary modem output through the receive path.  The first byte of
// the input chooses the production test mode (bit 7) and the transfer size
// (the low seven bits, 1 to 127; 0 delivers the rest in one transfer), so the
// fuzzer also explores lines split across transfers.  The seeds are modem
// output as it arrives, which begins with "\r\n": the carriage return (13)
// cuts the rest into transfers of 13 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "at/ReceivePath.h"
#include "engine/EngineState.h"

namespace {

void DrainPostedEvents() {
    while (INTERNAL_EVENT* record = TakeInternalEvent()) {
        std::free(record->pParam);
        FreeInternalEvent(record);
    }
}

void CreateEventsOnce() {
    static const bool created = [] {
        std::lock_guard guard(Engine().handleLock);
        Engine().events.m_hATResponseEvent =
            gnss::os::Event::Create(gnss::os::Event::Mode::AutoReset);
        Engine().events.m_hWaitForStopComplete =
            gnss::os::Event::Create(gnss::os::Event::Mode::AutoReset);
        return true;
    }();
    (void)created;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CreateEventsOnce();
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    ++data;
    --size;

    Engine().m_bProdTestMode = (control & 0x80) != 0 ? 1 : 0;
    // Transfer size 1 to 128, or the whole input at once.
    const std::size_t chunk = (control & 0x7F) == 0 ? size : (control & 0x7F);

    for (std::size_t at = 0; at < size; at += chunk) {
        const std::size_t n = size - at < chunk ? size - at : chunk;
        atclient_ReceivedModemData(data + at, static_cast<ULONG>(n));
        DrainPostedEvents();
    }
    EngineTakeSpectrumResult();  // bounded memory: nothing else takes it here
    // The receive path keeps its state from one input to the next, as it
    // does across transfers; only the bound on that state is checked here.
    const RECEIVE_PATH_STATE& s = ReceivePathState();
    if (s.m_vecRxBuffer.size() > RX_LINE_LIMIT || s.m_dwNmeaBlockLength >= NMEA_BLOCK_SIZE)
        std::abort();
    return 0;
}
