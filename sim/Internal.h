// Shared state of the simulated bus. Lock order: there is one lock, Bus::mu, which guards every
// object below (bus, devices, contexts, handles, transfers). Nothing calls user code (hot-plug or
// transfer callbacks, record predicates) while holding it.
#pragma once

#include "sim/SimBus.h"

#pragma GCC visibility push(default)
#include <libusb-1.0/libusb.h>
#pragma GCC visibility pop

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_set>

namespace usbsim::detail {

using Clock = std::chrono::steady_clock;

struct Setup {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// Outcome of one attempt at a transfer. `blocked`: the device has not answered (NAK); the
// caller retries until its time-out. `stuck`: it never will for this transfer.
struct OpResult {
    bool blocked = false;
    bool stuck = false;
    int result = 0;  // 0 or a negative libusb error
    int actual = 0;  // bytes moved by this attempt
};

struct EndpointInfo {
    uint8_t address = 0;
    uint8_t attributes = 2;
    Channel channel = Channel::Printer;
};

class DeviceModel;

// Descriptor bytes as the device sends them.
Bytes buildDeviceDescriptor(const DeviceConfig& c);
Bytes buildConfigDescriptor(const DeviceConfig& c, int index);
Bytes buildStringDescriptor(const DeviceConfig& c, int index);  // empty: no such string
std::vector<EndpointInfo> endpointLayout(const DeviceConfig& c);
// Parses a configuration descriptor into libusb's structures; null on malformed input.
libusb_config_descriptor* parseConfigDescriptor(const Bytes& raw);
void freeConfigDescriptor(libusb_config_descriptor* c);

struct Spool;

class DeviceModel final : public Device, public std::enable_shared_from_this<DeviceModel> {
public:
    DeviceModel(const DeviceConfig& cfg, uint8_t address, uint8_t port);
    ~DeviceModel() override;

    const DeviceConfig& config() const override { return cfg_; }
    uint8_t busNumber() const override { return 1; }
    uint8_t address() const override { return address_; }
    uint8_t portNumber() const override { return port_; }
    bool plugged() const override;
    std::string deviceName() const override;

    void setOffline(bool offline, Channel ch) override;
    void notReadyFor(Millis d, Channel ch) override;
    void busyFor(Millis d, Channel ch) override;
    void setBusy(bool busy, Channel ch) override;
    void setStatusOverride(std::optional<uint16_t> word, Channel ch) override;
    bool forcedFlow(Channel ch) const override;

    void queueInput(const Bytes& bytes, Channel ch) override;
    size_t pendingInput(Channel ch) const override;
    void scriptReply(const Bytes& request, std::vector<Bytes> replies, int times, Channel ch) override;
    void setOnlineAnswer(std::vector<Bytes> replies) override;
    void setOfflineAnswer(std::vector<Bytes> replies) override;
    void clearScripts() override;

    void setKernelDriverActive(bool active) override;
    bool kernelDriverActive() const override;
    void failKernelDriverQuery(int error) override;
    void failDetach(int times, int error) override;
    void failClaim(int times, int error) override;
    void failOpen(int times, int error) override;
    void failStringDescriptors(int times, FaultAction action) override;
    void failAnswerProbe(int times, FaultAction action) override;
    void addControlFault(const ControlFault& f) override;
    void addBulkOutFault(const BulkOutFault& f) override;
    void failBulkIn(int times, FaultAction action, Channel ch) override;
    void clearFaults() override;

    std::vector<Record> records() const override;
    void clearRecords() override;
    Bytes received(Channel ch) const override;
    bool waitUntil(const std::function<bool(const std::vector<Record>&)>& pred, Millis timeout) const override;
    bool waitForReceived(size_t n, Channel ch, Millis timeout) const override;

    // Everything below runs with Bus::mu held.
    bool pluggedLocked() const { return plugged_; }
    void markUnplugged() { plugged_ = false; }
    const EndpointInfo* endpoint(uint8_t address) const;
    const Bytes& deviceDescriptor() const { return deviceDesc_; }
    Bytes configDescriptor(int index) const { return buildConfigDescriptor(cfg_, index); }

