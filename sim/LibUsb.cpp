// libusb-1.0 API over the simulated bus. Every entry point validates its pointers against the
// live-object sets, so a null, closed or stale handle yields an error code instead of a crash.
#include "sim/Internal.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <thread>

using namespace usbsim;
using namespace usbsim::detail;

namespace {

constexpr unsigned kHandleEventsDefaultMs = 60000;

Bus& B() { return bus(); }

// Programs such as lsusb read errno after a failed transfer, as the usbfs ioctl leaves it.
int withErrno(int r) {
    if (r >= 0) return r;
    switch (r) {
    case LIBUSB_ERROR_IO: errno = EIO; break;
    case LIBUSB_ERROR_INVALID_PARAM: errno = EINVAL; break;
    case LIBUSB_ERROR_ACCESS: errno = EACCES; break;
    case LIBUSB_ERROR_NO_DEVICE: errno = ENODEV; break;
    case LIBUSB_ERROR_NOT_FOUND: errno = ENOENT; break;
    case LIBUSB_ERROR_BUSY: errno = EBUSY; break;
    case LIBUSB_ERROR_TIMEOUT: errno = ETIMEDOUT; break;
    case LIBUSB_ERROR_OVERFLOW: errno = EOVERFLOW; break;
    case LIBUSB_ERROR_PIPE: errno = EPIPE; break;
    case LIBUSB_ERROR_INTERRUPTED: errno = EINTR; break;
    case LIBUSB_ERROR_NO_MEM: errno = ENOMEM; break;
    case LIBUSB_ERROR_NOT_SUPPORTED: errno = ENOSYS; break;
    default: errno = EIO; break;
    }
    return r;
}

libusb_context* resolveCtx(libusb_context* ctx) {
    if (!ctx) return B().defaultCtx && !B().defaultCtx->exiting ? B().defaultCtx : nullptr;
    return B().contexts.count(ctx) && !ctx->exiting ? ctx : nullptr;
}

bool liveDevice(const libusb_device* d) { return d && B().liveDevices.count(d); }
bool liveHandle(const libusb_device_handle* h) { return h && B().liveHandles.count(h); }

void freeHandleLocked(libusb_device_handle* h) {
    unrefDeviceLocked(h->dev);
    delete h;
}

void releaseHandleLocked(libusb_device_handle* h) {
    if (--h->inflight == 0 && h->closed) freeHandleLocked(h);
}

// Keeps a handle and its context alive while a call that may block uses them. Lock held.
struct OpGuard {
    explicit OpGuard(libusb_device_handle* handle) : h(handle), ctx(handle->dev->ctx) {
        ++h->inflight;
        ++ctx->activeOps;
    }
    ~OpGuard() {
        releaseHandleLocked(h);
        --ctx->activeOps;
        B().cv.notify_all();
    }
    OpGuard(const OpGuard&) = delete;
    OpGuard& operator=(const OpGuard&) = delete;
    libusb_device_handle* h;
    libusb_context* ctx;
};

// 0 when the handle may be used for I/O, else the error to return.
int usable(const libusb_device_handle* h) {
    if (!h) return LIBUSB_ERROR_INVALID_PARAM;
    if (!liveHandle(h)) return LIBUSB_ERROR_NO_DEVICE;
    if (h->closed || h->dev->ctx->exiting || !h->dev->model->pluggedLocked()) return LIBUSB_ERROR_NO_DEVICE;
    return 0;
}

// Why a blocked transfer must stop waiting: 0 if it may go on.
int interruptedBy(const libusb_device_handle* h) {
    if (h->closed || h->dev->ctx->exiting || !h->dev->model->pluggedLocked()) return LIBUSB_ERROR_NO_DEVICE;
    return 0;
}

// Sleeps until a transfer leaves the wire. The thread's timer slack (50 us by default) would
// stretch every short sleep of the timing model, so it is lowered for the sleep only.
void wireSleepUntil(Clock::time_point end) {
    // Zero-length transfers (an idle printer's empty reads) have no wire time to wait for.
    if (end <= Clock::now()) return;
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack > 1) prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    std::this_thread::sleep_until(end);
    if (slack > 1) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
}

bool timingOn() {
    const Timing& t = B().timing;
    return t.bytesPerSecond != 0 || t.controlLatency.count() != 0;
}

std::chrono::microseconds wireDelay(size_t bytes, bool control) {
    const Timing& t = B().timing;
    std::chrono::microseconds d{0};
    if (control) d += t.controlLatency;
    if (t.bytesPerSecond) d += std::chrono::microseconds(bytes * 1000000ull / t.bytesPerSecond);
    return d;
}

// When each endpoint of each device is next free. The host controller runs an endpoint's queue
// in order, so a transfer starts when the one before it has left the wire, or when it is queued
// if the wire was idle by then. Lock held.
std::map<std::pair<const DeviceModel*, unsigned char>, Clock::time_point>& wireFree() {
    static auto* free = new std::map<std::pair<const DeviceModel*, unsigned char>, Clock::time_point>;
    return *free;
}

// Books the wire for a transfer that is ready to go now; returns when it has left the wire.
Clock::time_point bookWire(const libusb_device_handle* h, unsigned char ep, std::chrono::microseconds d) {
    const auto now = Clock::now();
    if (!timingOn()) return now;
    auto& slots = wireFree();
    if (slots.size() > 1024) {
        for (auto it = slots.begin(); it != slots.end();) it = it->second <= now ? slots.erase(it) : std::next(it);
    }
    Clock::time_point& free = slots[{h->dev->model.get(), static_cast<unsigned char>(ep & 0x8F)}];
    free = std::max(free, now) + d;
    return free;
}

// A synchronous call occupies the wire like a transfer queued alone, and the caller waits for it.
void syncWire(std::unique_lock<std::mutex>& lk, const libusb_device_handle* h, unsigned char ep,
              std::chrono::microseconds d) {
    if (!timingOn()) return;
    const auto end = bookWire(h, ep, d);
    lk.unlock();
    wireSleepUntil(end);
    lk.lock();
}

Clock::time_point deadlineFor(unsigned timeoutMs) {
    return timeoutMs ? Clock::now() + std::chrono::milliseconds(timeoutMs) : Clock::time_point::max();
}

void waitUntil(std::unique_lock<std::mutex>& lk, Clock::time_point deadline) {
    if (deadline == Clock::time_point::max())
        B().cv.wait(lk);
    else
        B().cv.wait_until(lk, deadline);
}

// Checks that a bulk or interrupt endpoint may be used through this handle. usbfs refuses a URB
// for an interface that a kernel driver or another process holds (EBUSY), and libusb reports a
// refused submission as an I/O error.
int checkDataEndpoint(libusb_device_handle* h, unsigned char ep) {
    DeviceModel& m = *h->dev->model;
    if (m.configuration == 0 || !m.endpoint(ep)) return LIBUSB_ERROR_IO;
    if (m.claimedBy && m.claimedBy != h) return LIBUSB_ERROR_IO;
    if (m.kernelBound) return LIBUSB_ERROR_IO;
    return 0;
}

