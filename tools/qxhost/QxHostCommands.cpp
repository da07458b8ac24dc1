// The qxhost subcommands.
#include <fcntl.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include "TaliunVersion.h"
#include "base/Text.h"
#include "tools/qxhost/CodeNames.h"
#include "tools/qxhost/Doctor.h"
#include "tools/qxhost/EventClock.h"
#include "tools/qxhost/HexText.h"
#include "tools/qxhost/ProgressBar.h"
#include "tools/qxhost/QxHost.h"
#include "tools/qxhost/UsbBus.h"

namespace {

constexpr unsigned int kPowerWaitMs = 3000;
// One protocol chunk of the transport; a job of at most one chunk gets no progress bar.
constexpr std::size_t kChunk = 65535;
// Eight whole protocol chunks of the transport (a multiple of 65,536 would leave a chunk of one
// byte with its own busy poll, write start and count report). Every write call also switches
// the flow control and wakes the port's monitoring thread, whose status request then competes
// with the next chunk's; a few chunks per call keep that off the wire's critical path while the
// progress bar still moves twice a second at full speed. An abort ends a piece between chunks.
constexpr std::size_t kPiece = 8 * kChunk;

bool ParseSeconds(const std::string& strText, double* pdSeconds) {
    if (strText.empty() ||
        !(std::isdigit(static_cast<unsigned char>(strText[0])) || strText[0] == '.'))
        return false;
    errno = 0;
    char* pEnd = nullptr;
    const double d = std::strtod(strText.c_str(), &pEnd);
    if (errno != 0 || *pEnd != '\0' || !(d >= 0) || d > 86400.0 * 365) return false;
    *pdSeconds = d;
    return true;
}

// A request text packed as the configuration codes take it: 8-bit with a zero byte, or UCS-2
// (little-endian units from UTF-8, BMP only) with a zero unit.
CData PackText(const std::string& strText, bool fUcs2) {
    if (!fUcs2)
        return CData(reinterpret_cast<const unsigned char*>(strText.c_str()),
                     static_cast<unsigned int>(strText.size() + 1));
    std::vector<unsigned char> vec;
    for (std::size_t i = 0; i < strText.size();) {
        const unsigned char c = static_cast<unsigned char>(strText[i]);
        unsigned int u = '?';
        if (c < 0x80) {
            u = c;
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < strText.size()) {
            u = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(strText[i + 1]) & 0x3Fu);
            i += 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < strText.size()) {
            u = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(strText[i + 1]) & 0x3Fu) << 6) |
                (static_cast<unsigned char>(strText[i + 2]) & 0x3Fu);
            i += 3;
        } else {
            i += 1;
        }
        vec.push_back(static_cast<unsigned char>(u & 0xFF));
        vec.push_back(static_cast<unsigned char>(u >> 8));
    }
    vec.push_back(0);
    vec.push_back(0);
    return CData(vec.data(), static_cast<unsigned int>(vec.size()));
}

