// usbfs as the kernel presents it to libusb, answered from the device models: URBs submitted,
// acted on by the model, reaped; interface claims, kernel-driver binding, halts.
//
// All handlers of the testbed run on umockdev's one worker thread and must not block. A URB the
// device does not answer yet (NAK) stays in flight; the completion thread retries it whenever a
// model changes, and libusb's own time-out discards it.
#include "mockdev/Usbfs.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <thread>

#include "mockdev/MockBus.h"

namespace mockdev {

using namespace usbsim::detail;

namespace {

struct Instance {
    std::shared_ptr<DeviceModel> model;
    std::string node;
    int fifo = -1;
    bool drained = false;  // the FIFO polls ready: a URB waits to be reaped
    ~Instance() {
        if (fifo >= 0) ::close(fifo);
    }
};

struct Urb {
    UMockdevIoctlData* urb = nullptr;  // libusb's struct usbdevfs_urb (a reference we hold)
    UMockdevIoctlData* buffer = nullptr;
    UMockdevIoctlData* slot = nullptr;  // where a reap stores the URB's address
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int length = 0;
    int actual = 0;
    int status = 0;
    bool done = false;
    bool stuck = false;  // the device will never answer it; only a discard ends it
    ~Urb() {
        if (slot) g_object_unref(slot);
        if (buffer) g_object_unref(buffer);
        if (urb) g_object_unref(urb);
    }
};

struct Client {
    std::shared_ptr<Instance> dev;
    std::deque<std::unique_ptr<Urb>> urbs;  // submission order
};

struct Node {
    std::string path;
    std::shared_ptr<Instance> current;
};

struct State {
    std::map<std::string, Node*> nodes;  // every node ever used; handlers stay attached
    std::map<const DeviceModel*, std::shared_ptr<Instance>> byModel;
    std::map<UMockdevIoctlClient*, Client> clients;
    std::vector<std::string> removals;
    Counters counters;
    bool started = false;
    bool trace = false;
};

State& state() {
    static State* s = new State;
    return *s;
}

int errnoOf(int libusbError) {
    switch (libusbError) {
    case LIBUSB_ERROR_BUSY: return EBUSY;
    case LIBUSB_ERROR_ACCESS: return EACCES;
    case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
    case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
    case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
    case LIBUSB_ERROR_PIPE: return EPIPE;
    default: return EIO;
    }
}

// URB status as the host controller driver reports it.
int urbStatusOf(int result) {
    switch (result) {
    case 0: return 0;
    case LIBUSB_ERROR_PIPE: return -EPIPE;
    case LIBUSB_ERROR_NO_DEVICE: return -ESHUTDOWN;
    case LIBUSB_ERROR_OVERFLOW: return -EOVERFLOW;
    default: return -EPROTO;
    }
}

void fill(Instance& d) {
    if (d.fifo < 0) return;
    static const char block[4096] = {};
    while (::write(d.fifo, block, sizeof block) > 0) {
    }
}

void drain(Instance& d) {
    if (d.fifo < 0) return;
    char buf[4096];
    while (::read(d.fifo, buf, sizeof buf) > 0) {
    }
}

bool hasDone(const Instance& d) {
    for (const auto& [key, c] : state().clients) {
        if (c.dev.get() != &d) continue;
        for (const auto& u : c.urbs)
            if (u->done) return true;
    }
    return false;
}

// libusb polls the node for POLLOUT: a drained FIFO says "reap now", a full one sleeps.
void wake(Instance& d) {
    if (d.drained) return;
    drain(d);
    d.drained = true;
}

void settle(Instance& d) {
    // A departed device keeps polling ready so that libusb reaps, meets ENODEV and lets it go.
    if (!d.drained || hasDone(d) || !d.model->pluggedLocked()) return;
    fill(d);
    d.drained = false;
}

void finish(Urb& u, int result) {
    u.done = true;
    u.status = urbStatusOf(result);
}

// Lets the device act on a URB, as the host controller would.
void attempt(Instance& d, Urb& u) {
    if (u.done) return;
    DeviceModel& m = *d.model;
    if (!m.pluggedLocked()) return finish(u, LIBUSB_ERROR_NO_DEVICE);
    if (u.stuck) return;
    uint8_t* data = u.buffer ? u.buffer->data : nullptr;
    if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
        const auto* sp = reinterpret_cast<const usb_ctrlrequest*>(data);
        const Setup s{sp->bRequestType, sp->bRequest, le16toh(sp->wValue), le16toh(sp->wIndex), le16toh(sp->wLength)};
        OpResult o = m.control(s, data + sizeof(usb_ctrlrequest));
        if (o.blocked) {
            u.stuck = true;
            return;
        }
        u.actual = o.result < 0 ? 0 : o.actual;  // without the setup stage
        return finish(u, o.result);
    }
    uint8_t* at = data ? data + u.actual : nullptr;
    OpResult o = (u.endpoint & 0x80) ? m.bulkIn(u.endpoint, at, u.length - u.actual)
                                     : m.bulkOut(u.endpoint, at, u.length - u.actual);
    u.actual += o.actual;
    if (o.blocked) {
        u.stuck = o.stuck;
        return;
    }
    finish(u, o.result);
}

// The kernel lets a process use an interface it has not claimed by claiming it on the spot,
// unless a driver (or another process) holds it.
int checkInterface(DeviceModel& m, UMockdevIoctlClient* client, unsigned ifnum) {
    if (ifnum != m.config().interfaceNumber) return 0;
    if (m.claimedBy == client) return 0;
    if (m.kernelBound || m.claimedBy) return EBUSY;
    m.claimedBy = client;
    m.note(usbsim::Record::Type::Claim, static_cast<uint16_t>(ifnum));
    return 0;
}

// Which requests need the interface: vendor requests and the printer-class device ID never do.
int checkControl(DeviceModel& m, UMockdevIoctlClient* client, const Setup& s) {
    if ((s.bmRequestType & USB_TYPE_MASK) == USB_TYPE_VENDOR) return 0;
    if (s.bmRequestType == 0xA1 && s.bRequest == 0 && m.config().printerClass) return 0;
    switch (s.bmRequestType & USB_RECIP_MASK) {
    case USB_RECIP_ENDPOINT: {
        if ((s.wIndex & 0x7F) == 0) return 0;
        if (!m.endpoint(static_cast<uint8_t>(s.wIndex))) return ENOENT;
        return checkInterface(m, client, m.config().interfaceNumber);
    }
    case USB_RECIP_INTERFACE:
        return checkInterface(m, client, s.wIndex & 0xFF);
    default:
        return 0;
    }
}

UMockdevIoctlData* resolve(UMockdevIoctlData* d, size_t offset, size_t len) {
    GError* err = nullptr;
    UMockdevIoctlData* r = umockdev_ioctl_data_resolve(d, offset, len, &err);
    if (!r) g_clear_error(&err);
    return r;
}

// The URB address an ioctl's argument names: the pointer value itself.
gulong pointerArg(UMockdevIoctlData* arg) {
    gulong v = 0;
    if (arg && arg->data_len >= static_cast<gint>(sizeof v)) std::memcpy(&v, arg->data, sizeof v);
    return v;
}

Client& clientFor(UMockdevIoctlClient* client, Node* node) {
    auto it = state().clients.find(client);
    if (it == state().clients.end()) it = state().clients.emplace(client, Client{node->current, {}}).first;
    return it->second;
}

struct Answer {
    long result = 0;
    int error = 0;
    void fail(int e) {
        result = -1;
        error = e;
    }
};

void submit(Client& c, UMockdevIoctlClient* client, UMockdevIoctlData* arg, Answer& a) {
    Instance& d = *c.dev;
    DeviceModel& m = *d.model;
    auto u = std::make_unique<Urb>();
    u->urb = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!u->urb) return a.fail(EFAULT);
    const auto* raw = reinterpret_cast<const usbdevfs_urb*>(u->urb->data);
    u->type = raw->type;
    u->endpoint = raw->endpoint;
    u->length = raw->buffer_length;
    if (u->length < 0) return a.fail(EINVAL);
    if (u->length > 0) {
        u->buffer = resolve(u->urb, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(u->length));
        if (!u->buffer) return a.fail(EFAULT);
    }
    switch (u->type) {
    case USBDEVFS_URB_TYPE_CONTROL: {
        if (u->length < static_cast<int>(sizeof(usb_ctrlrequest))) return a.fail(EINVAL);
        u->length -= static_cast<int>(sizeof(usb_ctrlrequest));
        const auto* sp = reinterpret_cast<const usb_ctrlrequest*>(u->buffer->data);
        const Setup s{sp->bRequestType, sp->bRequest, le16toh(sp->wValue), le16toh(sp->wIndex), le16toh(sp->wLength)};
        if (int e = checkControl(m, client, s)) return a.fail(e);
        break;
    }
    case USBDEVFS_URB_TYPE_BULK:
    case USBDEVFS_URB_TYPE_INTERRUPT:
        if (m.configuration == 0 || !m.endpoint(u->endpoint)) return a.fail(ENOENT);
        if (int e = checkInterface(m, client, m.config().interfaceNumber)) return a.fail(e);
        break;
    default:
        return a.fail(EINVAL);  // the models have no isochronous endpoints
    }
    ++state().counters.urbsSubmitted;
    attempt(d, *u);
    if (state().trace)
        std::fprintf(stderr, "mockdev: urb type %d ep %#x len %d -> done %d stuck %d status %d actual %d\n", u->type,
                     u->endpoint, u->length, u->done, u->stuck, u->status, u->actual);
    if (u->done) wake(d);
    c.urbs.push_back(std::move(u));
}