// The same for control requests to the interface or one of its endpoints; vendor requests and the
// printer-class device ID pass, as usbfs lets them.
int checkControlRecipient(libusb_device_handle* h, const Setup& s) {
    DeviceModel& m = *h->dev->model;
    if ((s.bmRequestType & 0x60) == 0x40) return 0;
    if (s.bmRequestType == 0xA1 && s.bRequest == 0 && m.config().printerClass) return 0;
    const uint8_t recipient = s.bmRequestType & 0x1F;
    const bool ours = (recipient == LIBUSB_RECIPIENT_INTERFACE && (s.wIndex & 0xFF) == m.config().interfaceNumber) ||
                      (recipient == LIBUSB_RECIPIENT_ENDPOINT && (s.wIndex & 0x7F) != 0 && m.endpoint(s.wIndex & 0xFF));
    if (!ours) return 0;
    if (m.kernelBound || (m.claimedBy && m.claimedBy != h)) return LIBUSB_ERROR_IO;
    return 0;
}

int controlLocked(std::unique_lock<std::mutex>& lk, libusb_device_handle* h, const Setup& s, unsigned char* data,
                  unsigned timeout) {
    OpGuard guard(h);
    DeviceModel& m = *h->dev->model;
    const auto deadline = deadlineFor(timeout);
    OpResult o = m.control(s, data);
    int r = o.blocked ? 0 : (o.result < 0 ? o.result : o.actual);
    while (o.blocked) {
        if (int e = interruptedBy(h)) {
            r = e;
            break;
        }
        if (Clock::now() >= deadline) {
            r = LIBUSB_ERROR_TIMEOUT;
            break;
        }
        waitUntil(lk, deadline);
    }
    syncWire(lk, h, 0, wireDelay(s.wLength, true));
    return r;
}

int bulkLocked(std::unique_lock<std::mutex>& lk, libusb_device_handle* h, unsigned char ep, unsigned char* data,
               int length, int* transferred, unsigned timeout) {
    OpGuard guard(h);
    DeviceModel& m = *h->dev->model;
    const auto deadline = deadlineFor(timeout);
    int total = 0;
    int r = 0;
    for (;;) {
        OpResult o = (ep & 0x80) ? m.bulkIn(ep, data + total, length - total)
                                 : m.bulkOut(ep, data + total, length - total);
        total += o.actual;
        if (!o.blocked) {
            r = o.result;
            break;
        }
        if (int e = interruptedBy(h)) {
            r = e;
            break;
        }
        if (Clock::now() >= deadline) {
            r = LIBUSB_ERROR_TIMEOUT;
            if (total == 0) m.noteBulkIn(ep, nullptr, 0, r);
            if (!(ep & 0x80)) m.bulkOutUnlinked(ep);
            break;
        }
        if (o.stuck)
            waitUntil(lk, deadline);
        else
            B().cv.wait_until(lk, std::min(deadline, Clock::now() + std::chrono::milliseconds(100)));
    }
    if (transferred) *transferred = total;
    syncWire(lk, h, ep, wireDelay(static_cast<size_t>(total), false));
    return r;
}

int dataTransfer(libusb_device_handle* h, unsigned char ep, unsigned char* data, int length, int* transferred,
                 unsigned timeout) {
    if (transferred) *transferred = 0;
    if (length < 0 || (!data && length > 0)) return LIBUSB_ERROR_INVALID_PARAM;
    std::unique_lock<std::mutex> lk(B().mu);
    if (int e = usable(h)) return e;
    if (int e = checkDataEndpoint(h, ep)) return e;
    return bulkLocked(lk, h, ep, data, length, transferred, timeout);
}

void closeLocked(libusb_device_handle* h) {
    h->closed = true;
    B().liveHandles.erase(h);
    h->dev->ctx->handles.erase(h);
    DeviceModel& m = *h->dev->model;
    if (m.claimedBy == h) {
        m.claimedBy = nullptr;
        if (h->detachedByClaim && m.pluggedLocked()) m.kernelBound = true;
    }
    B().cv.notify_all();
    if (h->inflight == 0) freeHandleLocked(h);
}

bool interfaceExists(const DeviceModel& m, int iface) {
    const DeviceConfig& c = m.config();
    return iface >= c.interfaceNumber && iface < c.interfaceNumber + c.numInterfaces;
}

libusb_transfer* pubOf(TransferPriv* p) { return reinterpret_cast<libusb_transfer*>(p->pub); }
TransferPriv* privOf(libusb_transfer* t) {
    return reinterpret_cast<TransferPriv*>(reinterpret_cast<unsigned char*>(t) - offsetof(TransferPriv, pub));
}

libusb_transfer_status statusOf(int result) {
    switch (result) {
    case 0:
        return LIBUSB_TRANSFER_COMPLETED;
    case LIBUSB_ERROR_PIPE:
        return LIBUSB_TRANSFER_STALL;
    case LIBUSB_ERROR_NO_DEVICE:
        return LIBUSB_TRANSFER_NO_DEVICE;
    case LIBUSB_ERROR_TIMEOUT:
        return LIBUSB_TRANSFER_TIMED_OUT;
    case LIBUSB_ERROR_OVERFLOW:
        return LIBUSB_TRANSFER_OVERFLOW;
    default:
        return LIBUSB_TRANSFER_ERROR;
    }
}

void finish(TransferPriv* p, libusb_transfer_status st) {
    p->done = true;
    p->status = st;
    libusb_transfer* t = pubOf(p);
    if (st == LIBUSB_TRANSFER_COMPLETED && (t->flags & LIBUSB_TRANSFER_SHORT_NOT_OK) &&
        (t->endpoint & 0x80)) {
        const int want = t->type == LIBUSB_TRANSFER_TYPE_CONTROL ? t->length - LIBUSB_CONTROL_SETUP_SIZE : t->length;
        if (t->actual_length < want) p->status = LIBUSB_TRANSFER_ERROR;
    }
}

bool faulted(TransferPriv* p) {
    const libusb_transfer* t = pubOf(p);
    return p->status != LIBUSB_TRANSFER_COMPLETED || (!(t->endpoint & 0x80) && t->actual_length < t->length);
}

// Given up by the host (time-out or cancel): the kernel unlinks the URB and the host controller
// goes on with the next one on the endpoint at once, without waiting for the program.
bool unlinked(const TransferPriv* p) {
    return p->status == LIBUSB_TRANSFER_CANCELLED || p->status == LIBUSB_TRANSFER_TIMED_OUT;
}

// Ends a transfer the host gives up; a bulk OUT transfer the device was holding off tells it so.
void giveUpLocked(TransferPriv* p, libusb_transfer_status st) {
    if (p->onDevice) p->handle->dev->model->bulkOutUnlinked(pubOf(p)->endpoint);
    finish(p, st);
}

// Endpoints whose queue a fault stopped in the current round of event handling. Lock held.
std::set<std::pair<const DeviceModel*, unsigned char>>& stoppedQueues() {
    static auto* stopped = new std::set<std::pair<const DeviceModel*, unsigned char>>;
    return *stopped;
}

// An endpoint's queued transfers reach the device one after the other. After a fault the queue
// stands still until the program has been given the failed transfer, so that it can cancel the
// ones behind it before the device sees them; a transfer the host gave up does not stop it. Lock
// held.
bool headOfQueueLocked(TransferPriv* p) {
    const libusb_transfer* t = pubOf(p);
    const DeviceModel* m = p->handle->dev->model.get();
    if (stoppedQueues().count({m, t->endpoint})) return false;
    for (TransferPriv* q : p->handle->dev->ctx->transfers) {
        if (q == p) return true;
        const libusb_transfer* u = pubOf(q);
        if (!q->handle || q->handle->dev->model.get() != m || u->endpoint != t->endpoint ||
            u->type == LIBUSB_TRANSFER_TYPE_CONTROL)
            continue;
        if (!q->done || (faulted(q) && !unlinked(q))) return false;
    }
    return true;
}