// The first packed string of the data as UTF-8.
std::string UnpackText(const CData& data, bool fUcs2) {
    const unsigned char* p = data.Buffer();
    const std::size_t ulLength = data.Length();
    std::string str;
    if (!fUcs2) {
        for (std::size_t i = 0; i < ulLength && p[i] != 0; ++i) str += static_cast<char>(p[i]);
        return str;
    }
    for (std::size_t i = 0; i + 1 < ulLength; i += 2) {
        const unsigned int u = p[i] | (p[i + 1] << 8);
        if (u == 0) break;
        if (u < 0x80) {
            str += static_cast<char>(u);
        } else if (u < 0x800) {
            str += static_cast<char>(0xC0 | (u >> 6));
            str += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            str += static_cast<char>(0xE0 | (u >> 12));
            str += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            str += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return str;
}

// The job to print. A regular file is read piece by piece as the pieces go out, so a large job
// neither waits for the whole file nor faults it all into memory first; standard input and other
// streams without a size are read whole, so the progress bar knows the total.
class CJob {
public:
    CJob() = default;
    CJob(const CJob&) = delete;
    CJob& operator=(const CJob&) = delete;
    ~CJob() {
        if (m_fd >= 0) close(m_fd);
    }

    bool Open(const std::string& strFile, std::string* pstrError) {
        m_strName = strFile == "-" ? std::string("standard input") : strFile;
        const int fd =
            strFile == "-" ? dup(STDIN_FILENO) : open(strFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Failed(errno, pstrError);
        m_fd = fd;
        struct stat st;
        if (fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode)) {
            m_ulTotal = static_cast<std::size_t>(st.st_size);
            return true;
        }
        // A directory fails its first read with EISDIR.
        m_fWhole = true;
        std::vector<unsigned char> vecBlock;
        do {
            if (!ReadSome(65536, &vecBlock, pstrError)) return false;
            m_vecWhole.insert(m_vecWhole.end(), vecBlock.begin(), vecBlock.end());
        } while (!vecBlock.empty());
        m_ulTotal = m_vecWhole.size();
        return true;
    }

    std::size_t Total() const { return m_ulTotal; }

    // The next ulLength bytes of the job; false with the reason when they cannot all be read.
    bool Next(std::size_t ulLength, std::vector<unsigned char>* pvecPiece, std::string* pstrError) {
        if (m_fWhole) {
            pvecPiece->assign(
                m_vecWhole.begin() + static_cast<std::ptrdiff_t>(m_ulNext),
                m_vecWhole.begin() + static_cast<std::ptrdiff_t>(m_ulNext + ulLength));
            m_ulNext += ulLength;
            return true;
        }
        if (!ReadSome(ulLength, pvecPiece, pstrError)) return false;
        m_ulNext += pvecPiece->size();
        if (pvecPiece->size() < ulLength) {
            *pstrError = "cannot read " + m_strName + ": it ended after " +
                         std::to_string(m_ulNext) + " of " + std::to_string(m_ulTotal) + " bytes";
            return false;
        }
        return true;
    }

private:
    bool Failed(int nError, std::string* pstrError) const {
        *pstrError = "cannot read " + m_strName + ": " + std::strerror(nError);
        return false;
    }

    // Up to ulLength bytes, fewer only at the end of the input.
    bool ReadSome(std::size_t ulLength, std::vector<unsigned char>* pvec, std::string* pstrError) {
        pvec->resize(ulLength);
        std::size_t ulHave = 0;
        while (ulHave < ulLength) {
            const ssize_t n = read(m_fd, pvec->data() + ulHave, ulLength - ulHave);
            if (n == 0) break;
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Failed(errno, pstrError);
            ulHave += static_cast<std::size_t>(n);
        }
        pvec->resize(ulHave);
        return true;
    }

    int m_fd = -1;
    std::string m_strName;
    bool m_fWhole = false;
    std::vector<unsigned char> m_vecWhole;
    std::size_t m_ulTotal = 0;
    std::size_t m_ulNext = 0;
};

// KIND/NAME or NAME (the printer part) of add-port and delete-port.
bool SplitPortArgument(const std::string& strArg, std::string* pstrKind, std::string* pstrName,
                       std::string* pstrError) {
    std::string strKind = "QX";
    std::string strName = strArg;
    const std::size_t ulSlash = strArg.find('/');
    if (ulSlash != std::string::npos) {
        strKind = base::ToUpper(strArg.substr(0, ulSlash));
        strName = strArg.substr(ulSlash + 1);
        if (strKind != "QX" && strKind != "JV") {
            *pstrError = "the part of a port is QX (printer) or JV (display), not '" +
                         strArg.substr(0, ulSlash) + "'";
            return false;
        }
    }
    if (strName.empty() || strName.find_first_of("/=\r\n") != std::string::npos ||
        strName.front() == ' ' || strName.back() == ' ') {
        *pstrError = "invalid port name '" + strName +
                     "' (no '/', '=' or line breaks, no blanks at the ends)";
        return false;
    }
    *pstrKind = strKind;
    *pstrName = strName;
    return true;
}

std::string EnvOr(const char* pszName, const char* pszDefault) {
    const char* psz = std::getenv(pszName);
    return psz != nullptr && psz[0] != '\0' ? psz : pszDefault;
}

}  // namespace

int CQxHost::Ports(ARGS& args) {
    double dWait = 10;
    if (args.Has("--wait") && !ParseSeconds(args.Get("--wait"), &dWait))
        return UsageError("ports",
                          "--wait needs a number of seconds, not '" + args.Get("--wait") + "'");
    if (!StartComponent()) return 1;
    CPropertyTree& tree = m_pHost->Properties();

    std::vector<CUsbBus::DEVICE> vecAttached;
    std::string strBusError;
    if (!CUsbBus::List(KORVO_USB_VENDOR_ID, &vecAttached, &strBusError))
        std::fprintf(m_pErr, "qxhost: warning: cannot list the USB devices: %s\n",
                     strBusError.c_str());

    auto boundNames = [&]() {
        std::set<std::string> set;
        for (const std::string& strPort : ConfiguredPorts()) {
            std::string strDevice;
            if (tree.GetString("/QX/" + strPort + "/PortName", &strDevice) && !strDevice.empty())
                set.insert(base::ToUpper(strDevice));
        }
        return set;
    };
    auto unbound = [&]() {
        const std::set<std::string> set = boundNames();
        std::vector<const CUsbBus::DEVICE*> vec;
        for (const CUsbBus::DEVICE& device : vecAttached)
            if (device.strName.empty() || set.count(device.strName) == 0) vec.push_back(&device);
        return vec;
    };
    // The component binds new devices on its own plug-and-play thread (identification, port
    // search, MakePort); the host sees the outcome in its property tree.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(dWait * 1000));
    while (!unbound().empty() && std::chrono::steady_clock::now() < deadline &&
           !m_fInterrupted.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const std::set<std::string> setAttached = [&]() {
        std::set<std::string> set;
        for (const CUsbBus::DEVICE& device : vecAttached)
            if (!device.strName.empty()) set.insert(device.strName);
        return set;
    }();

    std::vector<std::vector<std::string>> rows = {
        {"PORT", "PART", "DEVICE", "ATTACHED", "MODEL", "DEVICEID", "POWER"}};
    auto powerOf = [&](const std::string& strPath) -> std::string {
        if (args.Has("--no-power")) return "-";
        void* hPort = m_pHost->NewHandle();
        const unsigned int ulResult = m_pHost->Open(hPort, strPath);
        if (ulResult != PHR_SUCCESS) return "open: " + CCodeNames::Result(ulResult);
        const int nState = WaitForPower(hPort, kPowerWaitMs);
        m_pHost->Close(hPort);
        return nState == PH_POWER_UNKNOWN ? "not reported" : CCodeNames::Power(nState);
    };
    for (const std::string& strPort : ConfiguredPorts()) {
        const std::string strBase = "/QX/" + strPort + "/";
        std::string strType, strDevice, strModel;
        tree.GetString(strBase + "PortType", &strType);
        tree.GetString(strBase + "PortName", &strDevice);
        if (!tree.GetString(strBase + "ModelName", &strModel) || strModel.empty())
            tree.GetString(strBase + "Id.ModelName", &strModel);
        unsigned int ulDeviceId = 0;
        const std::string strDeviceId = tree.GetNumber(strBase + "DeviceID", &ulDeviceId)
                                            ? std::to_string(ulDeviceId & 0xFF)
                                            : "-";
        const std::string strAttached =
            strDevice.empty() ? "-"
                              : (setAttached.count(base::ToUpper(strDevice)) != 0 ? "yes" : "no");
        const std::string strShownDevice = strDevice.empty() ? "(unbound)" : strDevice;
        if (strType != "USB") {
            rows.push_back({strPort, "QX", strShownDevice, strAttached,
                            strModel.empty() ? "-" : strModel, strDeviceId,
                            "not a USB port (PortType '" + strType + "')"});
            continue;
        }
        rows.push_back({strPort, "QX", strShownDevice, strAttached,
                        strModel.empty() ? "-" : strModel, strDeviceId, powerOf("QX/" + strPort)});
        std::string strJvType;
        if (tree.GetString("/JV/" + strPort + "/PortType", &strJvType) && strJvType == "USB") {
            std::string strJvModel;
            if (!tree.GetString("/JV/" + strPort + "/Id.ModelName", &strJvModel) ||
                strJvModel.empty())
                strJvModel = strModel;
            rows.push_back({strPort, "JV", strShownDevice, strAttached,
                            strJvModel.empty() ? "-" : strJvModel, "-", powerOf("JV/" + strPort)});
        }
    }

    if (rows.size() == 1) {
        Say("No ports configured in %s.\n", m_strProperties.c_str());
    } else {
        std::vector<std::size_t> vecWidth(rows[0].size(), 0);
        for (const auto& row : rows)
            for (std::size_t i = 0; i < row.size(); ++i)
                vecWidth[i] = std::max(vecWidth[i], row[i].size());
        for (const auto& row : rows) {
            std::string strLine;
            for (std::size_t i = 0; i < row.size(); ++i) {
                strLine += row[i];
                if (i + 1 < row.size())
                    strLine += std::string(vecWidth[i] - row[i].size() + 2, ' ');
            }
            Say("%s\n", strLine.c_str());
        }
    }
    const auto vecUnbound = unbound();
    if (!vecUnbound.empty()) {
        Say("Attached devices without a port:\n");
        for (const CUsbBus::DEVICE* pDevice : vecUnbound)
            Say("  %s (bus %d, address %d)\n",
                pDevice->strName.empty() ? pDevice->strError.c_str() : pDevice->strName.c_str(),
                pDevice->nBus, pDevice->nAddress);
    }
    Say("Property tree: %s; hot-plug notices: %s\n", m_strProperties.c_str(),
        m_strHotPlugStatus.c_str());
    StopComponent();
    return SaveTreeIfChanged() ? 0 : 1;
}

int CQxHost::Print(ARGS& args) {
    const std::string strPath = PortPath(args.vecPositional[0]);
    CJob job;
    std::string strError;
    if (!job.Open(args.vecPositional[1], &strError)) return Fail(strError);
    const bool fProgress =
        args.Has("--progress") || (!args.Has("--no-progress") && isatty(fileno(m_pErr)));

    if (!StartComponent()) return 1;
    // Started before the open: the first power report may arrive while Open is still returning.
    const CEventClock clock;
    void* hPort = nullptr;
    if (!OpenPort(strPath, &hPort)) return 1;
    WaitForPower(hPort, kPowerWaitMs);

    const std::size_t ulTotal = job.Total();
    std::size_t ulDone = 0;
    unsigned int ulResult = PHR_SUCCESS;
    bool fReadFailed = false;
    {
        CProgressBar bar(m_pErr, ulTotal, fProgress && ulTotal > kChunk);
        m_hWriting.store(hPort);
        if (ulTotal == 0) {
            unsigned int ulWritten = 0;
            ulResult = m_pHost->Write(hPort, CData(), &ulWritten);
        }
        std::vector<unsigned char> vecPiece;
        while (ulDone < ulTotal && !m_fInterrupted.load()) {
            const std::size_t ulPiece = std::min(kPiece, ulTotal - ulDone);
            if (!job.Next(ulPiece, &vecPiece, &strError)) {
                fReadFailed = true;
                break;
            }
            unsigned int ulWritten = 0;
            ulResult = m_pHost->Write(
                hPort, CData(vecPiece.data(), static_cast<unsigned int>(ulPiece)), &ulWritten);
            ulDone += std::min<std::size_t>(ulWritten, ulPiece);
            bar.Update(ulDone);
            if (ulResult != PHR_SUCCESS || ulWritten < ulPiece) break;
        }
        m_hWriting.store(nullptr);
    }
    const bool fInterrupted = m_fInterrupted.load();
    Say("wrote %zu of %zu bytes to %s: %s%s\n", ulDone, ulTotal, strPath.c_str(),
        CCodeNames::Result(ulResult).c_str(), fInterrupted ? " (interrupted)" : "");
    const unsigned int ulClose = ClosePort(hPort, strPath);
    for (const HOST_EVENT& event : m_pHost->Events(hPort))
        Say("event %s: %s\n", clock.Offset(event.time).c_str(), DescribeEvent(event).c_str());
    StopComponent();
    const bool fSaved = SaveTreeIfChanged();
    if (fReadFailed) return Fail(strError + "; " + std::to_string(ulDone) + " bytes were printed");
    if (ulResult != PHR_SUCCESS)
        return Fail("print on " + strPath + " failed: " + CCodeNames::Result(ulResult) + " after " +
                    std::to_string(ulDone) + " of " + std::to_string(ulTotal) + " bytes" +
                    (fInterrupted ? " (interrupted)" : ""));
    if (ulDone < ulTotal)
        return Fail("print on " + strPath + " incomplete: " + std::to_string(ulDone) + " of " +
                    std::to_string(ulTotal) + " bytes written" +
                    (fInterrupted ? " (interrupted)" : ""));
    return ulClose == PHR_SUCCESS && fSaved ? 0 : 1;
}

int CQxHost::Watch(ARGS& args) {
    const std::string strPath = PortPath(args.vecPositional[0]);
    double dFor = -1;
    unsigned long long ullEvents = 0;
    if (args.Has("--for") && !ParseSeconds(args.Get("--for"), &dFor))
        return UsageError("watch",
                          "--for needs a number of seconds, not '" + args.Get("--for") + "'");
    if (args.Has("--events") &&
        (!base::ParseUnsigned(args.Get("--events"), 1000000000ull, &ullEvents) || ullEvents == 0))
        return UsageError("watch",
                          "--events needs a positive count, not '" + args.Get("--events") + "'");
    if (!StartComponent()) return 1;
    const CEventClock clock;
    void* hPort = nullptr;
    if (!OpenPort(strPath, &hPort)) return 1;
    Say("watching %s (hot-plug notices: %s); Ctrl-C stops\n", strPath.c_str(),
        m_strHotPlugStatus.c_str());
    std::size_t ulShown = 0;
    for (;;) {
        const std::vector<HOST_EVENT> vecEvents = m_pHost->Events(hPort);
        for (; ulShown < vecEvents.size(); ++ulShown)
            Say("%s %s\n", clock.Offset(vecEvents[ulShown].time).c_str(),
                DescribeEvent(vecEvents[ulShown]).c_str());
        for (const std::string& strNotice : m_notifier.TakeNotices())
            Say("%s hot-plug: %s%s\n", clock.Offset(std::chrono::steady_clock::now()).c_str(),
                strNotice.c_str(), strNotice.compare(0, 7, "arrived") == 0 ? ", SIGUSR1 sent" : "");
        if (m_fInterrupted.load() || (ullEvents != 0 && ulShown >= ullEvents) ||
            (dFor >= 0 && clock.Seconds(std::chrono::steady_clock::now()) >= dFor))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const unsigned int ulClose = ClosePort(hPort, strPath);
    Say("closed %s: %s\n", strPath.c_str(), CCodeNames::Result(ulClose).c_str());
    StopComponent();
    return SaveTreeIfChanged() && ulClose == PHR_SUCCESS ? 0 : 1;
}

int CQxHost::Ioctl(ARGS& args) {
    const std::string strPath = PortPath(args.vecPositional[0]);
    unsigned int ulCode = 0;
    if (!CCodeNames::ParseControl(args.vecPositional[1], &ulCode))
        return UsageError("ioctl", "unknown control code '" + args.vecPositional[1] + "'");
    std::vector<unsigned char> vecIn;
    std::string strError;
    if (args.vecPositional.size() > 2 && !CHexText::Parse(args.vecPositional[2], &vecIn, &strError))
        return UsageError("ioctl", "malformed hex '" + args.vecPositional[2] + "': " + strError);
    if (!StartComponent()) return 1;
    void* hPort = nullptr;
    if (!OpenPort(strPath, &hPort)) return 1;
    WaitForPower(hPort, kPowerWaitMs);
    CData out;
    const unsigned int ulResult = m_pHost->Ioctl(
        hPort, ulCode, CData(vecIn.data(), static_cast<unsigned int>(vecIn.size())), &out);
    Say("%s on %s: %s\n", CCodeNames::Control(ulCode).c_str(), strPath.c_str(),
        CCodeNames::Result(ulResult).c_str());
    if (out.Length() != 0) {
        Say("out (%u bytes): %s\n", out.Length(),
            CHexText::Format(out.Buffer(), out.Length(), 4096).c_str());
        if ((ulCode & ~PH_UCS2_STRINGS) == PH_USB_GET_POWER_STATE && out.Length() == 4) {
            int nState = 0;
            std::memcpy(&nState, out.Buffer(), 4);
            Say("power: %s\n", CCodeNames::Power(nState).c_str());
        }
    }
    const unsigned int ulClose = ClosePort(hPort, strPath);
    StopComponent();
    const bool fSaved = SaveTreeIfChanged();
    if (ulResult != PHR_SUCCESS)
        return Fail(CCodeNames::Control(ulCode) + " on " + strPath +
                    " failed: " + CCodeNames::Result(ulResult));
    return ulClose == PHR_SUCCESS && fSaved ? 0 : 1;
}

int CQxHost::Ui(ARGS& args) {
    const std::string& strPath = args.vecPositional[0];
    const bool fUcs2 = args.Has("--ucs2");
    const unsigned int ulCode = PH_CONFIG_GET_COMPONENT_UI | (fUcs2 ? PH_UCS2_STRINGS : 0);
    if (!StartComponent()) return 1;
    // The request text is 8-bit whatever the flag; only the answer follows it.
    CData out;
    const unsigned int ulResult =
        m_pHost->Ioctl(m_pHost->NewHandle(), ulCode, PackText(strPath, false), &out);
    const std::string strDocument = UnpackText(out, fUcs2);
    if (!strDocument.empty()) {
        std::fputs(strDocument.c_str(), m_pOut);
        if (strDocument.back() != '\n') std::fputc('\n', m_pOut);
        std::fflush(m_pOut);
    }
    StopComponent();
    const bool fSaved = SaveTreeIfChanged();
    if (ulResult != PHR_SUCCESS)
        return Fail(
            "ui " + strPath + ": " + CCodeNames::Result(ulResult) +
            (ulResult == PHR_PERMISSION_ERROR ? " (every port has its display part already)" : ""));
    std::fprintf(m_pErr, "ui %s: %s (%s form, %u bytes)\n", strPath.c_str(),
                 CCodeNames::Result(ulResult).c_str(), fUcs2 ? "UCS-2" : "8-bit", out.Length());
    return fSaved ? 0 : 1;
}

int CQxHost::AddPort(ARGS& args) {
    std::string strKind, strName, strError;
    if (!SplitPortArgument(args.vecPositional[0], &strKind, &strName, &strError))
        return UsageError("add-port", strError);
    if (strKind == "JV") {
        for (const char* pszOption :
             {"--device", "--model", "--device-id", "--printer-class", "--offline-timeout"})
            if (args.Has(pszOption))
                return UsageError("add-port", std::string(pszOption) +
                                                  " applies to the printer part (NAME), not JV/" +
                                                  strName);
    }
    unsigned long long ullDeviceId = 0, ullStatusPto = 0, ullOffline = 0;
    if (args.Has("--device-id") && !base::ParseUnsigned(args.Get("--device-id"), 255, &ullDeviceId))
        return UsageError("add-port", "--device-id needs a number from 0 to 255, not '" +
                                          args.Get("--device-id") + "'");
    if (args.Has("--status-pto") &&
        !base::ParseUnsigned(args.Get("--status-pto"), 0xFFFFFFFFull, &ullStatusPto))
        return UsageError(
            "add-port", "--status-pto needs milliseconds, not '" + args.Get("--status-pto") + "'");
    if (args.Has("--offline-timeout") &&
        !base::ParseUnsigned(args.Get("--offline-timeout"), 0xFFFFFFFFull, &ullOffline))
        return UsageError("add-port", "--offline-timeout needs milliseconds, not '" +
                                          args.Get("--offline-timeout") + "'");
    if (args.Has("--device") && args.Get("--device").find_first_of("\r\n") != std::string::npos)
        return UsageError("add-port", "--device must be one line");
    if (!StartComponent()) return 1;

    // The host's part: the port's properties in its tree, then the notice to the component.
    CPropertyTree& tree = m_pHost->Properties();
    const std::string strBase = "/" + strKind + "/" + strName + "/";
    tree.SetString(strBase + "PortType", "USB");
    if (strKind == "QX") {
        if (args.Has("--device"))
            tree.SetString(strBase + "PortName", args.Get("--device"));
        else if (!tree.Exists(strBase + "PortName"))
            tree.SetString(strBase + "PortName", "");
        if (args.Has("--model")) tree.SetString(strBase + "ModelName", args.Get("--model"));
        if (args.Has("--device-id"))
            tree.SetNumber(strBase + "DeviceID", static_cast<unsigned int>(ullDeviceId));
        if (args.Has("--printer-class")) tree.SetNumber(strBase + "DeviceClass", 1);
        if (args.Has("--offline-timeout"))
            tree.SetNumber(strBase + "OfflineTimeout", static_cast<unsigned int>(ullOffline));
    }
    if (args.Has("--status-pto"))
        tree.SetNumber(strBase + "StatusPto", static_cast<unsigned int>(ullStatusPto));

    const std::string strRequest = strKind + "/" + strName;
    const bool fUcs2 = args.Has("--ucs2");
    const unsigned int ulCode = PH_CONFIG_ADD_PORT | (fUcs2 ? PH_UCS2_STRINGS : 0);
    const unsigned int ulResult =
        m_pHost->Ioctl(m_pHost->NewHandle(), ulCode, PackText(strRequest, fUcs2), nullptr);
    Say("%s %s: %s\n", CCodeNames::Control(ulCode).c_str(), strRequest.c_str(),
        CCodeNames::Result(ulResult).c_str());
    StopComponent();
    if (ulResult != PHR_SUCCESS) {
        m_fSaveTree = false;
        return Fail("add-port " + strRequest + ": " + CCodeNames::Result(ulResult) +
                    (ulResult == PHR_INVALID_PARAMETER && strKind == "JV"
                         ? " (add the port " + strName + " first)"
                         : "") +
                    "; the property tree is unchanged");
    }
    if (!SaveTreeIfChanged()) return 1;
    Say("saved %s\n", m_strProperties.c_str());
    return 0;
}

int CQxHost::DeletePort(ARGS& args) {
    std::string strKind, strName, strError;
    if (!SplitPortArgument(args.vecPositional[0], &strKind, &strName, &strError))
        return UsageError("delete-port", strError);
    if (!StartComponent()) return 1;
    const std::string strRequest = strKind + "/" + strName;
    const bool fUcs2 = args.Has("--ucs2");
    const unsigned int ulCode = PH_CONFIG_DELETE_PORT | (fUcs2 ? PH_UCS2_STRINGS : 0);
    const unsigned int ulResult =
        m_pHost->Ioctl(m_pHost->NewHandle(), ulCode, PackText(strRequest, fUcs2), nullptr);
    Say("%s %s: %s\n", CCodeNames::Control(ulCode).c_str(), strRequest.c_str(),
        CCodeNames::Result(ulResult).c_str());
    if (ulResult == PHR_SUCCESS) m_pHost->Properties().Remove("/" + strKind + "/" + strName);
    StopComponent();
    if (ulResult != PHR_SUCCESS) {
        m_fSaveTree = false;
        std::string strWhy;
        if (ulResult == PHR_PERMISSION_ERROR)
            strWhy = " (delete its display part JV/" + strName + " first)";
        else if (ulResult == PHR_INVALID_PARAMETER)
            strWhy = strKind == "JV" ? " (the port has no display part)" : " (no such port)";
        return Fail("delete-port " + strRequest + ": " + CCodeNames::Result(ulResult) + strWhy);
    }
    if (!SaveTreeIfChanged()) return 1;
    Say("saved %s\n", m_strProperties.c_str());
    return 0;
}

int CQxHost::Install(ARGS& args) {
    if (!LoadLibrary()) return 1;
    const std::string strFile = args.vecPositional.empty() ? m_strLibrary : args.vecPositional[0];
    const std::string strConfiguration =
        EnvOr("TALIUN_CONFIGURATION", "/etc/korvo/taliun/taliun.configuration");
    const int nResult = m_pHost->Install(strFile.c_str());
    if (nResult != 1)
        return Fail("Install(" + strFile + ") failed: " + strConfiguration +
                    " could not be updated (permissions? see the component's log)");
    Say("Install(%s): registered in %s\n", strFile.c_str(), strConfiguration.c_str());
    return 0;
}

int CQxHost::Remove(ARGS&) {
    if (!LoadLibrary()) return 1;
    const std::string strConfiguration =
        EnvOr("TALIUN_CONFIGURATION", "/etc/korvo/taliun/taliun.configuration");
    if (m_pHost->Remove() != 1)
        return Fail("Remove() failed: " + strConfiguration +
                    " could not be updated (see the component's log)");
    Say("Remove(): registration removed from %s\n", strConfiguration.c_str());
    return 0;
}

int CQxHost::Version(ARGS&) {
    Say("qxhost %s\n", TALIUN_VERSION_TEXT);
    const libusb_version* pVersion = libusb_get_version();
    Say("libusb %u.%u.%u%s (%s); hot-plug capability: %s\n", pVersion->major, pVersion->minor,
        pVersion->micro, pVersion->rc, pVersion->describe,
        libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) ? "yes" : "no");
    Say("maker's vendor ID: 0x%04X\n", static_cast<unsigned int>(KORVO_USB_VENDOR_ID));
    Say("property tree: %s%s\n", m_strProperties.c_str(),
        access(m_strProperties.c_str(), F_OK) == 0 ? "" : " (none yet)");
    Say("log socket: %s\n",
        EnvOr("TALIUN_LOG_SOCKET", "/var/korvo/taliun/taliunlogd.socket").c_str());
    Say("configuration file: %s\n",
        EnvOr("TALIUN_CONFIGURATION", "/etc/korvo/taliun/taliun.configuration").c_str());
    if (!LoadLibrary()) return 1;
    unsigned int aul[4] = {0, 0, 0, 0};
    m_pHost->GetVersion(&aul[0], &aul[1], &aul[2], &aul[3]);
    Say("component %u.%u.%u.%u (%s)\n", aul[0], aul[1], aul[2], aul[3], m_strLibrary.c_str());
    return 0;
}

int CQxHost::Doctor(ARGS& args) {
    CDoctor::SETTINGS settings;
    settings.nVendor = KORVO_USB_VENDOR_ID;
    settings.strLibraryOption = m_strLibraryOption;
    settings.strProperties = m_strProperties;
    settings.strLogSocket = EnvOr("TALIUN_LOG_SOCKET", "/var/korvo/taliun/taliunlogd.socket");
    settings.strConfiguration =
        EnvOr("TALIUN_CONFIGURATION", "/etc/korvo/taliun/taliun.configuration");
    settings.strSystemRoot = args.Get("--system-root");
    return CDoctor(m_pOut, settings).Run();
}
