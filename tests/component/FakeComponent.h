#pragma once
// Test double for the connection manager's component type: records every call, answers with
// results the test sets, and counts its live objects.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "component/ComponentInterface.h"
#include "component/ConnectionManager.h"
#include "contract/PortHandler.h"

struct FAKE_CALL {
    std::string strOperation; // Open, ClosePrepare, Close, Write, Ioctl, ComponentIoctl
    void* hHandle;
    std::string strArgument;  // Open: the kind; Ioctl: the code in hex
    const void* pComponent;
    std::string strName;      // the component object's name
};

class CFakeComponent : public CComponentInterface {
public:
    explicit CFakeComponent(std::string strName) : CComponentInterface(std::move(strName))
    {
        ++s_nLive;
        ++s_nCreated;
    }
    ~CFakeComponent() override { --s_nLive; }

    unsigned int Open(void* hHandle, std::string strKind) override
    {
        Record("Open", hHandle, strKind);
        std::function<void(void*)> hook;
        {
            std::lock_guard<std::mutex> guard(s_mutex);
            hook = s_onOpen;
        }
        if (hook)
            hook(hHandle);
        // Ports named FAIL... are not configured.
        if (m_strName.compare(0, 4, "FAIL") == 0)
            return PHR_INVALID_CONFIGURATION;
        return s_ulOpenResult.load();
    }
    void ClosePrepare(void* hHandle) override
    {
        Record("ClosePrepare", hHandle, std::string());
        std::function<void(void*)> hook;
        {
            std::lock_guard<std::mutex> guard(s_mutex);
            hook = s_onClosePrepare;
        }
        if (hook)
            hook(hHandle);
    }
    unsigned int Close(void* hHandle, unsigned int ulLower) override
    {
        Record("Close", hHandle, std::to_string(ulLower));
        return s_ulCloseResult.load();
    }
    unsigned int Write(void* hHandle, CData data, unsigned int* pulWritten) override
    {
        Record("Write", hHandle, std::string());
        if (pulWritten != nullptr)
            *pulWritten = data.Length();
        return s_ulWriteResult.load();
    }
    unsigned int Ioctl(void* hHandle, unsigned int ulCode, CData, CData*) override
    {
        Record("Ioctl", hHandle, Hex(ulCode));
        return s_ulIoctlResult.load();
    }
    unsigned int Event(void*, unsigned int, CData) override { return 0; }

    static unsigned int Ioctl(unsigned int ulCode, CData, CData* pOut)
    {
        RecordStatic("ComponentIoctl", nullptr, Hex(ulCode), nullptr, std::string());
        if (pOut != nullptr) {
            static const unsigned char kAnswer[] = {'o', 'k'};
            *pOut = CData(kAnswer, sizeof kAnswer);
        }
        return s_ulComponentIoctlResult.load();
    }

    static void Reset()
    {
        std::lock_guard<std::mutex> guard(s_mutex);
        s_vecCalls.clear();
        s_onClosePrepare = nullptr;
        s_onOpen = nullptr;
        s_ulOpenResult = PHR_SUCCESS;
        s_ulCloseResult = PHR_SUCCESS;
        s_ulWriteResult = PHR_SUCCESS;
        s_ulIoctlResult = PHR_NOT_SUPPORTED;
        s_ulComponentIoctlResult = PHR_SUCCESS;
    }
    static std::vector<FAKE_CALL> Calls()
    {
        std::lock_guard<std::mutex> guard(s_mutex);
        return s_vecCalls;
    }
    static void SetClosePrepareHook(std::function<void(void*)> hook)
    {
        std::lock_guard<std::mutex> guard(s_mutex);
        s_onClosePrepare = std::move(hook);
    }
    static void SetOpenHook(std::function<void(void*)> hook)
    {
        std::lock_guard<std::mutex> guard(s_mutex);
        s_onOpen = std::move(hook);
    }
    static std::string Hex(unsigned int ul)
    {
        char sz[16];
        snprintf(sz, sizeof sz, "%08X", ul);
        return sz;
    }

    static inline std::atomic<int> s_nLive{0};
    static inline std::atomic<int> s_nCreated{0};
    static inline std::atomic<unsigned int> s_ulOpenResult{PHR_SUCCESS};
    static inline std::atomic<unsigned int> s_ulCloseResult{PHR_SUCCESS};
    static inline std::atomic<unsigned int> s_ulWriteResult{PHR_SUCCESS};
    static inline std::atomic<unsigned int> s_ulIoctlResult{PHR_NOT_SUPPORTED};
    static inline std::atomic<unsigned int> s_ulComponentIoctlResult{PHR_SUCCESS};
    // Off for the stress test, which makes far too many calls to keep.
    static inline std::atomic<bool> s_fRecord{true};

private:
    void Record(const char* pszOperation, void* hHandle, const std::string& strArgument)
    {
        RecordStatic(pszOperation, hHandle, strArgument, this, m_strName);
    }
    static void RecordStatic(const char* pszOperation, void* hHandle, const std::string& strArgument,
                             const void* pComponent, const std::string& strName)
    {
        if (!s_fRecord.load())
            return;
        std::lock_guard<std::mutex> guard(s_mutex);
        s_vecCalls.push_back(FAKE_CALL{pszOperation, hHandle, strArgument, pComponent, strName});
    }

    static inline std::mutex s_mutex;
    static inline std::vector<FAKE_CALL> s_vecCalls;
    static inline std::function<void(void*)> s_onClosePrepare;
    static inline std::function<void(void*)> s_onOpen;
};

typedef CConnectionManager<CFakeComponent, true> CFakeManager;