// Lets the device act on a submitted transfer, as the kernel would without our help.
void attemptLocked(TransferPriv* p) {
    if (p->done) return;
    libusb_transfer* t = pubOf(p);
    libusb_device_handle* h = p->handle;
    if (interruptedBy(h)) return finish(p, LIBUSB_TRANSFER_NO_DEVICE);
    if (p->cancelRequested) return giveUpLocked(p, LIBUSB_TRANSFER_CANCELLED);
    if (p->stuck) return;
    DeviceModel& m = *h->dev->model;
    if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        const auto* sp = reinterpret_cast<const libusb_control_setup*>(t->buffer);
        Setup s{sp->bmRequestType, sp->bRequest, libusb_le16_to_cpu(sp->wValue), libusb_le16_to_cpu(sp->wIndex),
                libusb_le16_to_cpu(sp->wLength)};
        OpResult o = m.control(s, t->buffer + LIBUSB_CONTROL_SETUP_SIZE);
        if (o.blocked) {
            p->stuck = true;
            return;
        }
        t->actual_length = o.result < 0 ? 0 : o.actual;
        p->readyAt = bookWire(h, 0, wireDelay(s.wLength, true));
        return finish(p, statusOf(o.result));
    }
    if (!headOfQueueLocked(p)) {
        // It never reached the device, so its time-out leaves nothing in the record.
        p->recordedOut = true;
        return;
    }
    const int before = t->actual_length;
    OpResult o = (t->endpoint & 0x80) ? m.bulkIn(t->endpoint, t->buffer + before, t->length - before)
                                      : m.bulkOut(t->endpoint, t->buffer + before, t->length - before);
    t->actual_length += o.actual;
    if (o.actual) p->recordedOut = true;
    if (o.blocked) {
        p->stuck = o.stuck;
        p->onDevice = !(t->endpoint & 0x80);
        return;
    }
    p->onDevice = false;
    p->readyAt = bookWire(h, t->endpoint, wireDelay(static_cast<size_t>(t->actual_length), false));
    finish(p, statusOf(o.result));
}

struct Delivery {
    std::vector<libusb_transfer*> transfers;
    std::vector<HotplugEvent> events;
    std::vector<HotplugCallback> callbacks;
};

// Collects what is ready for the caller of handle_events. Lock held.
void collectLocked(libusb_context* ctx, Delivery& out, Clock::time_point& nextWake) {
    const auto now = Clock::now();
    stoppedQueues().clear();
    for (auto it = ctx->transfers.begin(); it != ctx->transfers.end();) {
        TransferPriv* p = *it;
        attemptLocked(p);
        if (!p->done && p->hasDeadline && now >= p->deadline) {
            libusb_transfer* t = pubOf(p);
            if (t->type != LIBUSB_TRANSFER_TYPE_CONTROL && !p->recordedOut)
                p->handle->dev->model->noteBulkIn(t->endpoint, nullptr, 0, LIBUSB_ERROR_TIMEOUT);
            giveUpLocked(p, LIBUSB_TRANSFER_TIMED_OUT);
        }
        if (p->done && now >= p->readyAt) {
            libusb_transfer* t = pubOf(p);
            t->status = p->status;
            p->submitted = false;
            if (t->type != LIBUSB_TRANSFER_TYPE_CONTROL && faulted(p) && !unlinked(p))
                stoppedQueues().insert({p->handle->dev->model.get(), t->endpoint});
            releaseHandleLocked(p->handle);
            p->handle = nullptr;
            out.transfers.push_back(t);
            it = ctx->transfers.erase(it);
            continue;
        }
        if (p->done) nextWake = std::min(nextWake, p->readyAt);
        if (!p->done && p->hasDeadline) nextWake = std::min(nextWake, p->deadline);
        if (!p->done && !p->stuck) nextWake = std::min(nextWake, now + std::chrono::milliseconds(100));
        ++it;
    }
    while (!ctx->hotplugEvents.empty()) {
        out.events.push_back(ctx->hotplugEvents.front());
        ctx->hotplugEvents.pop_front();
    }
    if (!out.events.empty()) out.callbacks = ctx->hotplug;
    stoppedQueues().clear();
}

bool matches(const HotplugCallback& cb, const libusb_device* d, libusb_hotplug_event ev) {
    const DeviceConfig& c = d->model->config();
    return !cb.removed && (cb.events & ev) &&
           (cb.vendor == LIBUSB_HOTPLUG_MATCH_ANY || cb.vendor == c.vendorId) &&
           (cb.product == LIBUSB_HOTPLUG_MATCH_ANY || cb.product == c.productId) &&
           (cb.devClass == LIBUSB_HOTPLUG_MATCH_ANY || cb.devClass == 0);
}

void deregisterLocked(libusb_context* ctx, int handle) {
    for (auto& cb : ctx->hotplug)
        if (cb.handle == handle) cb.removed = true;
    ctx->hotplug.erase(std::remove_if(ctx->hotplug.begin(), ctx->hotplug.end(),
                                      [](const HotplugCallback& cb) { return cb.removed; }),
                       ctx->hotplug.end());
}

bool stillRegistered(libusb_context* ctx, int handle) {
    for (const auto& cb : ctx->hotplug)
        if (cb.handle == handle) return true;
    return false;
}

// Counts, per context, the rounds of event handling that delivered something. A thread waiting in
// handle_events returns once another thread has handled events, as with libusb's event waiters,
// so that it sees completions that the other thread reaped for it. Lock held.
unsigned long& deliveries(const libusb_context* ctx) {
    static auto* n = new std::map<const libusb_context*, unsigned long>;
    return (*n)[ctx];
}