void reap(Client& c, UMockdevIoctlData* arg, Answer& a, std::vector<std::unique_ptr<Urb>>& reaped) {
    Instance& d = *c.dev;
    for (auto it = c.urbs.begin(); it != c.urbs.end(); ++it) {
        Urb& u = **it;
        if (!u.done) continue;
        auto* raw = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
        raw->status = u.status;
        raw->actual_length = u.actual;
        // The argument points at libusb's URB pointer: umockdev stores the URB's address there and
        // writes the URB and its buffer back into libusb's memory.
        UMockdevIoctlData* slot = resolve(arg, 0, sizeof(void*));
        if (!slot) return a.fail(EFAULT);
        umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
        (*it)->slot = slot;
        reaped.push_back(std::move(*it));
        c.urbs.erase(it);
        ++state().counters.urbsReaped;
        settle(d);
        return;
    }
    ++state().counters.emptyReaps;
    settle(d);
    a.fail(d.model->pluggedLocked() ? EAGAIN : ENODEV);
}

void discard(Client& c, UMockdevIoctlData* arg, Answer& a) {
    const gulong addr = pointerArg(arg);
    for (auto& u : c.urbs) {
        if (u->urb->client_addr != addr) continue;
        if (u->done) return a.fail(EINVAL);
        u->done = true;
        u->status = -ENOENT;
        // An IN transfer that timed out without data shows in the record, as on the simulated bus.
        if ((u->endpoint & 0x80) && u->type != USBDEVFS_URB_TYPE_CONTROL && u->actual == 0)
            c.dev->model->noteBulkIn(u->endpoint, nullptr, 0, LIBUSB_ERROR_TIMEOUT);
        wake(*c.dev);
        return;
    }
    a.fail(EINVAL);
}

