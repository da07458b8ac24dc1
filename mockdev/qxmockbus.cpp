// qxmockbus: the maker's devices behind Debian's real libusb, for unmodified programs. It creates a
// umockdev testbed with the given devices, writes the environment a program needs to join it
// (UMOCKDEV_DIR, LD_PRELOAD), and then takes commands, one per line, from its control file
// (a FIFO) until "quit" or SIGTERM:
//
//   offline NAME yes|no      input NAME HEX...      unplug NAME      plug NAME      quit
//
// What each device receives is spooled to SPOOL/NAME/printer.out (display.out, record.log), as
// the simulated bus does.
//
//   qxmockbus --spool DIR --env FILE --control FIFO --device NAME:KIND:SERIAL[:MODEL]...
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "mockdev/MockBus.h"
#include "sim/Internal.h"

namespace {

struct Entry {
    usbsim::DeviceConfig cfg;
    usbsim::DevicePtr dev;
};

volatile sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

int usage() {
    std::fprintf(stderr,
                 "usage: qxmockbus --spool DIR --env FILE --control FIFO --device NAME:KIND:SERIAL[:MODEL]...\n"
                 "       KIND is qx, jv or prt\n");
    return 2;
}

usbsim::DevicePtr plugSpooled(const Entry& e, const std::string& spool, const std::string& name) {
    usbsim::DevicePtr dev = mockdev::plug(e.cfg);
    if (!dev || spool.empty()) return dev;
    std::lock_guard<std::mutex> lk(usbsim::detail::bus().mu);
    static_cast<usbsim::detail::DeviceModel*>(dev.get())->attachSpool(spool + "/" + name);
    return dev;
}

}  // namespace

int main(int argc, char** argv) {
    std::string spool, envFile, control;
    std::map<std::string, Entry> devices;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        const std::string v = argv[++i];
        if (a == "--spool") {
            spool = v;
        } else if (a == "--env") {
            envFile = v;
        } else if (a == "--control") {
            control = v;
        } else if (a == "--device") {
            std::stringstream ss(v);
            std::string name, kind, serial, model;
            std::getline(ss, name, ':');
            std::getline(ss, kind, ':');
            std::getline(ss, serial, ':');
            std::getline(ss, model, ':');
            Entry e;
            if (kind == "qx")
                e.cfg = usbsim::DeviceConfig::vendorPrinter(serial);
            else if (kind == "jv")
                e.cfg = usbsim::DeviceConfig::displayPrinter(serial);
            else if (kind == "prt")
                e.cfg = usbsim::DeviceConfig::printerClassDevice(serial);
            else
                return usage();
            if (!model.empty()) e.cfg.model = model;
            devices[name] = e;
        } else {
            return usage();
        }
    }
    if (envFile.empty() || control.empty() || devices.empty()) return usage();
    std::string why;
    if (!mockdev::Start(&why)) {
        std::fprintf(stderr, "qxmockbus: %s\n", why.c_str());
        return 1;
    }
    if (!spool.empty()) ::mkdir(spool.c_str(), 0755);
    for (auto& [name, e] : devices) e.dev = plugSpooled(e, spool, name);

    // Without SA_RESTART, so that a signal ends the wait for a writer of the control FIFO.
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    ::unlink(control.c_str());
    if (::mkfifo(control.c_str(), 0600) != 0) {
        std::perror("qxmockbus: control");
        return 1;
    }
    {
        const char* preload = std::getenv("LD_PRELOAD");
        std::ofstream env(envFile + ".new");
        env << "UMOCKDEV_DIR=" << std::getenv("UMOCKDEV_DIR") << "\n"
            << "LD_PRELOAD=" << (preload ? preload : "libumockdev-preload.so.0") << "\n";
    }
    std::rename((envFile + ".new").c_str(), (envFile).c_str());

    // The preload holds a lock of its own across open(), and the ioctl handlers need it too: the
    // control FIFO is opened without blocking (read and write, so it never reports end of file)
    // and waited on with poll.
    const int fd = ::open(control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::perror("qxmockbus: control");
        return 1;
    }
    std::string pending;
    while (!g_stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) continue;
        pending.append(buf, static_cast<size_t>(n));
        size_t eol;
        while (!g_stop && (eol = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            std::stringstream ss(line);
            std::string cmd, name;
            ss >> cmd >> name;
            if (cmd == "quit") {
                g_stop = 1;
                break;
            }
            auto it = devices.find(name);
            if (it == devices.end()) {
                std::fprintf(stderr, "qxmockbus: no device '%s'\n", name.c_str());
                continue;
            }
            Entry& e = it->second;
            if (cmd == "offline") {
                std::string v;
                ss >> v;
                if (e.dev) e.dev->setOffline(v == "yes");
            } else if (cmd == "input") {
                usbsim::Bytes b;
                std::string h;
                while (ss >> h) b.push_back(static_cast<uint8_t>(std::strtoul(h.c_str(), nullptr, 16)));
                if (e.dev) e.dev->queueInput(b);
            } else if (cmd == "unplug") {
                mockdev::unplug(e.dev);
            } else if (cmd == "plug") {
                if (!e.dev || !e.dev->plugged()) e.dev = plugSpooled(e, spool, name);
            } else {
                std::fprintf(stderr, "qxmockbus: unknown command '%s'\n", cmd.c_str());
            }
        }
    }
    ::close(fd);
    mockdev::resetBus();
    ::unlink(control.c_str());
    return 0;
}
