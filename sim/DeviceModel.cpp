// The maker's device: vendor-class printer (two endpoints), printer with customer display (four)
// and printer-class device, speaking the vendor protocol on their control pipe and taking print
// data on the bulk OUT endpoint of each channel.
#include "sim/Internal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace usbsim::detail {

namespace {

constexpr size_t kMaxRecords = 200000;
constexpr size_t kTailKeep = 64;

enum VendorRequest : uint8_t {
    kCapability = 0,
    kStatus = 1,
    kSetFlow = 2,
    kDisplayStatus = 3,
    kDisplaySetFlow = 4,
    kWriteStart = 17,
    kCount = 18,
    kDisplayWriteStart = 19,
    kDisplayCount = 20,
    kReset = 127,
};

Clock::time_point now() { return Clock::now(); }

}  // namespace

struct Spool {
    FILE* out[2] = {nullptr, nullptr};
    FILE* log = nullptr;
    ~Spool() {
        for (FILE* f : out)
            if (f) std::fclose(f);
        if (log) std::fclose(log);
    }
};

DeviceModel::DeviceModel(const DeviceConfig& cfg, uint8_t address, uint8_t port)
    : cfg_(cfg),
      address_(address),
      port_(port),
      deviceDesc_(buildDeviceDescriptor(cfg)),
      eps_(endpointLayout(cfg)) {
    kernelBound = cfg.kernelDriverActive.value_or(cfg.hasKernelDriver);
    setAnswer(1, onlineIdentifyRequest(),
              !cfg.onlineAnswer.empty()
                  ? cfg.onlineAnswer
                  : std::vector<Bytes>{answer::concat(
                        {answer::underscoreModel(cfg.model), answer::deviceIdByte(cfg.deviceId)})});
    setAnswer(2, offlineIdentifyRequest(),
              !cfg.offlineAnswer.empty()
                  ? cfg.offlineAnswer
                  : std::vector<Bytes>{
                        answer::concat({answer::modelBlock(cfg.model), answer::deviceIdBlock(cfg.deviceId)})});
}

DeviceModel::~DeviceModel() = default;

bool DeviceModel::plugged() const {
    std::lock_guard<std::mutex> lk(bus().mu);
    return plugged_;
}