// Runs callbacks without the lock; the context stays alive through activeOps.
void deliver(std::unique_lock<std::mutex>& lk, libusb_context* ctx, Delivery& d) {
    lk.unlock();
    for (const HotplugEvent& ev : d.events) {
        for (const HotplugCallback& cb : d.callbacks) {
            if (!matches(cb, ev.dev, ev.event)) continue;
            lk.lock();
            const bool registered = stillRegistered(ctx, cb.handle);
            lk.unlock();
            if (!registered) continue;
            if (cb.fn(ctx, ev.dev, ev.event, cb.user)) {
                lk.lock();
                deregisterLocked(ctx, cb.handle);
                lk.unlock();
            }
        }
    }
    for (libusb_transfer* t : d.transfers) {
        const bool freeAfter = (t->flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0;
        if (t->callback) t->callback(t);
        if (freeAfter) libusb_free_transfer(t);
    }
    {
        std::lock_guard<std::mutex> wl(ctx->waitersLock);
    }
    ctx->waitersCv.notify_all();
    lk.lock();
    ++deliveries(ctx);
    for (const HotplugEvent& ev : d.events)
        if (liveDevice(ev.dev)) unrefDeviceLocked(ev.dev);
}

int handleEvents(libusb_context* ctx, const timeval* tv, int* completed, unsigned defaultMs) {
    std::unique_lock<std::mutex> lk(B().mu);
    refreshConfigLocked();
    libusb_context* c = resolveCtx(ctx);
    if (!c) return LIBUSB_ERROR_INVALID_PARAM;
    Clock::time_point deadline;
    if (tv) {
        if (tv->tv_sec < 0 || tv->tv_usec < 0 || tv->tv_usec >= 1000000) return LIBUSB_ERROR_INVALID_PARAM;
        deadline = Clock::now() + std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
    } else {
        deadline = Clock::now() + std::chrono::milliseconds(defaultMs);
    }
    ++c->activeOps;
    const unsigned long seen = deliveries(c);
    for (;;) {
        if (c->exiting) break;
        Delivery d;
        Clock::time_point wake = deadline;
        collectLocked(c, d, wake);
        if (!d.transfers.empty() || !d.events.empty()) {
            deliver(lk, c, d);
            break;
        }
        if (completed && *completed) break;
        if (deliveries(c) != seen) break;
        if (c->interrupted) {
            c->interrupted = false;
            break;
        }
        if (Clock::now() >= deadline) break;
        B().cv.wait_until(lk, wake);
    }
    --c->activeOps;
    B().cv.notify_all();
    return 0;
}

libusb_device_handle* openLocked(libusb_device* dev, int* err) {
    DeviceModel& m = *dev->model;
    if (dev->ctx->exiting || !m.pluggedLocked()) {
        *err = LIBUSB_ERROR_NO_DEVICE;
        return nullptr;
    }
    if (int e = m.openFault()) {
        *err = e;
        return nullptr;
    }
    auto* h = new libusb_device_handle;
    h->dev = dev;
    ++dev->refs;
    B().liveHandles.insert(h);
    dev->ctx->handles.insert(h);
    *err = 0;
    return h;
}

void fillDeviceDescriptor(const Bytes& b, libusb_device_descriptor* d) {
    d->bLength = b[0];
    d->bDescriptorType = b[1];
    d->bcdUSB = static_cast<uint16_t>(b[2] | (b[3] << 8));
    d->bDeviceClass = b[4];
    d->bDeviceSubClass = b[5];
    d->bDeviceProtocol = b[6];
    d->bMaxPacketSize0 = b[7];
    d->idVendor = static_cast<uint16_t>(b[8] | (b[9] << 8));
    d->idProduct = static_cast<uint16_t>(b[10] | (b[11] << 8));
    d->bcdDevice = static_cast<uint16_t>(b[12] | (b[13] << 8));
    d->iManufacturer = b[14];
    d->iProduct = b[15];
    d->iSerialNumber = b[16];
    d->bNumConfigurations = b[17];
}

const libusb_endpoint_descriptor* findEndpoint(const libusb_config_descriptor* cfg, unsigned char ep) {
    for (int i = 0; i < cfg->bNumInterfaces; ++i)
        for (int a = 0; a < cfg->interface[i].num_altsetting; ++a) {
            const libusb_interface_descriptor& d = cfg->interface[i].altsetting[a];
            for (int e = 0; e < d.bNumEndpoints; ++e)
                if (d.endpoint[e].bEndpointAddress == ep) return &d.endpoint[e];
        }
    return nullptr;
}

int maxPacket(libusb_device* dev, unsigned char ep, bool iso) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (!liveDevice(dev)) return LIBUSB_ERROR_INVALID_PARAM;
    const DeviceModel& m = *dev->model;
    if (m.configuration == 0) return LIBUSB_ERROR_NOT_FOUND;
    libusb_config_descriptor* cfg = parseConfigDescriptor(m.configDescriptor(m.configuration - 1));
    if (!cfg) return LIBUSB_ERROR_OTHER;
    const libusb_endpoint_descriptor* e = findEndpoint(cfg, ep);
    int r = LIBUSB_ERROR_NOT_FOUND;
    if (e) {
        const int base = e->wMaxPacketSize & 0x7FF;
        const int type = e->bmAttributes & 3;
        r = (iso && (type == 1 || type == 3)) ? base * (1 + ((e->wMaxPacketSize >> 11) & 3)) : base;
    }
    freeConfigDescriptor(cfg);
    return r;
}

const char* const kErrorNames[] = {"LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED",
                                   "LIBUSB_ERROR_IO",
                                   "LIBUSB_ERROR_INVALID_PARAM",
                                   "LIBUSB_ERROR_ACCESS",
                                   "LIBUSB_ERROR_NO_DEVICE",
                                   "LIBUSB_ERROR_NOT_FOUND",
                                   "LIBUSB_ERROR_BUSY",
                                   "LIBUSB_ERROR_TIMEOUT",
                                   "LIBUSB_ERROR_OVERFLOW",
                                   "LIBUSB_ERROR_PIPE",
                                   "LIBUSB_ERROR_INTERRUPTED",
                                   "LIBUSB_ERROR_NO_MEM",
                                   "LIBUSB_ERROR_NOT_SUPPORTED"};

const char* const kErrorTexts[] = {"Success",
                                   "Input/Output Error",
                                   "Invalid parameter",
                                   "Access denied (insufficient permissions)",
                                   "No such device (it may have been disconnected)",
                                   "Entity not found",
                                   "Resource busy",
                                   "Operation timed out",
                                   "Overflow",
                                   "Pipe error",
                                   "System call interrupted (perhaps due to signal)",
                                   "Insufficient memory",
                                   "Operation not supported or unimplemented on this platform"};

}  // namespace

extern "C" {

// ---- library and contexts ----

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    std::lock_guard<std::mutex> lk(B().mu);
    refreshConfigLocked();
    if (!ctx && B().defaultCtx) {
        ++B().defaultCtx->initRefs;
        return 0;
    }
    auto* c = new libusb_context;
    B().contexts.insert(c);
    for (const auto& m : B().attached) newDeviceLocked(c, m);
    if (ctx)
        *ctx = c;
    else
        B().defaultCtx = c;
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
    std::unique_lock<std::mutex> lk(B().mu);
    libusb_context* c = ctx ? (B().contexts.count(ctx) ? ctx : nullptr) : B().defaultCtx;
    if (!c || c->exiting) return;
    if (c == B().defaultCtx && --c->initRefs > 0) return;
    c->exiting = true;
    B().cv.notify_all();
    B().cv.wait(lk, [&] { return c->activeOps == 0; });
    for (TransferPriv* p : c->transfers) {
        p->submitted = false;
        releaseHandleLocked(p->handle);
        p->handle = nullptr;
    }
    c->transfers.clear();
    while (!c->handles.empty()) closeLocked(*c->handles.begin());
    for (auto& e : c->devices) unrefDeviceLocked(e.second);
    c->devices.clear();
    for (auto& ev : c->hotplugEvents)
        if (liveDevice(ev.dev)) unrefDeviceLocked(ev.dev);
    c->hotplugEvents.clear();
    // Devices the program still references die with their context.
    for (auto it = B().liveDevices.begin(); it != B().liveDevices.end();) {
        auto* d = const_cast<libusb_device*>(static_cast<const libusb_device*>(*it));
        if (d->ctx == c) {
            it = B().liveDevices.erase(it);
            delete d;
        } else {
            ++it;
        }
    }
    B().contexts.erase(c);
    if (c == B().defaultCtx) B().defaultCtx = nullptr;
    delete c;
}

void LIBUSB_CALL libusb_set_debug(libusb_context* ctx, int level) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (libusb_context* c = resolveCtx(ctx)) c->logLevel = level;
}

void LIBUSB_CALL libusb_set_log_cb(libusb_context* ctx, libusb_log_cb cb, int mode) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (mode & LIBUSB_LOG_CB_CONTEXT)
        if (libusb_context* c = resolveCtx(ctx)) c->logCb = cb;
}

