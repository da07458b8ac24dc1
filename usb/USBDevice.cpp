#include "usb/USBDevice.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include "base/Text.h"
#include "log/Log.h"
#include "threads/Functions.h"

namespace {

unsigned int ClampTimeout(unsigned int ulValue) {
    return ulValue < 50 ? 50 : (ulValue > 5000 ? 5000 : ulValue);
}

}  // namespace

CUSBDevice::CUSBDevice() : m_refs(CSharedRefCount::New()) {}

CUSBDevice::CUSBDevice(std::string strName, int nKind)
    : m_pOps(OpsFor(nKind)), m_strDeviceName(std::move(strName)), m_refs(CSharedRefCount::New()) {
    m_nKind = m_pOps != nullptr ? nKind : USBKIND_QX;
}

CUSBDevice::CUSBDevice(CUSBDevice const& src)
    : m_pOps(src.m_pOps),
      m_strDeviceName(src.m_strDeviceName),
      m_nKind(src.m_nKind),
      m_refs(src.m_refs) {
    CopyContext(src);
}

CUSBDevice::CUSBDevice(CUSBDevice const& src, int nKind)
    : m_pOps(OpsFor(nKind)),
      m_strDeviceName(src.m_strDeviceName),
      m_nKind(nKind),
      m_refs(src.m_refs) {
    CopyContext(src);
}

CUSBDevice& CUSBDevice::operator=(CUSBDevice const& src) {
    if (this == &src) return *this;
    ClearReference();
    m_refs = src.m_refs;
    m_strDeviceName = src.m_strDeviceName;
    m_pOps = src.m_pOps;
    m_nKind = src.m_nKind;
    CopyContext(src);
    return *this;
}

CUSBDevice::~CUSBDevice() { ClearReference(); }

const CUSBDevice::KindOps* CUSBDevice::OpsFor(int nKind) {
    static const KindOps kPrinter = {&CUSBDevice::QXReset, &CUSBDevice::QXIoctl, false};
    // The display channel cannot be reset; its status and flow requests are its own through its
    // control-code handler, which open, status and flow control all go through.
    static const KindOps kDisplay = {&CUSBDevice::JVReset, &CUSBDevice::JVIoctl, true};
    static const KindOps kPrinterClass = {&CUSBDevice::QXReset, &CUSBDevice::PRTIoctl, false};
    switch (nKind) {
        case USBKIND_QX:
            return &kPrinter;
        case USBKIND_JV:
            return &kDisplay;
        case USBKIND_PRT:
            return &kPrinterClass;
        default:
            return nullptr;
    }
}

// The copy shares the libusb handle but gets its own context, so that it can change timeouts
// without affecting the other copies.
void CUSBDevice::CopyContext(const CUSBDevice& src) {
    m_pUSBQX = nullptr;
    if (src.m_pUSBQX != nullptr) m_pUSBQX = new (std::nothrow) _USBQX(*src.m_pUSBQX);
}

int CUSBDevice::GetReference() const { return m_refs.AddReference(); }

// Release leaves m_refs empty either way, so a later ClearReference (the destructor after an
// explicit call) does not count this object twice.
void CUSBDevice::ClearReference() {
    if (!m_refs.IsSet()) return;
    if (m_refs.Release()) {
        if (m_pUSBQX != nullptr) Close();
    } else {
        // The handle belongs to the copies still alive.
        delete m_pUSBQX;
        m_pUSBQX = nullptr;
    }
}

unsigned int CUSBDevice::Open() {
    if (m_pOps == nullptr) return USBR_DEVICE_NOT_AVAILABLE;
    if (!m_refs.IsSet()) m_refs = CSharedRefCount::New();
    if (m_refs.Count() != 1) return USBR_SUCCESS;
    // A second open would leak the context and a second libusb handle.
    if (m_pUSBQX != nullptr) return USBR_SUCCESS;
    unsigned int ulResult = QXOpen();
    if (ulResult != USBR_SUCCESS) Close();
    return ulResult;
}

