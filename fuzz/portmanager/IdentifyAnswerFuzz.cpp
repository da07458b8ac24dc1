// Arbitrary identification answer streams for both answer parsers, delivered in pieces the way
// the identification loop receives them: appended to a 1024-byte buffer and parsed again from its
// start after every piece. Each parse sees an exactly sized heap copy, so a read past the received
// bytes is caught by the address sanitizer.
//
// Input: byte 0 picks the model buffer size (1 to 256) and seeds the piece lengths; the rest is
// the answer stream.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

#include "portmanager/IdentifyAnswer.h"

namespace {

void Check(bool bCondition)
{
    if (!bCondition)
        __builtin_trap();
}

void CheckModel(const char* pszModel, size_t ulModelSize)
{
    Check(memchr(pszModel, 0, ulModelSize) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize)
{
    if (ulSize < 1)
        return 0;
    const size_t ulModelSize = 1 + pData[0] % 256;
    unsigned int ulSeed = pData[0] * 2654435761u + 1;
    const uint8_t* pStream = pData + 1;
    const size_t ulStream = ulSize - 1;

    unsigned char aucReceived[1024];
    size_t ulReceived = 0;
    size_t ulConsumed = 0;
    while (ulConsumed < ulStream && ulReceived < sizeof(aucReceived)) {
        ulSeed = ulSeed * 1103515245u + 12345u;
        size_t ulPiece = 1 + (ulSeed >> 16) % 96;
        if (ulPiece > ulStream - ulConsumed)
            ulPiece = ulStream - ulConsumed;
        if (ulPiece > sizeof(aucReceived) - ulReceived)
            ulPiece = sizeof(aucReceived) - ulReceived;
        memcpy(aucReceived + ulReceived, pStream + ulConsumed, ulPiece);
        ulReceived += ulPiece;
        ulConsumed += ulPiece;

        std::unique_ptr<unsigned char[]> pExact(new unsigned char[ulReceived]);
        memcpy(pExact.get(), aucReceived, ulReceived);
        std::unique_ptr<char[]> pModel(new char[ulModelSize]);

        unsigned char ucID = 0;
        std::string strKey;
        bool bKey = false;
        const CIdentifyAnswer::Outcome online =
            CIdentifyAnswer::ParseOnline(pExact.get(), ulReceived, pModel.get(), ulModelSize, &ucID, &strKey, &bKey);
        CheckModel(pModel.get(), ulModelSize);
        if (online == CIdentifyAnswer::DEVICE_ID)
            Check(ucID != 0 && (ucID & 0x90) == 0);
        else
            Check(ucID == 255);
        Check(online != CIdentifyAnswer::BOOT_KEY || bKey);
        Check(!bKey || strKey.size() < ulReceived);

        const CIdentifyAnswer::Outcome offline =
            CIdentifyAnswer::ParseOffline(pExact.get(), ulReceived, pModel.get(), ulModelSize, &ucID);
        CheckModel(pModel.get(), ulModelSize);
        Check(offline == CIdentifyAnswer::NONE || offline == CIdentifyAnswer::DEVICE_ID);
        if (offline != CIdentifyAnswer::DEVICE_ID)
            Check(ucID == 255);
    }
    return 0;
}
