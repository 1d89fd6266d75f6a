#include "EmulatedUsb.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace qvtest {

namespace {

std::string threeDigits(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), "%03u", value % 1000);
    return text;
}

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The ioctl argument resolved to a local copy of len bytes of the caller's memory. The caller's
// memory is written back when the ioctl completes.
UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t len) {
    return umockdev_ioctl_data_resolve(data, offset, len, nullptr);
}

std::string testbedRoot;
// The test bed object stays alive to the end (libusb may look at /sys and /dev until then); only
// its directory is removed, so that test runs leave nothing behind in /tmp.
void removeTestbedDirectory() {
    std::error_code ignored;
    if (!testbedRoot.empty())
        std::filesystem::remove_all(testbedRoot, ignored);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The bus

EmulatedUsbBus& EmulatedUsbBus::instance() {
    static EmulatedUsbBus* const bus = new EmulatedUsbBus();  // kept to the end of the process
    return *bus;
}

bool EmulatedUsbBus::available() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
}

EmulatedUsbBus::EmulatedUsbBus() {
    testbed_ = umockdev_testbed_new();
    // libusb reads devices from sysfs only when /sys/bus/usb/devices exists when it starts, and
    // looks for usbfs under /dev/bus/usb: both exist on any Linux machine with a USB controller.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    testbedRoot = root;
    g_free(root);
    std::atexit(removeTestbedDirectory);
    std::filesystem::create_directories(std::filesystem::path(testbedRoot) / "sys/bus/usb/devices");
    std::filesystem::create_directories(std::filesystem::path(testbedRoot) / "dev/bus/usb/001");
}

unsigned EmulatedUsbBus::nextAddress() {
    return nextAddress_++;
}

// ---------------------------------------------------------------------------------------------
// The device's side of usbfs

struct EmulatedProgrammer::Function {
    explicit Function(const Config& config)
        : model(config.model),
          outEndpoint(config.outEndpoint),
          inEndpoint(config.inEndpoint),
          slowWrites(config.slowWrites),
          nakWrites(config.nakWrites),
          interfaceBusy(config.interfaceBusy) {}

    struct Urb {
        UMockdevIoctlData* data = nullptr;  // the caller's usbdevfs_urb; one reference held
        unsigned long clientAddress = 0;
        uint8_t endpoint = 0;
        int bufferLength = 0;
        int status = 0;
        std::vector<uint8_t> in;   // what an IN transfer returns
        std::vector<uint8_t> out;  // what a held OUT transfer carries
        int actualLength = 0;
    };

