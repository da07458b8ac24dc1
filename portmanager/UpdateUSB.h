#pragma once
// CUpdateUSB: the single port manager. Owns the configured ports, the device bound to every open
// connection and the port I/O object of every open connection; serves Open, Close, Write and the
// per-port control codes, and the component-level configuration codes.
//
// Lock order when nested: m_pConfigLock, m_pDeviceLock, m_pOpenLock, m_lockBootMode. All are
// recursive. Port I/O objects are never deleted while any of these is held (their destructor
// waits for a monitoring thread that itself takes m_pDeviceLock and m_pConfigLock).
#include <list>
#include <map>
#include <string>

#include "contract/Data.h"
#include "portio/PortInfo.h"
#include "portio/PortManagerCalls.h"
#include "portio/UsbIO.h"
#include "portmanager/BootMode.h"
#include "portmanager/PropertyAccess.h"
#include "threads/Event.h"
#include "threads/Lock.h"
#include "threads/Thread.h"
#include "usb/USBDevice.h"

// A configured port. Not packed: it holds std::string members and stays inside the component.
struct _UXD_PORT {
    unsigned char ucDeviceID = 0;  // "/DeviceID", 255 when not set
    std::string strPortName;       // device name of the USB device that belongs to the port
    std::string strModelName;      // "/ModelName"
    _PORT_INFO infoQX;             // printer part (QX or PRT), "/QX/<name>/"
    _PORT_INFO infoJV;             // display part, "/JV/<name>/"
};

class CUpdateUSB : public CPortManagerCalls {
public:
    // Creates (or keeps) the singleton, which reads and changes the host's property tree through
    // pProperties; that object must outlive it. Null when pProperties is null or the start fails.
    static CUpdateUSB* CreateInstance(CPropertyAccess* pProperties);
    static CUpdateUSB* GetInstance() { return sm_pUpdateUSB; }
    void Release();
    virtual ~CUpdateUSB();

    CUpdateUSB(const CUpdateUSB&) = delete;
    CUpdateUSB& operator=(const CUpdateUSB&) = delete;

    bool InitInstance();
    void ExitInstance();

    // Host calls (through CQXUSBComponent).
    unsigned int OpenPort(void* hPort, std::string strPath);
    unsigned int ClosePort(void* hPort);
    unsigned int WriteToPort(void* hPort, CData data, unsigned int* pulWritten);
    unsigned int IoCtl(void* hPort, unsigned int ulCode, CData in, CData* pOut);
    unsigned int LockPort(void* hPort, unsigned int ulValue, CUsbIO* pUsbIO);

    // Component-level configuration codes (CQXUSBComponent's static Ioctl).
    unsigned int ConfigAddPort(CData in, unsigned int ulCode);
    unsigned int ConfigDeletePort(CData in, unsigned int ulCode);
    unsigned int GetConfigUI(CData in, unsigned int ulCode, CData* pOut);
    std::string LoadResource(unsigned char* pTemplate, int nLength);

    // Device bindings; the port I/O objects reach the overrides through CPortManagerCalls.
    CUSBDevice GetUSBDevice(void* hPort) override;
    unsigned int OpenDevice(CUSBDevice& device) TS_REQUIRES(m_pDeviceLock);
    bool ShareOpenHandle(CUSBDevice& device) TS_REQUIRES(m_pDeviceLock);
    unsigned int OpenHandleOnly(void* hPort) override;
    void CloseHandleOnly(void* hPort) override;
    void CloseUSBDevice(void* hPort);
    void CloseUSBDeviceIf(void* hPort, const CUSBDevice& expected) override;
    // Binds the handle to the device, replacing any binding it had.
    void Bind(void* hPort, const CUSBDevice& device);
    int UpdateConnectStatus(void* hPort, int nValue) override;

    // Port configuration.
    int InitConfigPorts();
    bool UpdateConfigPorts();
    bool GetPortProperties(std::string strPath, _UXD_PORT* pPort);
    unsigned int HandleConfigChange(CUsbIO* pUsbIO, void* hPort);

    // Plug-and-play monitor.
    static void tfUpdate(void* pArg);
    int UpdateThread();
    static void tfPortEnum(void* pArg);
    void EnumUSBPorts();
    int process_message();
    void usb_EnumUSBPort();
    void HandleTimerMsg();
    // Settled: the device has gone or found its port; Pending: it is (or stays) in the pending
    // table when asked to add it, to be tried again.
    enum class NewDeviceResult { Settled, Pending };
    NewDeviceResult HandleNewDevice(std::string strDeviceName, int nAddToPending, int nKind);
    // How an enumerated device met the configured ports. Only Attached ends its handling; in the
    // other two cases it goes on as a new device.
    enum class AttachResult {
        NoPort,            // no port names the device
        PartDisconnected,  // a part that names it was released by its client (disconnected)
        Attached,          // a port names it; its open parts were re-opened where needed
    };
    // How a re-open of one open part on a new device instance ended.
    enum class ReopenResult {
        OldDeviceAnswers,  // the part's device still answers; nothing changed
        PartDisconnected,  // the client released the part; it stays unbound
        Reopened,          // the part is bound to the new instance
        Failed,            // the new instance could not be opened or bound (logged)
    };
    AttachResult UpdatePort(std::string strDeviceName, int nKind);
    ReopenResult ReopenPort(_PORT_INFO* pInfo, std::string strDeviceName, int nKind);
    int IsSLNExist(std::map<std::string, int> mapDevices, std::string strDeviceName);