int LIBUSB_CALL libusb_set_option(libusb_context* ctx, enum libusb_option option, ...) {
    std::lock_guard<std::mutex> lk(B().mu);
    libusb_context* c = resolveCtx(ctx);
    if (ctx && !c) return LIBUSB_ERROR_INVALID_PARAM;
    switch (option) {
    case LIBUSB_OPTION_LOG_LEVEL: {
        va_list ap;
        // libusb's own signature has an enum before the ellipsis; an int-sized enum is passed
        // unchanged on every ABI libusb supports, which clang cannot know.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
        va_start(ap, option);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
        const int level = va_arg(ap, int);
        va_end(ap);
        if (level < LIBUSB_LOG_LEVEL_NONE || level > LIBUSB_LOG_LEVEL_DEBUG) return LIBUSB_ERROR_INVALID_PARAM;
        if (c) c->logLevel = level;
        return 0;
    }
    case LIBUSB_OPTION_NO_DEVICE_DISCOVERY:
        return 0;
    case LIBUSB_OPTION_USE_USBDK:
        return LIBUSB_ERROR_NOT_SUPPORTED;
    default:
        return LIBUSB_ERROR_INVALID_PARAM;
    }
}

int LIBUSB_CALL libusb_setlocale(const char* locale) {
    if (!locale || std::strlen(locale) < 2) return LIBUSB_ERROR_INVALID_PARAM;
    return (locale[0] == 'e' || locale[0] == 'E') && (locale[1] == 'n' || locale[1] == 'N') ? 0
                                                                                          : LIBUSB_ERROR_NOT_FOUND;
}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
    static const libusb_version v{1, 0, 26, 0, "-usbsim", "simulated USB bus"};
    return &v;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
    switch (capability) {
    case LIBUSB_CAP_HAS_CAPABILITY:
    case LIBUSB_CAP_HAS_HOTPLUG:
    case LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER:
        return 1;
    default:
        return 0;
    }
}

const char* LIBUSB_CALL libusb_error_name(int errcode) {
    if (errcode <= 0 && errcode >= LIBUSB_ERROR_NOT_SUPPORTED) return kErrorNames[-errcode];
    switch (errcode) {
    case LIBUSB_ERROR_OTHER:
        return "LIBUSB_ERROR_OTHER";
    case LIBUSB_TRANSFER_ERROR:
        return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT:
        return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED:
        return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL:
        return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE:
        return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW:
        return "LIBUSB_TRANSFER_OVERFLOW";
    default:
        return "**UNKNOWN**";
    }
}

const char* LIBUSB_CALL libusb_strerror(int errcode) {
    if (errcode <= 0 && errcode >= LIBUSB_ERROR_NOT_SUPPORTED) return kErrorTexts[-errcode];
    return "Other error";
}

// ---- devices ----

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    std::lock_guard<std::mutex> lk(B().mu);
    refreshConfigLocked();
    libusb_context* c = resolveCtx(ctx);
    if (!c || !list) return LIBUSB_ERROR_INVALID_PARAM;
    auto** arr = static_cast<libusb_device**>(std::calloc(c->devices.size() + 1, sizeof(libusb_device*)));
    if (!arr) return LIBUSB_ERROR_NO_MEM;
    size_t n = 0;
    for (auto& e : c->devices) {
        ++e.second->refs;
        arr[n++] = e.second;
    }
    *list = arr;
    return static_cast<ssize_t>(n);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (!list) return;
    if (unref_devices) {
        std::lock_guard<std::mutex> lk(B().mu);
        for (libusb_device** p = list; *p; ++p)
            if (liveDevice(*p)) unrefDeviceLocked(*p);
    }
    std::free(list);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (!liveDevice(dev)) return nullptr;
    ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (liveDevice(dev)) unrefDeviceLocked(dev);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) {
    std::lock_guard<std::mutex> lk(B().mu);
    return liveDevice(dev) ? dev->model->busNumber() : 0;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
    std::lock_guard<std::mutex> lk(B().mu);
    return liveDevice(dev) ? dev->model->portNumber() : 0;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers, int port_numbers_len) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (!liveDevice(dev) || !port_numbers || port_numbers_len <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    port_numbers[0] = dev->model->portNumber();
    return 1;
}

int LIBUSB_CALL libusb_get_port_path(libusb_context*, libusb_device* dev, uint8_t* path, uint8_t path_length) {
    return libusb_get_port_numbers(dev, path, path_length);
}

libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*) { return nullptr; }

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
    std::lock_guard<std::mutex> lk(B().mu);
    return liveDevice(dev) ? dev->model->address() : 0;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device* dev) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (!liveDevice(dev)) return LIBUSB_SPEED_UNKNOWN;
    return dev->model->config().speed == Speed::High ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (!liveDevice(dev) || !desc) return LIBUSB_ERROR_INVALID_PARAM;
    fillDeviceDescriptor(dev->model->deviceDescriptor(), desc);
    return 0;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             struct libusb_config_descriptor** config) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (!liveDevice(dev) || !config) return LIBUSB_ERROR_INVALID_PARAM;
    if (config_index >= dev->model->config().numConfigurations) return LIBUSB_ERROR_NOT_FOUND;
    *config = parseConfigDescriptor(dev->model->configDescriptor(config_index));
    return *config ? 0 : LIBUSB_ERROR_IO;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev, struct libusb_config_descriptor** config) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (!liveDevice(dev) || !config) return LIBUSB_ERROR_INVALID_PARAM;
    const DeviceModel& m = *dev->model;
    if (!m.pluggedLocked()) return LIBUSB_ERROR_NO_DEVICE;
    if (m.configuration == 0) return LIBUSB_ERROR_NOT_FOUND;
    *config = parseConfigDescriptor(m.configDescriptor(m.configuration - 1));
    return *config ? 0 : LIBUSB_ERROR_IO;
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t bConfigurationValue,
                                                      struct libusb_config_descriptor** config) {
    if (bConfigurationValue == 0) return LIBUSB_ERROR_NOT_FOUND;
    return libusb_get_config_descriptor(dev, static_cast<uint8_t>(bConfigurationValue - 1), config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    freeConfigDescriptor(config);
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
    return maxPacket(dev, endpoint, false);
}

int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device* dev, unsigned char endpoint) {
    return maxPacket(dev, endpoint, true);
}

int LIBUSB_CALL libusb_get_ss_endpoint_companion_descriptor(libusb_context*, const struct libusb_endpoint_descriptor* ep,
                                                            struct libusb_ss_endpoint_companion_descriptor** comp) {
    if (!ep || !comp) return LIBUSB_ERROR_INVALID_PARAM;
    return LIBUSB_ERROR_NOT_FOUND;
}

void LIBUSB_CALL libusb_free_ss_endpoint_companion_descriptor(struct libusb_ss_endpoint_companion_descriptor* c) {
    std::free(c);
}

int LIBUSB_CALL libusb_get_bos_descriptor(libusb_device_handle* dev_handle, struct libusb_bos_descriptor** bos) {
    if (!bos) return LIBUSB_ERROR_INVALID_PARAM;
    unsigned char buf[5];
    // No device of this bus has a BOS descriptor: the request stalls as on a USB 2.0 device.
    const int r = libusb_control_transfer(dev_handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                          LIBUSB_DT_BOS << 8, 0, buf, sizeof buf, 1000);
    return r < 0 ? r : LIBUSB_ERROR_IO;
}

