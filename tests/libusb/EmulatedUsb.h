#pragma once

#include "vprog/VirtualProgrammer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace qvtest {

// The process's emulated USB bus: one umockdev test bed that stands in for /sys and /dev.
//
// libusb keeps one context for the whole process and decides at its first start whether sysfs
// is there, so the bus must exist before anything touches libusb and must live until exit:
// call EmulatedUsbBus::instance() first thing in every test. Works only when the process runs
// with umockdev's preload library (available() says so).
class EmulatedUsbBus {
  public:
    static EmulatedUsbBus& instance();
    // True when /sys and /dev of this process are redirected to the test bed.
    static bool available();

    UMockdevTestbed* testbed() { return testbed_; }
    // A fresh device address on bus 1; a real bus also never reuses one at once.
    unsigned nextAddress();

  private:
    EmulatedUsbBus();
    UMockdevTestbed* testbed_ = nullptr;
    unsigned nextAddress_ = 2;
};

// A USB programmer on the emulated bus: sysfs entry and descriptors as the kernel shows them, and a
// usbfs device node whose ioctls (claim, submit, reap, discard) are answered here. Each bulk OUT
// transfer is one request for the device model; its reply is handed to the next bulk IN transfers.
//
// Plugged in on construction ("add" uevent), unplugged by unplug() or the destructor ("remove"
// uevent; transfers in flight end with ENODEV and new ones are refused, as after a real unplug).
class EmulatedProgrammer {
  public:
    struct Config {
        // Hub ports from the root hub of bus 1, dot-separated ("2", or "1.4" behind a hub on port
        // 1, which must be plugged in first): sysfs name "1-<ports>".
        std::string ports = "2";
        uint16_t vendorId = 0x4d51;
        uint16_t productId = 0x7c2e;
        uint8_t outEndpoint = 0x01;  // the bulk endpoints of interface 0
        uint8_t inEndpoint = 0x81;
        bool answerIoctls = true;  // false: only listed, never opened
        // A busy device: a request longer than one packet gets only its first packet through
        // before the host gives up on the transfer; the rest has to come in another transfer.
        bool slowWrites = false;
        // A programmer that stops taking data: it NAKs every OUT packet, so an OUT transfer takes
        // no byte and waits until the host gives up on it.
        bool nakWrites = false;
        // Another program holds interface 0: claiming it fails with EBUSY.
        bool interfaceBusy = false;
        vprog::Options model;
    };

    explicit EmulatedProgrammer(const Config& config);
    ~EmulatedProgrammer();
    EmulatedProgrammer(const EmulatedProgrammer&) = delete;
    EmulatedProgrammer& operator=(const EmulatedProgrammer&) = delete;

    void unplug();
    bool plugged() const;

    // The path the tool gives this device: "usb:1-<ports>".
    std::string devicePath() const;
    // Runs fn with the model under the emulator's lock.
    void withModel(const std::function<void(vprog::DeviceModel&)>& fn);

    // What the emulator saw, for checks on the traffic itself.
    struct Counters {
        unsigned claims = 0;  // interface 0 claimed (plain or disconnect-and-claim)
        unsigned releases = 0;
        unsigned outTransfers = 0;
        unsigned inTransfers = 0;
        unsigned discards = 0;
        unsigned pendingIn = 0;      // IN transfers waiting for data right now
        unsigned partialWrites = 0;  // OUT transfers that ended with part of their data taken
        std::vector<unsigned long> unknownIoctls;
    };
    Counters counters() const;

    // Bytes of the device and configuration descriptors, as the sysfs "descriptors" file holds them.
    static std::vector<uint8_t> descriptors(const Config& config);

  private:
    struct Function;  // the device's side of usbfs; outlives this object while libusb holds the node

    Config config_;
    std::string sysPath_;  // "/sys/devices/usb1/1-<port>[/1-<port>.<port>...]"
    std::string devNode_;  // "/dev/bus/usb/001/<address>"
    UMockdevIoctlBase* handler_ = nullptr;
    std::shared_ptr<Function> function_;
    bool plugged_ = false;
};

}  // namespace qvtest
