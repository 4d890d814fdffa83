// Builders and decoders of the published structures, and the names of codes
// and command types.
#include <cstring>

#include <gtest/gtest.h>

#include "gnss/client/host_status.h"
#include "gnss/client/names.h"
#include "gnss/client/structures.h"

namespace gnss::client {
namespace {

template <class T>
T As(const Bytes& bytes) {
    EXPECT_GE(bytes.size(), sizeof(T));
    T value;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

template <class T>
Bytes BytesOf(const T& value, std::size_t size = sizeof(T)) {
    Bytes bytes(std::max(size, sizeof(T)), 0);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

TEST(ClientStructures, DriverCommandsCarryTheirDataAfterTheFixedPart) {
    const Bytes byte = BuildDriverCommand(GNSS_SetLocationServiceEnabled, Bytes{1});
    ASSERT_EQ(byte.size(), sizeof(GNSS_DRIVERCOMMAND_PARAM));
    const auto p = As<GNSS_DRIVERCOMMAND_PARAM>(byte);
    EXPECT_EQ(p.Size, 536u);
    EXPECT_EQ(p.Version, 3u);
    EXPECT_EQ(p.CommandType, GNSS_SetLocationServiceEnabled);
    EXPECT_EQ(p.CommandDataSize, 1u);
    EXPECT_EQ(byte[532], 1);

    // Eight bytes of a SUPL version run past the structure's one-byte array.
    const Bytes eight = BuildDriverCommand(GNSS_SetSuplVersion, Bytes{2, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(eight.size(), 540u);
    EXPECT_EQ(As<GNSS_DRIVERCOMMAND_PARAM>(eight).CommandDataSize, 8u);
    GNSS_SUPL_VERSION v;
    std::memcpy(&v, eight.data() + 532, sizeof v);
    EXPECT_EQ(v.MajorVersion, 2u);
    EXPECT_EQ(v.MinorVersion, 0u);

    const Bytes value = BuildDriverCommandValue(GNSS_ClearAgnssData, 263);
    EXPECT_EQ(As<GNSS_DRIVERCOMMAND_PARAM>(value).CommandDataSize, 4u);
    std::uint32_t data;
    std::memcpy(&data, value.data() + 532, 4);
    EXPECT_EQ(data, 263u);
    EXPECT_EQ(As<GNSS_DRIVERCOMMAND_PARAM>(BuildDriverCommand(GNSS_ResetEngine)).CommandDataSize, 0u);
}

TEST(ClientStructures, FixSessionParametersLandInTheTypesOwnBlock) {
    const Bytes tracking = BuildFixSession({7, GNSS_FixSession_ContinuousTracking, 50, 95,
                                            GNSS_FIXDETAIL_BASIC, 5});
    const auto p = As<GNSS_FIXSESSION_PARAM>(tracking);
    EXPECT_EQ(p.Size, 588u);
    EXPECT_EQ(p.FixSessionID, 7u);
    EXPECT_EQ(p.SessionType, GNSS_FixSession_ContinuousTracking);
    EXPECT_EQ(p.HorizontalAccuracy, 50u);
    EXPECT_EQ(p.HorizontalConfidence, 95u);
    EXPECT_EQ(p.FixLevelOfDetails, GNSS_FIXDETAIL_BASIC);
    EXPECT_EQ(p.ContinuousParam.Size, 12u);
    EXPECT_EQ(p.ContinuousParam.PreferredInterval, 5u);
    const auto lkg = As<GNSS_FIXSESSION_PARAM>(BuildFixSession({8, GNSS_FixSession_LKG}));
    EXPECT_EQ(lkg.LkgFixParam.Size, 8u);
    const auto stop = As<GNSS_STOPFIXSESSION_PARAM>(BuildStopFixSession(7));
    EXPECT_EQ(stop.Size, 524u);
    EXPECT_EQ(stop.FixSessionID, 7u);
}

TEST(ClientStructures, TextsAreBoundedAndNulTerminated) {
    const auto hslp = As<GNSS_SUPL_HSLP_CONFIG>(BuildSuplHslp("supl.example.net:7275"));
    EXPECT_STREQ(hslp.SuplHslp, "supl.example.net:7275");
    EXPECT_STREQ(hslp.SuplHslpFromImsi, "");
    EXPECT_NO_THROW(BuildSuplHslp(std::string(259, 'h')));
    EXPECT_THROW(BuildSuplHslp(std::string(260, 'h')), FormatError);
    EXPECT_THROW(BuildSuplHslp(std::string("a\0b", 3)), FormatError);

    const Bytes cert = BuildSuplCert(GNSS_Supl_Cert_Inject, "root.der", Bytes(100, 0xCE));
    ASSERT_EQ(cert.size(), 788u + 100u);
    const auto c = As<GNSS_SUPL_CERT_CONFIG>(cert);
    EXPECT_EQ(c.CertAction, GNSS_Supl_Cert_Inject);
    EXPECT_STREQ(c.SuplCertName, "root.der");
    EXPECT_EQ(c.CertSize, 100u);
    EXPECT_EQ(cert.back(), 0xCE);
    EXPECT_EQ(BuildSuplCert(GNSS_Supl_Cert_Purge, "").size(), 792u);
}

TEST(ClientStructures, InjectionsSelfTestsAndNiResponses) {
    const auto time = As<GNSS_AGNSS_INJECT>(BuildAgnssTimeInjection(U64ToFileTime(0x01D0000012345678ull), 250));
    EXPECT_EQ(time.Size, 664u);
    EXPECT_EQ(time.InjectionType, GNSS_AGNSS_TimeInjection);
    EXPECT_EQ(time.InjectionStatus, STATUS_SUCCESS);
    EXPECT_EQ(time.InjectionDataSize, 20u);
    EXPECT_EQ(FileTimeToU64(time.Time.UtcTime), 0x01D0000012345678ull);
    EXPECT_EQ(time.Time.TimeUncertainty, 250u);

    const Bytes blob = BuildAgnssBlobInjection(1, 2, GNSS_AGNSSFORMAT_LTO, Bytes(300, 0xB1));
    ASSERT_EQ(blob.size(), 536u + 24u + 300u);
    EXPECT_EQ(As<GNSS_AGNSS_INJECT>(blob).BlobData.BlobSize, 300u);
    EXPECT_EQ(As<GNSS_AGNSS_INJECT>(blob).InjectionDataSize, 324u);

    const Bytes test = BuildSelfTestConfig(3, Bytes{'1', ',', '2', 0});
    ASSERT_EQ(test.size(), 532u);
    EXPECT_EQ(As<GNSS_SELFTESTCONFIG>(test).InBufLen, 4u);
    EXPECT_EQ(test[528], '1');

    const auto ni = As<GNSS_NI_RESPONSE>(BuildNiResponse(42, GNSS_Ni_UserResponseDeny));
    EXPECT_EQ(ni.Size, 16u);
    EXPECT_EQ(ni.RequestId, 42u);
    EXPECT_EQ(ni.UserResponse, GNSS_Ni_UserResponseDeny);
}

TEST(ClientStructures, InformationStructuresAreDecodedOrRefused) {
    GNSS_DEVICE_CAPABILITY cap{};
    cap.Size = 604;
    cap.SupportContinuousTracking = 1;
    cap.SupportedSuplVersion = {2, 0};
    EXPECT_EQ(DecodeDeviceCapability(BytesOf(cap)).SupportedSuplVersion.MajorVersion, 2u);
    EXPECT_THROW(DecodeDeviceCapability(Bytes(603)), FormatError);

    GNSS_CHIPSETINFO info{};
    info.Size = 660;
    const std::u16string maker = u"Tavrin \u00e9\U0001F6F0";  // Latin-1 and a surrogate pair
    std::copy(maker.begin(), maker.end(), info.ManufacturerID);
    for (int i = 0; i < 25; ++i) info.HardwareID[i] = u'H';  // no NUL: bounded by the array
    const ChipsetInfo decoded = DecodeChipsetInfo(BytesOf(info));
    EXPECT_EQ(decoded.manufacturerId, "Tavrin \xC3\xA9\xF0\x9F\x9B\xB0");
    EXPECT_EQ(decoded.hardwareId, std::string(25, 'H'));
    EXPECT_EQ(decoded.firmwareVersion, "");
    EXPECT_THROW(DecodeChipsetInfo(Bytes(4)), FormatError);

    Bytes result(536 + 5, 0);
    const ULONG outLen = 5;
    std::memcpy(result.data() + offsetof(GNSS_SELFTESTRESULT, OutBufLen), &outLen, 4);
    std::memcpy(result.data() + 536, "scan", 5);
    EXPECT_EQ(DecodeSelfTestResult(result).output, (Bytes{'s', 'c', 'a', 'n', 0}));
    result.pop_back();
    EXPECT_THROW(DecodeSelfTestResult(result), FormatError);
}

GNSS_EVENT Event(GNSS_EVENT_TYPE type, ULONG dataSize) {
    GNSS_EVENT e{};
    e.Size = sizeof(GNSS_EVENT);
    e.Version = 3;
    e.EventType = type;
    e.EventDataSize = dataSize;
    return e;
}

TEST(ClientStructures, EventsAreDecodedByTheirType) {
    GNSS_EVENT nmea = Event(GNSS_Event_NmeaData, sizeof(GNSS_NMEA_DATA));
    std::strcpy(nmea.NmeaData.NmeaSentences, "$GPGGA,1*00\r\n");
    const auto n = DecodeEvent(BytesOf(nmea));
    ASSERT_TRUE(std::holds_alternative<NmeaData>(n.data));
    EXPECT_EQ(std::get<NmeaData>(n.data).sentences, "$GPGGA,1*00\r\n");

    GNSS_EVENT fix = Event(GNSS_Event_FixAvailable, sizeof(GNSS_FIXDATA));
    fix.FixData.FixSessionID = 3;
    fix.FixData.BasicData.Latitude = 47.5;
    const auto f = DecodeEvent(BytesOf(fix));
    ASSERT_TRUE(std::holds_alternative<GNSS_FIXDATA>(f.data));
    EXPECT_EQ(std::get<GNSS_FIXDATA>(f.data).BasicData.Latitude, 47.5);

    GNSS_EVENT status = Event(GNSS_Event_Custom, sizeof(GNSS_SERVICE_STATUS_EVENT));
    const GNSS_SERVICE_STATUS_EVENT on{16, 3, GNSS_CUSTOM_EVENT_SERVICE_STATUS, 1};
    std::memcpy(status.CustomData, &on, sizeof on);
    const auto s = DecodeEvent(BytesOf(status));
    ASSERT_TRUE(std::holds_alternative<ServiceStatus>(s.data));
    EXPECT_EQ(std::get<ServiceStatus>(s.data).status, 1u);

    GNSS_EVENT custom = Event(GNSS_Event_Custom, 3);
    custom.CustomData[0] = 9;
    const auto c = DecodeEvent(BytesOf(custom));
    ASSERT_TRUE(std::holds_alternative<Bytes>(c.data));
    EXPECT_EQ(std::get<Bytes>(c.data), (Bytes{9, 0, 0}));

    GNSS_EVENT error = Event(GNSS_Event_Error, sizeof(GNSS_ERRORINFO));
    error.ErrorInformation.ErrorCode = 0x80004005u;
    error.ErrorInformation.ErrorDescription[0] = u'x';
    const auto e = DecodeEvent(BytesOf(error));
    ASSERT_TRUE(std::holds_alternative<ErrorInfo>(e.data));
    EXPECT_EQ(std::get<ErrorInfo>(e.data).description, "x");
}

TEST(ClientStructures, EventsThatDoNotHoldTheirDataAreRefused) {
    EXPECT_THROW(DecodeEvent(Bytes(527)), FormatError);
    GNSS_EVENT nmea = Event(GNSS_Event_NmeaData, 100);  // below sizeof(GNSS_NMEA_DATA)
    EXPECT_THROW(DecodeEvent(BytesOf(nmea)), FormatError);
    nmea.EventDataSize = sizeof(GNSS_NMEA_DATA);
    Bytes cut = BytesOf(nmea);
    cut.resize(528 + 100);
    EXPECT_THROW(DecodeEvent(cut), FormatError);
    GNSS_EVENT custom = Event(GNSS_Event_Custom, 5000);  // past the end of the event
    EXPECT_THROW(DecodeEvent(BytesOf(custom)), FormatError);
}

TEST(ClientHostStatus, LinesAreDecodedUnknownOnesSkippedAndPathsKeptWhole) {
    const HostStatus s = DecodeHostStatus(
        "connections 2\nsession 7 continuous 5\nsession 8 single-shot 0\nnmea-wanted 1\n"
        "lkg 9\nfuture-line with words\nlocation off\ntest-mode on\nnmea-log on\n"
        "nmea-log-path /var/log/my gnss/Nmea.txt\nnmea-log-file missing\n"
        "nmea-log-folder missing\nmodem waiting /dev/ttyUSB2");
    EXPECT_EQ(s.connections, 2u);
    ASSERT_EQ(s.sessions.size(), 2u);
    EXPECT_TRUE(s.sessions[0].continuous);
    EXPECT_EQ(s.sessions[0].interval, 5u);
    EXPECT_EQ(s.sessions[1].id, 8u);
    EXPECT_EQ(s.nmeaWanted, 1u);
    EXPECT_EQ(s.lkg, 9u);
    EXPECT_EQ(s.location, false);
    EXPECT_EQ(s.testMode, true);
    EXPECT_EQ(s.nmeaLog, true);
    EXPECT_EQ(s.nmeaLogPath, "/var/log/my gnss/Nmea.txt");
    EXPECT_EQ(s.NmeaLogFolder(), "/var/log/my gnss");
    EXPECT_EQ(s.nmeaLogFile, false);
    EXPECT_EQ(s.nmeaLogFolder, false);
    EXPECT_EQ(s.modemAttached, false);
    EXPECT_EQ(s.modemWaitsFor, "/dev/ttyUSB2");

    // An older gnssd's answer: the switches stay unknown.
    const HostStatus old = DecodeHostStatus("connections 1\nnmea-wanted 0\n");
    EXPECT_EQ(old.connections, 1u);
    EXPECT_FALSE(old.location || old.testMode || old.nmeaLog || old.modemAttached);
}

TEST(ClientNames, CodesAndCommandTypesByNameOrNumber) {
    EXPECT_EQ(ParseControlCode("IOCTL_GNSS_GET_CHIPSETINFO"), 0x00220118u);
    EXPECT_EQ(ParseControlCode("get_chipsetinfo"), 0x00220118u);
    EXPECT_EQ(ParseControlCode("0x0022000c"), 0x0022000Cu);
    EXPECT_EQ(ParseControlCode("2228236"), 0x0022000Cu);
    EXPECT_EQ(ParseControlCode("GET_NOTHING"), std::nullopt);
    EXPECT_EQ(ParseControlCode("0x1FFFFFFFF"), std::nullopt);
    EXPECT_STREQ(ControlCodeName(0x002200C4), "IOCTL_GNSS_LISTEN_ERROR");
    EXPECT_EQ(ControlCodeName(0x002200C5), nullptr);

    EXPECT_EQ(ParseDriverCommandType("SetLocationServiceEnabled"), GNSS_SetLocationServiceEnabled);
    EXPECT_EQ(ParseDriverCommandType("gnss_resetengine"), GNSS_ResetEngine);
    EXPECT_EQ(ParseDriverCommandType("0x105"), static_cast<GNSS_DRIVERCOMMAND_TYPE>(0x105));
    EXPECT_EQ(ParseDriverCommandType("5"), static_cast<GNSS_DRIVERCOMMAND_TYPE>(5));
    EXPECT_EQ(ParseDriverCommandType("Enabled"), std::nullopt);
    EXPECT_EQ(ParseDriverCommandType("0x80000000"), std::nullopt);
    EXPECT_EQ(ParseDriverCommandType("-1"), std::nullopt);
    EXPECT_STREQ(DriverCommandName(13), "GNSS_SetNMEALogging");
    EXPECT_STREQ(EventTypeName(0x8000), "GNSS_Event_Custom");
}

}  // namespace
}  // namespace gnss::client
