#pragma once
// CQxHost: the qxhost command line. A host for libTaliunqxusb.so built on the substitute host
// (host/Host.h): it keeps the host's property tree in a file, loads and initialises the component,
// turns libusb's arrival notices into SIGUSR1 (CHotPlugNotifier), and offers one subcommand per
// thing an integrator wants to try: list ports, print, watch events, control codes, UI documents,
// port configuration, registration and versions.
//
// Exit status: 0 success, 1 a failure (the component's result is printed by name), 2 a usage error.
// Every error is one line on standard error, starting with "qxhost: ".

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/Host.h"
#include "tools/qxhost/HotPlugNotifier.h"

class CQxHost {
public:
    CQxHost(std::FILE* pOut, std::FILE* pErr);
    ~CQxHost();
    CQxHost(const CQxHost&) = delete;
    CQxHost& operator=(const CQxHost&) = delete;

    int Run(int argc, char** argv);

    // The help text of a command ("" for the overview); empty for an unknown command.
    static std::string HelpText(const std::string& strCommand);

private:
    // A command's parsed arguments.
    struct ARGS {
        std::string strCommand;
        std::vector<std::string> vecPositional;
        std::map<std::string, std::string> mapOptions;  // option -> value ("" for flags)
        bool Has(const std::string& strOption) const { return mapOptions.count(strOption) != 0; }
        std::string Get(const std::string& strOption) const {
            auto it = mapOptions.find(strOption);
            return it != mapOptions.end() ? it->second : std::string();
        }
    };

    // Commands (QxHostCommands.cpp).
    int Ports(ARGS& args);
    int Print(ARGS& args);
    int Watch(ARGS& args);
    int Ioctl(ARGS& args);
    int Ui(ARGS& args);
    int AddPort(ARGS& args);
    int DeletePort(ARGS& args);
    int Install(ARGS& args);
    int Remove(ARGS& args);
    int Version(ARGS& args);
    int Doctor(ARGS& args);

    // Reporting.
    int Fail(const std::string& strMessage);
    int UsageError(const std::string& strCommand, const std::string& strMessage);
    void Say(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

    // Set-up and tear-down.
    bool LoadTree();
    bool SaveTreeIfChanged();
    bool LoadLibrary();
    bool StartComponent();
    void StopComponent();
    void StartSignalWatcher();
    void StopSignalWatcher();

    // Ports.
    static std::string PortPath(const std::string& strPort);
    std::vector<std::string> ConfiguredPorts();
    bool OpenPort(const std::string& strPath, void** phPort);
    unsigned int ClosePort(void* hPort, const std::string& strPath);
    // Waits for the port's first power report; the state, or PH_POWER_UNKNOWN after the time-out.
    int WaitForPower(void* hPort, unsigned int ulTimeoutMs);
    static std::string DescribeEvent(const HOST_EVENT& event);
    std::string ExplainFailure(const std::string& strPath, unsigned int ulResult);

    std::FILE* m_pOut;
    std::FILE* m_pErr;
    std::string m_strLibraryOption;
    std::string m_strProperties;
    bool m_fHotPlug;
    std::string m_strLibrary;
    std::string m_strLoadedTree;  // the tree's text as loaded, to save only changes
    bool m_fTreeExisted;
    // Whether the tree is saved when the command ends: what the component did to it (ports it
    // created, bindings) is kept even when the command fails; a refused configuration change is
    // not.
    bool m_fSaveTree;
    std::unique_ptr<CHost> m_pHost;
    CHotPlugNotifier m_notifier;
    std::string m_strHotPlugStatus;

    // SIGINT, SIGTERM and SIGHUP are blocked in every thread and taken by the watcher thread, which
    // marks the interruption and aborts a write in progress; a second signal ends the process.
    std::thread m_signalThread;
    std::atomic<bool> m_fSignalStop;
    std::atomic<bool> m_fInterrupted;
    std::atomic<void*> m_hWriting;
};
