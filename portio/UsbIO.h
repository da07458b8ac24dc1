#pragma once
// CUsbIO: one per open port. Writes with a progress deadline and flow control, passes device
// requests through, and owns the port's monitoring thread, which turns status and input into
// events for the host.
//
// Seams (the port I/O library links neither against the port manager nor the component):
//  - device access goes through the CPortManagerCalls given to Init;
//  - events go up through the function installed with SetEventSink, which the component sets to
//    its connection manager's Event. Without a sink, events are dropped.
#include <string>

#include "base/RefCount.h"
#include "contract/Data.h"
#include "portio/PortInfo.h"
#include "portio/PortManagerCalls.h"
#include "threads/Event.h"
#include "threads/Lock.h"
#include "threads/Thread.h"
#include "usb/USBDevice.h"

typedef void (*PFN_PORT_EVENT)(void* hPort, unsigned int ulCode, CData data);

class CUsbIO {
public:
    CUsbIO();
    virtual ~CUsbIO();

    CUsbIO(const CUsbIO&) = delete;
    CUsbIO& operator=(const CUsbIO&) = delete;

    static void SetEventSink(PFN_PORT_EVENT pfEvent);

    bool Init(_PORT_INFO* pInfo, CPortManagerCalls* pManager);
    unsigned int PortConnect();

    unsigned int WriteToPort(CData data, unsigned int* pulWritten);
    unsigned int TimeoutCheck(unsigned int ulProgress, unsigned int& ulMarker)
        TS_REQUIRES(m_pWriteLock);
    unsigned int DevIoControl(CData in, CData* pOut);
    unsigned int FsModeInWorkaround();

    bool SetFlow(unsigned int ulMode);
    int GetFlow();
    bool SetPower(unsigned int ulState);
    int GetPower();
    void SetPortProp(unsigned int ulOffline, unsigned int ulStatus);
    void SetMonInterval(bool bFast);
    void SaveMonInterval(unsigned int ulValue);
    unsigned int HandleDisconnect(unsigned int ulRelease);
    int IsDisconnected();

    void SendEvent(unsigned int ulCode, CData data);
    void SendEvent(unsigned int ulCode, void* pData, unsigned int ulLength);

    // Which of two events ended a wait; Invalid when either is missing.
    enum class WaitResult { First, Second, TimedOut, Invalid };
    WaitResult WaitFor2Events(CEvent* pFirst, CEvent* pSecond, unsigned int ulTimeout);

    void GetReference();
    void ClearReference();

    // The control codes PH_USB_ABORT_WRITE and PH_USB_CLEAR_WRITE_ABORT act on this event.
    CEvent* GetWriteAbortEvent() { return m_pWriteAbortEvent; }

    // Snapshots for the port manager and tests, taken under the port lock.
    _PORT_INFO GetPortInfo();
    unsigned int GetSavedMonInterval();

    // Monitoring threads.
    static void tfQXInputNPower(void* pArg);
    static void tfJVPower(void* pArg);
    void QXInputNPowerThread();
    void JVPowerThread();
    DeviceStatus CheckStatus();
    DeviceStatus CheckPowerWithRead();
    // The power state a printer part reports for a device status; a display part reports
    // PH_POWER_NOT_READY_DISPLAY where a printer reports not ready.
    static unsigned int PowerStateOf(DeviceStatus status);

private:
    CUSBDevice GetDevice();
    void ReadPeriods(unsigned int& ulStatus, unsigned int& ulRead);

    // Set once by Init, before the monitoring thread starts; read without a lock after that.
    CPortManagerCalls* m_pManager;
    void* m_hPort;
    unsigned int m_ulWriteTimeout;
    _PORT_INFO m_info TS_GUARDED_BY(m_pPortLock);  // periods and timeouts
    bool m_bDisplayPort;
    int m_nFlow TS_GUARDED_BY(m_pPortLock);
    int m_nPower TS_GUARDED_BY(m_pPortLock);
    unsigned int m_ulProgressMark TS_GUARDED_BY(m_pWriteLock);
    unsigned int m_ulDeadline TS_GUARDED_BY(m_pWriteLock);  // tick
    unsigned int m_ulSavedInterval TS_GUARDED_BY(m_pPortLock);
    CThread* m_pThread TS_GUARDED_BY(m_pPortLock);  // while the thread starts
    CEvent* m_pStartedEvent;
    CEvent* m_pStopEvent;
    CEvent* m_pWakeEvent;
    CLock* m_pPortLock;  // short updates only; never held across USB transfers or calls out
    CEvent* m_pWriteAbortEvent;
    CEvent* m_pInputEvent;
    CRefCount m_refs;     // the object's own reference and one per borrower
    int m_bDisconnected;  // atomic
    // Serialises writes on this port: the device's write protocol (busy poll, write start, bulk
    // data, count read-back) must not interleave with another write's. Held across transfers;
    // taken before m_pPortLock, never inside it.
    CLock* m_pWriteLock;
};