    OpResult control(const Setup& s, uint8_t* data);
    OpResult bulkOut(uint8_t ep, const uint8_t* data, int len);
    OpResult bulkIn(uint8_t ep, uint8_t* data, int len);
    void noteBulkIn(uint8_t ep, const uint8_t* data, int len, int result);
    // The host gave up a bulk OUT transfer that was on the device (time-out or cancel).
    void bulkOutUnlinked(uint8_t ep);
    void note(Record::Type t, uint16_t iface);
    int openFault();

    // Interface and driver state, shared by every handle on this device instance.
    int kernelDriverQuery();
    int detachKernelDriver();
    bool kernelBound = false;
    const void* claimedBy = nullptr;
    int configuration = 1;
    uint8_t altSetting = 0;
    int claimFault(); // 0 or the error of a scripted failure

    void attachSpool(const std::string& dir);

private:
    struct ChannelState {
        bool offline = false;
        bool busy = false;
        Clock::time_point notReadyUntil{};
        Clock::time_point busyUntil{};
        std::optional<uint16_t> statusOverride;
        bool forced = false;
        std::deque<Bytes> input;
        size_t inputOffset = 0;
        Bytes stream;             // bytes taken, in order
        size_t chunkStart = 0;    // stream size at the last write start
        uint32_t sinceStart = 0;  // bytes accepted since the last write start
        std::optional<uint16_t> reportOverride;
        bool outHalted = false;
        bool inHalted = false;
        bool outNak = false;
        bool outNakUntilUnlinked = false;  // the NAK ends when the waiting transfer is given up
        Bytes tail;  // last bytes received, for scripted replies
        int bulkInFaults = 0;
        FaultAction bulkInAction = FaultAction::Stall;
    };
    struct Script {
        Bytes request;
        std::vector<Bytes> replies;
        int times = -1;
        Channel channel = Channel::Printer;
        int tag = 0;  // 1 online answer, 2 offline answer, 0 other
    };

    ChannelState& chan(Channel ch) { return ch_[static_cast<int>(ch)]; }
    const ChannelState& chan(Channel ch) const { return ch_[static_cast<int>(ch)]; }
    uint16_t statusWord(Channel ch) const;
    void record(Record r);
    void changed();
    OpResult standardRequest(const Setup& s, uint8_t* data, Record& r);
    OpResult vendorRequest(const Setup& s, uint8_t* data, Record& r);
    OpResult classRequest(const Setup& s, uint8_t* data, Record& r);
    bool matchControlFault(const Setup& s, ControlFault& out);
    void afterReceive(Channel ch, const uint8_t* data, size_t n);
    void setAnswer(int tag, const Bytes& request, std::vector<Bytes> replies);
    bool hasChannel(Channel ch) const { return ch == Channel::Printer || cfg_.endpoints >= 4; }
    void spoolWrite(const Record& r);

    const DeviceConfig cfg_;
    const uint8_t address_;
    const uint8_t port_;
    const Bytes deviceDesc_;
    const std::vector<EndpointInfo> eps_;
    bool plugged_ = true;
    ChannelState ch_[2];
    std::vector<Script> scripts_;
    std::deque<Record> records_;
    uint64_t seq_ = 0;
    uint64_t version_ = 0;