std::string DeviceModel::deviceName() const {
    char buf[256];
    std::snprintf(buf, sizeof buf, "USB#VID_0x%x##PID_0x%x%s", cfg_.vendorId, cfg_.productId,
                  cfg_.serial ? cfg_.serial->c_str() : "");
    std::string s(buf);
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

void DeviceModel::changed() {
    ++version_;
    bus().cv.notify_all();
}

void DeviceModel::record(Record r) {
    r.seq = ++seq_;
    spoolWrite(r);
    records_.push_back(std::move(r));
    if (records_.size() > kMaxRecords) records_.pop_front();
    changed();
}

uint16_t DeviceModel::statusWord(Channel ch) const {
    const ChannelState& c = chan(ch);
    if (c.statusOverride) return *c.statusOverride;
    const auto t = now();
    const bool busy = c.busy || t < c.busyUntil;
    const bool notReady = c.offline || t < c.notReadyUntil || busy;
    const uint8_t code = static_cast<uint8_t>((cfg_.capability() >> 2) & 0x1F);
    uint16_t w = 0;
    if (notReady) w |= 1;
    if (c.forced) w |= 2;
    if (busy && code == 2) w |= 4;
    return w;
}

// ---- scripted state (public API) ----

#define USBSIM_LOCKED std::lock_guard<std::mutex> lk_(bus().mu)

void DeviceModel::setOffline(bool offline, Channel ch) {
    USBSIM_LOCKED;
    chan(ch).offline = offline;
    changed();
}
void DeviceModel::notReadyFor(Millis d, Channel ch) {
    USBSIM_LOCKED;
    chan(ch).notReadyUntil = now() + d;
    changed();
}
void DeviceModel::busyFor(Millis d, Channel ch) {
    USBSIM_LOCKED;
    chan(ch).busyUntil = now() + d;
    changed();
}
void DeviceModel::setBusy(bool busy, Channel ch) {
    USBSIM_LOCKED;
    chan(ch).busy = busy;
    changed();
}
void DeviceModel::setStatusOverride(std::optional<uint16_t> word, Channel ch) {
    USBSIM_LOCKED;
    chan(ch).statusOverride = word;
    changed();
}
bool DeviceModel::forcedFlow(Channel ch) const {
    USBSIM_LOCKED;
    return chan(ch).forced;
}
void DeviceModel::queueInput(const Bytes& bytes, Channel ch) {
    USBSIM_LOCKED;
    chan(ch).input.push_back(bytes);
    changed();
}
size_t DeviceModel::pendingInput(Channel ch) const {
    USBSIM_LOCKED;
    const ChannelState& c = chan(ch);
    size_t n = 0;
    for (const auto& m : c.input) n += m.size();
    return n - c.inputOffset;
}
void DeviceModel::scriptReply(const Bytes& request, std::vector<Bytes> replies, int times, Channel ch) {
    USBSIM_LOCKED;
    scripts_.push_back({request, std::move(replies), times, ch, 0});
}
void DeviceModel::setAnswer(int tag, const Bytes& request, std::vector<Bytes> replies) {
    scripts_.erase(std::remove_if(scripts_.begin(), scripts_.end(), [&](const Script& s) { return s.tag == tag; }),
                   scripts_.end());
    scripts_.push_back({request, std::move(replies), -1, Channel::Printer, tag});
}
void DeviceModel::setOnlineAnswer(std::vector<Bytes> replies) {
    USBSIM_LOCKED;
    setAnswer(1, onlineIdentifyRequest(), std::move(replies));
}
void DeviceModel::setOfflineAnswer(std::vector<Bytes> replies) {
    USBSIM_LOCKED;
    setAnswer(2, offlineIdentifyRequest(), std::move(replies));
}
void DeviceModel::clearScripts() {
    USBSIM_LOCKED;
    scripts_.clear();
}

void DeviceModel::setKernelDriverActive(bool active) {
    USBSIM_LOCKED;
    kernelBound = active;
    changed();
}
bool DeviceModel::kernelDriverActive() const {
    USBSIM_LOCKED;
    return kernelBound;
}
void DeviceModel::failKernelDriverQuery(int error) {
    USBSIM_LOCKED;
    kernelQueryError_ = error;
}
void DeviceModel::failDetach(int times, int error) {
    USBSIM_LOCKED;
    detachFailures_ = times;
    detachError_ = error;
}
void DeviceModel::failClaim(int times, int error) {
    USBSIM_LOCKED;
    claimFailures_ = times;
    claimError_ = error;
}
void DeviceModel::failOpen(int times, int error) {
    USBSIM_LOCKED;
    openFailures_ = times;
    openError_ = error;
}
void DeviceModel::failStringDescriptors(int times, FaultAction action) {
    ControlFault f;
    f.bmRequestType = 0x80;
    f.bRequest = LIBUSB_REQUEST_GET_DESCRIPTOR;
    f.descriptorType = LIBUSB_DT_STRING;
    f.count = times;
    f.action = action;
    addControlFault(f);
}
void DeviceModel::failAnswerProbe(int times, FaultAction action) {
    ControlFault f;
    f.bmRequestType = 0x80;
    f.bRequest = LIBUSB_REQUEST_GET_DESCRIPTOR;
    f.wValue = LIBUSB_DT_CONFIG << 8;
    f.count = times;
    f.action = action;
    addControlFault(f);
}
void DeviceModel::addControlFault(const ControlFault& f) {
    USBSIM_LOCKED;
    controlFaults_.push_back(f);
}
void DeviceModel::addBulkOutFault(const BulkOutFault& f) {
    USBSIM_LOCKED;
    bulkOutFaults_.push_back(f);
}
void DeviceModel::failBulkIn(int times, FaultAction action, Channel ch) {
    USBSIM_LOCKED;
    chan(ch).bulkInFaults = times;
    chan(ch).bulkInAction = action;
}
void DeviceModel::clearFaults() {
    USBSIM_LOCKED;
    kernelQueryError_ = 0;
    detachFailures_ = claimFailures_ = openFailures_ = 0;
    controlFaults_.clear();
    bulkOutFaults_.clear();
    for (auto& c : ch_) {
        c.bulkInFaults = 0;
        c.outNak = false;
    }
    changed();
}

std::vector<Record> DeviceModel::records() const {
    USBSIM_LOCKED;
    return {records_.begin(), records_.end()};
}
void DeviceModel::clearRecords() {
    USBSIM_LOCKED;
    records_.clear();
    changed();
}
Bytes DeviceModel::received(Channel ch) const {
    USBSIM_LOCKED;
    return chan(ch).stream;
}

bool DeviceModel::waitUntil(const std::function<bool(const std::vector<Record>&)>& pred, Millis timeout) const {
    const auto deadline = now() + timeout;
    std::unique_lock<std::mutex> lk(bus().mu);
    uint64_t seen = version_ - 1;
    for (;;) {
        if (seen != version_) {
            seen = version_;
            std::vector<Record> copy(records_.begin(), records_.end());
            lk.unlock();
            const bool ok = pred(copy);
            lk.lock();
            if (ok) return true;
            continue;  // re-check the version: it may have moved while we looked
        }
        if (bus().cv.wait_until(lk, deadline) == std::cv_status::timeout && seen == version_) return false;
    }
}

bool DeviceModel::waitForReceived(size_t n, Channel ch, Millis timeout) const {
    std::unique_lock<std::mutex> lk(bus().mu);
    return bus().cv.wait_for(lk, timeout, [&] { return chan(ch).stream.size() >= n; });
}

// ---- transport side (Bus::mu held) ----

const EndpointInfo* DeviceModel::endpoint(uint8_t address) const {
    for (const auto& e : eps_)
        if (e.address == address) return &e;
    return nullptr;
}

int DeviceModel::openFault() {
    if (openFailures_ == 0) return 0;
    if (openFailures_ > 0) --openFailures_;
    return openError_;
}

int DeviceModel::claimFault() {
    if (claimFailures_ == 0) return 0;
    if (claimFailures_ > 0) --claimFailures_;
    return claimError_;
}

int DeviceModel::kernelDriverQuery() {
    if (kernelQueryError_ != 0) return kernelQueryError_;
    return kernelBound ? 1 : 0;
}

int DeviceModel::detachKernelDriver() {
    if (!kernelBound) return LIBUSB_ERROR_NOT_FOUND;
    if (detachFailures_ != 0) {
        if (detachFailures_ > 0) --detachFailures_;
        return detachError_;
    }
    kernelBound = false;
    changed();
    return 0;
}

void DeviceModel::note(Record::Type t, uint16_t iface) {
    Record r;
    r.type = t;
    r.wIndex = iface;
    record(std::move(r));
}

bool DeviceModel::matchControlFault(const Setup& s, ControlFault& out) {
    for (auto it = controlFaults_.begin(); it != controlFaults_.end(); ++it) {
        const ControlFault& f = *it;
        if (f.count == 0) continue;
        if (f.bmRequestType && *f.bmRequestType != s.bmRequestType) continue;
        if (f.bRequest && *f.bRequest != s.bRequest) continue;
        if (f.wValue && *f.wValue != s.wValue) continue;
        if (f.descriptorType && *f.descriptorType != (s.wValue >> 8)) continue;
        out = f;
        if (it->count > 0 && --it->count == 0) controlFaults_.erase(it);
        return true;
    }
    return false;
}

OpResult DeviceModel::control(const Setup& s, uint8_t* data) {
    Record r;
    r.type = Record::Type::Control;
    r.bmRequestType = s.bmRequestType;
    r.bRequest = s.bRequest;
    r.wValue = s.wValue;
    r.wIndex = s.wIndex;
    r.wLength = s.wLength;
    const bool in = (s.bmRequestType & 0x80) != 0;
    if (!in && s.wLength) r.data.assign(data, data + s.wLength);

    OpResult o;
    ControlFault f;
    const bool faulted = matchControlFault(s, f);
    if (faulted && f.action != FaultAction::Short && f.action != FaultAction::Empty) {
        switch (f.action) {
        case FaultAction::Timeout:
            o.blocked = o.stuck = true;
            r.result = LIBUSB_ERROR_TIMEOUT;
            break;
        case FaultAction::Disconnect:
            o.result = r.result = LIBUSB_ERROR_NO_DEVICE;
            break;
        case FaultAction::Error:
            o.result = r.result = f.error;
            break;
        default:
            o.result = r.result = LIBUSB_ERROR_PIPE;
            break;
        }
        r.data.clear();
        record(std::move(r));
        if (f.action == FaultAction::Disconnect) {
            detachLocked(this);
            sendHotplugSignalLocked();
        }
        return o;
    }

    switch (s.bmRequestType & 0x60) {
    case 0x00:
        o = standardRequest(s, data, r);
        break;
    case 0x20:
        o = classRequest(s, data, r);
        break;
    case 0x40:
        o = vendorRequest(s, data, r);
        break;
    default:
        o.result = LIBUSB_ERROR_PIPE;
        break;
    }
    if (faulted && in && o.result == 0) {
        o.actual = f.action == FaultAction::Empty ? 0 : std::min(o.actual, std::max(0, f.shortLength));
    }
    if (o.result < 0) {
        r.result = o.result;
    } else {
        r.result = o.actual;
        if (in) r.data.assign(data, data + o.actual);
    }
    record(std::move(r));
    return o;
}

namespace {

OpResult reply(uint8_t* data, uint16_t wLength, const Bytes& b) {
    OpResult o;
    o.actual = static_cast<int>(std::min<size_t>(wLength, b.size()));
    if (o.actual) std::memcpy(data, b.data(), static_cast<size_t>(o.actual));
    return o;
}

OpResult stall() {
    OpResult o;
    o.result = LIBUSB_ERROR_PIPE;
    return o;
}

}  // namespace

OpResult DeviceModel::standardRequest(const Setup& s, uint8_t* data, Record&) {
    const uint8_t recipient = s.bmRequestType & 0x1F;
    const bool in = (s.bmRequestType & 0x80) != 0;
    switch (s.bRequest) {
    case LIBUSB_REQUEST_GET_STATUS: {
        if (!in) return stall();
        if (recipient == LIBUSB_RECIPIENT_DEVICE) return reply(data, s.wLength, {0x01, 0x00});
        if (recipient == LIBUSB_RECIPIENT_INTERFACE) {
            if ((s.wIndex & 0xFF) != cfg_.interfaceNumber || configuration == 0) return stall();
            return reply(data, s.wLength, {0, 0});
        }
        if (recipient == LIBUSB_RECIPIENT_ENDPOINT) {
            const uint8_t ep = static_cast<uint8_t>(s.wIndex);
            if ((ep & 0x7F) == 0) return reply(data, s.wLength, {0, 0});
            const EndpointInfo* e = endpoint(ep);
            if (!e || configuration == 0) return stall();
            const ChannelState& c = chan(e->channel);
            const bool halted = (ep & 0x80) ? c.inHalted : c.outHalted;
            return reply(data, s.wLength, {static_cast<uint8_t>(halted ? 1 : 0), 0});
        }
        return stall();
    }
    case LIBUSB_REQUEST_CLEAR_FEATURE:
    case LIBUSB_REQUEST_SET_FEATURE: {
        if (in) return stall();
        const bool set = s.bRequest == LIBUSB_REQUEST_SET_FEATURE;
        if (recipient == LIBUSB_RECIPIENT_DEVICE && s.wValue == 1) return {};  // remote wake-up
        if (recipient != LIBUSB_RECIPIENT_ENDPOINT || s.wValue != 0) return stall();
        const uint8_t ep = static_cast<uint8_t>(s.wIndex);
        const EndpointInfo* e = endpoint(ep);
        if (!e || configuration == 0) return stall();
        ChannelState& c = chan(e->channel);
        if (ep & 0x80) {
            c.inHalted = set;
        } else {
            c.outHalted = set;
            if (!set) c.outNak = false;
        }
        return {};
    }
    case LIBUSB_REQUEST_GET_DESCRIPTOR: {
        if (!in || recipient != LIBUSB_RECIPIENT_DEVICE) return stall();
        const uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
        const uint8_t index = static_cast<uint8_t>(s.wValue & 0xFF);
        if (type == LIBUSB_DT_DEVICE) return reply(data, s.wLength, deviceDesc_);
        if (type == LIBUSB_DT_CONFIG) {
            if (index >= cfg_.numConfigurations) return stall();
            return reply(data, s.wLength, configDescriptor(index));
        }
        if (type == LIBUSB_DT_STRING) {
            const Bytes b = buildStringDescriptor(cfg_, index);
            if (b.empty()) return stall();
            return reply(data, s.wLength, b);
        }
        // Device qualifier, other-speed configuration, debug, BOS: a full-speed device has none.
        constexpr uint8_t kDeviceQualifier = 0x06;
        if (cfg_.speed == Speed::High && type == kDeviceQualifier) {
            Bytes q{10, kDeviceQualifier, deviceDesc_[2], deviceDesc_[3], 0, 0, 0, 64, cfg_.numConfigurations, 0};
            return reply(data, s.wLength, q);
        }
        return stall();
    }
    case LIBUSB_REQUEST_GET_CONFIGURATION:
        if (!in || recipient != LIBUSB_RECIPIENT_DEVICE) return stall();
        return reply(data, s.wLength, {static_cast<uint8_t>(configuration)});
    case LIBUSB_REQUEST_SET_CONFIGURATION:
        if (in || recipient != LIBUSB_RECIPIENT_DEVICE || s.wValue > cfg_.numConfigurations) return stall();
        configuration = s.wValue;
        altSetting = 0;
        for (auto& c : ch_) c.inHalted = c.outHalted = c.outNak = false;
        return {};
    case LIBUSB_REQUEST_GET_INTERFACE:
        if (!in || recipient != LIBUSB_RECIPIENT_INTERFACE || configuration == 0 ||
            (s.wIndex & 0xFF) < cfg_.interfaceNumber || (s.wIndex & 0xFF) >= cfg_.interfaceNumber + cfg_.numInterfaces)
            return stall();
        return reply(data, s.wLength, {(s.wIndex & 0xFF) == cfg_.interfaceNumber ? altSetting : uint8_t(0)});
    case LIBUSB_REQUEST_SET_INTERFACE:
        if (in || recipient != LIBUSB_RECIPIENT_INTERFACE || configuration == 0 ||
            (s.wIndex & 0xFF) != cfg_.interfaceNumber || s.wValue >= cfg_.numAltSettings)
            return stall();
        altSetting = static_cast<uint8_t>(s.wValue);
        for (auto& c : ch_) c.inHalted = c.outHalted = c.outNak = false;
        return {};
    default:
        return stall();
    }
}

OpResult DeviceModel::classRequest(const Setup& s, uint8_t* data, Record&) {
    if (!cfg_.printerClass || (s.bmRequestType & 0x1F) != LIBUSB_RECIPIENT_INTERFACE) return stall();
    const bool in = (s.bmRequestType & 0x80) != 0;
    switch (s.bRequest) {
    case 0: {  // GET_DEVICE_ID: big-endian length that counts itself, then the ID text
        if (!in) return stall();
        const std::string& id = cfg_.ieee1284Id;
        const size_t len = std::min<size_t>(id.size() + 2, 0xFFFF);
        Bytes b{static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len & 0xFF)};
        b.insert(b.end(), id.begin(), id.begin() + static_cast<long>(len - 2));
        return reply(data, s.wLength, b);
    }
    case 1: {  // GET_PORT_STATUS: bit 3 no error, bit 4 selected
        if (!in) return stall();
        const bool offline = (statusWord(Channel::Printer) & 1) != 0 && !chan(Channel::Printer).forced;
        return reply(data, s.wLength, {static_cast<uint8_t>(offline ? 0x00 : 0x18)});
    }
    case 2:  // SOFT_RESET
        if (in) return stall();
        for (auto& c : ch_) {
            c.input.clear();
            c.inputOffset = 0;
            c.outNak = false;
        }
        return {};
    default:
        return stall();
    }
}

