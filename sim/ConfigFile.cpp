// Out-of-process mode: a configuration file (named by TALIUN_USBSIM_CONFIG) declares the devices
// and their scripted state; it is read again whenever it changes, so editing it plugs, unplugs
// and scripts devices of a running program. The format is described in sim/README.md.
#include "sim/Internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace usbsim::detail {

namespace {

struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;
    std::string get(const std::string& k, const std::string& def = "") const {
        for (auto it = keys.rbegin(); it != keys.rend(); ++it)
            if (it->first == k) return it->second;
        return def;
    }
    bool has(const std::string& k) const {
        for (const auto& kv : keys)
            if (kv.first == k) return true;
        return false;
    }
    std::vector<std::string> all(const std::string& k) const {
        std::vector<std::string> v;
        for (const auto& kv : keys)
            if (kv.first == k) v.push_back(kv.second);
        return v;
    }
};

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    const size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool parseNumber(const std::string& s, long long& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtoll(s.c_str(), &end, 0);
    return errno == 0 && end && *end == 0;
}

bool parseBool(const std::string& s, bool& out) {
    if (s == "yes" || s == "true" || s == "1" || s == "on") return out = true, true;
    if (s == "no" || s == "false" || s == "0" || s == "off") return out = false, true;
    return false;
}

// "10 14 1d" or "10141d"; "text:..." takes the rest literally.
bool parseBytes(const std::string& s, Bytes& out) {
    out.clear();
    if (s.rfind("text:", 0) == 0) {
        out.assign(s.begin() + 5, s.end());
        return true;
    }
    std::string hex;
    for (char c : s)
        if (!std::isspace(static_cast<unsigned char>(c))) hex.push_back(c);
    if (hex.size() % 2) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string two = hex.substr(i, 2);
        const long v = std::strtol(two.c_str(), &end, 16);
        if (!end || *end) return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

struct Parsed {
    Section global;
    std::vector<Section> devices;
};

bool parseFile(const std::string& path, Parsed& p, std::string& err) {
    std::ifstream in(path);
    if (!in) {
        err = path + ": cannot open";
        return false;
    }
    std::string line;
    int lineNo = 0;
    Section* cur = &p.global;
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string t = trim(line);
        if (t.empty() || t[0] == '#' || t[0] == ';') continue;
        if (t[0] == '[') {
            if (t.back() != ']' || t.rfind("[device ", 0) != 0) {
                err = path + ":" + std::to_string(lineNo) + ": expected [device NAME]";
                return false;
            }
            Section s;
            s.name = trim(t.substr(8, t.size() - 9));
            if (s.name.empty() || s.name.find('/') != std::string::npos) {
                err = path + ":" + std::to_string(lineNo) + ": bad device name";
                return false;
            }
            for (const auto& d : p.devices)
                if (d.name == s.name) {
                    err = path + ":" + std::to_string(lineNo) + ": device " + s.name + " declared twice";
                    return false;
                }
            p.devices.push_back(s);
            cur = &p.devices.back();
            continue;
        }
        const size_t eq = t.find('=');
        if (eq == std::string::npos) {
            err = path + ":" + std::to_string(lineNo) + ": expected key = value";
            return false;
        }
        cur->keys.emplace_back(trim(t.substr(0, eq)), trim(t.substr(eq + 1)));
    }
    return true;
}

// Identity keys: a change replugs the device. State keys apply to the running instance.
const char* const kStateKeys[] = {"offline", "busy", "status", "display_offline", "display_busy", "display_status",
                                  "present", "input", "display_input", "open_error"};

bool isStateKey(const std::string& k) {
    for (const char* s : kStateKeys)
        if (k == s) return true;
    return false;
}

std::string identityOf(const Section& s) {
    std::string id;
    for (const auto& kv : s.keys)
        if (!isStateKey(kv.first)) id += kv.first + "=" + kv.second + "\n";
    return id;
}

