// Faults, end to end: devices that stall or leave in the middle of a write, control requests that
// time out, a kernel driver that will not let go, a log daemon that is absent, never reads or
// closes its connections, and a configuration file that cannot be written. Each case checks that
// every call comes back within its bound with the result the fault calls for, that nothing the host
// was told went out is missing from the device (and nothing went out twice), and that the port
// works again once the fault is gone.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <fstream>
#include <sstream>

#include "tests/stress/StressSupport.h"
#include "tests/support/HostEvents.h"

using namespace stress;

namespace {

class Faults : public StressFixture {
protected:
    void* OpenOk(const std::string& strPath) {
        void* h = m_host.NewHandle();
        EXPECT_EQ(Open(h, strPath), PHR_SUCCESS) << strPath;
        return h;
    }
    std::vector<int> PowerStates(void* h) const { return testsupport::PowerStates(m_host, h); }
    bool WaitForPower(void* h, int nState) {
        return WaitUntil([&] {
            const std::vector<int> vec = PowerStates(h);
            return !vec.empty() && vec.back() == nState;
        });
    }
    // A write that must go through in whole.
    void WriteAll(void* h, const std::vector<unsigned char>& vecData) {
        unsigned int ulWritten = 0;
        EXPECT_EQ(Write(h, ToData(vecData), &ulWritten), PHR_SUCCESS);
        EXPECT_EQ(ulWritten, vecData.size());
    }
};

// A stall, a time-out or a device that drops what it took after the count it reports: each time the
// write asks how much the device took, clears the halt and goes on from there, so every byte
// arrives exactly once and in order.
TEST_F(Faults, StallsAndTimeoutsMidWriteLoseNothingAndDuplicateNothing) {
    StartDaemon();
    usbsim::DevicePtr pDevice = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("FAULT1"));
    ConfigurePort("P1", pDevice->deviceName());
    Load();
    void* h = OpenOk("QX/P1");
    ASSERT_TRUE(WaitForPower(h, PH_POWER_READY));

    std::vector<std::vector<unsigned char>> vecJobs;
    const usbsim::FaultAction kActions[] = {usbsim::FaultAction::Stall,
                                            usbsim::FaultAction::Timeout};
    unsigned int ulJob = 0;
    for (usbsim::FaultAction action : kActions) {
        for (size_t ulAfter :
             {size_t(0), size_t(1), size_t(4095), size_t(4096), size_t(65534), size_t(70000)}) {
            for (int nReported = -1; nReported <= 1; ++nReported) {
                usbsim::BulkOutFault fault;
                fault.afterBytes = ulAfter;
                fault.action = action;
                // The device's own count, a count of nothing, or fewer bytes than it took (it
                // dropped the rest).
                if (nReported == 0)
                    fault.reportedCount = 0;
                else if (nReported == 1)
                    fault.reportedCount = static_cast<uint16_t>(ulAfter % 4096 / 2);
                pDevice->addBulkOutFault(fault);
                vecJobs.push_back(Pattern(100000, ++ulJob));
                WriteAll(h, vecJobs.back());
            }
        }
    }
    EXPECT_EQ(pDevice->received(), Joined(vecJobs));
    EXPECT_EQ(Close(h), PHR_SUCCESS);
    PrintFigures("stalls and time-outs");
}

// The device leaves in the middle of a job: the write ends with PHR_DEVICE_NOT_AVAILABLE within its
// bound and never claims more than the device took; the port reports the device unavailable, binds
// the same device again when it comes back, and the next job goes through whole.
TEST_F(Faults, DeviceLeavingMidWriteEndsTheWriteAndThePortRecovers) {
    StartDaemon();
    usbsim::setHotplugSignal(SIGUSR1);
    const usbsim::DeviceConfig cfg = usbsim::DeviceConfig::vendorPrinter("FAULT2");
    usbsim::DevicePtr pDevice = usbsim::plug(cfg);
    ConfigurePort("P1", pDevice->deviceName());
    Load();
    void* h = OpenOk("QX/P1");
    ASSERT_TRUE(WaitForPower(h, PH_POWER_READY));

    unsigned long long ullReportedBefore = 0;
    for (size_t ulAfter : {size_t(10), size_t(5000), size_t(65535), size_t(150000)}) {
        usbsim::BulkOutFault fault;
        fault.afterBytes = ulAfter;
        fault.action = usbsim::FaultAction::Disconnect;
        pDevice->addBulkOutFault(fault);
        unsigned int ulWritten = 0;
        EXPECT_EQ(Write(h, ToData(Pattern(300000, static_cast<unsigned int>(ulAfter))), &ulWritten),
                  PHR_DEVICE_NOT_AVAILABLE);
        const size_t ulTaken = pDevice->received().size();
        EXPECT_EQ(ulTaken, ulAfter);
        EXPECT_LE(ulWritten, ulTaken) << "a write reported bytes the device never took";
        if (ulWritten != ulTaken)
            printf("device left after %zu bytes: the write reported %u\n", ulTaken, ulWritten);
        ullReportedBefore += ulWritten;
        ASSERT_TRUE(WaitForPower(h, PH_POWER_UNAVAILABLE));

        // Writes while it is away are refused at once.
        unsigned int ulAway = 77;
        EXPECT_EQ(Write(h, ToData(Pattern(10, 1)), &ulAway), PHR_DEVICE_NOT_AVAILABLE);

        pDevice = usbsim::plug(cfg);
        ASSERT_TRUE(WaitForPower(h, PH_POWER_READY)) << "the port did not bind the device again";
        const std::vector<unsigned char> vecJob = Pattern(70000, 99);
        WriteAll(h, vecJob);
        EXPECT_EQ(pDevice->received(), vecJob);
        usbsim::unplug(pDevice);
        ASSERT_TRUE(WaitForPower(h, PH_POWER_UNAVAILABLE));
        pDevice = usbsim::plug(cfg);
        ASSERT_TRUE(WaitForPower(h, PH_POWER_READY));
    }
    EXPECT_EQ(Close(h), PHR_SUCCESS);
    PrintFigures("device leaving mid-write");
}