void CUSBDevice::Close() {
    if (m_pUSBQX == nullptr) return;
    zph_usb_close(m_pUSBQX);
    delete m_pUSBQX;
    m_pUSBQX = nullptr;
}

unsigned int CUSBDevice::Reset() {
    if (m_pUSBQX == nullptr || m_pOps == nullptr) return USBR_DEVICE_NOT_AVAILABLE;
    return (this->*m_pOps->pfnReset)();
}

DeviceStatus CUSBDevice::GetStatus() {
    if (m_pUSBQX == nullptr || m_pOps == nullptr) return DeviceStatus::Unavailable;
    return QXGetStatus();
}

unsigned int CUSBDevice::SetFlowControl(void* hPort, unsigned int ulMode) {
    if (m_pUSBQX == nullptr || m_pOps == nullptr) return USBR_DEVICE_NOT_AVAILABLE;
    if (ulMode != USB_FLOW_CONTROL_NORMAL && ulMode != USB_FLOW_CONTROL_FORCE)
        return USBR_INVALID_PARAMETER;
    return QXSetFlowControl(hPort, ulMode);
}

int CUSBDevice::CanSetFlowControl() {
    if (m_pUSBQX == nullptr || m_pOps == nullptr) return 0;
    return QXCanSetFlowControl();
}

unsigned int CUSBDevice::QXOpen() {
    _USBQX* pCtx = new (std::nothrow) _USBQX;
    if (pCtx == nullptr) return USBR_OUT_OF_RESOURCES;
    unsigned int ulResult = zph_usb_open(m_strDeviceName, pCtx);
    if (ulResult != USBR_SUCCESS) {
        delete pCtx;
        return ulResult == USBR_DEVICE_NOT_AVAILABLE ? USBR_NOT_CONNECTED : ulResult;
    }
    m_pUSBQX = pCtx;
    unsigned int aulTimeouts[8] = {0, 60000, 0, 1000, 0, 0, 0, 0};
    ulResult = Ioctl(USBDEV_SET_TIMEOUTS, aulTimeouts, sizeof(aulTimeouts), nullptr, 0, nullptr);
    if (ulResult != USBR_SUCCESS) return ulResult;
    unsigned short usFlow = 0;
    return Ioctl(USBDEV_SET_FLOW, &usFlow, sizeof(usFlow), nullptr, 0, nullptr);
}

unsigned int CUSBDevice::QXReset() {
    // The device may ignore the request; the reset counts as done.
    return Ioctl(USBDEV_RESET, nullptr, 0, nullptr, 0, nullptr);
}

unsigned int CUSBDevice::JVReset() { return USBR_NOT_SUPPORTED; }

DeviceStatus CUSBDevice::QXGetStatus() {
    unsigned char aucStatus[2] = {0, 0};
    if (Ioctl(USBDEV_GET_STATUS, nullptr, 0, aucStatus, sizeof(aucStatus), nullptr) != USBR_SUCCESS)
        return DeviceStatus::Unavailable;
    return (aucStatus[0] & 1) != 0 ? DeviceStatus::NotReady : DeviceStatus::Ready;
}

unsigned int CUSBDevice::QXSetFlowControl(void* hPort, unsigned int ulMode) {
    const bool fForce = ulMode == USB_FLOW_CONTROL_FORCE;
    unsigned short usValue = fForce ? 2 : 0;
    unsigned int ulResult = Ioctl(USBDEV_SET_FLOW, &usValue, sizeof(usValue), nullptr, 0, nullptr);
    if (ulResult != USBR_SUCCESS) return ulResult;
    unsigned char aucStatus[2] = {0xFF, 0x00};
    ulResult = Ioctl(USBDEV_GET_STATUS, nullptr, 0, aucStatus, sizeof(aucStatus), nullptr);
    if (ulResult != USBR_SUCCESS) return ulResult;
    if ((aucStatus[0] & 2) != usValue) return USBR_UNEXPECTED_SYSTEM_ERROR;
    LogMsg(LOGLEVEL_TRACE,
           fForce ? "-- USB SetPortFlowCtrl(%d, PH_FLOW_CONTROL_FORCE) <PHR_SUCCESS>"
                  : "-- USB SetPortFlowCtrl(%d, PH_FLOW_CONTROL_NORMAL) <PHR_SUCCESS>",
           base::HandleNumber(hPort));
    return USBR_SUCCESS;
}