OpResult DeviceModel::vendorRequest(const Setup& s, uint8_t* data, Record&) {
    if ((s.bmRequestType & 0x1F) != LIBUSB_RECIPIENT_INTERFACE || (s.wIndex & 0xFF) != cfg_.interfaceNumber)
        return stall();
    const bool in = (s.bmRequestType & 0x80) != 0;
    const uint16_t cap = cfg_.capability();
    const uint8_t code = static_cast<uint8_t>((cap >> 2) & 0x1F);
    auto word = [&](uint16_t w) { return reply(data, s.wLength, {static_cast<uint8_t>(w & 0xFF), static_cast<uint8_t>(w >> 8)}); };
    auto channelOf = [&](uint8_t printerReq) {
        return s.bRequest == printerReq ? Channel::Printer : Channel::Display;
    };
    switch (s.bRequest) {
    case kCapability:
        if (!in) return stall();
        return word(cap);
    case kStatus:
    case kDisplayStatus: {
        const Channel ch = channelOf(kStatus);
        if (!in || !hasChannel(ch)) return stall();
        return word(statusWord(ch));
    }
    case kSetFlow:
    case kDisplaySetFlow: {
        const Channel ch = channelOf(kSetFlow);
        if (in || !hasChannel(ch)) return stall();
        // A device without the forced-flow capability keeps normal flow control.
        chan(ch).forced = (s.wValue & 2) != 0 && (cap & 2) != 0;
        changed();
        return {};
    }
    case kWriteStart:
    case kDisplayWriteStart: {
        const Channel ch = channelOf(kWriteStart);
        if (in || !hasChannel(ch)) return stall();
        ChannelState& c = chan(ch);
        c.chunkStart = c.stream.size();
        c.sinceStart = 0;
        c.reportOverride.reset();
        c.outNak = false;
        return {};
    }
    case kCount:
    case kDisplayCount: {
        const Channel ch = channelOf(kCount);
        if (!in || !hasChannel(ch) || (code != 1 && code != 9)) return stall();
        ChannelState& c = chan(ch);
        uint32_t count = c.sinceStart;
        if (c.reportOverride) {
            count = *c.reportOverride;
            // The device dropped what it accepted beyond the count it reports.
            if (count < c.sinceStart) {
                c.stream.resize(c.chunkStart + count);
                c.sinceStart = count;
            }
            c.reportOverride.reset();
        }
        return word(static_cast<uint16_t>(std::min<uint32_t>(count, 0xFFFF)));
    }
    case kReset:
        if (in) return stall();
        for (auto& c : ch_) {
            c.input.clear();
            c.inputOffset = 0;
            c.forced = false;
            c.outNak = false;
            c.sinceStart = 0;
            c.chunkStart = c.stream.size();
        }
        changed();
        return {};
    default:
        return stall();
    }
}