    std::mutex mutex;
    vprog::DeviceModel model;
    const uint8_t outEndpoint;
    const uint8_t inEndpoint;
    const bool slowWrites;
    const bool nakWrites;
    const bool interfaceBusy;
    bool present = true;
    std::deque<std::vector<uint8_t>> replies;  // replies (or their rest) not yet read
    std::deque<Urb> pendingIn;                 // IN transfers waiting for data
    std::deque<Urb> pendingOut;                // OUT transfers a busy device holds
    std::vector<uint8_t> partialRequest;       // the part of a request taken so far
    std::deque<Urb> completed;                 // finished transfers, reaped in order
    Counters counters;

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        // Runs on umockdev's worker thread, one ioctl at a time.
        return (*static_cast<std::shared_ptr<Function>*>(self))->handle(client) ? TRUE : FALSE;
    }
    static void release(gpointer self, GClosure*) { delete static_cast<std::shared_ptr<Function>*>(self); }

    bool handle(UMockdevIoctlClient* client) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::lock_guard<std::mutex> lock(mutex);
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                UMockdevIoctlData* caps = resolve(arg, 0, sizeof(uint32_t));
                if (!caps)
                    return fail(client, EFAULT);
                const uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                       USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
                std::memcpy(caps->data, &value, sizeof(value));
                g_object_unref(caps);
                umockdev_ioctl_client_complete(client, 0, 0);
                return true;
            }
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_DISCONNECT_CLAIM:
                if (!present)
                    return fail(client, ENODEV);
                if (interfaceBusy)
                    return fail(client, EBUSY);
                ++counters.claims;
                umockdev_ioctl_client_complete(client, 0, 0);
                return true;
            case USBDEVFS_RELEASEINTERFACE:
                if (!present)
                    return fail(client, ENODEV);
                ++counters.releases;
                umockdev_ioctl_client_complete(client, 0, 0);
                return true;
            case USBDEVFS_CLEAR_HALT:
            case USBDEVFS_RESETEP:
                if (!present)
                    return fail(client, ENODEV);
                umockdev_ioctl_client_complete(client, 0, 0);
                return true;
            case USBDEVFS_IOCTL: {
                // Driver control of interface 0: no kernel driver is bound to it, so there is none to
                // detach, and asking the kernel to bind one again succeeds without effect.
                if (!present)
                    return fail(client, ENODEV);
                UMockdevIoctlData* command = resolve(arg, 0, sizeof(usbdevfs_ioctl));
                if (!command)
                    return fail(client, EFAULT);
                int code = 0;
                std::memcpy(&code, command->data + offsetof(usbdevfs_ioctl, ioctl_code), sizeof(code));
                g_object_unref(command);
                if (code == int(USBDEVFS_CONNECT)) {
                    umockdev_ioctl_client_complete(client, 0, 0);
                    return true;
                }
                return fail(client, code == int(USBDEVFS_DISCONNECT) ? ENODATA : ENOTTY);
            }
            case USBDEVFS_SUBMITURB:
                return submit(client, arg);
            // libusb reaps only without waiting, after poll() on the node; a waiting reap gets the
            // same answer.
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY:
                return reap(client, arg);
            case USBDEVFS_DISCARDURB:
                return discard(client, arg);
            default:
                // Refused as usbfs refuses a request it does not know; the tests check that libusb
                // asked for nothing of the kind.
                counters.unknownIoctls.push_back(request);
                return fail(client, ENOTTY);
        }
    }

    static bool fail(UMockdevIoctlClient* client, int error) {
        umockdev_ioctl_client_complete(client, -1, error);
        return true;
    }

    bool submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        if (!present)
            return fail(client, ENODEV);
        // usbfs claims the interface of an endpoint on first use, which fails the same way.
        if (interfaceBusy)
            return fail(client, EBUSY);
        UMockdevIoctlData* urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!urbData)
            return fail(client, EFAULT);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        if (urb->type != USBDEVFS_URB_TYPE_BULK ||
            (urb->endpoint != outEndpoint && urb->endpoint != inEndpoint) || urb->buffer_length < 0) {
            g_object_unref(urbData);
            return fail(client, EINVAL);
        }
        // The buffer is resolved now, so that its data is loaded (OUT) or written back (IN).
        UMockdevIoctlData* buffer =
            resolve(urbData, offsetof(usbdevfs_urb, buffer), size_t(urb->buffer_length));
        Urb entry;
        entry.data = urbData;
        entry.clientAddress = urbData->client_addr;
        entry.endpoint = urb->endpoint;
        entry.bufferLength = urb->buffer_length;
        if (urb->endpoint == outEndpoint) {
            ++counters.outTransfers;
            const uint8_t* bytes = buffer ? buffer->data : nullptr;
            const size_t length = size_t(urb->buffer_length);
            if (nakWrites || (slowWrites && partialRequest.empty() && length > kPacketSize)) {
                entry.out.assign(bytes, bytes + length);
                pendingOut.push_back(std::move(entry));
            } else {
                entry.actualLength = urb->buffer_length;
                completed.push_back(std::move(entry));
                partialRequest.insert(partialRequest.end(), bytes, bytes + length);
                requestComplete();
            }
        } else {
            ++counters.inTransfers;
            pendingIn.push_back(std::move(entry));
            feedPendingIn();
        }
        if (buffer)
            g_object_unref(buffer);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }

    static constexpr size_t kPacketSize = 512;

    // The request gathered in partialRequest goes to the model; a reply waits for the IN transfers.
    void requestComplete() {
        static const uint8_t kEmpty = 0;
        const std::vector<uint8_t> bytes = std::move(partialRequest);
        partialRequest.clear();
        vprog::DeviceModel::Response response =
            model.handle(bytes.empty() ? &kEmpty : bytes.data(), bytes.size());
        switch (response.outcome) {
            case vprog::DeviceModel::Outcome::Reply:
            case vprog::DeviceModel::Outcome::Restart:
                if (!response.reply.empty())
                    replies.push_back(std::move(response.reply));
                feedPendingIn();
                break;
            case vprog::DeviceModel::Outcome::NoReply:
            case vprog::DeviceModel::Outcome::Stall:
                break;
            case vprog::DeviceModel::Outcome::Unplug:
                disconnect();
                break;
        }
    }

    // A bulk IN transfer ends with the first short packet: each reply ends one transfer, and a
    // reply longer than the transfer's buffer is continued by the next transfer.
    void feedPendingIn() {
        while (!pendingIn.empty() && !replies.empty()) {
            Urb urb = std::move(pendingIn.front());
            pendingIn.pop_front();
            std::vector<uint8_t>& reply = replies.front();
            const size_t take = std::min(reply.size(), size_t(urb.bufferLength));
            urb.in.assign(reply.begin(), reply.begin() + std::ptrdiff_t(take));
            urb.actualLength = int(take);
            reply.erase(reply.begin(), reply.begin() + std::ptrdiff_t(take));
            if (reply.empty())
                replies.pop_front();
            completed.push_back(std::move(urb));
        }
    }

    // The device left the bus: transfers in flight end with ENODEV, like the kernel's.
    void disconnect() {
        present = false;
        replies.clear();
        partialRequest.clear();
        for (std::deque<Urb>* held : {&pendingIn, &pendingOut}) {
            while (!held->empty()) {
                held->front().status = -ENODEV;
                completed.push_back(std::move(held->front()));
                held->pop_front();
            }
        }
    }

    bool reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        if (completed.empty())
            return fail(client, present ? EAGAIN : ENODEV);
        // The argument is where the caller wants the address of the finished usbdevfs_urb.
        UMockdevIoctlData* pointer = resolve(arg, 0, sizeof(void*));
        if (!pointer)
            return fail(client, EFAULT);
        Urb done = std::move(completed.front());
        completed.pop_front();
        auto* urb = reinterpret_cast<usbdevfs_urb*>(done.data->data);
        urb->status = done.status;
        urb->actual_length = done.actualLength;
        if (!done.in.empty()) {
            UMockdevIoctlData* buffer =
                resolve(done.data, offsetof(usbdevfs_urb, buffer), size_t(done.bufferLength));
            if (buffer) {
                std::memcpy(buffer->data, done.in.data(), done.in.size());
                g_object_unref(buffer);
            }
        }
        umockdev_ioctl_data_set_ptr(pointer, 0, done.data);
        g_object_unref(pointer);
        g_object_unref(done.data);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }

    bool discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        unsigned long address = 0;
        std::memcpy(&address, arg->data, sizeof(address));
        for (auto it = pendingIn.begin(); it != pendingIn.end(); ++it) {
            if (it->clientAddress != address)
                continue;
            ++counters.discards;
            it->status = -ENOENT;
            it->actualLength = 0;
            completed.push_back(std::move(*it));
            pendingIn.erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        for (auto it = pendingOut.begin(); it != pendingOut.end(); ++it) {
            if (it->clientAddress != address)
                continue;
            ++counters.discards;
            it->status = -ENOENT;
            if (nakWrites) {
                it->actualLength = 0;  // every packet was refused
            } else {
                // The first packet went through before the host gave up; the rest is the host's to send.
                ++counters.partialWrites;
                it->actualLength = int(kPacketSize);
                partialRequest.assign(it->out.begin(), it->out.begin() + std::ptrdiff_t(kPacketSize));
            }
            it->out.clear();
            completed.push_back(std::move(*it));
            pendingOut.erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        // Already finished: nothing to cancel.
        return fail(client, EINVAL);
    }

    void dropAll() {
        for (Urb& urb : pendingIn)
            g_object_unref(urb.data);
        for (Urb& urb : pendingOut)
            g_object_unref(urb.data);
        for (Urb& urb : completed)
            g_object_unref(urb.data);
        pendingIn.clear();
        pendingOut.clear();
        completed.clear();
    }
    ~Function() { dropAll(); }
};

