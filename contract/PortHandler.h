#pragma once
// Contract between a port-handler host and the libTaliunqxusb component.
//
// The host loads the library, finds the entry points below by name (dlsym), initialises the
// component once with its property service and an empty function table, and then drives every
// connection through the four functions the component puts into that table. Strings and CData
// buffers cross the boundary by value, so both sides must share the C++ runtime (std::string,
// std::list, operator new[]). Every function pointer is a plain function; handles are opaque values
// chosen by the host, unique per open connection, and never dereferenced by the component.

#include <list>
#include <string>

#include "contract/Data.h"

// The host's property service: nine entries in this order, all required. Each returns nonzero on
// success. GetNumber and GetString write through the pointer only on success; GetChildren appends
// the names of the direct children of the path in the host's order; MakePort (port type, port
// document) creates a new port in the host's tree.
struct _PORTHANDLERPROPERTY {
    int (*GetChildren)(std::string strPath, std::list<std::string>& listChildren);
    int (*GetData)(std::string strPath, CData& data);
    int (*GetNumber)(std::string strPath, unsigned int* pulValue);
    int (*GetString)(std::string strPath, std::string* pstrValue);
    int (*Remove)(std::string strPath);
    int (*SetData)(std::string strPath, CData data);
    int (*SetNumber)(std::string strPath, unsigned int ulValue);
    int (*SetString)(std::string strPath, std::string strValue);
    int (*MakePort)(std::string strPortType, std::string strPortDocument);
};

// Five-entry function table used in both directions. The component fills Open..Ioctl of the table
// it is given at initialisation (Event stays null). The host passes one with every Open as `next`:
// for this component only Event may be set (the host's event sink for that handle); Open, Close,
// Write and Ioctl must be null or the Open is refused. The result of Event is ignored.
struct _PORTHANDLERCOMPONENT {
    unsigned int (*Open)(void* hHandle, std::string strPath, _PORTHANDLERCOMPONENT* pNext);
    unsigned int (*Close)(void* hHandle);
    unsigned int (*Write)(void* hHandle, CData data, unsigned int* pulWritten);
    unsigned int (*Ioctl)(void* hHandle, unsigned int ulCode, CData in, CData* pOut);
    unsigned int (*Event)(void* hHandle, unsigned int ulCode, CData data);
};

// Result codes: 0 is success, every failure has bit 31 set.
constexpr unsigned int PHR_SUCCESS = 0x00000000u;
constexpr unsigned int PHR_NOT_CONNECTED = 0x80000001u;
constexpr unsigned int PHR_INVALID_CONFIGURATION = 0x80000002u;
constexpr unsigned int PHR_INVALID_PARAMETER = 0x80000003u;
constexpr unsigned int PHR_NOT_SUPPORTED = 0x80000004u;
constexpr unsigned int PHR_UNEXPECTED_SYSTEM_ERROR = 0x80000005u;
constexpr unsigned int PHR_ALLOCATION_ERROR = 0x80000006u;
constexpr unsigned int PHR_OUT_OF_RESOURCES = 0x80000007u;
constexpr unsigned int PHR_RESPONSE_TIMEOUT = 0x80010002u;
constexpr unsigned int PHR_PERMISSION_ERROR = 0x80010004u;
constexpr unsigned int PHR_PORT_OPEN_FAILURE = 0x80060000u;
constexpr unsigned int PHR_DEVICE_ERROR = 0x80060001u;
constexpr unsigned int PHR_DEVICE_NOT_AVAILABLE = 0x80060002u;
constexpr unsigned int PHR_WRITE_TIMEOUT = 0x80060003u;

// Control codes (the code argument of Ioctl). PH_UCS2_STRINGS is a flag, not part of a code: when
// set, strings in the in and out data are packed as UCS-2 instead of 8-bit text. Codes are compared
// with the flag cleared. Component-level codes go with a handle that has no open connection.
constexpr unsigned int PH_UCS2_STRINGS = 0x08000000u;