template <typename T>
bool withArg(UMockdevIoctlData* arg, Answer& a, const std::function<void(T&)>& f) {
    UMockdevIoctlData* d = resolve(arg, 0, sizeof(T));
    if (!d) {
        a.fail(EFAULT);
        return false;
    }
    f(*reinterpret_cast<T*>(d->data));
    g_object_unref(d);
    return true;
}

void kernelIoctl(DeviceModel& m, UMockdevIoctlData* arg, Answer& a) {
    withArg<usbdevfs_ioctl>(arg, a, [&](usbdevfs_ioctl& io) {
        if (static_cast<unsigned>(io.ifno) != m.config().interfaceNumber) return a.fail(EINVAL);
        if (static_cast<unsigned long>(io.ioctl_code) == USBDEVFS_DISCONNECT) {
            if (!m.kernelBound) return a.fail(ENODATA);
            if (int e = m.detachKernelDriver()) return a.fail(errnoOf(e));
            return;
        }
        if (static_cast<unsigned long>(io.ioctl_code) == USBDEVFS_CONNECT) {
            // Any driver bound, usbfs included, refuses; otherwise 1 when a driver took it, 0 when none.
            if (m.claimedBy || m.kernelBound) return a.fail(EBUSY);
            if (!m.config().hasKernelDriver) return;
            m.kernelBound = true;
            a.result = 1;
            return;
        }
        a.fail(ENOTTY);
    });
}

