// In-process control of the simulated USB bus behind the simulated libusb-1.0.
//
// A test that links the `usbsim` target gets this library in place of the real libusb; the
// component (linked against libusb-1.0.so.0) finds it first through RUNPATH or LD_LIBRARY_PATH.
// Everything here is thread-safe and may be called while other threads use libusb.
//
//   auto dev = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
//   ... drive libusb or the component ...
//   ASSERT_TRUE(dev->waitFor([](const usbsim::Record& r) { return r.isVendor(17); }));
//   EXPECT_EQ(dev->received(usbsim::Channel::Printer), expectedBytes);
//
// Device channels: the printer channel is the first endpoint pair (OUT 0x01, IN 0x82); a device
// with four endpoints has the customer-display channel on the second pair (OUT 0x03, IN 0x84).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifndef KORVO_USB_VENDOR_ID
#define KORVO_USB_VENDOR_ID 0xFFFF
#endif

#define USBSIM_API __attribute__((visibility("default")))

namespace usbsim {

using Bytes = std::vector<uint8_t>;
using Millis = std::chrono::milliseconds;

enum class Channel { Printer = 0, Display = 1 };

enum class Speed { Full, High };

// Fixed request sequences that make the device answer with its identification script.
USBSIM_API const Bytes& onlineIdentifyRequest();   // 10 14 12 00 03 1D 49 43 1D 49 31
USBSIM_API const Bytes& offlineIdentifyRequest();  // 10 14 12 00 03 10 14 12 00 00

// Builders for identification answer blocks.
namespace answer {
USBSIM_API Bytes modelBlock(const std::string& model);       // "7MC" model 00
USBSIM_API Bytes underscoreModel(const std::string& model);  // "_" model 00
USBSIM_API Bytes deviceIdByte(uint8_t id);                    // id (online answer)
USBSIM_API Bytes deviceIdBlock(uint8_t id);                   // "7L1" id 00 (offline answer)
USBSIM_API Bytes bootKey(const Bytes& key);                   // "1" key 00
USBSIM_API Bytes statusBlock();                               // 14 00 00 0F, unsolicited
USBSIM_API Bytes concat(std::initializer_list<Bytes> parts);
}  // namespace answer

struct USBSIM_API DeviceConfig {
    uint16_t vendorId = KORVO_USB_VENDOR_ID;
    uint16_t productId = 0x0202;
    uint16_t bcdDevice = 0x0100;
    uint16_t bcdUSB = 0x0200;
    Speed speed = Speed::Full;
    std::optional<std::string> serial;  // none: iSerialNumber is 0
    std::string manufacturer = "Korvo";
    std::string product = "Receipt Printer";

    int endpoints = 2;             // 2 (printer) or 4 (printer and display)
    bool interruptIn = false;      // first IN endpoint is an interrupt endpoint
    bool printerClass = false;     // interface class 7 subclass 1 protocol 2, else vendor 0xFF
    std::string ieee1284Id = "MFG:Korvo;CMD:QORA/CS,VELT/RX;MDL:PC-100;CLS:PRINTER;";
    uint8_t deviceCode = 1;        // capability bits 2..6
    bool forcedFlow = true;        // capability bit 1
    std::optional<uint16_t> capabilityWord;  // overrides deviceCode/forcedFlow when set

    // Shape variations the component must reject.
    uint8_t numConfigurations = 1;
    uint8_t numInterfaces = 1;
    uint8_t numAltSettings = 1;
    uint8_t interfaceNumber = 0;

    bool hasKernelDriver = false;            // a kernel driver can bind (usblp for printer class)
    std::optional<bool> kernelDriverActive;  // bound at plug; default: hasKernelDriver
    bool idleInZeroLength = true;            // bulk IN with nothing queued: ZLP, else NAK until timeout

    // Identification: the default answers announce model/deviceId; scripts below replace them.
    std::string model = "QX-K40V";
    uint8_t deviceId = 0x20;
    // Answers in place of the two above from the moment the device appears (each element one bulk
    // IN delivery); the setters on Device change them later, when a scan may have read them.
    std::vector<Bytes> onlineAnswer;
    std::vector<Bytes> offlineAnswer;

    uint8_t port = 0;  // port number on bus 1; 0 picks the lowest free one

