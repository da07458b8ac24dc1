#pragma once
// CRefCount: an atomic reference count, for objects whose last user releases them.

#include <atomic>

class CRefCount {
public:
    explicit CRefCount(int nInitial = 1) noexcept : m_nCount(nInitial) {}
    CRefCount(const CRefCount&) = delete;
    CRefCount& operator=(const CRefCount&) = delete;

    // Takes one more reference; the caller already holds one, so the count cannot reach 0
    // meanwhile and no ordering is needed. Returns the new count.
    int Add() noexcept { return m_nCount.fetch_add(1, std::memory_order_relaxed) + 1; }

    // Gives one reference back; true when it was the last. Release and acquire: whoever acts on
    // the last drop (closes, frees) sees every write the other holders made before theirs.
    bool Drop() noexcept { return m_nCount.fetch_sub(1, std::memory_order_acq_rel) <= 1; }

    // Acquire, for a waiter that goes on once the count reaches 0.
    int Count() const noexcept { return m_nCount.load(std::memory_order_acquire); }

private:
    std::atomic<int> m_nCount;
};
