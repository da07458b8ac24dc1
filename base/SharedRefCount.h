#pragma once
// CSharedRefCount: one reference on a heap CRefCount that all copies of a holder share, so that
// value objects count their live copies. Copying takes a reference, destruction and assignment
// give one back, and the last holder frees the counter. An empty holder counts nothing.
//
// A class that must act on its last copy (close a device, delete a shared object) calls Release
// itself before the holder is overwritten or destroyed; assignment and destruction only free the
// counter.

#include "base/RefCount.h"

class CSharedRefCount {
public:
    CSharedRefCount() noexcept = default;
    CSharedRefCount(const CSharedRefCount& other) noexcept { Share(other); }
    CSharedRefCount(CSharedRefCount&& other) noexcept : m_pCount(other.m_pCount) {
        other.m_pCount = nullptr;
    }
    CSharedRefCount& operator=(const CSharedRefCount& other) noexcept {
        Share(other);
        return *this;
    }
    CSharedRefCount& operator=(CSharedRefCount&& other) noexcept {
        if (this != &other) {
            Release();
            m_pCount = other.m_pCount;
            other.m_pCount = nullptr;
        }
        return *this;
    }
    ~CSharedRefCount() { Release(); }

    // A holder of a new counter, the first reference on it.
    static CSharedRefCount New() { return CSharedRefCount(new CRefCount(1)); }

    // Gives up this holder's reference to take one on other's counter; returns the count after
    // taking it (0 when other is empty).
    int Share(const CSharedRefCount& other) noexcept {
        CRefCount* pCount = other.m_pCount;
        // Taken before the old one is given back, so sharing with itself never frees the counter.
        const int nCount = pCount != nullptr ? pCount->Add() : 0;
        Release();
        m_pCount = pCount;
        return nCount;
    }

    // Gives up this holder's reference and leaves it empty; true when it was the last one (the
    // counter is gone then). An empty holder gives back nothing and returns false.
    bool Release() noexcept {
        CRefCount* pCount = m_pCount;
        m_pCount = nullptr;
        if (pCount == nullptr || !pCount->Drop()) return false;
        delete pCount;
        return true;
    }

    // One more count on the shared counter that no holder gives back; for callers that keep
    // their own books. Returns the new count, 0 when empty.
    int AddReference() const noexcept { return m_pCount != nullptr ? m_pCount->Add() : 0; }

    bool IsSet() const noexcept { return m_pCount != nullptr; }
    int Count() const noexcept { return m_pCount != nullptr ? m_pCount->Count() : 0; }
    // Both hold the same counter (or both are empty).
    bool operator==(const CSharedRefCount& other) const noexcept {
        return m_pCount == other.m_pCount;
    }
    bool operator!=(const CSharedRefCount& other) const noexcept { return !(*this == other); }

private:
    explicit CSharedRefCount(CRefCount* pCount) noexcept : m_pCount(pCount) {}

    CRefCount* m_pCount = nullptr;
};