    static DeviceConfig vendorPrinter(std::optional<std::string> serial = std::string("QX0001"));
    static DeviceConfig displayPrinter(std::optional<std::string> serial = std::string("JV0001"));
    static DeviceConfig printerClassDevice(std::optional<std::string> serial = std::string("PRT0001"),
                                           const std::string& commandSet = "QORA/CS,VELT/RX");
    uint16_t capability() const;
};

// What one device received, in order. Control requests carry their setup fields and the
// data of their data stage (OUT: what was sent; IN: what the device answered).
struct Record {
    enum class Type {
        Control,   // any control transfer, standard, class or vendor
        BulkOut,   // bulk or interrupt OUT; data = bytes the device accepted
        BulkIn,    // bulk or interrupt IN; data = bytes delivered
        Reset,     // port reset (libusb_reset_device)
        Claim,     // interface claimed (not on the wire; kept for ordering checks)
        Release,   // interface released
    };
    uint64_t seq = 0;
    Type type = Type::Control;
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    uint8_t endpoint = 0;  // bulk: endpoint address; control: 0
    Channel channel = Channel::Printer;
    Bytes data;
    int result = 0;  // the libusb result the caller saw (bytes or a negative error)

    bool isVendor(uint8_t request) const {
        return type == Type::Control && (bmRequestType & 0x60) == 0x40 && bRequest == request;
    }
};

enum class FaultAction {
    Stall,       // LIBUSB_ERROR_PIPE
    Timeout,     // no answer until the caller's time-out: LIBUSB_ERROR_TIMEOUT
    // bulk OUT: no answer until the host gives the transfer up (its time-out or a cancel), then
    // ready again at once, as a device that recovers just when the host stops waiting
    TimeoutThenReady,
    Short,       // control IN: only shortLength bytes of the answer
    Empty,       // control IN: zero bytes
    Disconnect,  // the device is unplugged at that moment: LIBUSB_ERROR_NO_DEVICE
    Error,       // return `error`
};

// Matches control requests; unset fields match anything.
struct ControlFault {
    std::optional<uint8_t> bmRequestType;
    std::optional<uint8_t> bRequest;
    std::optional<uint16_t> wValue;
    std::optional<uint8_t> descriptorType;  // high byte of wValue
    int count = 1;                          // how many matching requests fail; -1: all
    FaultAction action = FaultAction::Stall;
    int shortLength = 1;
    int error = -1;  // LIBUSB_ERROR_IO
};

// One-shot fault on the bulk OUT endpoint of a channel: after `afterBytes` more bytes have
// been accepted the endpoint stalls (halted until clear_halt), times out or the device leaves.
// `reportedCount` replaces the count the device reports afterwards (request 18/20); a value
// below what it accepted means it dropped the rest from its buffer.
struct BulkOutFault {
    Channel channel = Channel::Printer;
    size_t afterBytes = 0;
    FaultAction action = FaultAction::Stall;
    std::optional<uint16_t> reportedCount;
};

struct USBSIM_API Timing {
    uint64_t bytesPerSecond = 0;  // 0: no wire delay
    std::chrono::microseconds controlLatency{0};
    static Timing off() { return {}; }
    static Timing fullSpeed();  // 12 Mbit/s: 1,216,000 B/s bulk payload, 1 ms per control transfer
    static Timing highSpeed();  // 480 Mbit/s: 53,248,000 B/s bulk payload, 125 us per control transfer
};

class USBSIM_API Device {
public:
    virtual ~Device() = default;

    virtual const DeviceConfig& config() const = 0;
    virtual uint8_t busNumber() const = 0;
    virtual uint8_t address() const = 0;
    virtual uint8_t portNumber() const = 0;
    virtual bool plugged() const = 0;
    // The component's key: upper-cased "USB#VID_0x%x##PID_0x%x%s".
    virtual std::string deviceName() const = 0;

    // Status word of a channel (request 1 printer, 3 display).
    virtual void setOffline(bool offline, Channel ch = Channel::Printer) = 0;  // until told
    virtual void notReadyFor(Millis d, Channel ch = Channel::Printer) = 0;
    virtual void busyFor(Millis d, Channel ch = Channel::Printer) = 0;  // bit 0, and bit 2 for code 2
    virtual void setBusy(bool busy, Channel ch = Channel::Printer) = 0;  // until told
    virtual void setStatusOverride(std::optional<uint16_t> word, Channel ch = Channel::Printer) = 0;
    virtual bool forcedFlow(Channel ch = Channel::Printer) const = 0;

