// The engine's reports as the driver hands them to parked requests: fixes,
// NMEA blocks, service status changes and the four listener reports.  The
// engine raises some of these never and the others only for a modem's
// traffic, so each test calls the driver's callback table as the engine
// stored it.
#include <functional>

#include "DriverHarness.h"
#include "GnssState.h"
#include "engine/EngineState.h"

namespace gnss::test {
namespace {

using EngineReports = DriverTest;

// A byte pattern that differs for every report, so no report passes for another.
std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

std::vector<std::uint8_t> EventData(const Completion& c, std::size_t size) {
    const std::size_t at = offsetof(GNSS_EVENT, FixData);
    if (c.output.size() < at + size) return {};
    return std::vector<std::uint8_t>(c.output.begin() + static_cast<std::ptrdiff_t>(at),
                                     c.output.begin() + static_cast<std::ptrdiff_t>(at + size));
}

TEST_F(EngineReports, AFixEventHasTheDriversOwnHeaderAndBlockFieldsAndEachRequestsSession) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();
    const RequestId one = Submit(file, IOCTL_GNSS_GET_FIXDATA, SessionId(1), sizeof(GNSS_EVENT));
    const RequestId two = Submit(file, IOCTL_GNSS_GET_FIXDATA, SessionId(2), sizeof(GNSS_EVENT));
    Drain(file);

    // The parser's record, with header and block fields the driver must not pass on.
    GNSS_FIXDATA fix{};
    fix.Size = 1;
    fix.Version = 9;
    fix.FixSessionID = 99;
    fix.FixTimeStamp = {0x89ABCDEF, 0x01D9};
    fix.IsFinalFix = 0;
    fix.FixStatus = STATUS_UNSUCCESSFUL;
    fix.FixLevelOfDetails = 1;
    fix.BasicData = {1, 1, 47.25, 8.5, 410.0, 1.5, 270.0};
    fix.AccuracyData.Size = 1;
    fix.AccuracyData.HorizontalAccuracy = 12;
    fix.AccuracyData.HorizontalErrorMajorAxis = 9;
    fix.AccuracyData.HorizontalErrorAngle = 45;
    fix.AccuracyData.HeadingConfidence = 1;
    fix.AccuracyData.SpeedAccuracy = 3;
    fix.AccuracyData.HorizontalDilutionOfPrecision = 1.25f;
    fix.SatelliteData.Size = 1;
    fix.SatelliteData.SatelliteCount = 2;
    fix.SatelliteData.SatelliteArray[0] = {5, TRUE, 40.0, 120.0, 38.0};
    fix.SatelliteData.SatelliteArray[1] = {17, FALSE, 10.0, 300.0, 21.0};
    EngineCallbacks().pfnFixDataCb(&fix);

    for (const auto& [id, session] : {std::pair{one, 1u}, std::pair{two, 2u}}) {
        Completion c;
        ASSERT_TRUE(done.Wait(id, &c)) << session;
        ASSERT_EQ(c.status, STATUS_SUCCESS) << session;
        EXPECT_EQ(c.information, sizeof(GNSS_EVENT));
        const auto event = As<GNSS_EVENT>(c);
        EXPECT_EQ(event.Size, 2736u);
        EXPECT_EQ(event.Version, 3u);
        EXPECT_EQ(static_cast<ULONG>(event.EventType), 1u);
        EXPECT_EQ(event.EventDataSize, 2208u);
        const GNSS_FIXDATA& got = event.FixData;
        EXPECT_EQ(got.Size, 2208u);
        EXPECT_EQ(got.Version, 3u);
        EXPECT_EQ(got.FixSessionID, session);
        EXPECT_EQ(got.FixTimeStamp.dwLowDateTime, 0x89ABCDEFu);
        EXPECT_EQ(got.FixTimeStamp.dwHighDateTime, 0x01D9u);
        EXPECT_EQ(got.IsFinalFix, 1);
        EXPECT_EQ(got.FixStatus, STATUS_SUCCESS);
        EXPECT_EQ(got.FixLevelOfDetails, 7u);

        EXPECT_EQ(got.BasicData.Size, 48u);
        EXPECT_EQ(got.BasicData.Version, 3u);
        EXPECT_EQ(got.BasicData.Latitude, 47.25);
        EXPECT_EQ(got.BasicData.Heading, 270.0);

        EXPECT_EQ(got.AccuracyData.Size, 64u);
        EXPECT_EQ(got.AccuracyData.Version, 3u);
        EXPECT_EQ(got.AccuracyData.HorizontalAccuracy, 12u);
        EXPECT_EQ(got.AccuracyData.HorizontalErrorMajorAxis, 9u);
        EXPECT_EQ(got.AccuracyData.HorizontalErrorAngle, 5u);
        EXPECT_EQ(got.AccuracyData.HeadingConfidence, 70u);
        EXPECT_EQ(got.AccuracyData.SpeedAccuracy, 0u);
        EXPECT_EQ(got.AccuracyData.HorizontalDilutionOfPrecision, 1.25f);

        EXPECT_EQ(got.SatelliteData.Size, 2064u);
        EXPECT_EQ(got.SatelliteData.Version, 3u);
        EXPECT_EQ(got.SatelliteData.SatelliteCount, 2u);
        EXPECT_EQ(got.SatelliteData.SatelliteArray[1].SatelliteId, 17u);
        EXPECT_EQ(got.SatelliteData.SatelliteArray[1].SignalToNoiseRatio, 21.0);
    }
}

TEST_F(EngineReports, NmeaListenersGetFullBlocksCutAndAreRefusedSmallBuffers) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();

