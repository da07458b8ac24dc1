#pragma once
// CIdentifyAnswer: the parsers of a printer's answer to the identification requests.
//
// The answer arrives in pieces; the caller keeps everything received so far in one buffer and
// parses it again from its start after every read. The bytes come straight from the device, so
// the parsers accept any content and length and never look outside [pData, pData + ulLength).
// They are pure functions of the bytes, which keeps them usable on a plain buffer.
#include <stddef.h>

#include <string>

class CIdentifyAnswer {
public:
    enum Outcome {
        NONE = 0,       // no answer in the bytes yet
        BOOT_KEY = 1,   // a complete boot-mode block (online answer only)
        DEVICE_ID = 2,  // the DeviceID: identification is complete
    };

    // Answer to the online request. The model buffer (ulModelSize bytes, at least 1) receives the
    // model name, always zero-terminated; *pucDeviceID becomes 255 unless a DeviceID was found.
    // *pstrBootKey (may be null) receives the key of the last complete boot-mode block (possibly
    // empty) and *pbBootKey (may be null) whether there was one. When a boot-mode block is
    // followed by a DeviceID the result is DEVICE_ID and the key is reported too.
    static Outcome ParseOnline(const unsigned char* pData, size_t ulLength, char* pszModel,
                               size_t ulModelSize, unsigned char* pucDeviceID,
                               std::string* pstrBootKey, bool* pbBootKey);

    // Answer to the offline request: the model block must come before the DeviceID block.
    static Outcome ParseOffline(const unsigned char* pData, size_t ulLength, char* pszModel,
                                size_t ulModelSize, unsigned char* pucDeviceID);
};
