// The driver core hosted by the framework: start, power, removal, file
// objects, dispatch and parked requests.
#include "DriverHarness.h"
#include "GnssState.h"
#include "engine/EngineState.h"
#include "gnss/platform/timescale.h"

namespace gnss::test {
namespace {

using fw::DevicePowerState;
using V = std::vector<std::string>;

constexpr DWORD kWait = 20000;  // unscaled; only bounds a failing test

// The platform's waits run shortened by the time scale; this lengthens a
// bound first, so that it stays kWait in real time.
DWORD Unscaled(DWORD milliseconds) {
    return static_cast<DWORD>(milliseconds / gnss::os::TimeScale());
}

// The engine's thread works through its events in the order they were
// posted: once it has taken an event that asks nothing of it, everything
// posted before is done.
void WaitForEngine() { AddInternalEvent(0, nullptr, Unscaled(kWait)); }

// The names of the callbacks after the first `skip`.
V HistoryFrom(const fw::DriverHost& host, std::size_t skip) {
    const V all = host.CallbackHistory();
    return skip < all.size() ? V(all.begin() + static_cast<std::ptrdiff_t>(skip), all.end()) : V{};
}

std::size_t Position(const std::string& text, const std::string& needle, std::size_t from = 0) {
    const auto at = text.find(needle, from);
    return at == std::string::npos ? text.size() : at;
}

TEST_F(DriverTest, StartBringsTheDeviceUpInOrderWithItsLogAndEvents) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(host.CallbackHistory(),
              (V{"DeviceAdd", "PrepareHardware", "D0Entry(D3Final)", "SelfManagedIoInit"}));
    EXPECT_EQ(host.PowerState(), DevicePowerState::D0);
    ASSERT_EQ(host.DeviceInterfaces().size(), 1u);
    EXPECT_TRUE(host.DeviceInterfaces()[0] == GUID_DEVINTERFACE_GNSS);

    // The modem's control lines: SET_CONTROL_LINE_STATE, DTR and RTS, interface 0.
    const auto control = usb->ControlTransfers();
    ASSERT_EQ(control.size(), 1u);
    EXPECT_EQ(control[0].setup.bmRequestType, 0x21);
    EXPECT_EQ(control[0].setup.bRequest, 0x22);
    EXPECT_EQ(control[0].setup.wValue, 0x0003);
    EXPECT_EQ(control[0].setup.wIndex, 0x0000);
    EXPECT_EQ(control[0].setup.wLength, 0);

    const std::string traced = Traced();
    std::size_t at = 0;
    for (const char* line :
         {"GNSS Driver Version: 3.19041.1.3", "[DRIVER] DriverEntry ->", "[DRIVER] DriverEntry <-",
          "[DRIVER] GNSSDriverEvtDeviceAdd ->", "[DEVICE] GNSSDriverCreateDevice WdfDeviceCreate SUCCESS",
          "[DEVICE] GNSSDriverCreateDevice WdfDeviceCreateDeviceInterface SUCCESS",
          "WdfIoQueueCreate(DefaultQueue) SUCCESS", "WdfIoQueueCreate(ManualQueue) SUCCESS",
          "WdfUsbTargetDeviceCreate SUCCESS", "WdfUsbTargetDeviceSendControlTransferSynchronously SUCCESS",
          "ucNumberConfiguredPipes=2 SUCCESS", "BulkInput Pipe is", "BulkOutput Pipe is",
          "Read and Write USB pipes configuration SUCCESS", "WdfUsbTargetPipeConfigContinuousReaders SUCCESS",
          "[DEVICE] GNSSDeviceEvtDeviceD0Entry -> PreviousState=5",
          "------------------Reader pipe STARTED-------------------", "AssignIdleSettings <- status=0x0"}) {
        const std::size_t found = Position(traced, line, at);
        ASSERT_LT(found, traced.size()) << "missing or out of order: " << line;
        at = found;
    }