void DeviceModel::afterReceive(Channel ch, const uint8_t* data, size_t n) {
    ChannelState& c = chan(ch);
    c.tail.insert(c.tail.end(), data, data + n);
    if (c.tail.size() > kTailKeep) c.tail.erase(c.tail.begin(), c.tail.end() - kTailKeep);
    for (auto it = scripts_.begin(); it != scripts_.end(); ++it) {
        if (it->channel != ch || it->times == 0 || it->request.empty() || c.tail.size() < it->request.size()) continue;
        if (!std::equal(it->request.begin(), it->request.end(), c.tail.end() - static_cast<long>(it->request.size())))
            continue;
        for (const auto& reply : it->replies) c.input.push_back(reply);
        c.tail.clear();
        if (it->times > 0 && --it->times == 0) scripts_.erase(it);
        return;
    }
}

OpResult DeviceModel::bulkOut(uint8_t ep, const uint8_t* data, int len) {
    OpResult o;
    const EndpointInfo* e = endpoint(ep);
    if (!e || (ep & 0x80)) {
        o.result = LIBUSB_ERROR_IO;
        return o;
    }
    const Channel ch = e->channel;
    ChannelState& c = chan(ch);
    Record r;
    r.type = Record::Type::BulkOut;
    r.endpoint = ep;
    r.channel = ch;
    if (c.outHalted) {
        o.result = r.result = LIBUSB_ERROR_PIPE;
        record(std::move(r));
        return o;
    }
    if (c.outNak) {
        o.blocked = true;
        return o;
    }
    size_t accept = static_cast<size_t>(len);
    auto fault = bulkOutFaults_.end();
    for (auto it = bulkOutFaults_.begin(); it != bulkOutFaults_.end(); ++it) {
        if (it->channel != ch) continue;
        if (accept > it->afterBytes) {
            accept = it->afterBytes;
            fault = it;
        } else {
            it->afterBytes -= accept;
        }
        break;
    }
    c.stream.insert(c.stream.end(), data, data + accept);
    c.sinceStart += static_cast<uint32_t>(accept);
    r.data.assign(data, data + accept);
    o.actual = static_cast<int>(accept);
    if (fault == bulkOutFaults_.end()) {
        r.result = o.actual;
        record(std::move(r));
        afterReceive(ch, data, accept);
        return o;
    }
    const BulkOutFault f = *fault;
    bulkOutFaults_.erase(fault);
    c.reportOverride = f.reportedCount;
    switch (f.action) {
    case FaultAction::Timeout:
    case FaultAction::TimeoutThenReady:
        c.outNak = true;
        c.outNakUntilUnlinked = f.action == FaultAction::TimeoutThenReady;
        o.blocked = true;
        r.result = LIBUSB_ERROR_TIMEOUT;
        break;
    case FaultAction::Disconnect:
        o.result = r.result = LIBUSB_ERROR_NO_DEVICE;
        break;
    case FaultAction::Error:
        o.result = r.result = LIBUSB_ERROR_IO;
        break;
    default:
        c.outHalted = true;
        o.result = r.result = LIBUSB_ERROR_PIPE;
        break;
    }
    record(std::move(r));
    afterReceive(ch, data, accept);
    if (f.action == FaultAction::Disconnect) {
        detachLocked(this);
        sendHotplugSignalLocked();
    }
    return o;
}