bool buildConfig(const Section& s, DeviceConfig& c, std::string& err) {
    const std::string kind = s.get("kind", "qx");
    if (kind == "qx")
        c = DeviceConfig::vendorPrinter(std::nullopt);
    else if (kind == "jv")
        c = DeviceConfig::displayPrinter(std::nullopt);
    else if (kind == "prt")
        c = DeviceConfig::printerClassDevice(std::nullopt, s.get("command_set", "QORA/CS,VELT/RX"));
    else {
        err = "device " + s.name + ": kind must be qx, jv or prt";
        return false;
    }
    long long n = 0;
    bool b = false;
    for (const auto& kv : s.keys) {
        // Named references rather than structured bindings: lambdas may not capture bindings
        // before C++20, and clang refuses it.
        const auto& k = kv.first;
        const auto& v = kv.second;
        auto num = [&](long long lo, long long hi) {
            if (!parseNumber(v, n) || n < lo || n > hi) {
                err = "device " + s.name + ": bad value for " + k + ": " + v;
                return false;
            }
            return true;
        };
        auto flag = [&]() {
            if (!parseBool(v, b)) {
                err = "device " + s.name + ": " + k + " must be yes or no";
                return false;
            }
            return true;
        };
        if (k == "online_answer" || k == "offline_answer") {
            // Part of the device from its first answer on, not applied after it appeared.
            Bytes bytes;
            if (!parseBytes(v, bytes)) return err = "device " + s.name + ": bad bytes in " + k, false;
            (k == "online_answer" ? c.onlineAnswer : c.offlineAnswer).push_back(bytes);
        } else if (k == "kind" || k == "command_set" || isStateKey(k)) {
            continue;
        } else if (k == "vendor") {
            if (!num(0, 0xFFFF)) return false;
            c.vendorId = static_cast<uint16_t>(n);
        } else if (k == "product") {
            if (!num(0, 0xFFFF)) return false;
            c.productId = static_cast<uint16_t>(n);
        } else if (k == "serial") {
            c.serial = v;
        } else if (k == "manufacturer") {
            c.manufacturer = v;
        } else if (k == "product_name") {
            c.product = v;
        } else if (k == "endpoints") {
            if (!num(2, 4) || (n != 2 && n != 4)) {
                err = "device " + s.name + ": endpoints must be 2 or 4";
                return false;
            }
            c.endpoints = static_cast<int>(n);
        } else if (k == "device_code") {
            if (!num(0, 31)) return false;
            c.deviceCode = static_cast<uint8_t>(n);
        } else if (k == "forced_flow") {
            if (!flag()) return false;
            c.forcedFlow = b;
        } else if (k == "capability") {
            if (!num(0, 0xFFFF)) return false;
            c.capabilityWord = static_cast<uint16_t>(n);
        } else if (k == "ieee1284") {
            c.ieee1284Id = v;
        } else if (k == "model") {
            c.model = v;
        } else if (k == "device_id") {
            if (!num(0, 255)) return false;
            c.deviceId = static_cast<uint8_t>(n);
        } else if (k == "speed") {
            if (v != "full" && v != "high") {
                err = "device " + s.name + ": speed must be full or high";
                return false;
            }
            c.speed = v == "high" ? Speed::High : Speed::Full;
        } else if (k == "kernel_driver") {
            if (!flag()) return false;
            c.hasKernelDriver = b;
            c.kernelDriverActive = b;
        } else if (k == "interrupt_in") {
            if (!flag()) return false;
            c.interruptIn = b;
        } else if (k == "idle_nak") {
            if (!flag()) return false;
            c.idleInZeroLength = !b;
        } else if (k == "port") {
            if (!num(1, 255)) return false;
            c.port = static_cast<uint8_t>(n);
        } else {
            err = "device " + s.name + ": unknown key " + k;
            return false;
        }
    }
    return true;
}

// Checks the state keys so that a bad file is refused before anything changes.
bool validateState(const Section& s, std::string& err) {
    bool b = false;
    long long n = 0;
    Bytes bytes;
    for (const char* k : {"offline", "busy", "display_offline", "display_busy", "present"})
        if (s.has(k) && !parseBool(s.get(k), b)) return err = "device " + s.name + ": " + k + " must be yes or no", false;
    if (s.has("open_error") && s.get("open_error") != "access" && s.get("open_error") != "no")
        return err = "device " + s.name + ": open_error must be access or no", false;
    for (const char* k : {"status", "display_status"})
        if (s.has(k) && (!parseNumber(s.get(k), n) || n < 0 || n > 0xFFFF))
            return err = "device " + s.name + ": bad " + k, false;
    for (const char* k : {"input", "display_input", "online_answer", "offline_answer"})
        for (const auto& v : s.all(k))
            if (!parseBytes(v, bytes)) return err = "device " + s.name + ": bad bytes in " + k, false;
    return true;
}