    // Provider events of the start, in order.
    const std::string events = Events();
    std::size_t position = 0;
    for (const char* id : {"\"id\":105", "\"id\":106", "\"id\":115", "\"id\":116", "\"id\":107", "\"id\":108"}) {
        const std::size_t found = Position(events, id, position);
        ASSERT_LT(found, events.size()) << id;
        position = found;
    }
    EXPECT_NE(events.find("\"message\":\"End processing PrepareHardware with Status=0x0.\""), std::string::npos);
}

TEST_F(DriverTest, IdlesOutAndWakesForAReferenceAndForARequest) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    EXPECT_EQ(HistoryFrom(host, 5), (V{"SelfManagedIoSuspend", "D0Exit(D3)"}));
    EXPECT_NE(Traced().find("------------------Reader pipe STOPPED-------------------"), std::string::npos);
    // The framework armed the driver's time-out and kept the device in D0 that long
    // (both in the driver's milliseconds, whatever the time scale).
    std::vector<fw::IdleOut> idleOuts = host.IdleOuts();
    ASSERT_EQ(idleOuts.size(), 1u);
    EXPECT_EQ(idleOuts[0].idleTimeoutMs, 1000u);
    EXPECT_GE(idleOuts[0].idleMs, 1000u);

    // The engine's power-up waits for D0; nested uses count without a second reference.
    EXPECT_EQ(GNSSDriverSetDevicePower(TRUE, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(host.PowerState(), DevicePowerState::D0);
    GNSSDriverSetDevicePower(TRUE, FALSE);
    EXPECT_EQ(m_dwRefCount.load(), 2u);
    GNSSDriverSetDevicePower(FALSE, FALSE);
    GNSSDriverSetDevicePower(FALSE, FALSE);
    GNSSDriverSetDevicePower(FALSE, FALSE);  // at zero: nothing
    EXPECT_EQ(m_dwRefCount.load(), 0u);
    std::string traced = Traced();
    EXPECT_EQ(CountOccurrences(traced, "UP SUCCESS ----------------------->"), 1u);
    EXPECT_EQ(CountOccurrences(traced, "Device is already UP and RUNNING"), 1u);
    EXPECT_EQ(CountOccurrences(traced, "Device is in USE"), 1u);
    EXPECT_EQ(CountOccurrences(traced, "DOWN SUCCESS <-----------------------"), 1u);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    idleOuts = host.IdleOuts();
    ASSERT_EQ(idleOuts.size(), 2u);
    EXPECT_EQ(idleOuts[1].idleTimeoutMs, 1000u);
    EXPECT_GE(idleOuts[1].idleMs, 1000u);

    // A request wakes the device; it is presented once D0 entry is done.
    const Completion c = Call(file, IOCTL_GNSS_GET_DEVICE_CAPABILITY, {}, sizeof(GNSS_DEVICE_CAPABILITY));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    traced = Traced();
    const std::size_t dispatched = Position(traced, "IoctlCode=0x220008");
    const std::size_t lastWake = traced.rfind("GNSSDeviceEvtDeviceD0Entry -> PreviousState=4", dispatched);
    EXPECT_NE(lastWake, std::string::npos);
    EXPECT_LT(Position(traced, "GNSSDeviceEvtDeviceSelfManagedIoRestart ->", lastWake), dispatched);
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(DriverTest, SystemSleepWithAUseOutstandingGivesTheReferenceBackAndTakesItAgain) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    GNSSDriverSetDevicePower(TRUE, FALSE);
    ASSERT_EQ(host.SystemSleep(), STATUS_SUCCESS);
    EXPECT_EQ(m_dwRefCount.load(), 1u);
    std::string traced = Traced();
    const std::size_t exit = Position(traced, "GNSSDeviceEvtDeviceD0Exit -> TargetState=4");
    ASSERT_LT(exit, traced.size());
    EXPECT_LT(Position(traced, "WARNING: UNEXPECTED DEVICE STATE. surprise/query removed when in D0. "
                               "m_dwRefCount=1, bResetCounter=1",
                       exit),
              traced.size());
    EXPECT_LT(Position(traced, "DOWN SUCCESS <-----------------------", exit), traced.size());

    const std::size_t controlBefore = usb->ControlTransfers().size();
    ASSERT_EQ(host.SystemResume(), STATUS_SUCCESS);
    EXPECT_EQ(host.PowerState(), DevicePowerState::D0);
    traced = Traced();
    const std::size_t entry = traced.rfind("GNSSDeviceEvtDeviceD0Entry -> PreviousState=4");
    EXPECT_LT(Position(traced, "WARNING: UNEXPECTED DEVICE STATE", entry), traced.size());
    EXPECT_LT(Position(traced, "UP SUCCESS ----------------------->", entry), traced.size());
    // The control lines are asserted again.
    EXPECT_EQ(usb->ControlTransfers().size(), controlBefore + 1);

    GNSSDriverSetDevicePower(FALSE, FALSE);
    EXPECT_EQ(m_dwRefCount.load(), 0u);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    // Every framework reference taken was given back exactly once.
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(DriverTest, OrderlyAndSurpriseRemovalRunTheTeardownInOrder) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(host.RemoveDevice(), STATUS_SUCCESS);
    EXPECT_EQ(HistoryFrom(host, 4), (V{"QueryRemove", "SelfManagedIoSuspend", "D0Exit(D3Final)", "SelfManagedIoFlush",
                                       "ReleaseHardware", "SelfManagedIoCleanup"}));
    EXPECT_EQ(m_bDeviceRemoved.load(), 1u);
    std::string traced = Traced();
    EXPECT_LT(Position(traced, "Manual Queue Empty"), Position(traced, "[USBDEV] UsbDeviceDeinit WdfIoTargetStop"));
    EXPECT_NE(Events().find("\"message\":\"End processing ReleaseHardware with Status=0x0.\""), std::string::npos);

    // The device comes back and goes away by surprise.
    const std::size_t before = host.CallbackHistory().size();
    ASSERT_EQ(host.AddDevice(usb), STATUS_SUCCESS);
    EXPECT_EQ(m_bDeviceRemoved.load(), 0u);
    host.SurpriseRemoveDevice();
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::Removed, kWait));
    EXPECT_EQ(HistoryFrom(host, before + 4), (V{"SurpriseRemoval", "SelfManagedIoSuspend", "D0Exit(D3Final)",
                                                "SelfManagedIoFlush", "ReleaseHardware", "SelfManagedIoCleanup"}));
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(DriverTest, TheEngineGivesBackTheRemovedDevicesPowerReferences) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();
    // A single-shot session: the engine joins it as a client and holds the device in D0.
    GNSS_FIXSESSION_PARAM session{};
    session.Size = sizeof session;
    session.FixSessionID = 3;
    session.SessionType = GNSS_FixSession_SingleShot;
    ASSERT_EQ(Call(file, IOCTL_GNSS_START_FIXSESSION, Bytes(&session, sizeof session), 0).status,
              STATUS_SUCCESS);
    WaitForEngine();
    ASSERT_EQ(Engine().m_ModemSessionParam.NumberOfClients.load(), 1u);
    ASSERT_EQ(m_dwRefCount.load(), 1u);

