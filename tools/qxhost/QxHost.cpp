#include "tools/qxhost/QxHost.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <list>
#include <map>
#include <sstream>

#include "tools/qxhost/CodeNames.h"
#include "tools/qxhost/HexText.h"
#include "tools/qxhost/LibraryLocator.h"

namespace {

struct COMMAND_INFO {
    const char* pszName;
    std::size_t ulMinArgs;
    std::size_t ulMaxArgs;
    const char* pszFlags;   // options without a value, blank-separated
    const char* pszValues;  // options with a value
    bool fComponent;        // initialises the component
};

const COMMAND_INFO kCommands[] = {
    {"ports", 0, 0, "--no-power", "--wait", true},
    {"print", 2, 2, "--progress --no-progress", "", true},
    {"watch", 1, 1, "", "--for --events", true},
    {"ioctl", 2, 3, "", "", true},
    {"ui", 1, 1, "--ucs2", "", true},
    {"add-port", 1, 1, "--printer-class --ucs2",
     "--device --model --device-id --status-pto --offline-timeout", true},
    {"delete-port", 1, 1, "--ucs2", "", true},
    {"install", 0, 1, "", "", false},
    {"remove", 0, 0, "", "", false},
    {"version", 0, 0, "", "", false},
    {"doctor", 0, 0, "", "--system-root", false},
    {"help", 0, 1, "", "", false},
};

const COMMAND_INFO* FindCommand(const std::string& strName) {
    for (const COMMAND_INFO& info : kCommands)
        if (strName == info.pszName) return &info;
    return nullptr;
}

bool InList(const char* pszList, const std::string& strOption) {
    std::istringstream in(pszList);
    std::string strWord;
    while (in >> strWord)
        if (strWord == strOption) return true;
    return false;
}

const char kOverview[] =
    "Usage: qxhost [OPTIONS] COMMAND [ARGS]\n"
    "A port-handler host for the Taliun QX USB component (libTaliunqxusb.so): it loads the "
    "component,\n"
    "keeps the host's property tree in a file and drives receipt printers and customer displays\n"
    "through the component's function table.\n"
    "\n"
    "Commands:\n"
    "  ports                     list the configured ports: device, model, DeviceID, power state\n"
    "  print PORT FILE|-         print a file (or standard input) on a port\n"
    "  watch PORT                show a port's power and input events until interrupted\n"
    "  ioctl PORT CODE [HEX]     send a per-port control code with optional input bytes\n"
    "  ui PATH                   show a configuration UI document (QX/NAME, JV/NAME or JV)\n"
    "  add-port NAME|JV/NAME     add a port (or a port's display part) and tell the component\n"
    "  delete-port NAME|JV/NAME  delete a port (or its display part)\n"
    "  install [FILE]            register the component in the configuration file\n"
    "  remove                    remove the registration\n"
    "  version                   show versions, the library and the files in use\n"
    "  doctor                    check everything a working printer needs and say how to fix it\n"
    "  help [COMMAND]            show this text or a command's (also: COMMAND --help)\n"
    "\n"
    "Options:\n"
    "  --library PATH      the component to load (default: $QXHOST_LIBRARY, else next to qxhost,\n"
    "                      else the installed one)\n"
    "  --properties FILE   the host's property tree (default: $QXHOST_PROPERTIES, else\n"
    "                      $XDG_CONFIG_HOME/qxhost/properties or ~/.config/qxhost/properties)\n"
    "  --no-hotplug        do not turn libusb's device-arrival notices into SIGUSR1\n"
    "  -h, --help          show help\n"
    "\n"
    "PORT is a port name (its printer part, QX/NAME) or KIND/NAME, e.g. JV/Counter for the "
    "customer\n"
    "display part of the port Counter.\n"
    "\n"
    "Environment: QXHOST_LIBRARY, QXHOST_PROPERTIES; the component's TALIUN_LOG_SOCKET (log "
    "daemon\n"
    "socket) and TALIUN_CONFIGURATION (configuration file used by install and remove).\n"
    "Exit status: 0 success, 1 failure (the result code is printed by name), 2 usage error.\n";

const char kPortsHelp[] =
    "Usage: qxhost ports [--wait SECONDS] [--no-power]\n"
    "Starts the component, waits until it has bound the attached devices of the maker to ports\n"
    "(at most --wait seconds, default 10; ports it creates for new devices included), and lists\n"
    "every configured port: part (QX printer, JV display), bound device name, whether that device "
    "is\n"
    "attached, model, DeviceID and power state. The power state is read by opening each part\n"
    "briefly; --no-power skips that. Attached devices that no port names are listed after the "
    "ports.\n"
    "\n"
    "Example: qxhost ports\n";

const char kPrintHelp[] =
    "Usage: qxhost print PORT FILE|- [--progress|--no-progress]\n"
    "Opens PORT, waits for its first power report, writes the bytes of FILE (or of standard input\n"
    "for -) and closes it. A file is read as it is written, in pieces of 524280 bytes (eight\n"
    "whole protocol chunks of 65535 bytes). Jobs over 65535 bytes show a progress bar on\n"
    "standard error when it is a terminal (--progress forces it, --no-progress turns it off).\n"
    "Reports the count written, the result by name and the events that arrived. Ctrl-C aborts the\n"
    "write (PH_USB_ABORT_WRITE).\n"
    "\n"
    "Examples: qxhost print Receipt receipt.txt\n"
    "          printf 'Total  12.50\\n' | qxhost print JV/Counter -\n";

const char kWatchHelp[] =
    "Usage: qxhost watch PORT [--for SECONDS] [--events N]\n"
    "Opens PORT and prints its power-state and input events as they arrive, with the time since "
    "the\n"
    "open, and the hot-plug notices of the maker's devices, until Ctrl-C (or SIGTERM), until\n"
    "SECONDS have passed or N events have arrived; then closes the port.\n"
    "\n"
    "Example: qxhost watch Receipt\n";

const char kIoctlHelp[] =
    "Usage: qxhost ioctl PORT CODE [HEX]\n"
    "Opens PORT, waits for its first power report, sends the control code CODE with the input "
    "bytes\n"
    "HEX (pairs of hex digits, blanks or ':' allowed between bytes), prints the result by name "
    "and\n"
    "the output bytes, and closes the port. CODE is a name, with or without PH_ (any case), or a\n"
    "number such as 0x40060001. Append |PH_UCS2_STRINGS (or +UCS2) for the UCS-2 flag.\n"
    "Codes: ";

const char kIoctlHelpEnd[] =
    "\n"
    "\n"
    "Examples: qxhost ioctl Receipt PH_USB_GET_POWER_STATE\n"
    "          qxhost ioctl Receipt USB_SET_FLOW_CONTROL 02000000\n";

const char kUiHelp[] =
    "Usage: qxhost ui PATH [--ucs2]\n"
    "Asks the component for the configuration UI document of PATH (PH_CONFIG_GET_COMPONENT_UI):\n"
    "QX/NAME or JV/NAME for the settings of a port's part, JV for adding a display part to a "
    "port.\n"
    "The document goes to standard output, the result to standard error. --ucs2 asks for the "
    "UCS-2\n"
    "form; qxhost prints it as UTF-8 either way.\n"
    "\n"
    "Example: qxhost ui QX/Receipt > receipt-ui.xml\n";

const char kAddPortHelp[] =
    "Usage: qxhost add-port NAME [--device DEVICE-NAME] [--model MODEL] [--device-id N]\n"
    "                            [--printer-class] [--status-pto MS] [--offline-timeout MS]\n"
    "       qxhost add-port JV/NAME [--status-pto MS]\n"
    "Adds the port NAME (its printer part) to the property tree and sends PH_CONFIG_ADD_PORT, as "
    "a\n"
    "host does when its user adds a port; JV/NAME adds the customer-display part of the existing\n"
    "port NAME. DEVICE-NAME binds the port to a device (as 'qxhost ports' shows them, e.g.\n"
    "USB#VID_0XFFFF##PID_0X202R0001); without it the component binds the next suitable new "
    "device.\n"
    "--printer-class marks a printer-class (PRT) device. The tree is saved only on success.\n"
    "--ucs2 sends the request text in UCS-2 form.\n"
    "\n"
    "Example: qxhost add-port Receipt --device USB#VID_0XFFFF##PID_0X202R0001 --model QX-K40V\n";

const char kDeletePortHelp[] =
    "Usage: qxhost delete-port NAME|JV/NAME [--ucs2]\n"
    "Sends PH_CONFIG_DELETE_PORT for the port NAME (or its display part JV/NAME) and, on success,\n"
    "removes it from the property tree. A port with a display part needs JV/NAME deleted first.\n"
    "\n"
    "Example: qxhost delete-port JV/Counter && qxhost delete-port Counter\n";

const char kInstallHelp[] =
    "Usage: qxhost install [FILE]\n"
    "Calls the component's Install entry point, which registers FILE (default: the library qxhost\n"
    "loads) in the configuration file: $TALIUN_CONFIGURATION, else\n"
    "/etc/korvo/taliun/taliun.configuration.\n"
    "\n"
    "Example: TALIUN_CONFIGURATION=/tmp/taliun.configuration qxhost install\n";

const char kRemoveHelp[] =
    "Usage: qxhost remove\n"
    "Calls the component's Remove entry point, which removes its registration from the "
    "configuration\n"
    "file ($TALIUN_CONFIGURATION, else /etc/korvo/taliun/taliun.configuration).\n";

const char kVersionHelp[] =
    "Usage: qxhost version\n"
    "Shows the versions of qxhost, the component and libusb, whether libusb offers hot-plug\n"
    "notices, the maker's vendor ID, and the files in use.\n";

const char kDoctorHelp[] =
    "Usage: qxhost doctor [--system-root DIR]\n"
    "Checks, without starting the component or changing anything, what a working printer needs, "
    "and\n"
    "prints one line per check: ok, warning or failure, and for anything but ok the fix in one\n"
    "sentence. The checks: libusb and its hot-plug notices; the vendor ID this build looks for "
    "(the\n"
    "public build's placeholder 0xFFFF matches no real printer); every attached device of the "
    "maker\n"
    "with its kind, whether this process can open it (and if not: udev rule missing or not "
    "applied,\n"
    "group lp) and the kernel driver bound to it; the component; the log daemon; the component's\n"
    "registration in the configuration file; every port of the property tree with its binding, "
    "and\n"
    "attached devices that no port names.\n"
    "--system-root DIR looks for udev rules, device nodes and sysfs under DIR instead of /.\n"
    "Exit status: 0 when no check failed (warnings allowed), 1 otherwise.\n"
    "\n"
    "Example: qxhost doctor\n";

const char kHelpHelp[] =
    "Usage: qxhost help [COMMAND]\n"
    "Shows the overview, or the help of COMMAND.\n";

std::string DefaultPropertiesFile() {
    const char* pszEnv = std::getenv("QXHOST_PROPERTIES");
    if (pszEnv != nullptr && pszEnv[0] != '\0') return pszEnv;
    const char* pszConfig = std::getenv("XDG_CONFIG_HOME");
    if (pszConfig != nullptr && pszConfig[0] == '/')
        return std::string(pszConfig) + "/qxhost/properties";
    const char* pszHome = std::getenv("HOME");
    return std::string(pszHome != nullptr && pszHome[0] != '\0' ? pszHome : ".") +
           "/.config/qxhost/properties";
}

void MakeParents(const std::string& strPath) {
    for (std::size_t ul = strPath.find('/', 1); ul != std::string::npos;
         ul = strPath.find('/', ul + 1))
        mkdir(strPath.substr(0, ul).c_str(), 0755);
}

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

CQxHost::CQxHost(std::FILE* pOut, std::FILE* pErr)
    : m_pOut(pOut),
      m_pErr(pErr),
      m_fHotPlug(true),
      m_fTreeExisted(false),
      m_fSaveTree(true),
      m_fSignalStop(false),
      m_fInterrupted(false),
      m_hWriting(nullptr) {}

CQxHost::~CQxHost() {
    StopComponent();
    StopSignalWatcher();
}

std::string CQxHost::HelpText(const std::string& strCommand) {
    if (strCommand.empty()) return kOverview;
    if (strCommand == "ports") return kPortsHelp;
    if (strCommand == "print") return kPrintHelp;
    if (strCommand == "watch") return kWatchHelp;
    if (strCommand == "ioctl")
        return std::string(kIoctlHelp) + CCodeNames::ControlList() + kIoctlHelpEnd;
    if (strCommand == "ui") return kUiHelp;
    if (strCommand == "add-port") return kAddPortHelp;
    if (strCommand == "delete-port") return kDeletePortHelp;
    if (strCommand == "install") return kInstallHelp;
    if (strCommand == "remove") return kRemoveHelp;
    if (strCommand == "version") return kVersionHelp;
    if (strCommand == "doctor") return kDoctorHelp;
    if (strCommand == "help") return kHelpHelp;
    return std::string();
}

int CQxHost::Fail(const std::string& strMessage) {
    std::fflush(m_pOut);
    std::fprintf(m_pErr, "qxhost: %s\n", strMessage.c_str());
    std::fflush(m_pErr);
    return 1;
}

int CQxHost::UsageError(const std::string& strCommand, const std::string& strMessage) {
    std::fflush(m_pOut);
    std::fprintf(m_pErr, "qxhost: %s (see 'qxhost %s--help')\n", strMessage.c_str(),
                 strCommand.empty() ? "" : (strCommand + " ").c_str());
    std::fflush(m_pErr);
    return 2;
}

void CQxHost::Say(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::vfprintf(m_pOut, pszFormat, args);
    va_end(args);
    std::fflush(m_pOut);
}

int CQxHost::Run(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask (the substitute host has
    // blocked SIGUSR1 and SIGALRM the same way).
    sigset_t stop = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ARGS args;
    bool fHelp = false;
    bool fEndOfOptions = false;
    const COMMAND_INFO* pInfo = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (!fEndOfOptions && strArg == "--") {
            fEndOfOptions = true;
            continue;
        }
        if (fEndOfOptions || strArg.size() < 2 || strArg[0] != '-') {
            if (pInfo == nullptr) {
                pInfo = FindCommand(strArg);
                if (pInfo == nullptr) return UsageError("", "unknown command '" + strArg + "'");
                args.strCommand = strArg;
            } else {
                args.vecPositional.push_back(strArg);
            }
            continue;
        }
        std::string strValue;
        bool fHasValue = false;
        const std::size_t ulEquals = strArg.find('=');
        if (strArg.compare(0, 2, "--") == 0 && ulEquals != std::string::npos) {
            strValue = strArg.substr(ulEquals + 1);
            strArg.erase(ulEquals);
            fHasValue = true;
        }
        auto takeValue = [&](std::string* pstr) {
            if (fHasValue) {
                *pstr = strValue;
                return true;
            }
            if (i + 1 >= argc) return false;
            *pstr = argv[++i];
            return true;
        };
        if (strArg == "-h" || strArg == "--help") {
            fHelp = true;
        } else if (strArg == "--library" || strArg == "--properties") {
            std::string* pstr = strArg == "--library" ? &m_strLibraryOption : &m_strProperties;
            if (!takeValue(pstr) || pstr->empty())
                return UsageError(args.strCommand, "option " + strArg + " needs a value");
        } else if (strArg == "--no-hotplug" && !fHasValue) {
            m_fHotPlug = false;
        } else if (pInfo != nullptr && InList(pInfo->pszFlags, strArg) && !fHasValue) {
            args.mapOptions[strArg] = "";
        } else if (pInfo != nullptr && InList(pInfo->pszValues, strArg)) {
            std::string str;
            if (!takeValue(&str))
                return UsageError(args.strCommand, "option " + strArg + " needs a value");
            args.mapOptions[strArg] = str;
        } else {
            return UsageError(args.strCommand,
                              "unknown option '" + std::string(argv[i]) + "'" +
                                  (pInfo != nullptr ? " for " + args.strCommand : ""));
        }
    }

    if (pInfo == nullptr || args.strCommand == "help") {
        std::string strTopic = args.vecPositional.empty() ? "" : args.vecPositional[0];
        if (pInfo != nullptr && fHelp && strTopic.empty()) strTopic = "help";
        const std::string strText = HelpText(strTopic);
        if (strText.empty()) return UsageError("", "unknown command '" + strTopic + "'");
        if (pInfo == nullptr && !fHelp) {
            std::fputs(strText.c_str(), m_pErr);
            return 2;
        }
        std::fputs(strText.c_str(), m_pOut);
        return 0;
    }
    if (fHelp) {
        std::fputs(HelpText(args.strCommand).c_str(), m_pOut);
        return 0;
    }
    if (args.vecPositional.size() < pInfo->ulMinArgs)
        return UsageError(args.strCommand, "missing argument");
    if (args.vecPositional.size() > pInfo->ulMaxArgs)
        return UsageError(args.strCommand,
                          "unexpected argument '" + args.vecPositional[pInfo->ulMaxArgs] + "'");
    if (m_strProperties.empty()) m_strProperties = DefaultPropertiesFile();

    StartSignalWatcher();
    int nResult = 1;
    if (args.strCommand == "ports")
        nResult = Ports(args);
    else if (args.strCommand == "print")
        nResult = Print(args);
    else if (args.strCommand == "watch")
        nResult = Watch(args);
    else if (args.strCommand == "ioctl")
        nResult = Ioctl(args);
    else if (args.strCommand == "ui")
        nResult = Ui(args);
    else if (args.strCommand == "add-port")
        nResult = AddPort(args);
    else if (args.strCommand == "delete-port")
        nResult = DeletePort(args);
    else if (args.strCommand == "install")
        nResult = Install(args);
    else if (args.strCommand == "remove")
        nResult = Remove(args);
    else if (args.strCommand == "version")
        nResult = Version(args);
    else if (args.strCommand == "doctor")
        nResult = Doctor(args);
    StopComponent();
    StopSignalWatcher();
    if (pInfo->fComponent && !SaveTreeIfChanged() && nResult == 0) nResult = 1;
    return nResult;
}

void CQxHost::StartSignalWatcher() {
    m_fSignalStop.store(false);
    m_signalThread = std::thread([this]() {
        const sigset_t set = StopSignals();
        while (!m_fSignalStop.load()) {
            timespec ts = {0, 100 * 1000 * 1000};
            const int nSignal = sigtimedwait(&set, nullptr, &ts);
            if (nSignal <= 0) continue;
            // StopSignalWatcher's wake-up, not the user's.
            if (m_fSignalStop.load()) break;
            if (m_fInterrupted.exchange(true)) {
                // A second signal: the user wants out now.
                static const char kMessage[] = "qxhost: interrupted twice, exiting at once\n";
                ssize_t n = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
                (void)n;
                _exit(130);
            }
            void* hPort = m_hWriting.load();
            if (hPort != nullptr && m_pHost != nullptr)
                m_pHost->Ioctl(hPort, PH_USB_ABORT_WRITE, CData(), nullptr);
        }
    });
}

void CQxHost::StopSignalWatcher() {
    m_fSignalStop.store(true);
    if (m_signalThread.joinable()) {
        // Woken at once instead of at the end of its wait; the flag tells it why.
        pthread_kill(m_signalThread.native_handle(), SIGTERM);
        m_signalThread.join();
    }
}

bool CQxHost::LoadTree() {
    m_pHost.reset(new CHost());
    std::ifstream in(m_strProperties, std::ios::binary);
    m_fTreeExisted = static_cast<bool>(in);
    // A tree that cannot be read is never written over.
    m_fSaveTree = false;
    if (!m_fTreeExisted) {
        if (errno != ENOENT) {
            Fail("cannot read the property tree " + m_strProperties + ": " + std::strerror(errno));
            return false;
        }
        m_strLoadedTree = m_pHost->Properties().Serialize();
        m_fSaveTree = true;
        return true;
    }
    in.close();
    std::string strError;
    if (!m_pHost->Properties().Load(m_strProperties, &strError)) {
        Fail("cannot read the property tree " + m_strProperties + ": " + strError);
        return false;
    }
    m_strLoadedTree = m_pHost->Properties().Serialize();
    m_fSaveTree = true;
    return true;
}

bool CQxHost::SaveTreeIfChanged() {
    if (m_pHost == nullptr || !m_fSaveTree) return true;
    const std::string strText = m_pHost->Properties().Serialize();
    if (strText == m_strLoadedTree) return true;
    MakeParents(m_strProperties);
    if (!m_pHost->Properties().Save(m_strProperties)) {
        Fail("cannot save the property tree " + m_strProperties + ": " + std::strerror(errno));
        return false;
    }
    m_strLoadedTree = strText;
    return true;
}

bool CQxHost::LoadLibrary() {
    if (m_pHost == nullptr) m_pHost.reset(new CHost());
    std::string strError;
    m_strLibrary = CLibraryLocator::Find(m_strLibraryOption, &strError);
    if (m_strLibrary.empty()) {
        Fail(strError);
        return false;
    }
    if (!m_pHost->Load(m_strLibrary)) {
        Fail("cannot load " + m_strLibrary + ": " + m_pHost->LastError());
        return false;
    }
    return true;
}

bool CQxHost::StartComponent() {
    if (!LoadTree() || !LoadLibrary()) return false;
    if (m_fHotPlug) {
        std::string strWhy;
        if (m_notifier.Start(KORVO_USB_VENDOR_ID, &strWhy))
            m_strHotPlugStatus = "on (libusb arrival notices become SIGUSR1)";
        else
            m_strHotPlugStatus = "off (" + strWhy + ")";
    } else {
        m_strHotPlugStatus = "off (--no-hotplug)";
    }
    if (m_pHost->Initialize() != 1) {
        Fail(
            "the component did not start (InitializePortHandlerComponent returned 0); see its log");
        return false;
    }
    return true;
}

void CQxHost::StopComponent() {
    // The notifier first: no notice may arrive for a component that is going away.
    m_notifier.Stop();
    if (m_pHost != nullptr && m_pHost->IsInitialized()) m_pHost->Unload();
}

std::string CQxHost::PortPath(const std::string& strPort) {
    if (strPort.find('/') != std::string::npos) return strPort;
    return "QX/" + strPort;
}

std::vector<std::string> CQxHost::ConfiguredPorts() {
    std::list<std::string> list;
    m_pHost->Properties().GetChildren("/QX", list);
    return std::vector<std::string>(list.begin(), list.end());
}

std::string CQxHost::ExplainFailure(const std::string& strPath, unsigned int ulResult) {
    std::string str = CCodeNames::Result(ulResult);
    if (ulResult == PHR_INVALID_CONFIGURATION) {
        std::string strPorts;
        for (const std::string& strName : ConfiguredPorts())
            strPorts += (strPorts.empty() ? "" : ", ") + strName;
        str +=
            " (no such port; configured: " + (strPorts.empty() ? std::string("none") : strPorts) +
            ")";
    } else if (ulResult == PHR_PORT_OPEN_FAILURE) {
        str +=
            " (already open, or the device cannot be opened: check permissions and other users "
            "of " +
            strPath + ")";
    } else if (ulResult == PHR_INVALID_PARAMETER && strPath.find('/') != std::string::npos &&
               std::count(strPath.begin(), strPath.end(), '/') > 1) {
        str += " (a port is NAME or KIND/NAME)";
    }
    return str;
}

bool CQxHost::OpenPort(const std::string& strPath, void** phPort) {
    void* hPort = m_pHost->NewHandle();
    const unsigned int ulResult = m_pHost->Open(hPort, strPath);
    if (ulResult != PHR_SUCCESS) {
        Fail("cannot open " + strPath + ": " + ExplainFailure(strPath, ulResult));
        return false;
    }
    *phPort = hPort;
    return true;
}

unsigned int CQxHost::ClosePort(void* hPort, const std::string& strPath) {
    const unsigned int ulResult = m_pHost->Close(hPort);
    if (ulResult != PHR_SUCCESS) Fail("closing " + strPath + ": " + CCodeNames::Result(ulResult));
    return ulResult;
}

int CQxHost::WaitForPower(void* hPort, unsigned int ulTimeoutMs) {
    HOST_EVENT event;
    if (!m_pHost->WaitForEvent(hPort, PH_EVENT_POWER_STATE, ulTimeoutMs, &event) ||
        event.vecData.size() != 4)
        return PH_POWER_UNKNOWN;
    int nState = PH_POWER_UNKNOWN;
    std::memcpy(&nState, event.vecData.data(), 4);
    return nState;
}

std::string CQxHost::DescribeEvent(const HOST_EVENT& event) {
    if (event.ulCode == PH_EVENT_POWER_STATE && event.vecData.size() == 4) {
        int nState = 0;
        std::memcpy(&nState, event.vecData.data(), 4);
        return "power: " + CCodeNames::Power(nState);
    }
    const std::string strHex = CHexText::Format(event.vecData.data(), event.vecData.size(), 64);
    if (event.ulCode == PH_EVENT_INPUT_DATA)
        return "input (" + std::to_string(event.vecData.size()) + " bytes): " + strHex + "  \"" +
               CHexText::Escape(event.vecData.data(),
                                event.vecData.size() < 64 ? event.vecData.size() : 64) +
               "\"";
    return CCodeNames::Event(event.ulCode) + " (" + std::to_string(event.vecData.size()) +
           " bytes): " + strHex;
}