constexpr unsigned int PH_CONFIG_ADD_PORT = 0x60070003u;     // component; in: packed port path
constexpr unsigned int PH_CONFIG_DELETE_PORT = 0x60070004u;  // component; in: packed port path
constexpr unsigned int PH_CONFIG_GET_COMPONENT_UI =
    0x4007000Cu;                                         // component; out: packed UI document
constexpr unsigned int PH_CONFIG_CHANGED = 0x50070010u;  // port: re-read timing properties
constexpr unsigned int PH_LOCK_PORT = 0x40010001u;       // port; in: 4 bytes 1, 2 or 0x10000001
constexpr unsigned int PH_USB_GET_POWER_STATE = 0x40060001u;  // port; out: 4-byte power state
constexpr unsigned int PH_USB_RESET_DEVICE = 0x60060004u;
constexpr unsigned int PH_USB_SET_FLOW_CONTROL = 0x60060005u;      // port; in: 4 bytes
constexpr unsigned int PH_USB_SET_MONITOR_INTERVAL = 0x60060006u;  // port; in: 4 bytes
constexpr unsigned int PH_USB_CLEAR_WRITE_ABORT = 0x6006000Au;
constexpr unsigned int PH_USB_ABORT_WRITE = 0x6006000Bu;
constexpr unsigned int PH_USB_UPDATE_BOOT_MODE = 0x6006000Cu;
constexpr unsigned int PH_USB_DEVICE_IOCTL = 0x6006000Du;      // port; in: >= 4 bytes; out: <= 4096
constexpr unsigned int PH_USB_SET_DISCONNECTED = 0x6006000Fu;  // port; in: 4 bytes
constexpr unsigned int PH_USB_FS_MODE_WORKAROUND = 0x60060010u;  // port; in: empty

// Values of PH_USB_SET_FLOW_CONTROL.
constexpr unsigned int PH_FLOW_CONTROL_NORMAL = 1;
constexpr unsigned int PH_FLOW_CONTROL_FORCE = 2;

// Event codes, sent to the host's sink with the connection's handle.
constexpr unsigned int PH_EVENT_POWER_STATE = 0x00060001u;  // 4 bytes: new power state
constexpr unsigned int PH_EVENT_INPUT_DATA =
    0x00060002u;  // bytes read from the device, never empty

// Power states carried by PH_USB_GET_POWER_STATE and PH_EVENT_POWER_STATE.
constexpr int PH_POWER_UNKNOWN = -1;
constexpr int PH_POWER_READY = 0;
constexpr int PH_POWER_NOT_READY = 1;
constexpr int PH_POWER_UNAVAILABLE = 2;
constexpr int PH_POWER_NOT_READY_DISPLAY = 3;

// Exported entry points (unmangled names).
extern "C" {
// Writes the component version (major, minor, revision, build) through the four pointers; a null
// pointer is skipped.
void GetVersion(unsigned int* pulMajor, unsigned int* pulMinor, unsigned int* pulRevision,
                unsigned int* pulBuild);
// 1 on success; 0 when a property entry or the table is missing or the component cannot start.
// After 0 the table must not be used.
int InitializePortHandlerComponent(_PORTHANDLERPROPERTY* pProperty, _PORTHANDLERCOMPONENT* pTable);
// No table call may run during or after it.
void UnloadPortHandlerComponent(void);
// Installer entry points: register / unregister the component in the configuration file. 1 / 0.
int Install(const char* pszFileName);
int Remove(void);
}

// Pointer types for resolving the entry points with dlsym.
typedef void (*PFN_GETVERSION)(unsigned int*, unsigned int*, unsigned int*, unsigned int*);
typedef int (*PFN_INITIALIZEPORTHANDLERCOMPONENT)(_PORTHANDLERPROPERTY*, _PORTHANDLERCOMPONENT*);
typedef void (*PFN_UNLOADPORTHANDLERCOMPONENT)(void);
typedef int (*PFN_INSTALL)(const char*);
typedef int (*PFN_REMOVE)(void);