    // The device goes away with the session running.  Its framework reference
    // went with the D0 exit; the count is the engine's, and the engine gives
    // the session's use back when it takes the removal, before any device
    // comes back.
    host.SurpriseRemoveDevice();
    ASSERT_TRUE(Engine().m_hRemovalHandled->Wait(Unscaled(kWait)));
    EXPECT_EQ(m_dwRefCount.load(), 0u);

    // A device that comes back starts without uses and idles out.
    ASSERT_EQ(host.AddDevice(usb), STATUS_SUCCESS);
    EXPECT_EQ(m_dwRefCount.load(), 0u);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(DriverTest, AFailedUsbSetUpStillStartsTheEngineAndMarksTheDevicePresent) {
    // Interface 1 without its bulk OUT pipe: the USB set-up fails.
    auto noBulkOut = std::make_shared<fw::LoopbackUsbBackend>(std::vector<fw::UsbInterfaceDescriptor>{
        {0, {}}, {1, {{0x81, WdfUsbPipeTypeBulk, 512}}}});
    ASSERT_EQ(host.LoadDriver(&DriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(host.AddDevice(noBulkOut), STATUS_INVALID_DEVICE_STATE);
    EXPECT_NE(EngineCallbacks().pfnFixDataCb, nullptr);
    EXPECT_EQ(Count("GPS Client thread created"), 1u);

    // The removed mark of a device that went away is cleared by the next
    // prepare hardware, failing or not, and the engine's table refreshed.
    ASSERT_EQ(host.AddDevice(usb), STATUS_SUCCESS);
    host.SurpriseRemoveDevice();
    ASSERT_EQ(m_bDeviceRemoved.load(), 1u);
    const std::size_t refreshes = Count("GNSSDriverInitAtClient ->");
    EXPECT_EQ(host.AddDevice(noBulkOut), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(m_bDeviceRemoved.load(), 0u);
    EXPECT_EQ(Count("GNSSDriverInitAtClient ->"), refreshes + 1);
}

TEST_F(DriverTest, AFourthOpenIsRefusedAndAClosedSlotIsReused) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId a = Open(), b = Open(), c = Open();
    FileId fourth = 0;
    EXPECT_EQ(host.OpenFile(&fourth), STATUS_NOT_SUPPORTED);
    host.CloseFile(b);
    FileId again = 0;
    EXPECT_EQ(host.OpenFile(&again), STATUS_SUCCESS);
    EXPECT_EQ(host.OpenFile(&fourth), STATUS_NOT_SUPPORTED);
    for (FileId f : {a, c, again}) host.CloseFile(f);
    EXPECT_EQ(Count("GNSSDriverDeviceFileClose FileObject ->"), 4u);
}

TEST_F(DriverTest, DispatchRefusesUnknownAndUnsupportedCodesAndGatesOnTheRadio) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();

    // The dispatcher logs the refusal after completing it: each Drain lets
    // the dispatch of the request before it finish.
    Completion c = Call(file, IOCTL_GNSS_START_BREADCRUMBING, {}, 0);
    EXPECT_EQ(c.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(c.information, 0u);
    Drain(file);
    EXPECT_EQ(Count("WARNING: UNKNOWN IOCTL Code IoControlCode=0x2201C0"), 1u);
    EXPECT_EQ(Count("WARNING: IOCTL not Supported IoControlCode=0x2201C0"), 1u);

    EXPECT_EQ(Call(file, IOCTL_GNSS_EXECUTE_CWTEST, {}, 0).status, STATUS_NOT_SUPPORTED);
    Drain(file);
    EXPECT_EQ(Count("UNKNOWN IOCTL Code IoControlCode=0x220110"), 0u);
    EXPECT_EQ(Count("WARNING: IOCTL not Supported IoControlCode=0x220110"), 1u);
    // A listed code plus one is unknown.
    EXPECT_EQ(Call(file, IOCTL_GNSS_START_FIXSESSION + 1, {}, 0).status, STATUS_NOT_SUPPORTED);
    Drain(file);
    EXPECT_EQ(Count("UNKNOWN IOCTL Code IoControlCode=0x220041"), 1u);

    // The location service off closes the gate for fix sessions, fix data and NMEA.
    GNSS_FIXSESSION_PARAM session{};
    session.Size = sizeof session;
    session.FixSessionID = 1;
    session.SessionType = GNSS_FixSession_SingleShot;
    auto expectGateClosed = [&](int byte) {
        for (ULONG code : {IOCTL_GNSS_START_FIXSESSION, IOCTL_GNSS_MODIFY_FIXSESSION}) {
            c = Call(file, code, Bytes(&session, sizeof session), 0);
            EXPECT_EQ(c.status, STATUS_ACCESS_DENIED) << byte;
            EXPECT_EQ(c.information, 0u) << byte;
        }
        EXPECT_EQ(Call(file, IOCTL_GNSS_GET_FIXDATA, SessionId(1), sizeof(GNSS_EVENT)).status,
                  STATUS_ACCESS_DENIED)
            << byte;
        EXPECT_EQ(Call(file, IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT)).status, STATUS_ACCESS_DENIED)
            << byte;
        EXPECT_EQ(Count("OnGNSSStartFixSession SessionID"), 0u) << byte;
    };
    EXPECT_EQ(DriverCommand(file, GNSS_SetLocationServiceEnabled, {0}).status, STATUS_SUCCESS);
    EXPECT_EQ(RadioState.load(), 0u);
    expectGateClosed(0);
    EXPECT_EQ(DriverCommand(file, 0x101, {}).status, STATUS_ACCESS_DENIED);

    // Only 1 opens the gate; any other byte closes it, though the service is
    // not off as far as the radio-state query is concerned.
    EXPECT_EQ(DriverCommand(file, GNSS_SetLocationServiceEnabled, {2}).status, STATUS_SUCCESS);
    EXPECT_EQ(RadioState.load(), 2u);
    expectGateClosed(2);
    EXPECT_EQ(DriverCommand(file, 0x101, {}).status, STATUS_SUCCESS);

    EXPECT_EQ(DriverCommand(file, GNSS_SetLocationServiceEnabled, {1}).status, STATUS_SUCCESS);
    EXPECT_EQ(DriverCommand(file, 0x101, {}).status, STATUS_SUCCESS);
}

TEST_F(DriverTest, DeviceInformationHasTheDriversValuesAndSizes) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();

    Completion c = Call(file, IOCTL_GNSS_GET_DEVICE_CAPABILITY, {}, 603);
    EXPECT_FALSE(NT_SUCCESS(c.status));
    EXPECT_EQ(c.information, 4u);

    c = Call(file, IOCTL_GNSS_GET_DEVICE_CAPABILITY, {}, sizeof(GNSS_DEVICE_CAPABILITY));
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, 604u);
    const auto cap = As<GNSS_DEVICE_CAPABILITY>(c);
    EXPECT_EQ(cap.Size, 604u);
    EXPECT_EQ(cap.Version, 3u);
    EXPECT_EQ(cap.SupportContinuousTracking, 1);
    EXPECT_EQ(cap.SupportMultipleFixSessions, 0);
    EXPECT_EQ(cap.SupportSuplV1, 1);
    EXPECT_EQ(cap.SupportSuplV2, 1);
    EXPECT_EQ(cap.SupportedSuplVersion.MajorVersion, 2u);