// Control requests that time out: the status poll, the write start and the count read-back. The
// write fails or goes on within its bound, what it reports is what the device took, and once the
// requests are answered again the port is ready and prints.
TEST_F(Faults, ControlRequestsTimingOut) {
    StartDaemon();
    usbsim::DevicePtr pDevice = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("FAULT3"));
    ConfigurePort("P1", pDevice->deviceName());
    Load();
    void* h = OpenOk("QX/P1");
    ASSERT_TRUE(WaitForPower(h, PH_POWER_READY));

    unsigned long long ullReported = 0;
    for (uint8_t ucRequest : {uint8_t(1), uint8_t(17), uint8_t(18)}) {
        usbsim::ControlFault fault;
        fault.bmRequestType = ucRequest == 17 ? uint8_t(0x41) : uint8_t(0xC1);
        fault.bRequest = ucRequest;
        fault.count = 3;
        fault.action = usbsim::FaultAction::Timeout;
        pDevice->addControlFault(fault);
        unsigned int ulWritten = 0;
        const unsigned int ul = Write(h, ToData(Pattern(20000, ucRequest)), &ulWritten);
        EXPECT_TRUE(ul == PHR_SUCCESS || ul == PHR_WRITE_TIMEOUT ||
                    ul == PHR_DEVICE_NOT_AVAILABLE || ul == PHR_UNEXPECTED_SYSTEM_ERROR ||
                    ul == PHR_DEVICE_ERROR)
            << std::hex << ul;
        ullReported += ul == PHR_SUCCESS || ul == PHR_WRITE_TIMEOUT ? ulWritten : 0;
        EXPECT_EQ(pDevice->received().size(), ullReported) << "request " << int(ucRequest);
        pDevice->clearFaults();
        // Status requests answer again: the port comes back to ready (or stays there) and prints.
        ASSERT_TRUE(WaitUntil([&] {
            CData out;
            int n = -9;
            if (Ioctl(h, PH_USB_GET_POWER_STATE, CData(), &out) == PHR_SUCCESS && out.Length() == 4)
                memcpy(&n, out.Buffer(), 4);
            if (n == PH_POWER_UNAVAILABLE) Ioctl(h, PH_LOCK_PORT, Word(1), nullptr);
            return n == PH_POWER_READY;
        }));
        const std::vector<unsigned char> vecJob = Pattern(5000, 7);
        unsigned int ulAfter = 0;
        if (Write(h, ToData(vecJob), &ulAfter) == PHR_SUCCESS) ullReported += ulAfter;
        EXPECT_EQ(pDevice->received().size(), ullReported);
    }
    // The pass-through request times out on the device and still comes back within its bound.
    usbsim::ControlFault fault;
    fault.bRequest = 5;
    fault.count = 2;
    fault.action = usbsim::FaultAction::Timeout;
    pDevice->addControlFault(fault);
    CData out;
    const unsigned int ul = Ioctl(h, PH_USB_DEVICE_IOCTL, Word(0x80000005u), &out);
    EXPECT_TRUE(ul == PHR_SUCCESS || ul == PHR_DEVICE_ERROR) << std::hex << ul;
    EXPECT_EQ(Close(h), PHR_SUCCESS);
    PrintFigures("control time-outs");
}