void handle(Client& c, UMockdevIoctlClient* client, gulong request, UMockdevIoctlData* arg, Answer& a,
            std::vector<std::unique_ptr<Urb>>& reaped) {
    if (!c.dev) return a.fail(ENODEV);
    DeviceModel& m = *c.dev->model;
    const bool gone = !m.pluggedLocked();
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        withArg<uint32_t>(arg, a, [](uint32_t& caps) {
            caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                   USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        });
        return;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return reap(c, arg, a, reaped);
    case USBDEVFS_DISCARDURB:
        return discard(c, arg, a);
    default:
        break;
    }
    if (gone) return a.fail(ENODEV);
    switch (request) {
    case USBDEVFS_SUBMITURB:
        return submit(c, client, arg, a);
    case USBDEVFS_CLAIMINTERFACE:
        withArg<unsigned>(arg, a, [&](unsigned& ifnum) {
            if (ifnum != m.config().interfaceNumber) return a.fail(ifnum < m.config().numInterfaces ? 0 : ENOENT);
            if (m.claimedBy == client) return;
            if (m.kernelBound || m.claimedBy) return a.fail(EBUSY);
            if (int e = m.claimFault()) return a.fail(errnoOf(e));
            m.claimedBy = client;
            m.note(usbsim::Record::Type::Claim, static_cast<uint16_t>(ifnum));
        });
        return;
    case USBDEVFS_RELEASEINTERFACE:
        withArg<unsigned>(arg, a, [&](unsigned& ifnum) {
            if (ifnum != m.config().interfaceNumber) return;
            if (m.claimedBy != client) return a.fail(EINVAL);
            // The kernel puts the interface back to setting 0 only when it is elsewhere.
            if (m.altSetting != 0) {
                const Setup s{0x01, USB_REQ_SET_INTERFACE, 0, static_cast<uint16_t>(ifnum), 0};
                m.control(s, nullptr);
            }
            m.claimedBy = nullptr;
            m.note(usbsim::Record::Type::Release, static_cast<uint16_t>(ifnum));
        });
        return;
    case USBDEVFS_GETDRIVER:
        withArg<usbdevfs_getdriver>(arg, a, [&](usbdevfs_getdriver& g) {
            const int q = m.kernelDriverQuery();
            if (q < 0) return a.fail(errnoOf(q));
            const char* name = m.claimedBy ? "usbfs" : (q == 1 ? "usblp" : nullptr);
            if (!name || g.interface != m.config().interfaceNumber) return a.fail(ENODATA);
            std::snprintf(g.driver, sizeof g.driver, "%s", name);
        });
        return;
    case USBDEVFS_IOCTL:
        return kernelIoctl(m, arg, a);
    case USBDEVFS_DISCONNECT_CLAIM:
        return a.fail(ENOTTY);  // libusb then detaches and claims in two steps
    case USBDEVFS_CLEAR_HALT:
        withArg<unsigned>(arg, a, [&](unsigned& ep) {
            if (!m.endpoint(static_cast<uint8_t>(ep))) return a.fail(ENOENT);
            if (int e = checkInterface(m, client, m.config().interfaceNumber)) return a.fail(e);
            const Setup s{0x02, USB_REQ_CLEAR_FEATURE, USB_ENDPOINT_HALT, static_cast<uint16_t>(ep), 0};
            const OpResult o = m.control(s, nullptr);
            if (o.blocked) return a.fail(ETIMEDOUT);
            if (o.result < 0) return a.fail(errnoOf(o.result));
        });
        return;
    case USBDEVFS_RESETEP:
        return;
    case USBDEVFS_SETINTERFACE:
        withArg<usbdevfs_setinterface>(arg, a, [&](usbdevfs_setinterface& si) {
            if (int e = checkInterface(m, client, si.interface)) return a.fail(e);
            if (si.interface != m.config().interfaceNumber || si.altsetting >= m.config().numAltSettings)
                return a.fail(EINVAL);
            const Setup s{0x01, USB_REQ_SET_INTERFACE, static_cast<uint16_t>(si.altsetting),
                          static_cast<uint16_t>(si.interface), 0};
            const OpResult o = m.control(s, nullptr);
            if (o.result < 0) return a.fail(errnoOf(o.result));
        });
        return;
    case USBDEVFS_SETCONFIGURATION:
        withArg<int>(arg, a, [&](int& value) {
            if (m.claimedBy) return a.fail(EBUSY);
            const Setup s{0x00, USB_REQ_SET_CONFIGURATION, static_cast<uint16_t>(value < 0 ? 0 : value), 0, 0};
            const OpResult o = m.control(s, nullptr);
            if (o.result < 0) return a.fail(EINVAL);
        });
        return;
    case USBDEVFS_RESET:
        m.note(usbsim::Record::Type::Reset, 0);
        return;
    case USBDEVFS_GET_SPEED:
        a.result = m.config().speed == usbsim::Speed::High ? USB_SPEED_HIGH : USB_SPEED_FULL;
        return;
    case USBDEVFS_CONNECTINFO:
        withArg<usbdevfs_connectinfo>(arg, a, [&](usbdevfs_connectinfo& ci) {
            ci.devnum = m.address();
            ci.slow = 0;
        });
        return;
    default:
        return a.fail(ENOTTY);
    }
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* node = static_cast<Node*>(user);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    Answer a;
    std::vector<std::unique_ptr<Urb>> reaped;  // released after the answer went out
    {
        std::lock_guard<std::mutex> lk(bus().mu);
        ++state().counters.ioctls;
        Client& c = clientFor(client, node);
        handle(c, client, request, arg, a, reaped);
        if (state().trace)
            std::fprintf(stderr, "mockdev: %s ioctl %#lx -> %ld errno %d\n", node->path.c_str(), request, a.result,
                         a.error);
    }
    umockdev_ioctl_client_complete(client, a.result, a.error);
    return TRUE;
}