    c = Call(file, IOCTL_GNSS_GET_CHIPSETINFO, {}, sizeof(GNSS_CHIPSETINFO));
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, 660u);
    const auto info = As<GNSS_CHIPSETINFO>(c);
    EXPECT_EQ(std::u16string(info.ManufacturerID), u"Tavrin");
    EXPECT_EQ(std::u16string(info.HardwareID), u"RXA 7300");
    EXPECT_EQ(std::u16string(info.FirmwareVersion), u"1.0.0.1");

    // A platform capability shorter than its structure fails with information 4.
    c = Call(file, IOCTL_GNSS_SEND_PLATFORM_CAPABILITY, std::vector<std::uint8_t>(100), 0);
    EXPECT_FALSE(NT_SUCCESS(c.status));
    EXPECT_EQ(c.information, 4u);
    EXPECT_EQ(Call(file, IOCTL_GNSS_SEND_PLATFORM_CAPABILITY, std::vector<std::uint8_t>(532), 0).status,
              STATUS_SUCCESS);
}

TEST_F(DriverTest, StoppingASessionCancelsOneParkedFixRequestOfItsOwn) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();
    const RequestId five = Submit(file, IOCTL_GNSS_GET_FIXDATA, SessionId(5), sizeof(GNSS_EVENT));
    const RequestId seven = Submit(file, IOCTL_GNSS_GET_FIXDATA, SessionId(7), sizeof(GNSS_EVENT));
    const RequestId sevenAgain = Submit(file, IOCTL_GNSS_GET_FIXDATA, SessionId(7), sizeof(GNSS_EVENT));
    Drain(file);
    EXPECT_EQ(Count("Pot Fixdata Request to Manual Queue"), 3u);

    // The engine stops session 7: the first of its requests is cancelled, the
    // other session's request is taken out and put back.
    EngineCallbacks().pfnStopSessionCb(7);
    Completion c;
    ASSERT_TRUE(done.Wait(seven, &c));
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_EQ(c.information, 4u);
    EXPECT_FALSE(done.Done(five));
    EXPECT_FALSE(done.Done(sevenAgain));
    EXPECT_EQ(Count("PENDING DATA REQUEST 2228300 Canceled for FixSessionID=0x7"), 1u);
    EXPECT_EQ(Count("Request Requeued dwIndex=0"), 1u);

    // The requests still parked wait for the next fix, each for its own session.
    GNSS_FIXDATA fix{};
    fix.BasicData.Latitude = 47.5;
    EngineCallbacks().pfnFixDataCb(&fix);
    for (const auto& [id, session] : {std::pair{five, 5u}, std::pair{sevenAgain, 7u}}) {
        ASSERT_TRUE(done.Wait(id, &c)) << session;
        EXPECT_EQ(c.status, STATUS_SUCCESS) << session;
        const auto event = As<GNSS_EVENT>(c);
        EXPECT_EQ(event.FixData.FixSessionID, session);
        EXPECT_EQ(event.FixData.BasicData.Latitude, 47.5);
    }
}