void LIBUSB_CALL libusb_free_bos_descriptor(struct libusb_bos_descriptor* bos) { std::free(bos); }

int LIBUSB_CALL libusb_get_usb_2_0_extension_descriptor(libusb_context*, struct libusb_bos_dev_capability_descriptor* cap,
                                                        struct libusb_usb_2_0_extension_descriptor** out) {
    if (!cap || !out) return LIBUSB_ERROR_INVALID_PARAM;
    return LIBUSB_ERROR_INVALID_PARAM;
}

void LIBUSB_CALL libusb_free_usb_2_0_extension_descriptor(struct libusb_usb_2_0_extension_descriptor* d) {
    std::free(d);
}

int LIBUSB_CALL libusb_get_ss_usb_device_capability_descriptor(
    libusb_context*, struct libusb_bos_dev_capability_descriptor* cap,
    struct libusb_ss_usb_device_capability_descriptor** out) {
    if (!cap || !out) return LIBUSB_ERROR_INVALID_PARAM;
    return LIBUSB_ERROR_INVALID_PARAM;
}

void LIBUSB_CALL libusb_free_ss_usb_device_capability_descriptor(struct libusb_ss_usb_device_capability_descriptor* d) {
    std::free(d);
}

int LIBUSB_CALL libusb_get_container_id_descriptor(libusb_context*, struct libusb_bos_dev_capability_descriptor* cap,
                                                   struct libusb_container_id_descriptor** out) {
    if (!cap || !out) return LIBUSB_ERROR_INVALID_PARAM;
    return LIBUSB_ERROR_INVALID_PARAM;
}

void LIBUSB_CALL libusb_free_container_id_descriptor(struct libusb_container_id_descriptor* d) { std::free(d); }

// ---- handles ----

int LIBUSB_CALL libusb_wrap_sys_device(libusb_context*, intptr_t, libusb_device_handle** dev_handle) {
    if (dev_handle) *dev_handle = nullptr;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (!liveDevice(dev) || !dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    int err = 0;
    libusb_device_handle* h = openLocked(dev, &err);
    if (h) *dev_handle = h;
    return err;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (liveHandle(dev_handle)) closeLocked(dev_handle);
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* dev_handle) {
    std::lock_guard<std::mutex> lk(B().mu);
    return liveHandle(dev_handle) ? dev_handle->dev : nullptr;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vendor_id,
                                                                  uint16_t product_id) {
    std::lock_guard<std::mutex> lk(B().mu);
    refreshConfigLocked();
    libusb_context* c = resolveCtx(ctx);
    if (!c) return nullptr;
    for (auto& e : c->devices) {
        const DeviceConfig& cfg = e.first->config();
        if (cfg.vendorId != vendor_id || cfg.productId != product_id) continue;
        int err = 0;
        return openLocked(e.second, &err);
    }
    return nullptr;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* dev_handle, int* config) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (!config) return LIBUSB_ERROR_INVALID_PARAM;
    if (int e = usable(dev_handle)) return e;
    *config = dev_handle->dev->model->configuration;
    return 0;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* dev_handle, int configuration) {
    std::unique_lock<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    DeviceModel& m = *dev_handle->dev->model;
    if (configuration < -1 || configuration > 255) return LIBUSB_ERROR_INVALID_PARAM;
    if (m.claimedBy) return LIBUSB_ERROR_BUSY;
    const Setup s{0x00, LIBUSB_REQUEST_SET_CONFIGURATION, static_cast<uint16_t>(configuration < 0 ? 0 : configuration),
                  0, 0};
    const int r = controlLocked(lk, dev_handle, s, nullptr, 1000);
    return r == LIBUSB_ERROR_PIPE ? LIBUSB_ERROR_NOT_FOUND : (r < 0 ? r : 0);
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    DeviceModel& m = *dev_handle->dev->model;
    if (m.configuration == 0 || !interfaceExists(m, interface_number)) return LIBUSB_ERROR_NOT_FOUND;
    if (interface_number != m.config().interfaceNumber) return 0;  // endpoint-less extra interfaces
    if (m.claimedBy == dev_handle) return 0;
    if (m.claimedBy) return LIBUSB_ERROR_BUSY;
    if (int e = m.claimFault()) return e;
    if (m.kernelBound) {
        if (!dev_handle->autoDetach) return LIBUSB_ERROR_BUSY;
        if (int e = m.detachKernelDriver()) return e;
        dev_handle->detachedByClaim = true;
    }
    m.claimedBy = dev_handle;
    m.note(Record::Type::Claim, static_cast<uint16_t>(interface_number));
    return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    std::unique_lock<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    DeviceModel& m = *dev_handle->dev->model;
    if (!interfaceExists(m, interface_number)) return LIBUSB_ERROR_NOT_FOUND;
    if (interface_number != m.config().interfaceNumber) return 0;
    if (m.claimedBy != dev_handle) return LIBUSB_ERROR_NOT_FOUND;
    // Releasing puts the interface back to its first alternate setting; Linux sends the request
    // only when the interface is in another one.
    if (m.altSetting != 0) {
        const Setup s{0x01, LIBUSB_REQUEST_SET_INTERFACE, 0, static_cast<uint16_t>(interface_number), 0};
        controlLocked(lk, dev_handle, s, nullptr, 1000);
    }
    if (!liveHandle(dev_handle) || m.claimedBy != dev_handle) return 0;
    m.claimedBy = nullptr;
    m.note(Record::Type::Release, static_cast<uint16_t>(interface_number));
    if (dev_handle->detachedByClaim) {
        dev_handle->detachedByClaim = false;
        m.kernelBound = true;
    }
    return 0;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* dev_handle, int interface_number,
                                                 int alternate_setting) {
    std::unique_lock<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    DeviceModel& m = *dev_handle->dev->model;
    if (interface_number < 0 || interface_number > 255 || alternate_setting < 0 || alternate_setting > 255)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (interface_number != m.config().interfaceNumber || m.claimedBy != dev_handle) return LIBUSB_ERROR_NOT_FOUND;
    const Setup s{0x01, LIBUSB_REQUEST_SET_INTERFACE, static_cast<uint16_t>(alternate_setting),
                  static_cast<uint16_t>(interface_number), 0};
    const int r = controlLocked(lk, dev_handle, s, nullptr, 1000);
    return r == LIBUSB_ERROR_PIPE ? LIBUSB_ERROR_NOT_FOUND : (r < 0 ? r : 0);
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char endpoint) {
    std::unique_lock<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    DeviceModel& m = *dev_handle->dev->model;
    if (m.configuration == 0 || !m.endpoint(endpoint)) return LIBUSB_ERROR_NOT_FOUND;
    const Setup s{0x02, LIBUSB_REQUEST_CLEAR_FEATURE, 0, endpoint, 0};
    const int r = controlLocked(lk, dev_handle, s, nullptr, 1000);
    return r < 0 ? r : 0;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* dev_handle) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    DeviceModel& m = *dev_handle->dev->model;
    m.note(Record::Type::Reset, 0);
    return 0;
}

int LIBUSB_CALL libusb_alloc_streams(libusb_device_handle* dev_handle, uint32_t, unsigned char*, int) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_free_streams(libusb_device_handle* dev_handle, unsigned char*, int) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

unsigned char* LIBUSB_CALL libusb_dev_mem_alloc(libusb_device_handle*, size_t) { return nullptr; }

