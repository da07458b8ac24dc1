#pragma once
// CData: the byte buffer that crosses the host boundary by value.
//
// The object is exactly one pointer, null for the empty buffer, or pointing to a shared block:
//
//   offset 0  int32   reference count (atomic increment / decrement only)
//   offset 4  uint32  payload length
//   offset 8  payload (length bytes, nothing after it)
//
// The block is one `new unsigned char[length + 8]` array released with `delete[]` by whichever side
// drops the last reference, so host and component must share this layout and the C++ runtime's
// allocator. Everything is inline so that a host needs this header only. No operation writes into
// the payload of an existing block: a change always builds a new block.

#include <cstdint>
#include <cstring>
#include <new>

class CData {
public:
    CData() noexcept : m_pBlock(nullptr) {}

    CData(const unsigned char* pSource, unsigned int ulLength) noexcept : m_pBlock(nullptr) {
        if (pSource != nullptr && ulLength != 0) m_pBlock = NewBlock(pSource, ulLength, nullptr, 0);
    }

    // Concatenation of two parts; an absent part (null or length 0) is left out.
    CData(const unsigned char* pFirst, unsigned int ulFirst, const unsigned char* pSecond,
          unsigned int ulSecond) noexcept
        : m_pBlock(nullptr) {
        const bool fFirst = pFirst != nullptr && ulFirst != 0;
        const bool fSecond = pSecond != nullptr && ulSecond != 0;
        if (fFirst)
            m_pBlock =
                NewBlock(pFirst, ulFirst, fSecond ? pSecond : nullptr, fSecond ? ulSecond : 0);
        else if (fSecond)
            m_pBlock = NewBlock(pSecond, ulSecond, nullptr, 0);
    }

    CData(const CData& other) noexcept : m_pBlock(other.m_pBlock) { AddReference(m_pBlock); }

    CData& operator=(const CData& other) noexcept {
        // Take the new reference first so that self-assignment never drops the block.
        unsigned char* pNew = other.m_pBlock;
        AddReference(pNew);
        unsigned char* pOld = m_pBlock;
        m_pBlock = pNew;
        ClearReference(pOld);
        return *this;
    }

    ~CData() {
        ClearReference(m_pBlock);
        m_pBlock = nullptr;
    }

    // Drops one reference of a raw block pointer (null: no effect); frees the block with the last.
    static void ClearReference(void* pBlock) noexcept {
        if (pBlock == nullptr) return;
        unsigned char* p = static_cast<unsigned char*>(pBlock);
        if (__atomic_sub_fetch(Count(p), 1, __ATOMIC_ACQ_REL) <= 0) delete[] p;
    }

    // Payload pointer (null when empty) and length (0 when empty); no bounds test on access.
    unsigned char* Buffer() const noexcept {
        return m_pBlock != nullptr ? m_pBlock + kHeaderSize : nullptr;
    }
    unsigned int Length() const noexcept {
        if (m_pBlock == nullptr) return 0;
        std::uint32_t ulLength;
        std::memcpy(&ulLength, m_pBlock + 4, sizeof ulLength);
        return ulLength;
    }
    bool IsEmpty() const noexcept { return Length() == 0; }

private:
    static constexpr unsigned int kHeaderSize = 8;

    static std::int32_t* Count(unsigned char* pBlock) noexcept {
        // new[] of unsigned char returns memory aligned for any fundamental type, so the count at
        // offset 0 is a properly aligned int32.
        return reinterpret_cast<std::int32_t*>(pBlock);
    }

    static void AddReference(unsigned char* pBlock) noexcept {
        if (pBlock != nullptr) __atomic_add_fetch(Count(pBlock), 1, __ATOMIC_RELAXED);
    }

    // A new block with count 1 holding the first part followed by the second. Nothing may be thrown
    // across the host boundary, so a length that does not fit 32 bits or a failed allocation gives
    // null (the empty buffer).
    static unsigned char* NewBlock(const unsigned char* pFirst, unsigned int ulFirst,
                                   const unsigned char* pSecond, unsigned int ulSecond) noexcept {
        const std::uint64_t ullTotal = std::uint64_t(ulFirst) + ulSecond;
        if (ullTotal > 0xFFFFFFFFu) return nullptr;
        unsigned char* p = new (std::nothrow) unsigned char[ullTotal + kHeaderSize]();
        if (p == nullptr) return nullptr;
        const std::int32_t lCount = 1;
        const std::uint32_t ulLength = static_cast<std::uint32_t>(ullTotal);
        std::memcpy(p, &lCount, sizeof lCount);
        std::memcpy(p + 4, &ulLength, sizeof ulLength);
        std::memcpy(p + kHeaderSize, pFirst, ulFirst);
        if (ulSecond != 0) std::memcpy(p + kHeaderSize + ulFirst, pSecond, ulSecond);
        return p;
    }

    unsigned char* m_pBlock;
};

static_assert(sizeof(CData) == sizeof(void*), "CData is exactly one pointer (host contract)");