// A printer-class device whose kernel driver will not detach: the open is refused within its bound
// and takes nothing with it; once the driver lets go the same port opens and prints.
TEST_F(Faults, KernelDriverThatWillNotDetach) {
    StartDaemon();
    usbsim::DevicePtr pDevice = usbsim::plug(usbsim::DeviceConfig::printerClassDevice("FAULT4"));
    ConfigurePort("P1", pDevice->deviceName(), false, true);
    Load();
    // The start-up enumeration claims the device for its device-ID probe. Were the driver stuck by
    // then, that probe would keep retrying the detach and could win the claim from the open below
    // the moment the driver lets go; so the fault starts once the probe has given the device back.
    ASSERT_TRUE(pDevice->waitForRelease());
    ASSERT_TRUE(WaitUntil([&] { return pDevice->kernelDriverActive(); }));
    pDevice->failDetach(-1);
    void* h = m_host.NewHandle();
    const unsigned int ul = Open(h, "QX/P1");
    EXPECT_EQ(ul, PHR_PORT_OPEN_FAILURE) << std::hex << ul;
    unsigned int ulWritten = 0;
    EXPECT_EQ(Write(h, ToData(Pattern(10, 1)), &ulWritten), PHR_NOT_CONNECTED);

    pDevice->clearFaults();
    pDevice->failDetach(0);
    void* h2 = OpenOk("QX/P1");
    const std::vector<unsigned char> vecJob = Pattern(9000, 4);
    WriteAll(h2, vecJob);
    EXPECT_EQ(pDevice->received(), vecJob);
    EXPECT_EQ(Close(h2), PHR_SUCCESS);
    PrintFigures("kernel driver");
}