// A client is one open file of the node; its object may be reused for a later open.
void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* node = static_cast<Node*>(user);
    std::lock_guard<std::mutex> lk(bus().mu);
    state().clients[client] = Client{node->current, {}};
}

void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    std::shared_ptr<Instance> keep;  // the FIFO closes outside the lock
    std::lock_guard<std::mutex> lk(bus().mu);
    auto it = state().clients.find(client);
    if (it == state().clients.end()) return;
    keep = it->second.dev;
    DeviceModel* m = keep ? keep->model.get() : nullptr;
    if (m && m->claimedBy == client) m->claimedBy = nullptr;  // closing the file releases its claims
    state().clients.erase(it);
}

void completionThread() {
    std::unique_lock<std::mutex> lk(bus().mu);
    for (;;) {
        bool retry = false;
        for (auto& [key, c] : state().clients) {
            if (!c.dev) continue;
            for (auto& u : c.urbs) {
                if (u->done) continue;
                attempt(*c.dev, *u);
                if (u->done)
                    wake(*c.dev);
                else if (!u->stuck)
                    retry = true;
            }
        }
        if (!state().removals.empty()) {
            lk.unlock();
            runRemovals();
            lk.lock();
            continue;
        }
        // Status that changes with time (not ready for a while) needs no wake-up: nothing waits on it.
        bus().cv.wait_for(lk, std::chrono::milliseconds(retry ? 2 : 200));
    }
}

}  // namespace

