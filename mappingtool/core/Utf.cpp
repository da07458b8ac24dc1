#include "mappingtool/core/Utf.h"

#include <cstdint>

namespace quillon {
namespace {

constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes one sequence whose lead byte (>= 0x80) has been taken; advances *ppText past the bytes it
// accepted.
char32_t DecodeSequence(unsigned char ucLead, const unsigned char** ppText,
                        const unsigned char* pEnd) {
    unsigned nTrail = 0;
    if (ucLead >= 0xC2 && ucLead <= 0xDF) {
        nTrail = 1;
    } else if (ucLead >= 0xE0 && ucLead <= 0xEF) {
        nTrail = 2;
    } else if (ucLead >= 0xF0 && ucLead <= 0xF4) {
        nTrail = 3;
    } else {
        return kInvalid;
    }
    static const unsigned char s_ucMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
    char32_t ulResult = ucLead & s_ucMask[nTrail];
    if (static_cast<size_t>(pEnd - *ppText) < nTrail) {
        *ppText = pEnd;
        return kInvalid;
    }
    const unsigned char* pSeqEnd = *ppText + nTrail;
    unsigned char uc = 0;
    // Each step checks what the accumulated value already allows, so the bytes consumed by a bad
    // sequence are the same as with the Windows decoder.
    switch (nTrail) {
        case 3:
            if ((uc = pSeqEnd[-3] ^ 0x80) >= 0x40) return kInvalid;
            ulResult = (ulResult << 6) | uc;
            ++*ppText;
            if (ulResult < 0x10) return kInvalid;
            [[fallthrough]];
        case 2:
            if ((uc = pSeqEnd[-2] ^ 0x80) >= 0x40) return kInvalid;
            ulResult = (ulResult << 6) | uc;
            if (ulResult >= (0x110000 >> 6)) return kInvalid;
            ++*ppText;
            if (ulResult < 0x20) return kInvalid;
            if (ulResult >= (0xD800 >> 6) && ulResult <= (0xDFFF >> 6)) return kInvalid;
            [[fallthrough]];
        case 1:
            if ((uc = pSeqEnd[-1] ^ 0x80) >= 0x40) return kInvalid;
            ulResult = (ulResult << 6) | uc;
            ++*ppText;
            if (ulResult < 0x80) return kInvalid;
            return ulResult;
        default:
            return kInvalid;
    }
}

}  // namespace

std::u16string Utf8ToUtf16(const char* pText, size_t nSize) {
    std::u16string strResult;
    strResult.reserve(nSize);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pText);
    const unsigned char* pEnd = p + nSize;
    while (p < pEnd) {
        const unsigned char uc = *p++;
        if (uc < 0x80) {
            strResult.push_back(uc);
            continue;
        }
        const char32_t ulCode = DecodeSequence(uc, &p, pEnd);
        if (ulCode == kInvalid) {
            strResult.push_back(u'\uFFFD');
        } else if (ulCode >= 0x10000) {
            strResult.push_back(static_cast<char16_t>(0xD800 + ((ulCode - 0x10000) >> 10)));
            strResult.push_back(static_cast<char16_t>(0xDC00 + ((ulCode - 0x10000) & 0x3FF)));
        } else {
            strResult.push_back(static_cast<char16_t>(ulCode));
        }
    }
    return strResult;
}

std::string Utf16ToUtf8(const std::u16string& str) {
    std::string strResult;
    strResult.reserve(str.size());
    for (size_t i = 0; i < str.size(); ++i) {
        char32_t ulCode = str[i];
        if (ulCode >= 0xD800 && ulCode <= 0xDBFF && i + 1 < str.size() && str[i + 1] >= 0xDC00 &&
            str[i + 1] <= 0xDFFF) {
            ulCode = 0x10000 + ((ulCode - 0xD800) << 10) + (str[i + 1] - 0xDC00);
            ++i;
        } else if (ulCode >= 0xD800 && ulCode <= 0xDFFF) {
            ulCode = 0xFFFD;
        }
        if (ulCode < 0x80) {
            strResult.push_back(static_cast<char>(ulCode));
        } else if (ulCode < 0x800) {
            strResult.push_back(static_cast<char>(0xC0 | (ulCode >> 6)));
            strResult.push_back(static_cast<char>(0x80 | (ulCode & 0x3F)));
        } else if (ulCode < 0x10000) {
            strResult.push_back(static_cast<char>(0xE0 | (ulCode >> 12)));
            strResult.push_back(static_cast<char>(0x80 | ((ulCode >> 6) & 0x3F)));
            strResult.push_back(static_cast<char>(0x80 | (ulCode & 0x3F)));
        } else {
            strResult.push_back(static_cast<char>(0xF0 | (ulCode >> 18)));
            strResult.push_back(static_cast<char>(0x80 | ((ulCode >> 12) & 0x3F)));
            strResult.push_back(static_cast<char>(0x80 | ((ulCode >> 6) & 0x3F)));
            strResult.push_back(static_cast<char>(0x80 | (ulCode & 0x3F)));
        }
    }
    return strResult;
}

}  // namespace quillon
