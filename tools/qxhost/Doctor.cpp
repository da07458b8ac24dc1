#include "tools/qxhost/Doctor.h"

#include <errno.h>
#include <grp.h>
#include <libusb.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <list>
#include <set>

#include "base/Text.h"
#include "host/Host.h"
#include "host/PropertyTree.h"
#include "markup/Markup.h"
#include "property/PropertyHandler.h"
#include "tools/qxhost/LibraryLocator.h"
#include "tools/qxhost/UsbBus.h"

namespace {

constexpr int kPlaceholderVendor = 0xFFFF;
const char kRuleName[] = "60-taliunqxusb.rules";
const char* const kRuleFolders[] = {"/etc/udev/rules.d/", "/run/udev/rules.d/",
                                    "/usr/lib/udev/rules.d/", "/lib/udev/rules.d/"};

std::string Hex4(int n) { return base::HexText(static_cast<unsigned int>(n), 4); }

bool Exists(const std::string& strPath) {
    struct stat st;
    return stat(strPath.c_str(), &st) == 0;
}

bool SameFile(const std::string& strA, const std::string& strB) {
    struct stat a, b;
    return stat(strA.c_str(), &a) == 0 && stat(strB.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// The kind the component gives the device, from its first interface.
std::string KindOf(libusb_device* pDevice) {
    libusb_config_descriptor* pConfig = nullptr;
    if (libusb_get_config_descriptor(pDevice, 0, &pConfig) != 0 || pConfig == nullptr)
        return "unknown kind (no configuration descriptor)";
    std::string strKind = "unknown kind";
    if (pConfig->bNumInterfaces > 0 && pConfig->interface[0].num_altsetting > 0) {
        const libusb_interface_descriptor& intf = pConfig->interface[0].altsetting[0];
        if (intf.bInterfaceClass == LIBUSB_CLASS_PRINTER)
            strKind = "PRT printer-class device";
        else if (intf.bInterfaceClass == LIBUSB_CLASS_VENDOR_SPEC)
            strKind = intf.bNumEndpoints >= 4 ? "QX printer with JV customer display"
                                              : "QX receipt printer";
    }
    libusb_free_config_descriptor(pConfig);
    return strKind;
}

bool InGroup(gid_t gid) {
    if (getegid() == gid) return true;
    gid_t agid[NGROUPS_MAX + 1];
    const int n = getgroups(NGROUPS_MAX + 1, agid);
    for (int i = 0; i < n; ++i)
        if (agid[i] == gid) return true;
    return false;
}

}  // namespace

CDoctor::CDoctor(std::FILE* pOut, SETTINGS settings)
    : m_pOut(pOut), m_settings(std::move(settings)), m_aulCount{0, 0, 0} {}

int CDoctor::Run() {
    CheckLibusb();
    CheckVendorId();
    CheckUdevRule();
    CheckDevices();
    CheckComponent();
    CheckLogDaemon();
    CheckConfiguration();
    CheckPorts();
    std::fprintf(m_pOut, "doctor: %u ok, %u warning%s, %u failure%s\n", m_aulCount[0],
                 m_aulCount[1], m_aulCount[1] == 1 ? "" : "s", m_aulCount[2],
                 m_aulCount[2] == 1 ? "" : "s");
    std::fflush(m_pOut);
    return m_aulCount[2] == 0 ? 0 : 1;
}

void CDoctor::Report(Status status, const std::string& strSubject, const std::string& strFinding,
                     const std::string& strFix) {
    static const char* const kWords[] = {"ok", "warning", "failure"};
    const int n = static_cast<int>(status);
    ++m_aulCount[n];
    std::fprintf(m_pOut, "%-8s %s: %s%s\n", kWords[n], strSubject.c_str(), strFinding.c_str(),
                 status == Status::Ok || strFix.empty() ? "" : ("; fix: " + strFix).c_str());
    std::fflush(m_pOut);
}

std::string CDoctor::SystemPath(const std::string& strPath) const {
    return m_settings.strSystemRoot + strPath;
}

void CDoctor::CheckLibusb() {
    const libusb_version* pVersion = libusb_get_version();
    char sz[96];
    std::snprintf(sz, sizeof sz, "%u.%u.%u.%u", pVersion->major, pVersion->minor, pVersion->micro,
                  pVersion->nano);
    libusb_context* pContext = nullptr;
    const int r = libusb_init(&pContext);
    if (r != 0) {
        Report(Status::Failure, "libusb",
               std::string(sz) + " cannot start: " + libusb_error_name(r),
               "make sure /dev/bus/usb exists and udev runs, then try again");
        return;
    }
    libusb_exit(pContext);
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) {
        Report(Status::Warning, "libusb",
               std::string(sz) + " has no hot-plug notices, so new printers stay unseen",
               "install the example rule 61-taliunqxusb-hotplug.rules from the documentation's "
               "examples so that "
               "udev signals the host on arrival");
        return;
    }
    Report(Status::Ok, "libusb", std::string(sz) + ", hot-plug notices available");
}

void CDoctor::CheckVendorId() {
    if (m_settings.nVendor == kPlaceholderVendor) {
        Report(Status::Warning, "vendor ID",
               Hex4(m_settings.nVendor) +
                   " is the public build's PLACEHOLDER and matches NO real printer",
               "build with -DKORVO_USB_VENDOR_ID=<the maker's vendor ID> as the README's "
               "\"Attaching a real "
               "printer\" shows");
        return;
    }
    Report(Status::Ok, "vendor ID", "built for " + Hex4(m_settings.nVendor));
}

void CDoctor::CheckUdevRule() {
    for (const char* pszFolder : kRuleFolders) {
        const std::string strPath = std::string(pszFolder) + kRuleName;
        if (Exists(SystemPath(strPath))) {
            Report(Status::Ok, "udev rule", strPath);
            return;
        }
    }
    Report(
        Status::Warning, "udev rule",
        std::string(kRuleName) + " is not installed, so only root can open the printers",
        "install the package (or copy the rule to /etc/udev/rules.d), then run 'udevadm trigger'");
}

void CDoctor::CheckDevices() {
    libusb_context* pContext = nullptr;
    if (libusb_init(&pContext) != 0) return;  // reported by the libusb check
    libusb_device** ppList = nullptr;
    const ssize_t nCount = libusb_get_device_list(pContext, &ppList);
    if (nCount < 0) {
        Report(Status::Failure, "devices",
               std::string("the device list cannot be read: ") +
                   libusb_error_name(static_cast<int>(nCount)),
               "make sure /dev/bus/usb and /sys/bus/usb are readable by this user");
        libusb_exit(pContext);
        return;
    }
    for (ssize_t i = 0; i < nCount; ++i) {
        libusb_device* pDevice = ppList[i];
        libusb_device_descriptor desc = {};
        if (libusb_get_device_descriptor(pDevice, &desc) != 0 ||
            desc.idVendor != m_settings.nVendor)
            continue;
        if (desc.idProduct != 0x0202 && (desc.idProduct & 0xFF00) != 0x0E00) continue;
        DEVICE device;
        device.strKind = KindOf(pDevice);
        device.nBus = libusb_get_bus_number(pDevice);
        device.nAddress = libusb_get_device_address(pDevice);
        uint8_t aucPorts[8];
        const int nPorts = libusb_get_port_numbers(pDevice, aucPorts, sizeof aucPorts);
        for (int p = 0; p < nPorts; ++p) device.vecPorts.push_back(aucPorts[p]);
        const std::string strWhere = " (bus " + std::to_string(device.nBus) + ", address " +
                                     std::to_string(device.nAddress) + ")";
        const std::string strId = Hex4(desc.idVendor) + ":" + Hex4(desc.idProduct) + strWhere;

        libusb_device_handle* pHandle = nullptr;
        const int r = libusb_open(pDevice, &pHandle);
        if (r != 0) {
            std::string strWhy = std::string("cannot be opened: ") + libusb_error_name(r);
            std::string strFix = "close the program that holds the device and try again";
            if (r == LIBUSB_ERROR_ACCESS) ExplainAccess(AccessFacts(device), &strWhy, &strFix);
            Report(Status::Failure, "device " + strId, device.strKind + ", " + strWhy, strFix);
            m_vecDevices.push_back(device);
            continue;
        }
        std::string strSerial;
        if (desc.iSerialNumber != 0) {
            unsigned char auc[257] = {};
            const int n = libusb_get_string_descriptor_ascii(pHandle, desc.iSerialNumber, auc, 256);
            if (n >= 0)
                strSerial.assign(reinterpret_cast<const char*>(auc), static_cast<std::size_t>(n));
        }
        device.strName = CUsbBus::DeviceName(desc.idVendor, desc.idProduct, strSerial);
        const int nDriver = libusb_kernel_driver_active(pHandle, 0);
        libusb_close(pHandle);

        const std::string strSubject = "device " + device.strName + strWhere;
        Status status = Status::Ok;
        std::string strFinding = device.strKind + ", opens";
        std::string strFix;
        // Opening works for this user (root, say) but not for the host service if udev left the
        // node alone.
        const ACCESS_FACTS facts = AccessFacts(device);
        if (facts.fNodeFound && (!facts.fNodeGroupIsLp || !facts.fNodeGroupWritable)) {
            status = Status::Warning;
            strFinding +=
                " for this user, but " +
                std::string(facts.fRuleInstalled ? "the udev rule is not applied to its device node"
                                                 : "the udev rule is not installed") +
                ", so a host service in group lp cannot";
            strFix =
                facts.fRuleInstalled
                    ? "run 'udevadm control --reload && udevadm trigger', or re-plug the printer"
                    : "install the package (or copy the rule to /etc/udev/rules.d), then run "
                      "'udevadm trigger'";
        }
        if (nDriver == 1) {
            const std::string strDriver = KernelDriver(device);
            if (device.strKind.compare(0, 3, "PRT") == 0) {
                strFinding +=
                    "; " + strDriver + " bound (the component detaches it while a port is open)";
            } else {
                strFinding += "; " + strDriver + " bound";
                if (status == Status::Ok)
                    strFix =
                        "keep kernel drivers off the maker's vendor-class printers (unbind it, or "
                        "blacklist "
                        "the module in /etc/modprobe.d)";
                status = Status::Warning;
            }
        } else {
            strFinding +=
                "; kernel driver: " +
                (nDriver == 0 ? std::string("none")
                              : std::string("unknown (") + libusb_error_name(nDriver) + ")");
        }
        Report(status, strSubject, strFinding, strFix);
        m_vecDevices.push_back(device);
    }
    libusb_free_device_list(ppList, 1);
    libusb_exit(pContext);
    if (m_vecDevices.empty())
        Report(Status::Warning, "devices",
               "no device of vendor " + Hex4(m_settings.nVendor) + " is attached",
               m_settings.nVendor == kPlaceholderVendor
                   ? "build for the maker's vendor ID, since the placeholder finds no real printer"
                   : "attach the printer and check that 'lsusb' lists it");
}

CDoctor::ACCESS_FACTS CDoctor::AccessFacts(const DEVICE& device) const {
    ACCESS_FACTS facts;
    for (const char* pszFolder : kRuleFolders)
        if (Exists(SystemPath(std::string(pszFolder) + kRuleName))) facts.fRuleInstalled = true;
    char szNode[64];
    std::snprintf(szNode, sizeof szNode, "/dev/bus/usb/%03d/%03d", device.nBus, device.nAddress);
    struct stat st;
    facts.fNodeFound = stat(SystemPath(szNode).c_str(), &st) == 0;
    const group* pGroup = getgrnam("lp");
    if (pGroup != nullptr) {
        facts.fInGroupLp = InGroup(pGroup->gr_gid);
        if (facts.fNodeFound) {
            facts.fNodeGroupIsLp = st.st_gid == pGroup->gr_gid;
            facts.fNodeGroupWritable = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
        }
    }
    return facts;
}

void CDoctor::ExplainAccess(const ACCESS_FACTS& facts, std::string* pstrWhy, std::string* pstrFix) {
    if (!facts.fRuleInstalled) {
        *pstrWhy = "permission denied: the udev rule 60-taliunqxusb.rules is not installed";
        *pstrFix =
            "install the package (or copy the rule to /etc/udev/rules.d), then run 'udevadm "
            "trigger' or "
            "re-plug the printer";
    } else if (!facts.fNodeFound) {
        *pstrWhy = "permission denied, and its device node under /dev/bus/usb is missing";
        *pstrFix = "make sure udev runs and populates /dev/bus/usb, then re-plug the printer";
    } else if (!facts.fNodeGroupIsLp || !facts.fNodeGroupWritable) {
        *pstrWhy =
            "permission denied: the udev rule is installed but not applied to the device node";
        *pstrFix = "run 'udevadm control --reload && udevadm trigger', or re-plug the printer";
    } else if (!facts.fInGroupLp) {
        *pstrWhy =
            "permission denied: the device belongs to group lp, and this process is not in it";
        *pstrFix =
            "add the user to group lp ('adduser USER lp') and log in again, or run the host "
            "service in group lp";
    } else {
        *pstrWhy =
            "permission denied although the udev rule is applied and this process is in group lp";
        *pstrFix =
            "check the device node's permissions and any security module (AppArmor, SELinux) that "
            "confines this program";
    }
}

std::string CDoctor::KernelDriver(const DEVICE& device) const {
    std::string strPath = "/sys/bus/usb/devices/" + std::to_string(device.nBus) + "-";
    for (std::size_t i = 0; i < device.vecPorts.size(); ++i)
        strPath += (i == 0 ? "" : ".") + std::to_string(device.vecPorts[i]);
    strPath += ":1.0/driver";
    char sz[PATH_MAX + 1];
    const ssize_t n = readlink(SystemPath(strPath).c_str(), sz, PATH_MAX);
    if (n <= 0) return "a kernel driver";
    const std::string str(sz, static_cast<std::size_t>(n));
    return "kernel driver " + str.substr(str.rfind('/') + 1);
}

void CDoctor::CheckComponent() {
    std::string strError;
    m_strLibrary = CLibraryLocator::Find(m_settings.strLibraryOption, &strError);
    if (m_strLibrary.empty()) {
        Report(Status::Failure, "component", strError,
               "install the package, or name the library with --library or QXHOST_LIBRARY");
        return;
    }
    CHost host;
    if (!host.Load(m_strLibrary)) {
        Report(Status::Failure, "component",
               m_strLibrary + " cannot be loaded: " + host.LastError(),
               "reinstall the package so that the component and its libusb match this system");
        m_strLibrary.clear();
        return;
    }
    unsigned int aul[4] = {0, 0, 0, 0};
    host.GetVersion(&aul[0], &aul[1], &aul[2], &aul[3]);
    char sz[64];
    std::snprintf(sz, sizeof sz, "%u.%u.%u.%u", aul[0], aul[1], aul[2], aul[3]);
    Report(Status::Ok, "component", std::string(sz) + " (" + m_strLibrary + ")");
}

void CDoctor::CheckLogDaemon() {
    const std::string& strPath = m_settings.strLogSocket;
    const std::string strFix =
        "start it with 'systemctl start taliunlogd' (or run 'taliunlogd' by hand); until then "
        "the component's messages are lost";
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (strPath.size() >= sizeof addr.sun_path) {
        Report(Status::Failure, "log daemon", "the socket path " + strPath + " is too long",
               "point TALIUN_LOG_SOCKET at a shorter path");
        return;
    }
    std::memcpy(addr.sun_path, strPath.c_str(), strPath.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Report(Status::Warning, "log daemon", std::string("no socket: ") + std::strerror(errno),
               strFix);
        return;
    }
    const int r = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int nError = errno;
    close(fd);
    if (r == 0) {
        Report(Status::Ok, "log daemon", "listening on " + strPath);
    } else if (nError == ENOENT) {
        Report(Status::Warning, "log daemon", "not running: " + strPath + " does not exist",
               strFix);
    } else if (nError == ECONNREFUSED) {
        Report(Status::Warning, "log daemon", "not running: nothing listens on " + strPath, strFix);
    } else if (nError == EACCES || nError == EPERM) {
        Report(Status::Warning, "log daemon", "this user may not connect to " + strPath,
               "give the socket folder mode 0755 and the socket mode 0666, as the package's "
               "service does");
    } else {
        Report(Status::Warning, "log daemon",
               "cannot connect to " + strPath + ": " + std::strerror(nError), strFix);
    }
}

void CDoctor::CheckConfiguration() {
    const std::string& strPath = m_settings.strConfiguration;
    const std::string strInstall = "register the component with 'qxhost install' as root";
    if (!Exists(strPath)) {
        Report(Status::Failure, "configuration",
               strPath + " does not exist, so hosts do not load the component", strInstall);
        return;
    }
    if (!std::ifstream(strPath)) {
        Report(Status::Failure, "configuration",
               "cannot read " + strPath + ": " + std::strerror(errno),
               "let the host's account read the file (mode 0644)");
        return;
    }
    CMarkup markup;
    if (!markup.Load(strPath)) {
        Report(Status::Failure, "configuration",
               strPath + " is not well-formed XML (" + markup.GetError() + ")",
               "restore it from a backup, or move it aside and " + strInstall +
                   " (other components must then register again)");
        return;
    }
    CPropertyHandler store(strPath.c_str());
    std::string strFile;
    if (!store.Get("/components/QXUSB/filename", &strFile) || strFile.empty()) {
        Report(Status::Failure, "configuration", "the component is not registered in " + strPath,
               strInstall);
        return;
    }
    for (const char* pszKind : {"QX", "JV", "RP"}) {
        const std::string strBase = std::string("/stack//") + pszKind + "/QXUSB/";
        std::string strName, strValue;
        if (!store.Get(strBase + "requiredName", &strName) || strName != "/PortType" ||
            !store.Get(strBase + "requiredValue", &strValue) || strValue != "USB") {
            Report(Status::Failure, "configuration",
                   "the registration in " + strPath + " lacks the " + pszKind + " port stack",
                   strInstall);
            return;
        }
    }
    if (!Exists(strFile)) {
        Report(Status::Failure, "configuration",
               strPath + " registers " + strFile + ", which does not exist", strInstall);
        return;
    }
    if (!m_strLibrary.empty() && !SameFile(strFile, m_strLibrary)) {
        Report(Status::Warning, "configuration",
               strPath + " registers " + strFile + ", not the component found here (" +
                   m_strLibrary + ")",
               "run 'qxhost install FILE' as root with the library the host should load");
        return;
    }
    Report(Status::Ok, "configuration", strPath + " registers " + strFile);
}

void CDoctor::CheckPorts() {
    const std::string& strPath = m_settings.strProperties;
    CPropertyTree tree;
    if (!Exists(strPath)) {
        Report(
            Status::Warning, "ports", "no property tree at " + strPath + " yet",
            "run 'qxhost ports', which lets the component create ports for the attached printers");
        return;
    }
    std::string strError;
    if (!tree.Load(strPath, &strError)) {
        Report(Status::Failure, "ports",
               "cannot read the property tree " + strPath + ": " + strError,
               "correct the line it names, or move the file aside and run 'qxhost ports'");
        return;
    }
    std::set<std::string> setAttached;
    for (const DEVICE& device : m_vecDevices)
        if (!device.strName.empty()) setAttached.insert(device.strName);

    std::set<std::string> setBound;
    std::list<std::string> listPorts;
    tree.GetChildren("/QX", listPorts);
    unsigned int ulUsbPorts = 0;
    for (const std::string& strPort : listPorts) {
        const std::string strBase = "/QX/" + strPort + "/";
        std::string strType, strDevice, strModel;
        tree.GetString(strBase + "PortType", &strType);
        if (strType != "USB") continue;
        ++ulUsbPorts;
        tree.GetString(strBase + "PortName", &strDevice);
        tree.GetString(strBase + "ModelName", &strModel);
        const std::string strSubject = "port " + strPort;
        if (strDevice.empty()) {
            Report(Status::Warning, strSubject,
                   "waiting for a device" +
                       (strModel.empty() ? std::string() : " of model " + strModel),
                   "attach a printer, or bind an attached one with 'qxhost add-port " + strPort +
                       " --device DEVICE'");
            continue;
        }
        setBound.insert(base::ToUpper(strDevice));
        if (setAttached.count(base::ToUpper(strDevice)) != 0)
            Report(Status::Ok, strSubject, "bound to " + strDevice + ", attached");
        else
            Report(
                Status::Warning, strSubject,
                "bound to " + strDevice +
                    (setAttached.size() < m_vecDevices.size()
                         ? ", which is not attached or cannot be opened"
                         : ", which is not attached"),
                "attach that printer, or bind the port to an attached one with 'qxhost add-port " +
                    strPort + " --device DEVICE'");
    }
    if (ulUsbPorts == 0)
        Report(Status::Warning, "ports", "no USB port in " + strPath,
               "run 'qxhost ports' so that the component creates ports for the attached printers");
    for (const std::string& strDevice : setAttached)
        if (setBound.count(strDevice) == 0)
            Report(Status::Warning, "device " + strDevice, "no port names it",
                   "run 'qxhost ports' so that the component creates one, or bind it with 'qxhost "
                   "add-port NAME "
                   "--device " +
                       strDevice + "'");
}