int CUSBDevice::QXCanSetFlowControl() {
    unsigned char aucCapability[2] = {0, 0};
    if (Ioctl(USBDEV_GET_CAPABILITY, nullptr, 0, aucCapability, sizeof(aucCapability), nullptr) !=
        USBR_SUCCESS)
        return 0;
    return (aucCapability[0] & 2) ? 1 : 0;
}

unsigned int CUSBDevice::Ioctl(unsigned int ulCode, void* pIn, unsigned int ulInLength, void* pOut,
                               unsigned int ulOutLength, unsigned int* pulTransferred) {
    if (m_pUSBQX == nullptr) return USBR_DEVICE_NOT_AVAILABLE;
    int nTransferred = 0;
    // A copy made for a kind the component does not know moves nothing and reports no error.
    const int fOk = m_pOps != nullptr ? (this->*m_pOps->pfnIoctl)(ulCode, pIn, ulInLength, pOut,
                                                                  ulOutLength, &nTransferred)
                                      : 1;
    if (!fOk) return USBR_UNEXPECTED_SYSTEM_ERROR;
    if (pulTransferred != nullptr) *pulTransferred = static_cast<unsigned int>(nTransferred);
    return USBR_SUCCESS;
}

int CUSBDevice::CommonIoctl(const char* pszKind, int nStatusRequest, int nFlowRequest,
                            unsigned int ulCode, void* pIn, unsigned int ulInLength, void* pOut,
                            unsigned int ulOutLength, int* pnTransferred) {
    switch (ulCode) {
        case USBDEV_SET_TIMEOUTS: {
            unsigned int aulValues[8];
            if (pIn == nullptr || ulInLength < sizeof(aulValues)) return 0;
            std::memcpy(aulValues, pIn, sizeof(aulValues));
            m_pUSBQX->nReadTimeout = static_cast<int>(ClampTimeout(aulValues[1]));
            m_pUSBQX->nWriteTimeout = static_cast<int>(ClampTimeout(aulValues[3]));
            *pnTransferred = 0;
            return 1;
        }
        case USBDEV_GET_CAPABILITY:
        case USBDEV_GET_STATUS: {
            // The reply is two bytes; a smaller output buffer cannot take it.
            if (pOut == nullptr || ulOutLength < 2) return 0;
            int r = zph_usb_ctl_rev(
                m_pUSBQX, ulCode == USBDEV_GET_CAPABILITY ? USBREQ_CAPABILITY : nStatusRequest,
                pOut, 2);
            *pnTransferred = r;
            return r == 2;
        }
        case USBDEV_SET_FLOW: {
            unsigned short usValue;
            if (pIn == nullptr || ulInLength < sizeof(usValue)) return 0;
            std::memcpy(&usValue, pIn, sizeof(usValue));
            *pnTransferred = zph_usb_ctl_send(m_pUSBQX, nFlowRequest, usValue, 0);
            return 1;
        }
        case USBDEV_RESET:
            *pnTransferred = zph_usb_ctl_send(m_pUSBQX, USBREQ_RESET, 0, 0);
            return 1;
        default:
            LogMsg(LOGLEVEL_TRACE, "-- CUSBDevice::%sIoctl(%08X) <FALSE>", pszKind, ulCode);
            return 0;
    }
}