bool applyState(const Section& s, DeviceModel& m, std::string& err) {
    // A device node the process may not open: every open fails as usbfs refuses it.
    m.failOpen(s.get("open_error", "no") == "access" ? -1 : 0, LIBUSB_ERROR_ACCESS);
    struct ChanKeys {
        Channel ch;
        const char* offline;
        const char* busy;
        const char* status;
    };
    const ChanKeys chans[] = {{Channel::Printer, "offline", "busy", "status"},
                              {Channel::Display, "display_offline", "display_busy", "display_status"}};
    for (const auto& ck : chans) {
        bool b = false;
        const std::string off = s.get(ck.offline, "no");
        const std::string busy = s.get(ck.busy, "no");
        if (!parseBool(off, b)) return err = "device " + s.name + ": bad " + ck.offline, false;
        m.setOffline(b, ck.ch);
        if (!parseBool(busy, b)) return err = "device " + s.name + ": bad " + ck.busy, false;
        m.setBusy(b, ck.ch);
        long long n = 0;
        const std::string st = s.get(ck.status);
        if (!st.empty() && (!parseNumber(st, n) || n < 0 || n > 0xFFFF))
            return err = "device " + s.name + ": bad " + ck.status, false;
        m.setStatusOverride(st.empty() ? std::nullopt : std::optional<uint16_t>(static_cast<uint16_t>(n)), ck.ch);
    }
    return true;
}

bool scriptAnswers(const Section& s, DeviceModel& m, std::string& err) {
    for (const char* key : {"online_answer", "offline_answer"}) {
        const auto vals = s.all(key);
        if (vals.empty()) continue;
        std::vector<Bytes> reads;
        for (const auto& v : vals) {
            Bytes b;
            if (!parseBytes(v, b)) return err = "device " + s.name + ": bad bytes in " + key, false;
            reads.push_back(b);
        }
        if (std::strcmp(key, "online_answer") == 0)
            m.setOnlineAnswer(reads);
        else
            m.setOfflineAnswer(reads);
    }
    return true;
}

std::map<std::string, std::string>& identities() {
    static auto* m = new std::map<std::string, std::string>;
    return *m;
}

std::map<std::string, std::string>& inputs() {
    static auto* m = new std::map<std::string, std::string>;
    return *m;
}

int64_t stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec + st.st_size * 7 +
           static_cast<int64_t>(st.st_ino);
}

}  // namespace

