#include "mappingtool/core/ProfileSection.h"

#include <algorithm>
#include <vector>

#include "mappingtool/core/Utf.h"

namespace quillon {
namespace {

bool IsProfileSpace(char16_t c) {
    // Ctrl-Z counts as blank: old DOS editors ended files with it.
    return c == u' ' || (c >= u'\t' && c <= u'\r') || c == 0x1A;
}

char16_t AsciiLower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

bool SameSectionName(const char16_t* pName, size_t nName, const std::u16string& strWanted) {
    if (nName != strWanted.size()) return false;
    for (size_t i = 0; i < nName; ++i) {
        if (AsciiLower(pName[i]) != AsciiLower(strWanted[i])) return false;
    }
    return true;
}

struct Entry {
    const char16_t* pName;
    size_t nName;
    const char16_t* pValue;  // null for a line without "="
    size_t nValue;
};

// Units up to the first zero: the Windows call copies entries as zero-terminated strings.
size_t CLength(const char16_t* p, size_t n) {
    const char16_t* pZero = std::find(p, p + n, u'\0');
    return static_cast<size_t>(pZero - p);
}

class CSectionWriter {
public:
    CSectionWriter(char16_t* pBuffer, uint32_t ulSize)
        : m_pBuffer(pBuffer), m_pOut(pBuffer), m_ulLeft(ulSize) {}

    // Appends one string cut to the room left; false once the buffer is exhausted.
    bool Append(const char16_t* p, size_t n) {
        size_t nCopy = std::min<size_t>(CLength(p, n), m_ulLeft - 2);
        std::copy(p, p + nCopy, m_pOut);
        m_pOut[nCopy] = u'\0';
        m_pOut += nCopy + 1;
        m_ulLeft -= static_cast<uint32_t>(nCopy + 1);
        return m_ulLeft >= 2;
    }
    // Turns the terminator of the string just written into "=" so that the next string continues
    // it.
    void Join() { m_pOut[-1] = u'='; }
    uint32_t Left() const { return m_ulLeft; }

    uint32_t Finish(uint32_t ulSize) {
        *m_pOut = u'\0';
        if (m_ulLeft <= 1) {
            if (m_pOut > m_pBuffer) m_pOut[-1] = u'\0';
            return ulSize - 2;
        }
        return ulSize - m_ulLeft;
    }

private:
    char16_t* m_pBuffer;
    char16_t* m_pOut;
    uint32_t m_ulLeft;
};

}  // namespace

std::u16string DecodeProfileFile(const uint8_t* pData, size_t nSize) {
    if (nSize >= 3 && pData[0] == 0xEF && pData[1] == 0xBB && pData[2] == 0xBF) {
        return Utf8ToUtf16(reinterpret_cast<const char*>(pData + 3), nSize - 3);
    }
    if (nSize >= 2 &&
        ((pData[0] == 0xFF && pData[1] == 0xFE) || (pData[0] == 0xFE && pData[1] == 0xFF))) {
        const bool bLittle = pData[0] == 0xFF;
        std::u16string str;
        str.reserve(nSize / 2);
        // An odd last byte still yields a unit, as the Windows reader rounds the length up; its
        // missing byte counts as zero.
        for (size_t i = 2; i < nSize; i += 2) {
            const unsigned uFirst = pData[i];
            const unsigned uSecond = i + 1 < nSize ? pData[i + 1] : 0;
            str.push_back(static_cast<char16_t>(bLittle ? (uFirst | (uSecond << 8))
                                                        : ((uFirst << 8) | uSecond)));
        }
        return str;
    }
    return Utf8ToUtf16(reinterpret_cast<const char*>(pData), nSize);
}

uint32_t ReadProfileSection(const std::u16string& strText, const std::u16string& strSection,
                            char16_t* pBuffer, uint32_t ulSize) {
    if (pBuffer == nullptr || ulSize < 2) return 0;

    std::vector<Entry> vecEntries;
    bool bInSection = false;
    bool bFound = false;
    bool bPrevNameless = false;  // the previous entry of the section has an empty name
    const char16_t* pText = strText.data();
    const char16_t* pEnd = pText + strText.size();
    while (pText < pEnd) {
        const char16_t* pLineEnd = pText;
        while (pLineEnd < pEnd && *pLineEnd != u'\n' && *pLineEnd != u'\r') ++pLineEnd;
        const char16_t* pStart = pText;
        pText = pLineEnd < pEnd ? pLineEnd + 1 : pEnd;
        while (pStart < pLineEnd && IsProfileSpace(*pStart)) ++pStart;
        while (pLineEnd > pStart && IsProfileSpace(pLineEnd[-1])) --pLineEnd;
        if (pStart == pLineEnd) continue;

        if (*pStart == u'[') {
            const char16_t* pClose = pLineEnd;
            while (pClose > pStart && pClose[-1] != u']') --pClose;
            if (pClose > pStart + 1) {
                if (bInSection) break;  // only the first section of a name counts
                const char16_t* pName = pStart + 1;
                const char16_t* pNameEnd = pClose - 1;
                while (pName < pNameEnd && IsProfileSpace(*pName)) ++pName;
                while (pNameEnd > pName && IsProfileSpace(pNameEnd[-1])) --pNameEnd;
                bInSection =
                    SameSectionName(pName, static_cast<size_t>(pNameEnd - pName), strSection);
                bFound = bFound || bInSection;
                bPrevNameless = false;
                continue;
            }
        }
        if (!bInSection) continue;

        Entry entry{pStart, static_cast<size_t>(pLineEnd - pStart), nullptr, 0};
        const char16_t* pEqual = std::find(pStart, pLineEnd, u'=');
        if (pEqual != pLineEnd) {
            const char16_t* pNameEnd = pEqual;
            while (pNameEnd > pStart && IsProfileSpace(pNameEnd[-1])) --pNameEnd;
            const char16_t* pValue = pEqual + 1;
            while (pValue < pLineEnd && IsProfileSpace(*pValue)) ++pValue;
            entry.nName = static_cast<size_t>(pNameEnd - pStart);
            entry.pValue = pValue;
            entry.nValue = static_cast<size_t>(pLineEnd - pValue);
        }
        // A nameless line right after another entry with an empty name is dropped by the Windows
        // reader.
        if (entry.nName == 0 && bPrevNameless) continue;
        vecEntries.push_back(entry);
        bPrevNameless = CLength(entry.pName, entry.nName) == 0;
    }

    if (!bFound) {
        pBuffer[0] = pBuffer[1] = u'\0';
        return 0;
    }
    CSectionWriter writer(pBuffer, ulSize);
    for (const Entry& entry : vecEntries) {
        if (writer.Left() <= 2) break;
        const size_t nName = CLength(entry.pName, entry.nName);
        if (nName == 0 && entry.pValue == nullptr) continue;
        if (nName > 0 && entry.pName[0] == u';') continue;
        if (!writer.Append(entry.pName, entry.nName)) break;
        if (entry.pValue != nullptr) {
            writer.Join();
            if (!writer.Append(entry.pValue, entry.nValue)) break;
        }
    }
    return writer.Finish(ulSize);
}

}  // namespace quillon
