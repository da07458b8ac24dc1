#pragma once
// CDoctor: `qxhost doctor`, the answer to "the printer does not work". It checks, without starting
// the component or changing anything, what a working printer needs: libusb, the vendor ID of the
// build, every attached device of the maker (kind, whether this process can open it and why not,
// the kernel driver bound to it), the component itself, the log daemon, the registration in the
// configuration file, and the ports of the host's property tree with their bindings. One line per
// check; anything but ok carries the fix in one sentence.

#include <cstdio>
#include <string>
#include <vector>

class CDoctor {
public:
    enum class Status { Ok, Warning, Failure };

    struct SETTINGS {
        int nVendor = 0;
        std::string strLibraryOption;  // --library, else the usual search
        std::string strProperties;     // the host's property tree file
        std::string strLogSocket;      // the log daemon's socket
        std::string strConfiguration;  // the configuration file hosts read
        // Where the system's files are looked up (udev rules, device nodes, sysfs): "" for the
        // running system, a folder for a copy of one.
        std::string strSystemRoot;
    };

    // Why a device node refuses this process, from what the system shows.
    struct ACCESS_FACTS {
        bool fRuleInstalled = false;      // the udev rule is in one of udev's rule folders
        bool fNodeFound = false;          // the device node exists
        bool fNodeGroupIsLp = false;      // the node belongs to group lp ...
        bool fNodeGroupWritable = false;  // ... and the group may read and write it
        bool fInGroupLp = false;          // this process is in group lp
    };

    CDoctor(std::FILE* pOut, SETTINGS settings);

    // Runs every check; 0 when none failed, 1 otherwise.
    int Run();

    // The finding and fix for a device that cannot be opened for lack of permission.
    static void ExplainAccess(const ACCESS_FACTS& facts, std::string* pstrWhy,
                              std::string* pstrFix);

private:
    struct DEVICE {
        std::string strName;  // empty when the serial number could not be read
        std::string strKind;
        int nBus = 0;
        int nAddress = 0;
        std::vector<int> vecPorts;
    };

    void Report(Status status, const std::string& strSubject, const std::string& strFinding,
                const std::string& strFix = std::string());
    void CheckLibusb();
    void CheckVendorId();
    void CheckUdevRule();
    void CheckDevices();
    void CheckComponent();
    void CheckLogDaemon();
    void CheckConfiguration();
    void CheckPorts();

    std::string SystemPath(const std::string& strPath) const;
    ACCESS_FACTS AccessFacts(const DEVICE& device) const;
    std::string KernelDriver(const DEVICE& device) const;

    std::FILE* m_pOut;
    SETTINGS m_settings;
    std::string m_strLibrary;
    std::vector<DEVICE> m_vecDevices;
    unsigned int m_aulCount[3];
};
