// Parsers of the identification answers.
#include "portmanager/IdentifyAnswer.h"

#include <string.h>

namespace {

constexpr unsigned char kNoDeviceID = 255;

// An unsolicited status block: four bytes, skipped whole.
bool IsStatusBlock(unsigned char c) { return (c & 0x93) == 0x10; }

// First byte of an information block that runs up to a zero byte.
bool IsInfoBlock(unsigned char c) { return (c & 0xF1) == 0x31; }

bool HasPair(const unsigned char* pData, size_t ulLength, size_t i, unsigned char a,
             unsigned char b) {
    return i + 2 < ulLength && pData[i + 1] == a && pData[i + 2] == b;
}

// Position of the first zero byte at or after ulFrom, or ulLength when none has arrived yet.
size_t FindZero(const unsigned char* pData, size_t ulLength, size_t ulFrom) {
    if (ulFrom >= ulLength) return ulLength;
    const void* p = memchr(pData + ulFrom, 0, ulLength - ulFrom);
    return p != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(p) - pData)
                        : ulLength;
}

// Copies the name starting at ulFrom into the model buffer (zero-terminated, truncated to fit)
// and returns where parsing goes on: after the name's zero byte, or past the end while the name
// is still incomplete. A name longer than the buffer is skipped to its end: its tail is part of
// the name and must not be read as blocks of its own (a letter would pass for a DeviceID).
size_t CopyName(const unsigned char* pData, size_t ulLength, size_t ulFrom, char* pszModel,
                size_t ulModelSize) {
    size_t i = ulFrom;
    if (pszModel != nullptr && ulModelSize != 0) {
        size_t ulOut = 0;
        while (i < ulLength && pData[i] != 0 && ulOut + 1 < ulModelSize)
            pszModel[ulOut++] = static_cast<char>(pData[i++]);
        pszModel[ulOut] = 0;
    }
    return FindZero(pData, ulLength, i) + 1;
}

void ResetOutputs(char* pszModel, size_t ulModelSize, unsigned char* pucDeviceID) {
    if (pszModel != nullptr && ulModelSize != 0) memset(pszModel, 0, ulModelSize);
    if (pucDeviceID != nullptr) *pucDeviceID = kNoDeviceID;
}

}  // namespace

CIdentifyAnswer::Outcome CIdentifyAnswer::ParseOnline(const unsigned char* pData, size_t ulLength,
                                                      char* pszModel, size_t ulModelSize,
                                                      unsigned char* pucDeviceID,
                                                      std::string* pstrBootKey, bool* pbBootKey) {
    ResetOutputs(pszModel, ulModelSize, pucDeviceID);
    if (pbBootKey != nullptr) *pbBootKey = false;
    if (pData == nullptr) return NONE;
    Outcome result = NONE;
    bool bModelSeen = false;
    size_t i = 0;
    while (i < ulLength) {
        const unsigned char c = pData[i];
        if (IsStatusBlock(c)) {
            i += 4;
        } else if (c == 0x31) {
            // Only a block whose zero byte has arrived is a key: a key cut at a read boundary
            // would never match the key a port claims with.
            const size_t ulEnd = FindZero(pData, ulLength, i + 1);
            if (ulEnd == ulLength) break;
            if (pstrBootKey != nullptr)
                pstrBootKey->assign(reinterpret_cast<const char*>(pData + i + 1), ulEnd - i - 1);
            if (pbBootKey != nullptr) *pbBootKey = true;
            result = BOOT_KEY;
            i = ulEnd + 1;
        } else if (c == 0x37 && HasPair(pData, ulLength, i, 0x4D, 0x43)) {
            i = CopyName(pData, ulLength, i + 3, pszModel, ulModelSize);
            bModelSeen = true;
        } else if (IsInfoBlock(c)) {
            i = FindZero(pData, ulLength, i + 1) + 1;
        } else if (c == 0x5F) {
            if (bModelSeen)
                i = FindZero(pData, ulLength, i + 1) + 1;
            else
                i = CopyName(pData, ulLength, i + 1, pszModel, ulModelSize);
        } else if (c != 0 && (c & 0x90) == 0) {
            if (pucDeviceID != nullptr) *pucDeviceID = c;
            return DEVICE_ID;
        } else {
            i += 1;
        }
    }
    return result;
}

CIdentifyAnswer::Outcome CIdentifyAnswer::ParseOffline(const unsigned char* pData, size_t ulLength,
                                                       char* pszModel, size_t ulModelSize,
                                                       unsigned char* pucDeviceID) {
    ResetOutputs(pszModel, ulModelSize, pucDeviceID);
    if (pData == nullptr) return NONE;
    size_t i = 0;
    while (i < ulLength) {
        const unsigned char c = pData[i];
        if (IsStatusBlock(c)) {
            i += 4;
        } else if (IsInfoBlock(c) && c != 0x37) {
            i = FindZero(pData, ulLength, i + 1) + 1;
        } else if (c == 0x37) {
            if (HasPair(pData, ulLength, i, 0x4C, 0x31)) {
                // The DeviceID byte may still be on its way.
                if (i + 3 >= ulLength) return NONE;
                if (pucDeviceID != nullptr) *pucDeviceID = pData[i + 3];
                return DEVICE_ID;
            }
            if (HasPair(pData, ulLength, i, 0x4D, 0x43))
                i = CopyName(pData, ulLength, i + 3, pszModel, ulModelSize);
            else
                i = FindZero(pData, ulLength, i + 1) + 1;
        } else {
            i += 1;
        }
    }
    return NONE;
}
