#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>

#include "gnss/protocol/gnss_ddi.h"
#include "gnss/protocol/status.h"

namespace {

// The bytes a record occupies on the wire.
template <class T>
std::array<BYTE, sizeof(T)> ToWire(const T& record) {
    std::array<BYTE, sizeof(T)> bytes{};
    std::memcpy(bytes.data(), &record, sizeof(T));
    return bytes;
}

// A value read back from the wire at a byte offset, as a reader on the other
// side of the socket sees it.
template <class V, std::size_t N>
V At(const std::array<BYTE, N>& bytes, std::size_t offset) {
    V value{};
    std::memcpy(&value, bytes.data() + offset, sizeof(V));
    return value;
}

template <class T>
T Zeroed() {
    T record;
    std::memset(&record, 0, sizeof(T));
    return record;
}

}  // namespace

TEST(GnssControlCodes, AreBufferedAnyAccessCodesOfTheDocumentedFunctions) {
    struct Row {
        ULONG code;
        ULONG function;
    };
    const Row rows[] = {
        {IOCTL_GNSS_SEND_PLATFORM_CAPABILITY, 0x001},
        {IOCTL_GNSS_GET_DEVICE_CAPABILITY, 0x002},
        {IOCTL_GNSS_SEND_DRIVERCOMMAND, 0x003},
        {IOCTL_GNSS_START_FIXSESSION, 0x010},
        {IOCTL_GNSS_MODIFY_FIXSESSION, 0x011},
        {IOCTL_GNSS_STOP_FIXSESSION, 0x012},
        {IOCTL_GNSS_GET_FIXDATA, 0x013},
        {IOCTL_GNSS_INJECT_AGNSS, 0x020},
        {IOCTL_GNSS_LISTEN_AGNSS, 0x030},
        {IOCTL_GNSS_LISTEN_ERROR, 0x031},
        {IOCTL_GNSS_LISTEN_NI, 0x040},
        {IOCTL_GNSS_SET_SUPL_HSLP, 0x041},
        {IOCTL_GNSS_CONFIG_SUPL_CERT, 0x042},
        {IOCTL_GNSS_RESPOND_NI, 0x043},
        {IOCTL_GNSS_EXECUTE_CWTEST, 0x044},
        {IOCTL_GNSS_EXECUTE_SELFTEST, 0x045},
        {IOCTL_GNSS_GET_CHIPSETINFO, 0x046},
        {IOCTL_GNSS_LISTEN_NMEA, 0x047},
        {IOCTL_GNSS_SET_V2UPL_CONFIG, 0x048},
        {IOCTL_GNSS_CREATE_GEOFENCE, 0x050},
        {IOCTL_GNSS_DELETE_GEOFENCE, 0x051},
        {IOCTL_GNSS_LISTEN_GEOFENCE_ALERT, 0x052},
        {IOCTL_GNSS_LISTEN_GEOFENCES_TRACKINGSTATUS, 0x053},
        {IOCTL_GNSS_LISTEN_DRIVER_REQUEST, 0x060},
        {IOCTL_GNSS_START_BREADCRUMBING, 0x070},
        {IOCTL_GNSS_STOP_BREADCRUMBING, 0x071},
        {IOCTL_GNSS_LISTEN_BREADCRUMBING_ALERT, 0x072},
        {IOCTL_GNSS_POP_BREADCRUMBS, 0x073},
    };
    std::set<ULONG> seen;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << row.code);
        EXPECT_EQ(row.code >> 16, 0x22u) << "device type";
        EXPECT_EQ((row.code >> 14) & 0x3u, 0u) << "FILE_ANY_ACCESS";
        EXPECT_EQ((row.code >> 2) & 0xFFFu, row.function) << "function";
        EXPECT_EQ(row.code & 0x3u, 0u) << "METHOD_BUFFERED";
        EXPECT_TRUE(seen.insert(row.code).second) << "duplicate code";
    }
}

TEST(GnssDeviceInterface, GuidFormatsAsPublished) {
    char text[40];
    gnss::FormatGuid(GUID_DEVINTERFACE_GNSS, text, sizeof text);
    EXPECT_EQ(std::string(text), "{3336E5E4-018A-4669-84C5-BD05F3BD368B}");
}

