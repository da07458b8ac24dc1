// Packed strings from a host buffer: arbitrary bytes taken apart with CPHString::ExtractString in
// 8-bit or UCS-2 form until nothing is left, each extracted string packed again and extracted once
// more (it must come back unchanged), and the raw bytes packed as text in both forms.
//
// Input: byte 0 selects the form (bit 0: UCS-2) and whether the rest is also packed as text
// (bit 1); the remaining bytes are the buffer as the host sends it.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "contract/Data.h"
#include "contract/PHString.h"
#include "contract/PortHandler.h"

namespace {

void Require(bool bCondition, const char* pszWhat) {
    if (bCondition) return;
    fprintf(stderr, "violated: %s\n", pszWhat);
    abort();
}

// The packed form of a text: 8-bit is the bytes and one zero; UCS-2 an even length ending in a zero
// unit.
void CheckPacked(const CData& packed, const std::string& strText, bool bWide) {
    const unsigned int ulLength = packed.Length();
    Require(ulLength > 0, "packing never gives an empty buffer");
    const unsigned char* p = packed.Buffer();
    if (!bWide) {
        Require(ulLength == strText.size() + 1, "8-bit form is text plus terminator");
        Require(memcmp(p, strText.data(), strText.size()) == 0 && p[ulLength - 1] == 0,
                "8-bit form holds the text");
    } else {
        Require(ulLength % 2 == 0 && ulLength >= 2, "UCS-2 form has whole units");
        Require(ulLength <= 2 * (strText.size() + 1), "at most one unit per byte of text");
        Require(p[ulLength - 1] == 0 && p[ulLength - 2] == 0, "UCS-2 form ends with a zero unit");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Invalid UTF-8 is logged; nobody listens here.
    setenv("TALIUN_LOG_SOCKET", "/nonexistent/taliun-fuzz.socket", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize) {
    if (ulSize < 1) return 0;
    const bool bWide = (pData[0] & 1) != 0;
    const bool bPackRaw = (pData[0] & 2) != 0;
    const unsigned int ulFlags =
        bWide ? (PH_CONFIG_GET_COMPONENT_UI | PH_UCS2_STRINGS) : PH_CONFIG_GET_COMPONENT_UI;
    const unsigned int ulBody = static_cast<unsigned int>(ulSize - 1);

    CData data(pData + 1, ulBody);
    unsigned int ulLeft = data.Length();
    while (!data.IsEmpty()) {
        const std::string strText = CPHString::ExtractString(data, bWide ? 1 : 0);
        Require(data.Length() < ulLeft, "every extraction consumes input");
        ulLeft = data.Length();
        Require(strText.find('\0') == std::string::npos, "an extracted string holds no terminator");

        CData packed = CPHString::PackString(strText, ulFlags);
        CheckPacked(packed, strText, bWide);
        const std::string strAgain = CPHString::ExtractString(packed, bWide ? 1 : 0);
        Require(strAgain == strText, "pack and extract give the text back");
        Require(packed.IsEmpty(), "a packed string is consumed whole");
    }
    Require(CPHString::ExtractString(data, bWide ? 1 : 0).empty(),
            "empty data gives the empty text");

    if (bPackRaw) {
        const std::string strRaw(reinterpret_cast<const char*>(pData + 1), ulBody);
        CheckPacked(CPHString::PackString(strRaw, ulFlags), strRaw, bWide);
    }
    return 0;
}
