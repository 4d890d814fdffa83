// Whole processes: gnssd with the driver module on the simulated modem, driven
// through gnssctl and the client library.  The self-test, network-initiated
// request answers, assistance data, and the treatment of every control code.
//
// The modem records every byte it receives, so the commands on the wire are
// asserted exactly.  The engine works through its events in order: once a
// later command shows up in the record, an earlier request that sent nothing
// has been dealt with for good.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "GnssdProcess.h"
#include "TempDir.h"
#include "gnss/client/device.h"
#include "gnss/client/requests.h"
#include "gnss/client/structures.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::test {
namespace {

using client::Bytes;
using client::Completion;

constexpr std::size_t kScanOutput = sizeof(GNSS_SELFTESTRESULT) + 8 * 1024;

class GnssdRun : public ::testing::Test {
protected:
    void TearDown() override {
        device_.reset();
        if (gnssd_.Pid() > 0) {
            EXPECT_EQ(gnssd_.Stop(), 0) << gnssd_.Stderr();
        }
    }

    void Start(const std::string& simOptions = {}) {
        std::string modem = "sim:record=" + record_;
        if (!simOptions.empty()) modem += "," + simOptions;
        ASSERT_TRUE(gnssd_.Start(modem)) << gnssd_.Stderr();
        device_ = client::Device::Open(gnssd_.Socket());
    }
    // Switches the location service on and waits for the receiver's report,
    // so that no report is still on its way to a listener of the test.
    void LocationOn() {
        const auto r = gnssd_.Gnssctl({"location", "on"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    Completion Call(std::uint32_t code, const Bytes& input, std::size_t output = 0) {
        return device_->Control(code, input, output);
    }
    Completion StartFix(ULONG id, GNSS_FIXSESSIONTYPE type = GNSS_FixSession_SingleShot,
                        ULONG typeValue = 0) {
        client::FixSessionParameters p;
        p.sessionId = id;
        p.type = type;
        p.typeValue = typeValue;
        return Call(IOCTL_GNSS_START_FIXSESSION, client::BuildFixSession(p));
    }
    Completion GetFix(ULONG id) {
        Bytes input(sizeof id);
        std::memcpy(input.data(), &id, sizeof id);
        return Call(IOCTL_GNSS_GET_FIXDATA, input, sizeof(GNSS_EVENT));
    }
    std::string Record() const { return ReadFile(record_); }
    bool WaitRecord(const std::string& needle, std::size_t count = 1) const {
        return WaitForText(record_, needle, count);
    }
    // Whether the needles appear in the record in this order.
    bool InOrder(const std::vector<std::string>& needles) const {
        const std::string text = Record();
        std::size_t from = 0;
        for (const auto& n : needles) {
            const std::size_t at = text.find(n, from);
            if (at == std::string::npos) return false;
            from = at + n.size();
        }
        return true;
    }

    TempDir dir_;
    GnssdProcess gnssd_{dir_};
    std::string record_ = dir_.File("modem.rec");
    std::unique_ptr<client::Device> device_;
};

class SelfTest : public GnssdRun {};
class NiRequests : public GnssdRun {};
class Assistance : public GnssdRun {};
class Dispatch : public GnssdRun {};

Bytes Text(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// "yy/m/d," of the current UTC date, as the modem's clock command writes it.
std::string TodayForClock() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    return std::to_string(utc.tm_year % 100) + "/" + std::to_string(utc.tm_mon + 1) + "/" +
           std::to_string(utc.tm_mday) + ",";
}

// Test mode closes the fix requests and opens them again; the scan runs only
// in test mode, carries the caller's text and length to the modem, and hands
// back the modem's output, whose length the simulated modem fixes here.
TEST_F(SelfTest, TestModeGatesFixesAndTheScanReturnsTheModemText) {
    // One line of 88 characters: the result is the line's framing (an empty
    // line before it, two after it) and the closing "\r\nOK\r\n", 100 in all.
    std::string line = "noise floor -121.5 dBm peak 1575.420 MHz -112.4 dBm";
    line.resize(88, '.');
    ASSERT_NO_FATAL_FAILURE(Start("spectrum=" + line));
    ASSERT_NO_FATAL_FAILURE(LocationOn());

    const auto outside = gnssd_.Gnssctl({"selftest", "--scan", "abc"});
    EXPECT_EQ(outside.status, 1);
    EXPECT_NE(outside.err.find("STATUS_INTERNAL_ERROR"), std::string::npos) << outside.err;

    const auto on = gnssd_.Gnssctl({"selftest", "--test-mode", "on"});
    ASSERT_EQ(on.status, 0) << on.err;
    const Completion denied = StartFix(1);
    EXPECT_EQ(denied.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(denied.information, 0u);

    // Refused before anything is posted: no text, and a length past the input.
    const Completion empty = Call(IOCTL_GNSS_EXECUTE_SELFTEST, client::BuildSelfTestConfig(3), kScanOutput);
    EXPECT_EQ(empty.status, STATUS_INTERNAL_ERROR);
    EXPECT_EQ(empty.information, 0u);
    Bytes overlong = client::BuildSelfTestConfig(3, Text("abc"));
    const ULONG tooLong = 100;
    std::memcpy(overlong.data() + offsetof(GNSS_SELFTESTCONFIG, InBufLen), &tooLong, sizeof tooLong);
    const Completion past = Call(IOCTL_GNSS_EXECUTE_SELFTEST, overlong, kScanOutput);
    EXPECT_EQ(past.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(past.information, 0u);

    const Completion scan = Call(IOCTL_GNSS_EXECUTE_SELFTEST, client::BuildSelfTestConfig(3, Text("abc")),
                                 kScanOutput);
    ASSERT_EQ(scan.status, STATUS_SUCCESS);
    EXPECT_EQ(scan.information, 637u);
    const client::SelfTestResult result = client::DecodeSelfTestResult(scan.output);
    const std::string expected = "\r\n" + line + "\r\n\r\n\r\nOK\r\n";
    ASSERT_EQ(expected.size(), 100u);
    EXPECT_EQ(result.output, Text(expected));

    // A buffer that cannot hold the text is refused and gets nothing.
    const Completion small = Call(IOCTL_GNSS_EXECUTE_SELFTEST, client::BuildSelfTestConfig(3, Text("abc")),
                                  636);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.information, 0u);

    const auto printed = gnssd_.Gnssctl({"selftest", "--scan", "gps_l1 wide"});
    ASSERT_EQ(printed.status, 0) << printed.err;
    EXPECT_EQ(printed.out, "\n" + line + "\n\n\nOK\n");

    const auto off = gnssd_.Gnssctl({"selftest", "--test-mode", "off"});
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_EQ(StartFix(1).status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitRecord("AT+XLCSLSR"));

    EXPECT_TRUE(InOrder({"at@gnss:prod_test_snr_mode_set(1)\r\n",
                         "at@gnss:npt_spect_ana_string_cmd(1,4,\"abc\")\r\n",
                         "at@gnss:npt_spect_ana_string_cmd(1,4,\"abc\")\r\n",
                         "at@gnss:npt_spect_ana_string_cmd(1,12,\"gps_l1 wide\")\r\n",
                         "at@gnss:prod_test_snr_mode_set(0)\r\n", "AT+XLCSLSR"}))
        << Record();
    EXPECT_EQ(CountOccurrences(Record(), "npt_spect_ana_string_cmd"), 3u);

    const auto usage = gnssd_.Gnssctl({"selftest", "--test-mode", "maybe"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("--test-mode needs on or off"), std::string::npos) << usage.err;
}

// The driver answers test mode at once: a modem that refuses the command is
// not reported, and the gate closes all the same.  A scan whose result never
// comes ends at the driver's bound.
TEST_F(SelfTest, TypeOneSucceedsWhenTheModemRefusesAndALostScanTimesOut) {
    ASSERT_NO_FATAL_FAILURE(Start("fault=error:at@gnss:prod_test"));
    ASSERT_NO_FATAL_FAILURE(LocationOn());
    const auto on = gnssd_.Gnssctl({"selftest", "--test-mode", "on"});
    ASSERT_EQ(on.status, 0) << on.err;
    ASSERT_TRUE(gnssd_.WaitForLog("ERROR: SendATCmdSync(PRODMODE) FAILED"));
    EXPECT_EQ(StartFix(1).status, STATUS_ACCESS_DENIED);

    // The modem is not in test mode and refuses the scan: no result is handed over.
    const auto scan = gnssd_.Gnssctl({"selftest", "--scan", "abc"});
    EXPECT_EQ(scan.status, 1);
    EXPECT_NE(scan.err.find("STATUS_TIMEOUT"), std::string::npos) << scan.err;
    const std::string log = gnssd_.Log();
    EXPECT_NE(log.find("ERROR: SendATCmdSync(SPECTRUM) FAILED"), std::string::npos);
    EXPECT_NE(log.find("ERROR: WaitForSelfResult FAILED"), std::string::npos);
    EXPECT_NE(Record().find("at@gnss:npt_spect_ana_string_cmd(1,4,\"abc\")\r\n"), std::string::npos);
}

TEST_F(NiRequests, AnswersReachTheModemAndAShortAnswerIsRefused) {
    ASSERT_NO_FATAL_FAILURE(Start());
    const auto timeout = gnssd_.Gnssctl({"ni", "--respond", "7", "timeout"});
    EXPECT_EQ(timeout.status, 0) << timeout.err;
    const auto accept = gnssd_.Gnssctl({"ni", "--respond", "7", "accept"});
    EXPECT_EQ(accept.status, 0) << accept.err;
    EXPECT_EQ(accept.out, "NI request 7: accept sent\n");
    EXPECT_EQ(gnssd_.Gnssctl({"ni", "--respond", "7", "deny"}).status, 0);
    ASSERT_TRUE(WaitRecord("AT+XLCSLRMT=0,7\r\n"));
    EXPECT_TRUE(InOrder({"AT+XLCSLRMT=1,7\r\n", "AT+XLCSLRMT=0,7\r\n"})) << Record();
    EXPECT_EQ(CountOccurrences(Record(), "AT+XLCSLRMT"), 2u) << Record();
    EXPECT_NE(gnssd_.Log().find("WARNING: NI Request TIMEOUT, No AT Command"), std::string::npos);

    Bytes shortAnswer = client::BuildNiResponse(7, GNSS_Ni_UserResponseAccept);
    shortAnswer.resize(15);
    const Completion refused = Call(IOCTL_GNSS_RESPOND_NI, shortAnswer);
    EXPECT_EQ(refused.status, STATUS_BUFFER_TOO_SMALL);  // the framework's answer to a short buffer
    EXPECT_EQ(refused.information, 0u);

    EXPECT_EQ(gnssd_.Gnssctl({"ni", "--respond", "7", "maybe"}).status, 2);

    // Nothing raises an NI request here: a listener waits until it is told to stop.
    const auto counted = gnssd_.Gnssctl({"ni", "--listen", "--count", "1", "--timeout", "0.2"});
    EXPECT_EQ(counted.status, 1);
    EXPECT_NE(counted.err.find("0 of 1 NI requests came within 200 ms"), std::string::npos) << counted.err;
    const std::string out = dir_.File("listen.out");
    const Spawned listener = gnssd_.GnssctlAsync({"ni", "--listen"}, out);
    ASSERT_TRUE(gnssd_.WaitForLog("(IOCTL_GNSS_LISTEN_NI)", 2));
    ::kill(listener.pid, SIGINT);
    EXPECT_EQ(WaitExit(listener.pid), 0) << ReadFile(out + ".err");
}

TEST_F(Assistance, TimeInjectionSetsTheModemClockAndOtherInjectionsAreRefused) {
    ASSERT_NO_FATAL_FAILURE(Start());
    // A failed injection is taken and sends nothing.
    const auto failed = gnssd_.Gnssctl({"agnss", "--inject-time", "2024-03-05T07:08:09Z", "--status", "-1"});
    EXPECT_EQ(failed.status, 0) << failed.err;
    EXPECT_NE(gnssd_.Log().find("ERROR: GNSS_AGNSS_TimeInjection Data incorrect"), std::string::npos);
    const Completion position =
        Call(IOCTL_GNSS_INJECT_AGNSS, client::BuildAgnssPositionInjection({}, {}, 0));
    EXPECT_EQ(position.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(position.information, 0u);

    // Another success status: the computer's time instead of the one given.
    const std::string before = TodayForClock();
    const auto pending = gnssd_.Gnssctl({"agnss", "--inject-time", "2024-03-05T07:08:09", "--status", "0x103"});
    EXPECT_EQ(pending.status, 0) << pending.err;
    const auto given = gnssd_.Gnssctl({"agnss", "--inject-time", "2024-03-05T07:08:09Z"});
    EXPECT_EQ(given.status, 0) << given.err;
    ASSERT_TRUE(WaitRecord("AT+CCLK=\"24/3/5,7:8:9\"\r\n"));
    const std::string after = TodayForClock();
    const std::string record = Record();
    EXPECT_EQ(CountOccurrences(record, "AT+CCLK="), 2u) << record;
    const std::size_t first = record.find("AT+CCLK=\"");
    ASSERT_NE(first, std::string::npos);
    const std::string date = record.substr(first + 9, before.size());
    EXPECT_TRUE(date == before || record.substr(first + 9, after.size()) == after) << record;

    for (const char* bad : {"2024-02-30T00:00:00Z", "2024-03-05 07:08:09", "yesterday", "2024-03-05T07:08:09.5Z"}) {
        const auto r = gnssd_.Gnssctl({"agnss", "--inject-time", bad});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("--inject-time needs a UTC time"), std::string::npos) << bad << ": " << r.err;
    }
}

// Clearing stops the running session, clears, and starts the session again.
TEST_F(Assistance, ClearingDuringASessionStopsClearsAndResumes) {
    ASSERT_NO_FATAL_FAILURE(Start("chip=rxa7300"));
    ASSERT_NO_FATAL_FAILURE(LocationOn());
    ASSERT_EQ(StartFix(5, GNSS_FixSession_ContinuousTracking, 1).status, STATUS_SUCCESS);
    ASSERT_EQ(GetFix(5).status, STATUS_SUCCESS);

    const auto clear = gnssd_.Gnssctl({"agnss", "--clear", "blob"});
    ASSERT_EQ(clear.status, 0) << clear.err;
    ASSERT_TRUE(WaitRecord("AT+XLCSLSR", 2)) << Record();
    EXPECT_TRUE(InOrder({"AT+XLCSLSR", "AT+XLSRSTOP=0,1\r\n", "AT+XLGNVRAM=121,0\r\n", "AT+XLCSLSR"}))
        << Record();
    // The first may have been cached before the stop; the second comes from the resumed session.
    for (int i = 0; i < 2; ++i) {
        const Completion fix = GetFix(5);
        ASSERT_EQ(fix.status, STATUS_SUCCESS);
        EXPECT_EQ(client::DecodeEvent(fix.output).type, GNSS_Event_FixAvailable);
    }

    const auto refused = gnssd_.Gnssctl({"agnss", "--clear", "264"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("STATUS_INTERNAL_ERROR"), std::string::npos) << refused.err;
}

// Every control code once, through the socket: each is handled, parked, not
// supported or unknown, and none that has a handler is answered as if it had none.
TEST_F(Dispatch, EveryControlCodeGetsItsTreatment) {
    enum class Treatment { Handled, Parked, NotSupported, Unknown };
    struct Code {
        std::uint32_t code;
        const char* name;
        Treatment treatment;
    };
    using T = Treatment;
    const Code kCodes[] = {
        {0x00220004, "IOCTL_GNSS_SEND_PLATFORM_CAPABILITY", T::Handled},
        {0x00220008, "IOCTL_GNSS_GET_DEVICE_CAPABILITY", T::Handled},
        {0x0022000C, "IOCTL_GNSS_SEND_DRIVERCOMMAND", T::Handled},
        {0x00220040, "IOCTL_GNSS_START_FIXSESSION", T::Handled},
        {0x00220044, "IOCTL_GNSS_MODIFY_FIXSESSION", T::Handled},
        {0x00220048, "IOCTL_GNSS_STOP_FIXSESSION", T::Handled},
        {0x0022004C, "IOCTL_GNSS_GET_FIXDATA", T::Parked},  // its handler finds no fix
        {0x00220080, "IOCTL_GNSS_INJECT_AGNSS", T::Handled},
        {0x002200C0, "IOCTL_GNSS_LISTEN_AGNSS", T::Parked},
        {0x002200C4, "IOCTL_GNSS_LISTEN_ERROR", T::Parked},
        {0x00220100, "IOCTL_GNSS_LISTEN_NI", T::Parked},
        {0x00220104, "IOCTL_GNSS_SET_SUPL_HSLP", T::Handled},
        {0x00220108, "IOCTL_GNSS_CONFIG_SUPL_CERT", T::Handled},
        {0x0022010C, "IOCTL_GNSS_RESPOND_NI", T::Handled},
        {0x00220110, "IOCTL_GNSS_EXECUTE_CWTEST", T::NotSupported},
        {0x00220114, "IOCTL_GNSS_EXECUTE_SELFTEST", T::Handled},
        {0x00220118, "IOCTL_GNSS_GET_CHIPSETINFO", T::Handled},
        {0x0022011C, "IOCTL_GNSS_LISTEN_NMEA", T::Parked},  // nothing cached
        {0x00220120, "IOCTL_GNSS_SET_V2UPL_CONFIG", T::NotSupported},
        {0x00220140, "IOCTL_GNSS_CREATE_GEOFENCE", T::NotSupported},
        {0x00220144, "IOCTL_GNSS_DELETE_GEOFENCE", T::NotSupported},
        {0x00220148, "IOCTL_GNSS_LISTEN_GEOFENCE_ALERT", T::NotSupported},
        {0x0022014C, "IOCTL_GNSS_LISTEN_GEOFENCES_TRACKINGSTATUS", T::NotSupported},
        {0x00220180, "IOCTL_GNSS_LISTEN_DRIVER_REQUEST", T::Parked},
        {0x002201C0, "IOCTL_GNSS_START_BREADCRUMBING", T::Unknown},
        {0x002201C4, "IOCTL_GNSS_STOP_BREADCRUMBING", T::Unknown},
        {0x002201C8, "IOCTL_GNSS_LISTEN_BREADCRUMBING_ALERT", T::Unknown},
        {0x002201CC, "IOCTL_GNSS_POP_BREADCRUMBS", T::Unknown},
        {0x00220119, "IOCTL_UNKNOWN", T::Unknown},
    };
    ASSERT_NO_FATAL_FAILURE(Start());
    // With the receiver on, the gated codes reach their handlers.
    ASSERT_NO_FATAL_FAILURE(LocationOn());

    // Four input bytes (a session id of 1, which has no fix) and room for an
    // event: every handler gets a request it can read, most of them too short
    // to act on.
    const Bytes input = {1, 0, 0, 0};
    std::map<std::uint32_t, std::pair<client::Tag, std::future<Completion>>> sent;
    for (const Code& c : kCodes) {
        auto done = std::make_shared<std::promise<Completion>>();
        std::future<Completion> future = done->get_future();
        const client::Tag tag = device_->ControlAsync(
            c.code, input, sizeof(GNSS_EVENT), [done](Completion&& r) { done->set_value(std::move(r)); });
        sent.emplace(c.code, std::make_pair(tag, std::move(future)));
    }
    // One request at a time: once this is answered, every code above has been dispatched.
    ASSERT_EQ(Call(IOCTL_GNSS_GET_CHIPSETINFO, {}, sizeof(GNSS_CHIPSETINFO)).status, STATUS_SUCCESS);

    const std::string log = gnssd_.Log();
    for (const Code& c : kCodes) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%X", c.code);
        SCOPED_TRACE(c.name);
        auto& [tag, future] = sent.at(c.code);
        EXPECT_NE(log.find(std::string("IoctlCode=") + hex + " (" + c.name + ")"), std::string::npos);
        const bool unknownLine = log.find(std::string("UNKNOWN IOCTL Code IoControlCode=") + hex + "\n") !=
                                 std::string::npos;
        const bool notSupportedLine =
            log.find(std::string("IOCTL not Supported IoControlCode=") + hex + "\n") != std::string::npos;
        if (c.treatment == T::Parked) {
            EXPECT_TRUE(device_->Cancel(tag));
            EXPECT_EQ(future.get().status, STATUS_CANCELLED);
        } else {
            const Completion r = future.get();
            if (c.treatment == T::Handled) {
                EXPECT_NE(r.status, STATUS_NOT_SUPPORTED);
            } else {
                EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
                EXPECT_EQ(r.information, 0u);
            }
        }
        EXPECT_EQ(notSupportedLine, c.treatment == T::NotSupported || c.treatment == T::Unknown);
        EXPECT_EQ(unknownLine, c.treatment == T::Unknown);
    }
}

}  // namespace
}  // namespace gnss::test