OpResult DeviceModel::bulkIn(uint8_t ep, uint8_t* data, int len) {
    OpResult o;
    const EndpointInfo* e = endpoint(ep);
    if (!e || !(ep & 0x80)) {
        o.result = LIBUSB_ERROR_IO;
        return o;
    }
    ChannelState& c = chan(e->channel);
    if (c.inHalted) {
        o.result = LIBUSB_ERROR_PIPE;
        noteBulkIn(ep, nullptr, 0, o.result);
        return o;
    }
    if (c.bulkInFaults != 0) {
        if (c.bulkInFaults > 0) --c.bulkInFaults;
        switch (c.bulkInAction) {
        case FaultAction::Timeout:
            o.blocked = o.stuck = true;
            return o;
        case FaultAction::Disconnect:
            o.result = LIBUSB_ERROR_NO_DEVICE;
            noteBulkIn(ep, nullptr, 0, o.result);
            detachLocked(this);
            sendHotplugSignalLocked();
            return o;
        case FaultAction::Error:
            o.result = LIBUSB_ERROR_IO;
            break;
        default:
            c.inHalted = true;
            o.result = LIBUSB_ERROR_PIPE;
            break;
        }
        noteBulkIn(ep, nullptr, 0, o.result);
        return o;
    }
    if (!c.input.empty()) {
        const Bytes& m = c.input.front();
        const size_t n = std::min(static_cast<size_t>(len), m.size() - c.inputOffset);
        if (n) std::memcpy(data, m.data() + c.inputOffset, n);
        c.inputOffset += n;
        if (c.inputOffset >= m.size()) {
            c.input.pop_front();
            c.inputOffset = 0;
        }
        o.actual = static_cast<int>(n);
        noteBulkIn(ep, data, o.actual, o.actual);
        return o;
    }
    if (cfg_.idleInZeroLength || len == 0) {
        noteBulkIn(ep, data, 0, 0);
        return o;
    }
    o.blocked = true;
    return o;
}

