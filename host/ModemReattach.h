// Brings the modem back after the framework has removed the device.
//
// When the modem goes away (unplugged, its serial port gone, the simulated
// modem's unplug fault), the framework removes the device and gnssd closes the
// connections.  ModemReattach then waits, on a thread of its own, until the
// same --modem back-end can be opened again and attaches it with
// DriverHost::AddDevice; new connections are served from then on.
//   tty:PATH   waits for PATH to exist (and to open) again: inotify on the
//              nearest existing directory of the path, no polling;
//   usb:...    waits for a device node to appear under /dev/bus/usb (inotify)
//              and opens the modem by its ids again;
//   sim[:...]  a fresh simulated modem at once, without the unplug faults of
//              the option string (so that the fault does not unplug it again)
//              except unplug:after:N, which makes a modem that goes away
//              every N commands;
//   loopback   a fresh loopback back-end at once.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace gnss::fw {
class DriverHost;
class UsbBackend;
}  // namespace gnss::fw

namespace gnss::host {

class ModemReattach {
public:
    ModemReattach(fw::DriverHost& host, std::string modem);
    ~ModemReattach();  // Stop()
    ModemReattach(const ModemReattach&) = delete;
    ModemReattach& operator=(const ModemReattach&) = delete;

    // The device has been removed and its connections closed: wait for the
    // modem and attach it.  Any thread; returns at once.
    void DeviceRemoved();
    // No more attaching: ends a wait in progress and returns once an attach
    // in progress has finished.  Call before the orderly removal at exit.
    void Stop();

    // The --modem text for attaching the modem again: the same text, except
    // that unplug faults other than unplug:after:N are taken out of a
    // simulated modem's options.
    static std::string ReattachText(const std::string& modem);
    // What the wait is for, in a user's words: the path of a tty modem, else
    // the --modem text.
    static std::string WaitsFor(const std::string& modem);

private:
    void Run();
    // Waits until the back-end opens (after a change of its path first, with
    // `changeFirst`); nullptr when stopped.
    std::shared_ptr<fw::UsbBackend> WaitForModem(bool changeFirst);
    // Waits for an inotify event or the stop; false when stopped.
    bool WaitForChange(int inotifyFd);

    fw::DriverHost& host_;
    const std::string modem_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool removed_ = false;  // guarded by lock_
    bool stopping_ = false;  // guarded by lock_
    int stopFd_ = -1;        // eventfd: ends the inotify waits
    std::thread thread_;
};

}  // namespace gnss::host
