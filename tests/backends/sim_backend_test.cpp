// The simulated modem behind the USB function, in this process.
#include <gtest/gtest.h>

#include <algorithm>

#include "BackendTest.h"
#include "gnss/platform/sim_usb_backend.h"

namespace gnss::test {
namespace {

using fw::kBulkInEndpoint;
using fw::kBulkOutEndpoint;
using fw::SimUsbBackend;

std::shared_ptr<SimUsbBackend> MakeSim(const std::string& options) {
    std::string error;
    auto sim = SimUsbBackend::Create(options, error);
    EXPECT_TRUE(sim) << error;
    return sim;
}

TEST(SimBackend, TheControlLineRequestSetsTheModemsLinesAndNothingElseReachesIt) {
    auto sim = MakeSim("");
    ASSERT_TRUE(sim);
    const unsigned before = sim->Modem().Status().controlLineRequests;

    ULONG transferred = 99;
    EXPECT_EQ(sim->ControlTransfer(ControlLineRequest(0x0000), nullptr, 0, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, 0u);
    EXPECT_FALSE(sim->Modem().Status().dtr);
    EXPECT_FALSE(sim->Modem().Status().rts);

    EXPECT_EQ(sim->ControlTransfer(ControlLineRequest(0x0001), nullptr, 0, &transferred), STATUS_SUCCESS);
    EXPECT_TRUE(sim->Modem().Status().dtr);
    EXPECT_FALSE(sim->Modem().Status().rts);

    EXPECT_EQ(sim->ControlTransfer(ControlLineRequest(0x0003), nullptr, 0, &transferred), STATUS_SUCCESS);
    EXPECT_TRUE(sim->Modem().Status().dtr);
    EXPECT_TRUE(sim->Modem().Status().rts);

    // SET_LINE_CODING, the request to another interface, and one with a data
    // stage are refused before the modem sees them.
    std::uint8_t coding[7] = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
    EXPECT_EQ(sim->ControlTransfer({0x21, 0x20, 0, 0, 7}, coding, sizeof coding, &transferred),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sim->ControlTransfer({0x21, 0x22, 0x0003, 1, 0}, nullptr, 0, &transferred),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim->ControlTransfer({0x21, 0x22, 0x0003, 0, 7}, coding, sizeof coding, &transferred),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim->Modem().Status().controlLineRequests, before + 3);
}

TEST(SimBackend, ACommandAndItsAnswerTravelThroughTheBulkPipes) {
    auto sim = MakeSim("echo=off");
    ASSERT_TRUE(sim);
    ULONG written = 0;
    ASSERT_EQ(Write(*sim, "AT+CIMI\r\n", &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 9u);
    const Collected answer = ReadUntil(*sim, EndsWithOk());
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.text, "\r\n001010123456789\r\n\r\nOK\r\n");
    EXPECT_EQ(sim->Modem().ReceivedBytes(), "AT+CIMI\r\n");

    // Nothing to write, or the wrong pipe: refused, and the modem gets nothing.
    written = 77;
    EXPECT_FALSE(NT_SUCCESS(sim->WritePipe(kBulkOutEndpoint, reinterpret_cast<const std::uint8_t*>("x"), 0, &written)));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(sim->WritePipe(kBulkInEndpoint, reinterpret_cast<const std::uint8_t*>("AT\r"), 3, &written),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim->Modem().ReceivedBytes(), "AT+CIMI\r\n");
}

TEST(SimBackend, AReadMovesAtMostOneTransferWhateverTheBuffer) {
    // The echo of a command line of the longest length is one block of 1026
    // bytes; a 4096-byte buffer still gets it in two reads.
    auto sim = MakeSim("");
    ASSERT_TRUE(sim);
    const std::string line = "AT" + std::string(1022, 'Z');
    ASSERT_EQ(Write(*sim, line + "\r"), STATUS_SUCCESS);
    const Collected out = ReadUntil(*sim, EndsWithOk(), 4096);
    ASSERT_EQ(out.status, STATUS_SUCCESS);
    ASSERT_FALSE(out.chunks.empty());
    EXPECT_EQ(out.chunks.front(), fw::kReadChunkBytes);
    EXPECT_LE(*std::max_element(out.chunks.begin(), out.chunks.end()), fw::kReadChunkBytes);
    EXPECT_TRUE(out.text.starts_with(line + "\r\n")) << out.text.substr(0, 40);

    // Under the split fault every read returns a few bytes, and none is lost.
    auto split = MakeSim("echo=off,fault=split:5");
    ASSERT_TRUE(split);
    ASSERT_EQ(Write(*split, "AT+CIMI\r\n"), STATUS_SUCCESS);
    const Collected pieces = ReadUntil(*split, EndsWithOk());
    EXPECT_EQ(pieces.text, "\r\n001010123456789\r\n\r\nOK\r\n");
    EXPECT_LE(*std::max_element(pieces.chunks.begin(), pieces.chunks.end()), 5u);
}

TEST(SimBackend, CancelReadEndsTheReadInProgressOrTheNextOne) {
    auto sim = MakeSim("echo=off");
    ASSERT_TRUE(sim);
    ReadTracker reads(*sim);

    auto blocked = reads.BeginRead(*sim);
    sim->CancelRead(kBulkInEndpoint);
    EXPECT_EQ(blocked.get(), STATUS_CANCELLED);

    // A cancel with no read in progress ends the next read before it begins,
    // once; the answer waiting meanwhile is not lost.
    sim->CancelRead(kBulkInEndpoint);
    ASSERT_EQ(Write(*sim, "AT\r\n"), STATUS_SUCCESS);
    std::uint8_t byte = 0;
    std::size_t got = 0;
    EXPECT_EQ(sim->ReadPipe(kBulkInEndpoint, &byte, 1, &got), STATUS_CANCELLED);
    EXPECT_EQ(got, 0u);
    const Collected answer = ReadUntil(*sim, EndsWithOk());
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.text, "\r\nOK\r\n");
}

TEST(SimBackend, AnUnpluggedModemFailsEveryTransferAndIsReportedOnce) {
    // The modem drops off the bus when it receives AT+CIMI, while a read waits.
    auto sim = MakeSim("echo=off,fault=unplug:on:AT+CIMI");
    ASSERT_TRUE(sim);
    RemovalCounter removals(*sim);
    ReadTracker reads(*sim);
    auto blocked = reads.BeginRead(*sim);
    EXPECT_EQ(Write(*sim, "AT+CIMI\r\n"), STATUS_SUCCESS);
    EXPECT_EQ(blocked.get(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(removals.Count(), 1);

    std::uint8_t buffer[16];
    std::size_t n = 5;
    EXPECT_EQ(sim->ReadPipe(kBulkInEndpoint, buffer, sizeof buffer, &n), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(n, 0u);
    ULONG written = 5;
    EXPECT_EQ(Write(*sim, "AT\r\n", &written), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(written, 0u);
    ULONG transferred = 0;
    EXPECT_EQ(sim->ControlTransfer(ControlLineRequest(3), nullptr, 0, &transferred), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(removals.Count(), 1);

    // With no read going on, the write is the one that notices.
    auto other = MakeSim("");
    ASSERT_TRUE(other);
    RemovalCounter otherRemovals(*other);
    other->Modem().Unplug();
    EXPECT_EQ(Write(*other, "AT\r\n", &written), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(otherRemovals.Count(), 1);
    EXPECT_EQ(other->ReadPipe(kBulkInEndpoint, buffer, sizeof buffer, &n), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(otherRemovals.Count(), 1);
}

}  // namespace
}  // namespace gnss::test