void DeviceModel::bulkOutUnlinked(uint8_t ep) {
    const EndpointInfo* e = endpoint(ep);
    if (!e || (ep & 0x80)) return;
    ChannelState& c = chan(e->channel);
    if (!c.outNakUntilUnlinked) return;
    c.outNak = c.outNakUntilUnlinked = false;
    changed();
}

void DeviceModel::noteBulkIn(uint8_t ep, const uint8_t* data, int len, int result) {
    Record r;
    r.type = (ep & 0x80) ? Record::Type::BulkIn : Record::Type::BulkOut;
    r.endpoint = ep;
    const EndpointInfo* e = endpoint(ep);
    r.channel = e ? e->channel : Channel::Printer;
    if (data && len > 0) r.data.assign(data, data + len);
    r.result = result;
    record(std::move(r));
}

// ---- spool ----

void DeviceModel::attachSpool(const std::string& dir) {
    ::mkdir(dir.c_str(), 0755);
    spool_ = std::make_unique<Spool>();
    spool_->out[0] = std::fopen((dir + "/printer.out").c_str(), "ab");
    if (cfg_.endpoints >= 4) spool_->out[1] = std::fopen((dir + "/display.out").c_str(), "ab");
    spool_->log = std::fopen((dir + "/record.log").c_str(), "a");
}