    // A block whose sentences fill all 256 characters, with nobody listening:
    // it is queued, and handed out with its last character made the end.
    GNSS_NMEA_DATA block{};
    block.Size = sizeof block;
    block.Version = 1;
    for (std::size_t i = 0; i < sizeof block.NmeaSentences; ++i)
        block.NmeaSentences[i] = static_cast<CHAR>('A' + i % 26);
    EngineCallbacks().pfnNmeaDataCb(&block);
    Completion c = Call(file, IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT));
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, sizeof(GNSS_EVENT));
    const auto event = As<GNSS_EVENT>(c);
    EXPECT_EQ(static_cast<ULONG>(event.EventType), 13u);
    EXPECT_EQ(event.EventDataSize, 264u);
    EXPECT_EQ(event.NmeaData.Size, 264u);
    EXPECT_EQ(event.NmeaData.Version, 3u);
    EXPECT_EQ(std::string(event.NmeaData.NmeaSentences, 255), std::string(block.NmeaSentences, 255));
    EXPECT_EQ(event.NmeaData.NmeaSentences[255], '\0');

    // A service status change: a listener whose buffer cannot take the event
    // is refused, and the listeners behind it wait for the next change.
    const RequestId small = Submit(file, IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT) - 1);
    const RequestId first = Submit(file, IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT));
    const RequestId second = Submit(file, IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT));
    Drain(file);
    EngineCallbacks().pfnServiceStatusCb(1);
    ASSERT_TRUE(done.Wait(small, &c));
    EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(c.information, 4u);
    EXPECT_EQ(Count("gpsclient_ServiceStatusCb ERROR: HelperGetOutputBuffer FAILED"), 1u);
    EXPECT_FALSE(done.Done(first));
    EXPECT_FALSE(done.Done(second));

    EngineCallbacks().pfnServiceStatusCb(0);
    for (RequestId id : {first, second}) {
        ASSERT_TRUE(done.Wait(id, &c));
        EXPECT_EQ(c.status, STATUS_SUCCESS);
        const auto custom = As<GNSS_EVENT>(c);
        EXPECT_EQ(static_cast<ULONG>(custom.EventType), 0x8000u);
        GNSS_SERVICE_STATUS_EVENT status{};
        std::memcpy(&status, custom.CustomData, sizeof status);
        EXPECT_EQ(status.Status, 0u);
    }
}

// The error, network-initiated, assistance and driver-request reports each
// answer the first parked request of their code, and only that one.
TEST_F(EngineReports, EachListenerReportAnswersOnlyTheFirstParkedRequestOfItsCode) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();
    const auto callbacks = EngineCallbacks();
    // The event type and data size of each, as the platform reads them.
    struct Listener {
        ULONG code;
        ULONG type;
        std::size_t size;
        std::function<void(void*)> report;
    };
    const std::vector<Listener> listeners = {
        {IOCTL_GNSS_LISTEN_ERROR, 3, 1040,
         [&](void* data) { callbacks.pfnErrInfoCb(static_cast<GNSS_ERRORINFO*>(data)); }},
        {IOCTL_GNSS_LISTEN_NI, 12, 1340,
         [&](void* data) { callbacks.pfnNiReqDataCb(static_cast<GNSS_NI_REQUEST_PARAM*>(data), nullptr); }},
        {IOCTL_GNSS_LISTEN_AGNSS, 2, 16,
         [&](void* data) { callbacks.pfnAssistanceReqCb(static_cast<GNSS_AGNSS_REQUEST_PARAM*>(data)); }},
        {IOCTL_GNSS_LISTEN_DRIVER_REQUEST, 16, 16,
         [&](void* data) { callbacks.pfnDriverRequestCb(static_cast<GNSS_DRIVER_REQUEST_DATA*>(data)); }},
    };
    std::vector<std::pair<RequestId, RequestId>> parked;
    for (const Listener& l : listeners) {
        const RequestId first = Submit(file, l.code, {}, sizeof(GNSS_EVENT));
        parked.emplace_back(first, Submit(file, l.code, {}, sizeof(GNSS_EVENT)));
    }
    Drain(file);

    for (std::size_t i = 0; i < listeners.size(); ++i) {
        const Listener& l = listeners[i];
        std::vector<std::uint8_t> data = Pattern(l.size, static_cast<std::uint8_t>(i + 1));
        l.report(data.data());
        Completion c;
        ASSERT_TRUE(done.Wait(parked[i].first, &c)) << l.code;
        EXPECT_EQ(c.status, STATUS_SUCCESS) << l.code;
        EXPECT_EQ(c.information, sizeof(GNSS_EVENT)) << l.code;
        const auto event = As<GNSS_EVENT>(c);
        EXPECT_EQ(event.Size, 2736u) << l.code;
        EXPECT_EQ(event.Version, 3u) << l.code;
        EXPECT_EQ(static_cast<ULONG>(event.EventType), l.type) << l.code;
        EXPECT_EQ(event.EventDataSize, l.size) << l.code;
        EXPECT_EQ(EventData(c, l.size), data) << l.code;
        // The same code's second request, and every other code's, still wait.
        for (std::size_t j = 0; j < parked.size(); ++j) {
            const bool stillParked = !done.Done(parked[j].second) && (j <= i || !done.Done(parked[j].first));
            EXPECT_TRUE(stillParked) << l.code << " answered " << listeners[j].code;
        }
    }
}

}  // namespace
}  // namespace gnss::test