// The log daemon absent, never reading, and closing every connection: the component's calls are not
// held up (each within its bound), the process survives the closed connections (no SIGPIPE), and
// every byte still reaches the device.
TEST_F(Faults, LogDaemonAbsentStuckOrClosing) {
    usbsim::DevicePtr pDevice = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("FAULT5"));
    ConfigurePort("P1", pDevice->deviceName());
    std::vector<unsigned char> vecAll;
    const unsigned long ulWrites = Scaled(400, 40);
    auto Run = [&](const char* pszCase) {
        if (!m_host.IsLoaded()) {
            ASSERT_TRUE(m_host.Load(TALIUN_LIBRARY)) << m_host.LastError();
        }
        ASSERT_EQ(m_host.Initialize(), 1);
        void* h = OpenOk("QX/P1");
        const auto start = Clock::now();
        for (unsigned long i = 0; i < ulWrites; ++i) {
            const std::vector<unsigned char> vecJob =
                Pattern(1 + i % 3000, static_cast<unsigned int>(i));
            WriteAll(h, vecJob);
            vecAll.insert(vecAll.end(), vecJob.begin(), vecJob.end());
            CData out;
            EXPECT_EQ(Ioctl(h, PH_USB_GET_POWER_STATE, CData(), &out), PHR_SUCCESS);
        }
        const double dMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        EXPECT_EQ(Close(h), PHR_SUCCESS);
        m_watchdog.Watch(Call::Unload, "Unload", [&] { m_host.Unload(); });
        printf("log daemon %s: %lu writes and status requests in %.0f ms\n", pszCase, ulWrites,
               dMs);
    };

    // Absent: nothing listens on the socket path.
    Run("absent");

    // Never reading: a listener that accepts (the first 256 connections; then its backlog fills up
    // too) and leaves every byte in the socket.
    {
        const std::string strPath = m_strDir + "/log.sock";
        const int fdListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fdListen, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, strPath.c_str(), strPath.size());
        ASSERT_EQ(bind(fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(fdListen, 64), 0);
        std::atomic<bool> bStop{false};
        std::vector<int> vecAccepted;
        std::thread acceptor([&] {
            const int nFlags = fcntl(fdListen, F_GETFL);
            fcntl(fdListen, F_SETFL, nFlags | O_NONBLOCK);
            while (!bStop.load()) {
                const int fd = vecAccepted.size() < 256 ? accept(fdListen, nullptr, nullptr) : -1;
                if (fd >= 0)
                    vecAccepted.push_back(fd);
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        Run("never reading");
        bStop = true;
        acceptor.join();
        printf("never-reading listener held %zu connections\n", vecAccepted.size());
        for (int fd : vecAccepted) close(fd);
        close(fdListen);
        unlink(strPath.c_str());
    }

    // Closing: a daemon that drops every connection at once, and one that drops them after a few
    // bytes.
    StartDaemon();
    m_pDaemon->SetFault(CLogDaemon::Fault::CloseOnAccept);
    Run("closing on accept");
    m_pDaemon->SetFault(CLogDaemon::Fault::CloseAfterBytes, 40);
    Run("closing after 40 bytes");
    m_pDaemon->SetFault(CLogDaemon::Fault::None);

    EXPECT_EQ(pDevice->received(), vecAll);
    PrintFigures("log daemon faults");
}

// Install and Remove with a configuration file that cannot be written (its folder is a file, or the
// path is a folder): both fail within their bound and leave what is there untouched.
TEST_F(Faults, ConfigurationFileUnwritable) {
    StartDaemon();
    Load();
    const std::string strFile = m_strDir + "/plain-file";
    { std::ofstream(strFile) << "not a folder\n"; }
    const std::string strDir = m_strDir + "/a-folder.configuration";
    ASSERT_EQ(mkdir(strDir.c_str(), 0700), 0);
    for (const std::string& strPath : {strFile + "/taliun.configuration", strDir}) {
        setenv("TALIUN_CONFIGURATION", strPath.c_str(), 1);
        const int nInstall = m_watchdog.Watch(Call::Other, "Install",
                                              [&] { return m_host.Install("libTaliunqxusb.so"); });
        EXPECT_EQ(nInstall, 0) << strPath;
        const int nRemove =
            m_watchdog.Watch(Call::Other, "Remove", [&] { return m_host.Remove(); });
        EXPECT_EQ(nRemove, 0) << strPath;
    }
    std::ifstream in(strFile);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), "not a folder\n");
    struct stat st;
    ASSERT_EQ(stat(strDir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    setenv("TALIUN_CONFIGURATION", (m_strDir + "/taliun.configuration").c_str(), 1);
    EXPECT_EQ(m_host.Install("libTaliunqxusb.so"), 1);
    PrintFigures("configuration file");
}

// Either part of a printer with a customer display, released on request and taken back while the
// other part is open, must keep writing to its own channel (found by the host storm: the part took
// over the other part's device object when it shared the open device again, kind included).
TEST_F(Faults, TwoPartDeviceTakenBackKeepsItsChannels) {
    StartDaemon();
    usbsim::setHotplugSignal(SIGUSR1);
    const usbsim::DeviceConfig cfg = usbsim::DeviceConfig::displayPrinter("FAULT6");
    usbsim::DevicePtr pDevice = usbsim::plug(cfg);
    ConfigurePort("P1", pDevice->deviceName(), true);
    usbsim::unplug(pDevice);
    // The device arrives once both parts are open: the bus scan at load, which re-opens open
    // parts and reports them unavailable meanwhile, then has nothing to race with below.
    Load();
    void* hPrinter = OpenOk("QX/P1");
    void* hDisplay = OpenOk("JV/P1");
    pDevice = usbsim::plug(cfg);
    ASSERT_TRUE(WaitForPower(hPrinter, PH_POWER_READY));
    ASSERT_TRUE(WaitForPower(hDisplay, PH_POWER_READY));
    // A released part reports itself unavailable once its monitoring thread looks, and keeps
    // that state until the thread looks again after the take-back; a write meanwhile is refused
    // with nothing sent, and the host tries again.
    auto writeOnceReady = [&](void* h, const std::vector<unsigned char>& vecData) {
        unsigned int ulResult = PHR_DEVICE_NOT_AVAILABLE, ulWritten = 0;
        for (int i = 0; i < 200 && ulResult == PHR_DEVICE_NOT_AVAILABLE && ulWritten == 0; ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ulResult = Write(h, ToData(vecData), &ulWritten);
        }
        EXPECT_EQ(ulResult, PHR_SUCCESS);
        EXPECT_EQ(ulWritten, vecData.size());
    };
    std::vector<std::vector<unsigned char>> vecPrinter, vecDisplay;
    unsigned int ulJob = 0;
    for (void* hReleased : {hDisplay, hPrinter}) {
        EXPECT_EQ(Ioctl(hReleased, PH_USB_SET_DISCONNECTED, Word(1), nullptr), PHR_SUCCESS);
        EXPECT_EQ(Ioctl(hReleased, PH_LOCK_PORT, Word(1), nullptr), PHR_SUCCESS);
        vecPrinter.push_back(Pattern(100, ++ulJob));
        writeOnceReady(hPrinter, vecPrinter.back());
        vecDisplay.push_back(Pattern(100, ++ulJob));
        writeOnceReady(hDisplay, vecDisplay.back());
    }
    EXPECT_EQ(pDevice->received(usbsim::Channel::Printer), Joined(vecPrinter));
    EXPECT_EQ(pDevice->received(usbsim::Channel::Display), Joined(vecDisplay));
    EXPECT_EQ(Close(hDisplay), PHR_SUCCESS);
    EXPECT_EQ(Close(hPrinter), PHR_SUCCESS);
}

}  // namespace