void DeviceModel::spoolWrite(const Record& r) {
    if (!spool_) return;
    if (r.type == Record::Type::BulkOut && r.result >= 0 && spool_->out[static_cast<int>(r.channel)] && !r.data.empty()) {
        FILE* f = spool_->out[static_cast<int>(r.channel)];
        std::fwrite(r.data.data(), 1, r.data.size(), f);
        std::fflush(f);
    }
    if (!spool_->log) return;
    // Status and capability polls and idle reads would drown everything else.
    const bool poll = r.type == Record::Type::Control && (r.bmRequestType & 0x60) == 0x40 &&
                      (r.bRequest == kCapability || r.bRequest == kStatus || r.bRequest == kDisplayStatus);
    const bool idle = r.type == Record::Type::BulkIn && r.result == 0;
    if (poll || idle) return;
    static const char* const names[] = {"CTRL", "OUT", "IN", "RESET", "CLAIM", "RELEASE"};
    std::fprintf(spool_->log, "%llu %s", static_cast<unsigned long long>(r.seq), names[static_cast<int>(r.type)]);
    if (r.type == Record::Type::Control)
        std::fprintf(spool_->log, " %02x %02x %04x %04x %04x", r.bmRequestType, r.bRequest, r.wValue, r.wIndex,
                     r.wLength);
    else if (r.type == Record::Type::BulkOut || r.type == Record::Type::BulkIn)
        std::fprintf(spool_->log, " ep=%02x", r.endpoint);
    std::fprintf(spool_->log, " result=%d", r.result);
    if (!r.data.empty()) {
        std::fputs(" data=", spool_->log);
        const size_t shown = std::min<size_t>(r.data.size(), 64);
        for (size_t i = 0; i < shown; ++i) std::fprintf(spool_->log, "%02x", r.data[i]);
        if (shown < r.data.size()) std::fprintf(spool_->log, "...(%zu bytes)", r.data.size());
    }
    std::fputc('\n', spool_->log);
    std::fflush(spool_->log);
}

}  // namespace usbsim::detail