bool applyConfigLocked(const std::string& path, std::string* error) {
    Bus& b = bus();
    Parsed p;
    std::string err;
    b.configPath = path;
    b.configStamp = stampOf(path);
    if (!parseFile(path, p, err)) {
        if (error) *error = err;
        return false;
    }
    // Check everything first so that a bad edit changes nothing.
    std::vector<DeviceConfig> cfgs;
    for (const auto& s : p.devices) {
        DeviceConfig c;
        if (!buildConfig(s, c, err) || !validateState(s, err)) {
            if (error) *error = err;
            return false;
        }
        cfgs.push_back(c);
    }
    long long n = 0;
    Timing t;
    const std::string timing = p.global.get("timing", "off");
    if (timing == "full-speed")
        t = Timing::fullSpeed();
    else if (timing == "high-speed")
        t = Timing::highSpeed();
    else if (timing != "off") {
        if (error) *error = "timing must be off, full-speed or high-speed";
        return false;
    }
    if (p.global.has("wire_rate")) {
        if (!parseNumber(p.global.get("wire_rate"), n) || n < 0) {
            if (error) *error = "bad wire_rate";
            return false;
        }
        t.bytesPerSecond = static_cast<uint64_t>(n);
    }
    if (p.global.has("control_latency_us")) {
        if (!parseNumber(p.global.get("control_latency_us"), n) || n < 0) {
            if (error) *error = "bad control_latency_us";
            return false;
        }
        t.controlLatency = std::chrono::microseconds(n);
    }
    int signo = 0;
    const std::string sig = p.global.get("hotplug_signal");
    if (sig == "SIGUSR1")
        signo = SIGUSR1;
    else if (sig == "SIGUSR2")
        signo = SIGUSR2;
    else if (!sig.empty() && !(parseNumber(sig, n) && n >= 0 && n < 65)) {
        if (error) *error = "bad hotplug_signal";
        return false;
    } else if (!sig.empty()) {
        signo = static_cast<int>(n);
    }
    for (const auto& kv : p.global.keys) {
        static const char* const known[] = {"timing", "wire_rate", "control_latency_us", "hotplug_signal", "spool", "sysfs_mirror"};
        if (std::find_if(std::begin(known), std::end(known), [&](const char* k) { return kv.first == k; }) ==
            std::end(known)) {
            if (error) *error = "unknown key " + kv.first;
            return false;
        }
    }

    b.timing = t;
    b.hotplugSignal = signo;
    const char* envSpool = std::getenv("TALIUN_USBSIM_SPOOL");
    b.spoolDir = envSpool && *envSpool ? envSpool : p.global.get("spool");
    if (!b.spoolDir.empty()) ::mkdir(b.spoolDir.c_str(), 0755);
    b.sysfsMirror = p.global.get("sysfs_mirror");

    // Devices gone from the file, or declared absent, leave the bus.
    for (auto it = b.configDevices.begin(); it != b.configDevices.end();) {
        const auto s = std::find_if(p.devices.begin(), p.devices.end(), [&](const Section& d) { return d.name == it->first; });
        bool present = true;
        if (s != p.devices.end()) parseBool(s->get("present", "yes"), present);
        if (s == p.devices.end() || !present || identities()[it->first] != identityOf(*s)) {
            if (it->second->pluggedLocked()) {
                detachLocked(it->second.get());
            }
            identities().erase(it->first);
            inputs().erase(it->first);
            it = b.configDevices.erase(it);
        } else {
            ++it;
        }
    }
    for (size_t i = 0; i < p.devices.size(); ++i) {
        const Section& s = p.devices[i];
        bool present = true;
        parseBool(s.get("present", "yes"), present);
        if (!present) continue;
        std::shared_ptr<DeviceModel> m;
        auto found = b.configDevices.find(s.name);
        if (found == b.configDevices.end()) {
            m = plugLocked(cfgs[i]);
            if (!b.spoolDir.empty()) m->attachSpool(b.spoolDir + "/" + s.name);
            b.configDevices[s.name] = m;
            identities()[s.name] = identityOf(s);
        } else {
            m = found->second;
        }
        // The device's own setters take the lock; release it around them.
        b.mu.unlock();
        bool ok = applyState(s, *m, err) && scriptAnswers(s, *m, err);
        if (ok) {
            for (const auto& [key, ch] : {std::pair<std::string, Channel>{"input", Channel::Printer},
                                          std::pair<std::string, Channel>{"display_input", Channel::Display}}) {
                const std::string v = s.get(key);
                Bytes bytes;
                if (v.empty() || inputs()[s.name + "/" + key] == v) continue;
                if (!parseBytes(v, bytes)) {
                    ok = false;
                    err = "device " + s.name + ": bad bytes in " + key;
                    break;
                }
                inputs()[s.name + "/" + key] = v;
                m->queueInput(bytes, ch);
            }
        }
        b.mu.lock();
        if (!ok) {
            if (error) *error = err;
            return false;
        }
    }
    return true;
}

void refreshConfigLocked() {
    Bus& b = bus();
    if (!b.configLoaded) {
        b.configLoaded = true;
        const char* env = std::getenv("TALIUN_USBSIM_CONFIG");
        if (env && *env) {
            b.configPath = env;
            b.configStamp = 0;
        }
    }
    if (b.configPath.empty()) return;
    const int64_t stamp = stampOf(b.configPath);
    if (stamp == b.configStamp) return;
    std::string err;
    if (!applyConfigLocked(b.configPath, &err)) std::fprintf(stderr, "usbsim: %s\n", err.c_str());
}

}  // namespace usbsim::detail