// ---------------------------------------------------------------------------------------------
// The programmer

std::vector<uint8_t> EmulatedProgrammer::descriptors(const Config& config) {
    const uint16_t vendorId = config.vendorId;
    const uint16_t productId = config.productId;
    // clang-format off
    return {
        // device: USB 2.0, vendor-specific, 64-byte control endpoint, one configuration
        0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40,
        uint8_t(vendorId), uint8_t(vendorId >> 8), uint8_t(productId), uint8_t(productId >> 8),
        0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
        // configuration 1: 32 bytes in all, one interface, bus powered, 100 mA
        0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
        // interface 0, alternate setting 0: two endpoints, vendor class
        0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,
        // bulk OUT and bulk IN, 512-byte packets
        0x07, 0x05, config.outEndpoint, 0x02, 0x00, 0x02, 0x00,
        0x07, 0x05, config.inEndpoint, 0x02, 0x00, 0x02, 0x00,
    };
    // clang-format on
}

EmulatedProgrammer::EmulatedProgrammer(const Config& config)
    : config_(config), function_(std::make_shared<Function>(config)) {
    EmulatedUsbBus& bus = EmulatedUsbBus::instance();
    UMockdevTestbed* testbed = bus.testbed();
    const unsigned address = bus.nextAddress();
    // Behind hubs the sysfs directory of a device sits in its hub's: usb1/1-1/1-1.4.
    std::string name = "1-", relative = "usb1";
    for (size_t start = 0; start <= config.ports.size();) {
        const size_t dot = std::min(config.ports.find('.', start), config.ports.size());
        name += (start ? "." : "") + config.ports.substr(start, dot - start);
        relative += "/" + name;
        start = dot + 1;
    }
    sysPath_ = "/sys/devices/" + relative;
    devNode_ = "/dev/bus/usb/001/" + threeDigits(address);

    gchar* rootText = umockdev_testbed_get_root_dir(testbed);
    const std::filesystem::path root(rootText);
    g_free(rootText);

    // The node answers ioctls before the device is announced, so libusb can open it at once.
    writeFile(root / devNode_.substr(1), {});
    if (config.answerIoctls) {
        handler_ = umockdev_ioctl_base_new();
        g_signal_connect_data(handler_, "handle-ioctl", G_CALLBACK(&Function::onIoctl),
                              new std::shared_ptr<Function>(function_), &Function::release, GConnectFlags(0));
        umockdev_testbed_attach_ioctl(testbed, devNode_.c_str(), handler_, nullptr);
    }

    // The descriptors go in before the device is added: adding it sends the "add" uevent, and
    // libusb reads the descriptors as soon as it sees that.
    writeFile(root / sysPath_.substr(1) / "descriptors", descriptors(config));
    char vendor[8], product[8];
    std::snprintf(vendor, sizeof(vendor), "%04x\n", config.vendorId);
    std::snprintf(product, sizeof(product), "%04x\n", config.productId);
    const std::string busnum = "1\n", devnum = std::to_string(address) + "\n";
    const std::string devname = devNode_;
    const gchar* attributes[] = {"idVendor",
                                 vendor,
                                 "idProduct",
                                 product,
                                 "busnum",
                                 busnum.c_str(),
                                 "devnum",
                                 devnum.c_str(),
                                 "speed",
                                 "480\n",
                                 "bConfigurationValue",
                                 "1\n",
                                 "bNumConfigurations",
                                 "1\n",
                                 "bNumInterfaces",
                                 " 1\n",
                                 nullptr};
    const std::string product4 = std::string(vendor, 4) + "/" + std::string(product, 4) + "/100";
    const std::string busnum3 = "001", devnum3 = threeDigits(address);
    const gchar* properties[] = {"DEVTYPE", "usb_device",    "DRIVER",  "usb",
                                 "DEVNAME", devname.c_str(), "BUSNUM",  busnum3.c_str(),
                                 "DEVNUM",  devnum3.c_str(), "PRODUCT", product4.c_str(),
                                 "TYPE",    "255/0/0",       nullptr};
    gchar* added =
        umockdev_testbed_add_devicev(testbed, "usb", relative.c_str(), nullptr,
                                     const_cast<gchar**>(attributes), const_cast<gchar**>(properties));
    if (added)
        sysPath_ = added;
    g_free(added);
    plugged_ = true;
}