int CUSBDevice::QXIoctl(unsigned int ulCode, void* pIn, unsigned int ulInLength, void* pOut,
                        unsigned int ulOutLength, int* pnTransferred) {
    if (ulCode == USBDEV_VENDOR_REQUEST) {
        unsigned int ulWord;
        if (pIn == nullptr || ulInLength < sizeof(ulWord)) return 0;
        std::memcpy(&ulWord, pIn, sizeof(ulWord));
        int nResult = 0;
        if (ulWord & USBDEV_VENDOR_RECEIVE) {
            ulWord &= ~USBDEV_VENDOR_RECEIVE;
            const int nLength = ulOutLength > INT_MAX ? INT_MAX : static_cast<int>(ulOutLength);
            nResult = zph_usb_ctl_rev(m_pUSBQX, static_cast<int>(ulWord & 0xFF), pOut,
                                      pOut != nullptr ? nLength : 0);
        }
        if (ulWord & USBDEV_VENDOR_SEND)
            nResult = zph_usb_ctl_send(
                m_pUSBQX, static_cast<int>((ulWord & ~USBDEV_VENDOR_SEND) & 0xFF), 0, 0);
        *pnTransferred = nResult;
        return 1;
    }
    return CommonIoctl("QX", USBREQ_STATUS_QX, USBREQ_FLOW_QX, ulCode, pIn, ulInLength, pOut,
                       ulOutLength, pnTransferred);
}

int CUSBDevice::JVIoctl(unsigned int ulCode, void* pIn, unsigned int ulInLength, void* pOut,
                        unsigned int ulOutLength, int* pnTransferred) {
    return CommonIoctl("JV", USBREQ_STATUS_JV, USBREQ_FLOW_JV, ulCode, pIn, ulInLength, pOut,
                       ulOutLength, pnTransferred);
}

int CUSBDevice::PRTIoctl(unsigned int ulCode, void* pIn, unsigned int ulInLength, void* pOut,
                         unsigned int ulOutLength, int* pnTransferred) {
    // USBDEV_CLASS_REQUEST ends like an unrecognised code. The printer-class receive is not
    // issued for it: it would write device bytes into the caller's input buffer, which is
    // host data that this layer only reads.
    return CommonIoctl("PRT", USBREQ_STATUS_QX, USBREQ_FLOW_QX, ulCode, pIn, ulInLength, pOut,
                       ulOutLength, pnTransferred);
}

unsigned int CUSBDevice::Write(void* pData, unsigned int ulLength, unsigned int* pulWritten,
                               void* hPort) {
    if (m_pUSBQX == nullptr) return USBR_DEVICE_NOT_AVAILABLE;
    if (pData == nullptr || ulLength > static_cast<unsigned int>(INT_MAX))
        return USBR_INVALID_PARAMETER;
    const unsigned int ulStart = FUNCTIONS::GetTickCount();
    unsigned char* pBytes = static_cast<unsigned char*>(pData);
    const int nLength = static_cast<int>(ulLength);
    int r = 0;
    if (m_pOps != nullptr && m_pOps->fDisplayChannel) {
        if (!m_pUSBQX->ucDisplay) {
            LogMsg(LOGLEVEL_TRACE,
                   "-- JVOpen <PHR_INVALID_PARAMETER> with handle [%d] : no JV device connected",
                   base::HandleNumber(hPort));
            return USBR_INVALID_PARAMETER;
        }
        r = zph_bulk_write_jv(m_pUSBQX, pBytes, nLength);
    } else if (m_pOps != nullptr) {
        r = zph_bulk_write_qx(m_pUSBQX, pBytes, nLength);
    }
    if (r < 0) return USBR_UNEXPECTED_SYSTEM_ERROR;
    if (pulWritten != nullptr) *pulWritten = static_cast<unsigned int>(r);
    Log(LOGLEVEL_TRACE, pBytes, static_cast<unsigned int>(r), "-- Write(%d) [%d]",
        base::HandleNumber(hPort), static_cast<int>(FUNCTIONS::GetTickCount() - ulStart));
    return USBR_SUCCESS;
}

unsigned int CUSBDevice::ReadBytes(unsigned char* pBuffer, unsigned int ulSize, int* pnRead,
                                   void* /*hPort*/) {
    if (m_pUSBQX == nullptr) return USBR_DEVICE_NOT_AVAILABLE;
    if (pBuffer == nullptr) return USBR_INVALID_PARAMETER;
    int r = zph_bulk_read(
        m_pUSBQX, pBuffer,
        ulSize > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(ulSize));
    if (r < 0) return USBR_UNEXPECTED_SYSTEM_ERROR;
    if (pnRead != nullptr) *pnRead = r;
    return USBR_SUCCESS;
}