int LIBUSB_CALL libusb_dev_mem_free(libusb_device_handle*, unsigned char*, size_t) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* dev_handle, int interface_number) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    DeviceModel& m = *dev_handle->dev->model;
    if (interface_number != m.config().interfaceNumber) return 0;
    return m.kernelDriverQuery();
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int interface_number) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    DeviceModel& m = *dev_handle->dev->model;
    if (!interfaceExists(m, interface_number)) return LIBUSB_ERROR_INVALID_PARAM;
    if (interface_number != m.config().interfaceNumber) return LIBUSB_ERROR_NOT_FOUND;
    return m.detachKernelDriver();
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* dev_handle, int interface_number) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    DeviceModel& m = *dev_handle->dev->model;
    if (!interfaceExists(m, interface_number)) return LIBUSB_ERROR_INVALID_PARAM;
    if (interface_number != m.config().interfaceNumber || !m.config().hasKernelDriver) return LIBUSB_ERROR_NOT_FOUND;
    if (m.claimedBy || m.kernelBound) return LIBUSB_ERROR_BUSY;
    m.kernelBound = true;
    B().cv.notify_all();
    return 0;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle, int enable) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    dev_handle->autoDetach = enable != 0;
    return 0;
}

// ---- synchronous transfers ----

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                                        unsigned int timeout) {
    if (!data && wLength) return withErrno(LIBUSB_ERROR_INVALID_PARAM);
    std::unique_lock<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return withErrno(e);
    const Setup s{request_type, bRequest, wValue, wIndex, wLength};
    if (int e = checkControlRecipient(dev_handle, s)) return withErrno(e);
    return withErrno(controlLocked(lk, dev_handle, s, data, timeout));
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* actual_length, unsigned int timeout) {
    return withErrno(dataTransfer(dev_handle, endpoint, data, length, actual_length, timeout));
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                          unsigned char* data, int length, int* actual_length, unsigned int timeout) {
    return withErrno(dataTransfer(dev_handle, endpoint, data, length, actual_length, timeout));
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle, uint8_t desc_index,
                                                   unsigned char* data, int length) {
    if (desc_index == 0 || !data || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    std::unique_lock<std::mutex> lk(B().mu);
    if (int e = usable(dev_handle)) return e;
    unsigned char tbuf[255];
    int r = controlLocked(lk, dev_handle, Setup{0x80, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_STRING << 8, 0, 255},
                          tbuf, 1000);
    if (r < 0) return r;
    if (r < 4) return LIBUSB_ERROR_IO;
    const uint16_t langid = static_cast<uint16_t>(tbuf[2] | (tbuf[3] << 8));
    if (int e = usable(dev_handle)) return e;
    r = controlLocked(lk, dev_handle,
                      Setup{0x80, LIBUSB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>((LIBUSB_DT_STRING << 8) | desc_index),
                            langid, 255},
                      tbuf, 1000);
    if (r < 0) return r;
    if (r < 2 || tbuf[1] != LIBUSB_DT_STRING || tbuf[0] > r) return LIBUSB_ERROR_IO;
    int di = 0;
    for (int si = 2; si + 1 < tbuf[0] && di < length - 1; si += 2)
        data[di++] = (tbuf[si + 1] || (tbuf[si] & 0x80)) ? '?' : tbuf[si];
    data[di] = 0;
    return di;
}

// ---- asynchronous transfers ----

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int iso_packets) {
    if (iso_packets < 0) return nullptr;
    const size_t size = offsetof(TransferPriv, pub) + sizeof(libusb_transfer) +
                        static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
    void* mem = std::calloc(1, size);
    if (!mem) return nullptr;
    auto* p = new (mem) TransferPriv;
    libusb_transfer* t = pubOf(p);
    std::memset(t, 0, sizeof(libusb_transfer) + static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor));
    t->num_iso_packets = iso_packets;
    return t;
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* transfer) {
    if (!transfer) return;
    TransferPriv* p = privOf(transfer);
    {
        std::lock_guard<std::mutex> lk(B().mu);
        if (p->submitted) {
            // Freeing a submitted transfer is a program error; unlink it so nothing touches it later.
            for (libusb_context* c : B().contexts) {
                auto it = std::find(c->transfers.begin(), c->transfers.end(), p);
                if (it != c->transfers.end()) c->transfers.erase(it);
            }
            if (p->handle) releaseHandleLocked(p->handle);
            p->submitted = false;
        }
    }
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) && transfer->buffer) std::free(transfer->buffer);
    p->~TransferPriv();
    std::free(p);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* transfer) {
    if (!transfer) return LIBUSB_ERROR_INVALID_PARAM;
    TransferPriv* p = privOf(transfer);
    std::lock_guard<std::mutex> lk(B().mu);
    if (p->submitted) return LIBUSB_ERROR_BUSY;
    libusb_device_handle* h = transfer->dev_handle;
    if (int e = usable(h)) return e;
    if (transfer->length < 0 || (!transfer->buffer && transfer->length > 0)) return LIBUSB_ERROR_INVALID_PARAM;
    switch (transfer->type) {
    case LIBUSB_TRANSFER_TYPE_CONTROL: {
        if (transfer->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE)) return LIBUSB_ERROR_INVALID_PARAM;
        const auto* sp = reinterpret_cast<const libusb_control_setup*>(transfer->buffer);
        if (libusb_le16_to_cpu(sp->wLength) > transfer->length - static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE))
            return LIBUSB_ERROR_INVALID_PARAM;
        const Setup s{sp->bmRequestType, sp->bRequest, libusb_le16_to_cpu(sp->wValue), libusb_le16_to_cpu(sp->wIndex),
                      libusb_le16_to_cpu(sp->wLength)};
        if (int e = checkControlRecipient(h, s)) return e;
        break;
    }
    case LIBUSB_TRANSFER_TYPE_BULK:
    case LIBUSB_TRANSFER_TYPE_INTERRUPT:
        if (int e = checkDataEndpoint(h, transfer->endpoint)) return e;
        break;
    default:
        return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    p->submitted = true;
    p->done = p->stuck = p->cancelRequested = p->recordedOut = p->onDevice = false;
    p->handle = h;
    p->hasDeadline = transfer->timeout != 0;
    p->deadline = deadlineFor(transfer->timeout);
    p->readyAt = Clock::time_point{};
    transfer->actual_length = 0;
    transfer->status = LIBUSB_TRANSFER_COMPLETED;
    ++h->inflight;
    h->dev->ctx->transfers.push_back(p);
    attemptLocked(p);
    B().cv.notify_all();
    return 0;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* transfer) {
    if (!transfer) return LIBUSB_ERROR_INVALID_PARAM;
    TransferPriv* p = privOf(transfer);
    std::lock_guard<std::mutex> lk(B().mu);
    if (!p->submitted || p->done || p->cancelRequested) return LIBUSB_ERROR_NOT_FOUND;
    p->cancelRequested = true;
    B().cv.notify_all();
    return 0;
}

void LIBUSB_CALL libusb_transfer_set_stream_id(struct libusb_transfer* transfer, uint32_t stream_id) {
    if (transfer) privOf(transfer)->streamId = static_cast<int>(stream_id);
}

uint32_t LIBUSB_CALL libusb_transfer_get_stream_id(struct libusb_transfer* transfer) {
    return transfer ? static_cast<uint32_t>(privOf(transfer)->streamId) : 0;
}