EmulatedProgrammer::~EmulatedProgrammer() {
    unplug();
    if (handler_) {
        umockdev_testbed_detach_ioctl(EmulatedUsbBus::instance().testbed(), devNode_.c_str(), nullptr);
        g_object_unref(handler_);
    }
}

void EmulatedProgrammer::unplug() {
    if (!plugged_)
        return;
    plugged_ = false;
    {
        std::lock_guard<std::mutex> lock(function_->mutex);
        function_->disconnect();
    }
    // The "remove" uevent carries the device's properties, so it goes out while they still exist.
    UMockdevTestbed* testbed = EmulatedUsbBus::instance().testbed();
    umockdev_testbed_uevent(testbed, sysPath_.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, sysPath_.c_str());
}

bool EmulatedProgrammer::plugged() const {
    return plugged_;
}

std::string EmulatedProgrammer::devicePath() const {
    return "usb:1-" + config_.ports;
}

void EmulatedProgrammer::withModel(const std::function<void(vprog::DeviceModel&)>& fn) {
    std::lock_guard<std::mutex> lock(function_->mutex);
    fn(function_->model);
}

EmulatedProgrammer::Counters EmulatedProgrammer::counters() const {
    std::lock_guard<std::mutex> lock(function_->mutex);
    Counters counters = function_->counters;
    counters.pendingIn = unsigned(function_->pendingIn.size());
    return counters;
}

}  // namespace qvtest