    // Input: each call is one message, delivered by bulk IN transfers of the channel.
    virtual void queueInput(const Bytes& bytes, Channel ch = Channel::Printer) = 0;
    virtual size_t pendingInput(Channel ch = Channel::Printer) const = 0;

    // Replies queued when the channel's received stream ends with `request`; each element is
    // one bulk IN delivery. `times` -1: every time.
    virtual void scriptReply(const Bytes& request, std::vector<Bytes> replies, int times = -1,
                             Channel ch = Channel::Printer) = 0;
    virtual void setOnlineAnswer(std::vector<Bytes> replies) = 0;
    virtual void setOfflineAnswer(std::vector<Bytes> replies) = 0;
    virtual void clearScripts() = 0;

    // Faults.
    virtual void setKernelDriverActive(bool active) = 0;
    virtual bool kernelDriverActive() const = 0;  // a kernel driver holds the interface now
    virtual void failKernelDriverQuery(int error) = 0;          // 0: answer truthfully
    virtual void failDetach(int times, int error = -6) = 0;    // LIBUSB_ERROR_BUSY
    virtual void failClaim(int times, int error = -6) = 0;     // -1 times: always
    virtual void failOpen(int times, int error = -3) = 0;      // LIBUSB_ERROR_ACCESS
    virtual void failStringDescriptors(int times, FaultAction action = FaultAction::Stall) = 0;
    virtual void failAnswerProbe(int times, FaultAction action = FaultAction::Stall) = 0;
    virtual void addControlFault(const ControlFault& f) = 0;
    virtual void addBulkOutFault(const BulkOutFault& f) = 0;
    virtual void failBulkIn(int times, FaultAction action, Channel ch = Channel::Printer) = 0;
    virtual void clearFaults() = 0;

    // The record.
    virtual std::vector<Record> records() const = 0;
    virtual void clearRecords() = 0;
    // Bytes the device took on a channel, in order, after dropping what it reported as not taken.
    virtual Bytes received(Channel ch = Channel::Printer) const = 0;
    // Waits until `pred` holds for the record (checked on every change); false on time-out.
    virtual bool waitUntil(const std::function<bool(const std::vector<Record>&)>& pred,
                           Millis timeout = Millis(10000)) const = 0;
    // Waits until one record entry satisfies `pred`.
    bool waitFor(const std::function<bool(const Record&)>& pred, Millis timeout = Millis(10000)) const {
        return waitUntil(
            [&](const std::vector<Record>& rs) {
                for (const auto& r : rs)
                    if (pred(r)) return true;
                return false;
            },
            timeout);
    }
    // Waits until an interface release is on the record (a probe or a close has given it back).
    bool waitForRelease(Millis timeout = Millis(10000)) const {
        return waitFor([](const Record& r) { return r.type == Record::Type::Release; }, timeout);
    }
    // Waits until the channel has received at least `n` bytes.
    virtual bool waitForReceived(size_t n, Channel ch = Channel::Printer,
                                 Millis timeout = Millis(10000)) const = 0;
};

using DevicePtr = std::shared_ptr<Device>;

// Attaches a new device instance (new address) and notifies hot-plug listeners.
USBSIM_API DevicePtr plug(const DeviceConfig& cfg);
// Detaches it: open handles fail with LIBUSB_ERROR_NO_DEVICE, blocked transfers return.
USBSIM_API void unplug(const DevicePtr& dev);
// Unplug and plug the same configuration: a new instance under the same device name.
USBSIM_API DevicePtr replug(const DevicePtr& dev);
// Unplugs everything, clears timing and signal settings; for test fixtures.
USBSIM_API void resetBus();
USBSIM_API std::vector<DevicePtr> attachedDevices();

// Signal sent to this process on every plug and unplug (0: none), like a hot-plug notifier.
USBSIM_API void setHotplugSignal(int signo);
USBSIM_API void setTiming(const Timing& t);
USBSIM_API Timing timing();

// Loads an out-of-process configuration file (what TALIUN_USBSIM_CONFIG names at start-up).
// Returns false with a message on a malformed file.
USBSIM_API bool loadConfigFile(const std::string& path, std::string* error = nullptr);

}  // namespace usbsim