// ---- event handling ----

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv, int* completed) {
    if (!tv) return LIBUSB_ERROR_INVALID_PARAM;
    return handleEvents(ctx, tv, completed, 0);
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
    if (!tv) return LIBUSB_ERROR_INVALID_PARAM;
    return handleEvents(ctx, tv, nullptr, 0);
}

int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) {
    return handleEvents(ctx, nullptr, nullptr, kHandleEventsDefaultMs);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed) {
    return handleEvents(ctx, nullptr, completed, kHandleEventsDefaultMs);
}

int LIBUSB_CALL libusb_handle_events_locked(libusb_context* ctx, struct timeval* tv) {
    if (!tv) return LIBUSB_ERROR_INVALID_PARAM;
    return handleEvents(ctx, tv, nullptr, 0);
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* ctx) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (libusb_context* c = resolveCtx(ctx)) {
        c->interrupted = true;
        B().cv.notify_all();
    }
}

namespace {
libusb_context* ctxForLocks(libusb_context* ctx) {
    std::lock_guard<std::mutex> lk(B().mu);
    return resolveCtx(ctx);
}
}  // namespace

int LIBUSB_CALL libusb_try_lock_events(libusb_context* ctx) {
    libusb_context* c = ctxForLocks(ctx);
    if (!c) return 1;
    if (!c->eventsLock.try_lock()) return 1;
    std::lock_guard<std::mutex> lk(B().mu);
    c->eventsLocked = true;
    return 0;
}

void LIBUSB_CALL libusb_lock_events(libusb_context* ctx) {
    libusb_context* c = ctxForLocks(ctx);
    if (!c) return;
    c->eventsLock.lock();
    std::lock_guard<std::mutex> lk(B().mu);
    c->eventsLocked = true;
}

void LIBUSB_CALL libusb_unlock_events(libusb_context* ctx) {
    libusb_context* c = ctxForLocks(ctx);
    if (!c) return;
    {
        std::lock_guard<std::mutex> lk(B().mu);
        c->eventsLocked = false;
    }
    c->eventsLock.unlock();
    {
        std::lock_guard<std::mutex> wl(c->waitersLock);
    }
    c->waitersCv.notify_all();
}

int LIBUSB_CALL libusb_event_handling_ok(libusb_context* ctx) { return ctxForLocks(ctx) ? 1 : 0; }

int LIBUSB_CALL libusb_event_handler_active(libusb_context* ctx) {
    std::lock_guard<std::mutex> lk(B().mu);
    libusb_context* c = resolveCtx(ctx);
    return c && c->eventsLocked ? 1 : 0;
}

void LIBUSB_CALL libusb_lock_event_waiters(libusb_context* ctx) {
    if (libusb_context* c = ctxForLocks(ctx)) c->waitersLock.lock();
}

void LIBUSB_CALL libusb_unlock_event_waiters(libusb_context* ctx) {
    if (libusb_context* c = ctxForLocks(ctx)) c->waitersLock.unlock();
}

int LIBUSB_CALL libusb_wait_for_event(libusb_context* ctx, struct timeval* tv) {
    libusb_context* c = ctxForLocks(ctx);
    if (!c) return LIBUSB_ERROR_INVALID_PARAM;
    std::unique_lock<std::mutex> wl(c->waitersLock, std::adopt_lock);
    std::cv_status st = std::cv_status::no_timeout;
    if (!tv)
        c->waitersCv.wait(wl);
    else
        st = c->waitersCv.wait_for(wl, std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec));
    wl.release();
    return st == std::cv_status::timeout ? 1 : 0;
}

int LIBUSB_CALL libusb_get_next_timeout(libusb_context* ctx, struct timeval* tv) {
    std::lock_guard<std::mutex> lk(B().mu);
    libusb_context* c = resolveCtx(ctx);
    if (!c || !tv) return LIBUSB_ERROR_INVALID_PARAM;
    auto next = Clock::time_point::max();
    for (TransferPriv* p : c->transfers)
        if (p->hasDeadline) next = std::min(next, p->deadline);
    if (next == Clock::time_point::max()) return 0;
    const auto left = std::max(Clock::duration::zero(), next - Clock::now());
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    tv->tv_sec = static_cast<time_t>(us / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(us % 1000000);
    return 1;
}

int LIBUSB_CALL libusb_pollfds_handle_timeouts(libusb_context*) { return 0; }

const struct libusb_pollfd** LIBUSB_CALL libusb_get_pollfds(libusb_context* ctx) {
    if (!ctxForLocks(ctx)) return nullptr;
    // No file descriptors: events are handled by libusb_handle_events*.
    return static_cast<const libusb_pollfd**>(std::calloc(1, sizeof(libusb_pollfd*)));
}

void LIBUSB_CALL libusb_free_pollfds(const struct libusb_pollfd** pollfds) {
    std::free(const_cast<libusb_pollfd**>(pollfds));
}

void LIBUSB_CALL libusb_set_pollfd_notifiers(libusb_context*, libusb_pollfd_added_cb, libusb_pollfd_removed_cb,
                                             void*) {}

// ---- hot-plug ----

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context* ctx, int events, int flags, int vendor_id,
                                                 int product_id, int dev_class, libusb_hotplug_callback_fn cb_fn,
                                                 void* user_data, libusb_hotplug_callback_handle* callback_handle) {
    const int known = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    if (!cb_fn || events == 0 || (events & ~known) || (flags & ~LIBUSB_HOTPLUG_ENUMERATE))
        return LIBUSB_ERROR_INVALID_PARAM;
    auto badId = [](int v, int max) { return v != LIBUSB_HOTPLUG_MATCH_ANY && (v < 0 || v > max); };
    if (badId(vendor_id, 0xFFFF) || badId(product_id, 0xFFFF) || badId(dev_class, 0xFF))
        return LIBUSB_ERROR_INVALID_PARAM;
    std::unique_lock<std::mutex> lk(B().mu);
    refreshConfigLocked();
    libusb_context* c = resolveCtx(ctx);
    if (!c) return LIBUSB_ERROR_INVALID_PARAM;
    HotplugCallback cb;
    cb.handle = c->nextHotplugHandle++;
    cb.events = events;
    cb.vendor = vendor_id;
    cb.product = product_id;
    cb.devClass = dev_class;
    cb.fn = cb_fn;
    cb.user = user_data;
    c->hotplug.push_back(cb);
    if (callback_handle) *callback_handle = cb.handle;
    if ((flags & LIBUSB_HOTPLUG_ENUMERATE) && (events & LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)) {
        Delivery d;
        for (auto& e : c->devices) {
            ++e.second->refs;
            d.events.push_back({e.second, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED});
        }
        d.callbacks.push_back(cb);
        ++c->activeOps;
        deliver(lk, c, d);
        --c->activeOps;
        B().cv.notify_all();
    }
    return 0;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context* ctx, libusb_hotplug_callback_handle handle) {
    std::lock_guard<std::mutex> lk(B().mu);
    if (libusb_context* c = resolveCtx(ctx)) deregisterLocked(c, handle);
}

void* LIBUSB_CALL libusb_hotplug_get_user_data(libusb_context* ctx, libusb_hotplug_callback_handle handle) {
    std::lock_guard<std::mutex> lk(B().mu);
    libusb_context* c = resolveCtx(ctx);
    if (!c) return nullptr;
    for (const auto& cb : c->hotplug)
        if (cb.handle == handle) return cb.user;
    return nullptr;
}

}  // extern "C"