TEST(GnssEventLayout, FixDataFilledThroughTheEventLandsAtItsWireOffsets) {
    auto event = Zeroed<GNSS_EVENT>();
    event.Size = sizeof(GNSS_EVENT);
    event.Version = GNSS_INTERFACE_VERSION;
    event.EventType = GNSS_Event_FixAvailable;
    event.EventDataSize = sizeof(GNSS_FIXDATA);
    GNSS_FIXDATA& fix = event.FixData;
    fix.FixSessionID = 0x11223344;
    fix.FixTimeStamp = gnss::U64ToFileTime(0x01DA6ECB'12345678ULL);
    fix.FixStatus = STATUS_NOT_FOUND;
    fix.FixLevelOfDetails = GNSS_FIXDETAIL_BASIC | GNSS_FIXDETAIL_ACCURACY | GNSS_FIXDETAIL_SATELLITE;
    fix.BasicData.Latitude = 47.3769;
    fix.BasicData.Heading = 271.5;
    fix.AccuracyData.HorizontalAccuracy = 12;
    fix.AccuracyData.VerticalDilutionOfPrecision = 1.5f;
    fix.SatelliteData.SatelliteCount = GNSS_MAXSATELLITE;
    fix.SatelliteData.SatelliteArray[0].SatelliteId = 7;
    fix.SatelliteData.SatelliteArray[63].UsedInPositiong = TRUE;
    fix.SatelliteData.SatelliteArray[63].SignalToNoiseRatio = 42.25;

    const auto wire = ToWire(event);
    EXPECT_EQ(At<ULONG>(wire, 0), 2736u);
    EXPECT_EQ(At<ULONG>(wire, 4), 3u);
    EXPECT_EQ(At<ULONG>(wire, 8), 1u);
    EXPECT_EQ(At<ULONG>(wire, 12), 2208u);
    for (std::size_t i = 16; i < 528; ++i) ASSERT_EQ(wire[i], 0) << "unused byte " << i;

    constexpr std::size_t kFix = 528;
    EXPECT_EQ(At<ULONG>(wire, kFix + 8), 0x11223344u);
    EXPECT_EQ(gnss::FileTimeToU64(At<FILETIME>(wire, kFix + 12)), 0x01DA6ECB'12345678ULL);
    EXPECT_EQ(At<NTSTATUS>(wire, kFix + 24), STATUS_NOT_FOUND);
    EXPECT_EQ(At<ULONG>(wire, kFix + 28), 7u);
    EXPECT_EQ(At<DOUBLE>(wire, kFix + 32 + 8), 47.3769);
    EXPECT_EQ(At<DOUBLE>(wire, kFix + 32 + 40), 271.5);
    EXPECT_EQ(At<ULONG>(wire, kFix + 80 + 8), 12u);
    EXPECT_EQ(At<FLOAT>(wire, kFix + 80 + 60), 1.5f);
    EXPECT_EQ(At<ULONG>(wire, kFix + 144 + 8), 64u);
    EXPECT_EQ(At<ULONG>(wire, kFix + 144 + 16), 7u);
    // The last satellite's signal-to-noise ratio fills the last eight bytes.
    EXPECT_EQ(At<BOOL>(wire, kFix + 144 + 16 + 63 * 32 + 4), TRUE);
    EXPECT_EQ(At<DOUBLE>(wire, sizeof(GNSS_EVENT) - 8), 42.25);
}

TEST(GnssEventLayout, ServiceStatusAndNmeaDataShareTheEventDataArea) {
    auto event = Zeroed<GNSS_EVENT>();
    event.EventType = GNSS_Event_Custom;
    event.EventDataSize = sizeof(GNSS_SERVICE_STATUS_EVENT);
    const GNSS_SERVICE_STATUS_EVENT status{sizeof(GNSS_SERVICE_STATUS_EVENT), GNSS_INTERFACE_VERSION,
                                           GNSS_CUSTOM_EVENT_SERVICE_STATUS, 1};
    std::memcpy(event.CustomData, &status, sizeof status);

    auto wire = ToWire(event);
    EXPECT_EQ(At<ULONG>(wire, 8), 0x8000u);
    EXPECT_EQ(At<ULONG>(wire, 528), 16u);
    EXPECT_EQ(At<ULONG>(wire, 532), 3u);
    EXPECT_EQ(At<ULONG>(wire, 536), 1u);
    EXPECT_EQ(At<ULONG>(wire, 540), 1u);

    // The same area read back as NMEA data by a receiver of the bytes.
    const char sentence[] = "$GPGGA,070809,4722.614,N,00832.502,E,1,08,0.9,408,M,,,,*47\r\n";
    event = Zeroed<GNSS_EVENT>();
    event.EventType = GNSS_Event_NmeaData;
    event.NmeaData.Size = sizeof(GNSS_NMEA_DATA);
    std::memcpy(event.NmeaData.NmeaSentences, sentence, sizeof sentence);
    wire = ToWire(event);
    GNSS_EVENT received;
    std::memcpy(&received, wire.data(), wire.size());
    EXPECT_EQ(received.EventType, GNSS_Event_NmeaData);
    EXPECT_EQ(received.NmeaData.Size, 264u);
    EXPECT_STREQ(received.NmeaData.NmeaSentences, sentence);
    EXPECT_EQ(std::memcmp(wire.data() + 536, sentence, sizeof sentence), 0);
}

TEST(GnssRequestLayout, ParameterWordsSitWhereTheDriverReadsThem) {
    // Single-shot response time and continuous interval are the same word.
    auto session = Zeroed<GNSS_FIXSESSION_PARAM>();
    session.SessionType = GNSS_FixSession_SingleShot;
    session.SingleShotParam.ResponseTime = 30;
    auto wire = ToWire(session);
    EXPECT_EQ(At<INT>(wire, 12), 1);
    EXPECT_EQ(At<ULONG>(wire, 72), 30u);
    session.SessionType = GNSS_FixSession_ContinuousTracking;
    session.ContinuousParam.PreferredInterval = 5;
    wire = ToWire(session);
    EXPECT_EQ(At<INT>(wire, 12), 3);
    EXPECT_EQ(At<ULONG>(wire, 72), 5u);

    // A SUPL version command carries its pair right after the unused bytes.
    auto command = Zeroed<GNSS_DRIVERCOMMAND_PARAM>();
    command.CommandType = GNSS_SetSuplVersion;
    command.CommandDataSize = sizeof(GNSS_SUPL_VERSION);
    const GNSS_SUPL_VERSION version{2, 0};
    std::array<BYTE, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData) + sizeof version> request{};
    std::memcpy(request.data(), &command, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData));
    std::memcpy(request.data() + 532, &version, sizeof version);
    EXPECT_EQ(At<INT>(request, 8), 12);
    EXPECT_EQ(At<ULONG>(request, 16), 8u);
    EXPECT_EQ(At<GNSS_SUPL_VERSION>(request, 532).MajorVersion, 2u);

    // A command type the interface does not name survives the trip intact.
    command.CommandType = static_cast<GNSS_DRIVERCOMMAND_TYPE>(0x105);
    const auto commandWire = ToWire(command);
    GNSS_DRIVERCOMMAND_PARAM back;
    std::memcpy(&back, commandWire.data(), commandWire.size());
    EXPECT_EQ(static_cast<INT>(back.CommandType), 0x105);

    // Time injection: status in the header, UTC time inside the union.
    auto inject = Zeroed<GNSS_AGNSS_INJECT>();
    inject.InjectionType = GNSS_AGNSS_TimeInjection;
    inject.InjectionStatus = STATUS_PENDING;
    inject.Time.UtcTime = gnss::U64ToFileTime(0x01DA6ECB'00000001ULL);
    inject.Time.TimeUncertainty = 250;
    const auto injectWire = ToWire(inject);
    EXPECT_EQ(At<INT>(injectWire, 8), 1);
    EXPECT_EQ(At<NTSTATUS>(injectWire, 12), 0x103);
    EXPECT_EQ(gnss::FileTimeToU64(At<FILETIME>(injectWire, 544)), 0x01DA6ECB'00000001ULL);
    EXPECT_EQ(At<ULONG>(injectWire, 552), 250u);

    // NI answer: the user's response is the last word.
    const GNSS_NI_RESPONSE answer{sizeof(GNSS_NI_RESPONSE), 3, 7, GNSS_Ni_UserResponseDeny};
    const auto answerWire = ToWire(answer);
    EXPECT_EQ(At<ULONG>(answerWire, 8), 7u);
    EXPECT_EQ(At<INT>(answerWire, 12), 2);
}