    int kernelQueryError_ = 0;
    int detachFailures_ = 0;
    int detachError_ = LIBUSB_ERROR_BUSY;
    int claimFailures_ = 0;
    int claimError_ = LIBUSB_ERROR_BUSY;
    int openFailures_ = 0;
    int openError_ = LIBUSB_ERROR_ACCESS;
    std::vector<ControlFault> controlFaults_;
    std::vector<BulkOutFault> bulkOutFaults_;
    std::unique_ptr<Spool> spool_;
};

}  // namespace usbsim::detail

// The opaque libusb types, defined here for the simulator.
struct HotplugCallback {
    int handle = 0;
    int events = 0;
    int vendor = LIBUSB_HOTPLUG_MATCH_ANY;
    int product = LIBUSB_HOTPLUG_MATCH_ANY;
    int devClass = LIBUSB_HOTPLUG_MATCH_ANY;
    libusb_hotplug_callback_fn fn = nullptr;
    void* user = nullptr;
    bool removed = false;
};

struct HotplugEvent {
    libusb_device* dev;  // holds a reference until delivered
    libusb_hotplug_event event;
};

struct TransferPriv;

struct libusb_context {
    int initRefs = 1;  // the default context is shared by every libusb_init(NULL)
    int logLevel = 0;
    bool exiting = false;
    int activeOps = 0;  // calls in progress that touch this context's objects
    bool interrupted = false;
    std::vector<std::pair<usbsim::detail::DeviceModel*, libusb_device*>> devices;  // attach order
    std::set<libusb_device_handle*> handles;
    std::vector<HotplugCallback> hotplug;
    std::deque<HotplugEvent> hotplugEvents;
    int nextHotplugHandle = 1;
    std::deque<TransferPriv*> transfers;  // submitted, not yet reaped
    libusb_log_cb logCb = nullptr;
    std::mutex eventsLock;         // libusb_lock_events
    std::mutex waitersLock;        // libusb_lock_event_waiters
    std::condition_variable waitersCv;
    bool eventsLocked = false;
};

struct libusb_device {
    libusb_context* ctx = nullptr;
    int refs = 1;
    std::shared_ptr<usbsim::detail::DeviceModel> model;
};

struct libusb_device_handle {
    libusb_device* dev = nullptr;
    bool closed = false;
    int inflight = 0;  // synchronous calls and submitted transfers using this handle
    bool autoDetach = false;
    bool detachedByClaim = false;
};

struct TransferPriv {
    bool submitted = false;
    bool done = false;
    bool stuck = false;
    bool cancelRequested = false;
    libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED;
    libusb_device_handle* handle = nullptr;
    usbsim::detail::Clock::time_point deadline{};
    usbsim::detail::Clock::time_point readyAt{};
    bool hasDeadline = false;
    bool recordedOut = false;
    bool onDevice = false;  // a bulk OUT transfer the device is holding off (NAK)
    int streamId = 0;
    // libusb_transfer follows; its variable tail holds the iso packet descriptors.
    alignas(libusb_transfer) unsigned char pub[sizeof(libusb_transfer)];
};

namespace usbsim::detail {

struct Bus {
    std::mutex mu;
    std::condition_variable cv;  // any change: data, records, plug, close, exit
    std::vector<std::shared_ptr<DeviceModel>> attached;
    std::set<libusb_context*> contexts;
    std::unordered_set<const void*> liveDevices;
    std::unordered_set<const void*> liveHandles;
    libusb_context* defaultCtx = nullptr;
    uint8_t nextAddress = 1;
    Timing timing;
    int hotplugSignal = 0;
    bool configLoaded = false;
    std::string configPath;
    int64_t configStamp = 0;
    std::map<std::string, std::shared_ptr<DeviceModel>> configDevices;  // by section name
    std::string spoolDir;
    std::string sysfsMirror;  // out-of-process: attributes lsusb reads from sysfs, per device
};

// The model's host: what a DeviceModel needs from the bus that carries it. The simulated libusb
// (Bus.cpp) and the usbfs emulation (mockdev/) each define these three.
Bus& bus();                     // its lock and change signal; `attached` lists the devices plugged in
void detachLocked(DeviceModel* m);  // the device leaves (a Disconnect fault, or unplug). mu held.
void sendHotplugSignalLocked();     // a plug or unplug happened: the hot-plug notice, if any. mu held.

// Adds/removes a device to/from every context, queueing hot-plug events. mu held.
libusb_device* newDeviceLocked(libusb_context* ctx, const std::shared_ptr<DeviceModel>& m);
void unrefDeviceLocked(libusb_device* d);
void attachLocked(const std::shared_ptr<DeviceModel>& m);
// Out-of-process configuration: loads TALIUN_USBSIM_CONFIG once, then again when it changes. mu held.
void refreshConfigLocked();
bool applyConfigLocked(const std::string& path, std::string* error);
std::shared_ptr<DeviceModel> plugLocked(const DeviceConfig& cfg);

}  // namespace usbsim::detail
