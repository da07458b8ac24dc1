// Path splitting and printer model-name comparison: plain text, no document involved.

#include <climits>
#include <cstdint>
#include <cstring>

#include "property/PropertyHandler.h"

std::vector<std::string> CPropertyHandler::Split(const std::string& strPath) {
    std::vector<std::string> listSegments;
    size_t nPos = strPath.find_first_not_of('/');
    while (nPos != std::string::npos) {
        size_t nEnd = strPath.find('/', nPos);
        if (nEnd == std::string::npos) {
            listSegments.push_back(strPath.substr(nPos));
            break;
        }
        listSegments.push_back(strPath.substr(nPos, nEnd - nPos));
        nPos = strPath.find_first_not_of('/', nEnd);
    }
    return listSegments;
}

int CPropertyHandler::GetInteger(const char*& pszCursor) {
    // Device-supplied names can carry arbitrarily long digit runs; saturate instead of
    // overflowing so that the comparison stays defined.
    int nValue = 0;
    while (*pszCursor >= '0' && *pszCursor <= '9') {
        int nDigit = *pszCursor - '0';
        if (nValue > (INT_MAX - nDigit) / 10)
            nValue = INT_MAX;
        else
            nValue = nValue * 10 + nDigit;
        ++pszCursor;
    }
    return nValue;
}

static unsigned RomanLetterValue(char c) {
    switch (c) {
        case 'I':
        case 'i':
            return 1;
        case 'V':
        case 'v':
            return 5;
        case 'X':
        case 'x':
            return 10;
        case 'L':
        case 'l':
            return 50;
        case 'C':
        case 'c':
            return 100;
        case 'D':
        case 'd':
            return 500;
        case 'M':
        case 'm':
            return 1000;
        default:
            return 0;
    }
}

unsigned CPropertyHandler::GetRomanNumeral(const char*& pszCursor) {
    // Signed 64-bit with every term clamped: thousands of letters must neither overflow nor
    // wrap into a small generation number. The first group is never subtractive, also when it
    // is a run of more than five M.
    const int64_t nCap = UINT_MAX;
    int64_t nSum = 0;
    int64_t nPrevGroup = nCap;
    int64_t nPrevLetter = nCap;
    while (*pszCursor != '\0') {
        unsigned ulLetter = RomanLetterValue(*pszCursor);
        if (ulLetter == 0) break;
        const char* pszRunEnd = pszCursor;
        int64_t nRun = 0;
        while (*pszRunEnd != '\0' && RomanLetterValue(*pszRunEnd) == ulLetter) {
            if (nRun < nCap) ++nRun;
            ++pszRunEnd;
        }
        int64_t nGroup = static_cast<int64_t>(ulLetter) * nRun;
        if (nGroup > nCap) nGroup = nCap;
        if (nGroup > nPrevGroup) {
            if (nPrevLetter < nPrevGroup) break;
            nSum = nSum + nGroup - 2 * nPrevGroup;
        } else {
            nSum += nGroup;
        }
        if (nSum > nCap)
            nSum = nCap;
        else if (nSum < 0)
            nSum = 0;
        pszCursor = pszRunEnd;
        nPrevLetter = ulLetter;
        nPrevGroup = nGroup;
    }
    return static_cast<unsigned>(nSum);
}

bool CPropertyHandler::IsValidUpdate(const char* pszConfigured, const char* pszCandidate) {
    if (pszConfigured == nullptr || pszCandidate == nullptr) return false;

    static const char* const s_aszPrefixes[] = {"QX-", "NF-", "HW-"};
    const char* pszConfiguredAt = nullptr;
    const char* pszPrefix = nullptr;
    for (const char* pszTry : s_aszPrefixes) {
        pszConfiguredAt = strstr(pszConfigured, pszTry);
        if (pszConfiguredAt != nullptr) {
            pszPrefix = pszTry;
            break;
        }
    }
    if (pszPrefix == nullptr) return false;
    const char* pszCandidateAt = strstr(pszCandidate, pszPrefix);
    if (pszCandidateAt == nullptr) return false;

    const size_t nPrefixLength = strlen(pszPrefix);
    const char* pszConfiguredCursor = pszConfiguredAt + nPrefixLength;
    const char* pszCandidateCursor = pszCandidateAt + nPrefixLength;
    // A name that ends right after the prefix has no series letter; reading on would run past
    // its terminator.
    if (*pszConfiguredCursor == '\0' || *pszConfiguredCursor != *pszCandidateCursor) return false;
    const char cSeries = *pszConfiguredCursor;
    ++pszConfiguredCursor;
    ++pszCandidateCursor;

    int nConfiguredNumber = GetInteger(pszConfiguredCursor);
    int nCandidateNumber = GetInteger(pszCandidateCursor);
    // Both are in [0, INT_MAX], so the difference cannot overflow.
    int nDifference = nConfiguredNumber - nCandidateNumber;
    if (cSeries == 'J' && (nDifference == 100 || nDifference == -100)) return true;
    if (nDifference != 0) return false;

    unsigned ulConfiguredGeneration = GetRomanNumeral(pszConfiguredCursor);
    unsigned ulCandidateGeneration = GetRomanNumeral(pszCandidateCursor);
    return ulConfiguredGeneration <= ulCandidateGeneration;
}
