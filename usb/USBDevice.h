#pragma once
// CUSBDevice: the component's value handle on one USB device, with the behaviour of its kind
// (QX printer, JV display channel, PRT printer class) and the transport functions.
//
// Copies share one atomically counted reference and, while open, one libusb handle; each copy
// has its own transfer context, so a copy may be used on one thread without any lock. Only a
// sole holder opens; the last reference closes.
#include <map>
#include <string>

#include "base/SharedRefCount.h"
#include "usb/USBCodes.h"
#include "usb/USBTransport.h"

// What a device's status request says; a closed device or one that does not answer is unavailable.
enum class DeviceStatus { Ready, NotReady, Unavailable };

class CUSBDevice {
public:
    CUSBDevice();
    CUSBDevice(std::string strName, int nKind);
    CUSBDevice(CUSBDevice const& src);
    CUSBDevice(CUSBDevice const& src, int nKind);
    CUSBDevice& operator=(CUSBDevice const& src);
    ~CUSBDevice();

    int GetReference() const;
    void ClearReference();

    // Result codes are the USBR_ values (numerically the host's PHR_ codes).
    unsigned int Open();
    void Close();
    unsigned int Reset();
    DeviceStatus GetStatus();
    unsigned int SetFlowControl(void* hPort, unsigned int ulMode);
    int CanSetFlowControl();
    unsigned int Ioctl(unsigned int ulCode, void* pIn, unsigned int ulInLength, void* pOut,
                       unsigned int ulOutLength, unsigned int* pulTransferred);
    unsigned int Write(void* pData, unsigned int ulLength, unsigned int* pulWritten, void* hPort);

    // Reads up to 1024 bytes into *pData (emptied first). TData is the component's byte
    // buffer (CData); taking it as a template parameter keeps this layer free of the
    // component's headers. TData needs a default constructor, a (unsigned char*, unsigned int)
    // constructor and assignment.
    template <class TData>
    unsigned int Read(TData* pData, void* hPort);
    // The byte-level read behind Read: stores the count (0 when nothing came) in *pnRead.
    unsigned int ReadBytes(unsigned char* pBuffer, unsigned int ulSize, int* pnRead, void* hPort);

    const std::string& GetDeviceName() const { return m_strDeviceName; }
    int GetKind() const { return m_nKind; }
    // The transfer context while open (null when closed); callers use it only as an opaque tag.
    _USBQX* GetContext() const { return m_pUSBQX; }
    // True when both are copies of one device instance (they share one connection count).
    bool SharesConnection(const CUSBDevice& other) const {
        return m_refs == other.m_refs && m_strDeviceName == other.m_strDeviceName;
    }

    // Transport on libusb-1.0. None of these uses the object's state, only the context given.
    static bool zph_usb_lib_init();
    static void zph_usb_lib_exit();
    static void zph_usb_enum(std::map<std::string, int>& mapDevices);
    static unsigned int zph_usb_open(std::string strName, _USBQX* pCtx);
    static int zph_usb_close(_USBQX* pCtx);
    static int zph_usb_ctl_send(_USBQX* pCtx, int nRequest, unsigned short usValue, int nLength);
    static int zph_usb_ctl_rev(_USBQX* pCtx, int nRequest, void* pBuffer, int nLength);
    static int zph_usb_ctl_rev_prtclass(_USBQX* pCtx, int nRequest, void* pBuffer, int nLength);
    static int zph_bulk_write_qx(_USBQX* pCtx, unsigned char* pData, int nLength);
    static int zph_bulk_write_jv(_USBQX* pCtx, unsigned char* pData, int nLength);
    static int zph_bulk_read(_USBQX* pCtx, unsigned char* pBuffer, int nLength);

private:
    // What differs between the kinds, one constant table per kind. Display and printer-class
    // devices behave as the receipt printer except where their table says otherwise.
    struct KindOps {
        unsigned int (CUSBDevice::*pfnReset)();
        // Control-code handler: 1 on success with the transfer result in *pnTransferred, else 0.
        int (CUSBDevice::*pfnIoctl)(unsigned int ulCode, void* pIn, unsigned int ulInLength,
                                    void* pOut, unsigned int ulOutLength, int* pnTransferred);
        bool fDisplayChannel;  // writes go to the second endpoint pair
    };
    static const KindOps* OpsFor(int nKind);
    void CopyContext(const CUSBDevice& src);

    unsigned int QXOpen();
    unsigned int QXReset();
    unsigned int JVReset();
    DeviceStatus QXGetStatus();
    unsigned int QXSetFlowControl(void* hPort, unsigned int ulMode);
    int QXCanSetFlowControl();
    int QXIoctl(unsigned int ulCode, void* pIn, unsigned int ulInLength, void* pOut,
                unsigned int ulOutLength, int* pnTransferred);
    int JVIoctl(unsigned int ulCode, void* pIn, unsigned int ulInLength, void* pOut,
                unsigned int ulOutLength, int* pnTransferred);
    int PRTIoctl(unsigned int ulCode, void* pIn, unsigned int ulInLength, void* pOut,
                 unsigned int ulOutLength, int* pnTransferred);
    // The codes the three kinds share; the kind picks the status and flow request numbers.
    int CommonIoctl(const char* pszKind, int nStatusRequest, int nFlowRequest, unsigned int ulCode,
                    void* pIn, unsigned int ulInLength, void* pOut, unsigned int ulOutLength,
                    int* pnTransferred);

    const KindOps* m_pOps = nullptr;  // null for a kind the component does not know
    _USBQX* m_pUSBQX = nullptr;       // private to this copy
    std::string m_strDeviceName;
    int m_nKind = USBKIND_QX;
    CSharedRefCount m_refs;  // shared by all copies; empty once this object let go of it
};

template <class TData>
unsigned int CUSBDevice::Read(TData* pData, void* hPort) {
    if (m_pUSBQX == nullptr) return USBR_DEVICE_NOT_AVAILABLE;
    if (pData == nullptr) return USBR_INVALID_PARAMETER;
    *pData = TData();
    unsigned char aucBuffer[1024];
    int nRead = 0;
    unsigned int ulResult = ReadBytes(aucBuffer, sizeof(aucBuffer), &nRead, hPort);
    if (ulResult == USBR_SUCCESS && nRead > 0)
        *pData = TData(aucBuffer, static_cast<unsigned int>(nRead));
    return ulResult;
}