TEST_F(DriverTest, OneCancelTakesAtMostTenParkedNmeaListeners) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();
    std::vector<RequestId> listeners;
    for (int i = 0; i < 12; ++i) listeners.push_back(Submit(file, IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT)));
    Drain(file);
    {
        gnss::os::CriticalSectionLock guard(m_csRequestLock);
        CancelRequestFromManualQueue(IOCTL_GNSS_LISTEN_NMEA, 0);
    }
    int cancelled = 0;
    for (RequestId id : listeners) cancelled += done.Done(id) ? 1 : 0;
    EXPECT_EQ(cancelled, 10);
}

TEST_F(DriverTest, ReleaseHardwareCancelsEveryParkedRequestBeforeTheUsbTargetStops) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();
    std::vector<RequestId> parked;
    for (ULONG code : {IOCTL_GNSS_LISTEN_AGNSS, IOCTL_GNSS_LISTEN_ERROR, IOCTL_GNSS_LISTEN_NI,
                       IOCTL_GNSS_LISTEN_DRIVER_REQUEST, IOCTL_GNSS_LISTEN_NMEA})
        parked.push_back(Submit(file, code, {}, sizeof(GNSS_EVENT)));
    Drain(file);
    ASSERT_EQ(host.RemoveDevice(), STATUS_SUCCESS);
    for (RequestId id : parked) {
        Completion c;
        ASSERT_TRUE(done.Wait(id, &c));
        EXPECT_EQ(c.status, STATUS_CANCELLED);
        EXPECT_EQ(c.information, 4u);
    }
    const std::string traced = Traced();
    EXPECT_EQ(CountOccurrences(traced, "Canceling request from Manual Queue"), 5u);
    EXPECT_LT(Position(traced, "Manual Queue Empty"), Position(traced, "UsbDeviceDeinit WdfIoTargetStop"));
}

TEST_F(DriverTest, SendersCancelAndCloseEndParkedRequests) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId first = Open();
    const FileId second = Open();
    const RequestId ni = Submit(first, IOCTL_GNSS_LISTEN_NI, {}, sizeof(GNSS_EVENT));
    const RequestId error = Submit(second, IOCTL_GNSS_LISTEN_ERROR, {}, sizeof(GNSS_EVENT));
    const RequestId nmea = Submit(second, IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT));
    Drain(first);

    EXPECT_TRUE(host.CancelRequest(ni));
    Completion c;
    ASSERT_TRUE(done.Wait(ni, &c));
    EXPECT_EQ(c.status, STATUS_CANCELLED);

    host.CloseFile(second);
    for (RequestId id : {error, nmea}) {
        ASSERT_TRUE(done.Wait(id, &c));
        EXPECT_EQ(c.status, STATUS_CANCELLED);
    }
    // Both slots are free again.
    const FileId a = Open(), b = Open();
    FileId fourth = 0;
    EXPECT_EQ(host.OpenFile(&fourth), STATUS_NOT_SUPPORTED);
    host.CloseFile(a);
    host.CloseFile(b);
}

}  // namespace
}  // namespace gnss::test