    // Model identification.
    int GetPowerQXState(std::string strDeviceName);
    int GetPowerPRTState(std::string strDeviceName);
    int GetDeviceInfo(std::string strDeviceName, _UXD_PORT* pPort, CData* pBootKey, int bPRT,
                      unsigned int ulPower);
    int GetPrinterModelName(CUSBDevice* pDevice, char* pszModel, unsigned int ulSize,
                            char* pDeviceID, CData* pBootKey);
    int OfflineGetPrinterModelName(CUSBDevice* pDevice, char* pszModel, unsigned int ulSize,
                                   char* pDeviceID, int bPRT);

    // Boot-mode table. PHR_SUCCESS, or PHR_ALLOCATION_ERROR when a new record cannot be made.
    unsigned int UpdateBootModeTable(void* hPort, CData key, int nKind, std::string strDeviceName);

    // Port search for new devices.
    int ConfigureNewDevice(std::string strDeviceName, int nKind, unsigned int ulPower);
    int FindPortToUpdate(_UXD_PORT* pPort, int bPRT);
    int UpdateSelectedPort(std::map<std::string, _UXD_PORT*>::iterator* pIt, _UXD_PORT* pPort,
                           int bPRT);
    int AddNewDevice(_UXD_PORT* pPort);

    // Snapshots for diagnostics and tests; each takes its own lock.
    bool GetConfigPort(const std::string& strName, _UXD_PORT* pCopy);
    size_t GetOpenPortCount();
    size_t GetDeviceCount();
    std::list<CBootMode> GetBootModeTable();
    // Whether the plug-and-play thread has finished its start (it empties the boot-mode table) and
    // its first enumeration, waiting up to the time-out.
    bool WaitForFirstEnumeration(unsigned int ulTimeoutMs) {
        return m_pEnumDoneEvent->IsSet(ulTimeoutMs);
    }
    std::map<std::string, int> GetPendingDevices();

private:
    explicit CUpdateUSB(CPropertyAccess* pProperties);

    // A copy, with the kind, of the bound device of that name, or a new object for the name.
    // The caller holds m_pDeviceLock.
    CUSBDevice DeviceForName(const std::string& strDeviceName, int nKind)
        TS_REQUIRES(m_pDeviceLock);
    // As DeviceForName, but only a bound device that still answers is shared; a binding left
    // over from a device instance that has gone is passed by. Takes m_pDeviceLock itself.
    CUSBDevice LiveDeviceForName(const std::string& strDeviceName, int nKind, void* hExclude);

    static CUpdateUSB* sm_pUpdateUSB;

    CPropertyAccess* m_pProperties;  // the host's property tree; set once at construction

    CLock* m_pDeviceLock;      // guards m_mapDevices; second in the lock order
    CThread* m_pUpdateThread;  // plug-and-play thread
    CThread* m_pEnumThread;    // first enumeration of attached devices
    CEvent* m_pShutdownEvent;  // set by Release; the first enumeration is skipped once set
    CEvent* m_pEnumDoneEvent;  // set when the first enumeration has finished
    CLock* m_pOpenLock;        // guards m_mapOpenPorts; third in the lock order
    CLock* m_pConfigLock;      // guards m_mapConfigPorts and its records; first in the lock order
    // Owns the records.
    std::map<std::string, _UXD_PORT*> m_mapConfigPorts TS_GUARDED_BY(m_pConfigLock);
    std::map<void*, CUSBDevice> m_mapDevices TS_GUARDED_BY(m_pDeviceLock);
    // Owns the port I/O objects.
    std::map<void*, CUsbIO*> m_mapOpenPorts TS_GUARDED_BY(m_pOpenLock);
    // Changed by the plug-and-play threads only.
    std::map<std::string, int> m_mapPendingDevices TS_GUARDED_BY(m_lockPending);
    int m_nUnboundPorts TS_GUARDED_BY(m_pConfigLock);
    std::list<CBootMode*> m_listBootMode TS_GUARDED_BY(m_lockBootMode);
    CLock m_lockBootMode;  // last in the lock order
    bool m_bUsbReady;      // libusb initialised by InitInstance
    // Guards m_mapPendingDevices for snapshots; a leaf, never held across calls.
    CLock m_lockPending;
    // The signal loop's thread, for the stop to wake it out of its wait. m_bSignalLoop is true
    // only while that thread is inside the loop, so the thread id is never used after it ended.
    // A leaf lock: nothing else is taken under it.
    CLock m_lockSignalLoop;
    pthread_t m_hSignalLoop TS_GUARDED_BY(m_lockSignalLoop);
    bool m_bSignalLoop TS_GUARDED_BY(m_lockSignalLoop);

    // Raises the plug-and-play thread's stop request and wakes its signal wait.
    void StopUpdateThread();
};