void startUsbfs(const std::string&) {
    std::lock_guard<std::mutex> lk(bus().mu);
    if (state().started) return;
    state().started = true;
    state().trace = std::getenv("TALIUN_MOCKDEV_TRACE") != nullptr;
    std::thread(completionThread).detach();
}

void attachNode(UMockdevTestbed* tb, const std::string& path, const std::shared_ptr<DeviceModel>& model) {
    Node* fresh = nullptr;
    {
        std::lock_guard<std::mutex> lk(bus().mu);
        Node*& n = state().nodes[path];
        if (!n) {
            n = new Node{path, nullptr};  // kept for the process: its handler stays attached
            fresh = n;
        }
        auto inst = std::make_shared<Instance>();
        inst->model = model;
        inst->node = path;
        n->current = inst;
        state().byModel[model.get()] = inst;
    }
    if (!fresh) return;
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), fresh);
    g_signal_connect(handler, "client-connected", G_CALLBACK(onConnected), fresh);
    g_signal_connect(handler, "client-vanished", G_CALLBACK(onVanished), fresh);
    GError* err = nullptr;
    if (!umockdev_testbed_attach_ioctl(tb, path.c_str(), handler, &err)) {
        std::fprintf(stderr, "mockdev: cannot attach the ioctl handler of %s: %s\n", path.c_str(),
                     err ? err->message : "?");
        g_clear_error(&err);
    }
    g_object_unref(handler);
}

void makeNodeQuiet(const std::string& root, const std::string& path) {
    const std::string file = root + path;
    ::unlink(file.c_str());
    if (::mkfifo(file.c_str(), 0666) != 0) return;  // the regular file is gone; libusb would fail to open
    const int fd = ::open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    ::fcntl(fd, F_SETPIPE_SZ, 4096);
    std::lock_guard<std::mutex> lk(bus().mu);
    Node* n = state().nodes[path];
    if (!n || !n->current) {
        ::close(fd);
        return;
    }
    Instance& d = *n->current;
    d.fifo = fd;
    d.drained = true;
    settle(d);
}

bool addressInUse(uint8_t address) {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/001/%03u", address);
    for (const auto& [key, c] : state().clients)
        if (c.dev && c.dev->node == path) return true;
    return false;
}

void deviceGoneLocked(DeviceModel* m, const std::string& sys) {
    State& s = state();
    auto it = s.byModel.find(m);
    if (it == s.byModel.end()) return;
    std::shared_ptr<Instance> d = it->second;
    s.byModel.erase(it);
    for (auto& [key, c] : s.clients) {
        if (c.dev != d) continue;
        for (auto& u : c.urbs)
            if (!u->done) finish(*u, LIBUSB_ERROR_NO_DEVICE);
    }
    wake(*d);
    if (Node* n = s.nodes[d->node]; n && n->current == d) n->current = nullptr;
    s.removals.push_back(sys);
    bus().cv.notify_all();
}

std::vector<std::string> takeRemovals() {
    std::lock_guard<std::mutex> lk(bus().mu);
    std::vector<std::string> v;
    v.swap(state().removals);
    return v;
}

Counters counters() {
    std::lock_guard<std::mutex> lk(bus().mu);
    Counters c = state().counters;
    c.urbsLive = 0;
    for (const auto& [key, cl] : state().clients) c.urbsLive += cl.urbs.size();
    return c;
}

}  // namespace mockdev
