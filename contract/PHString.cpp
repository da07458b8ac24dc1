#include "contract/PHString.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "contract/PortHandler.h"
#include "log/Log.h"

namespace {

// UTF-8 to UCS-2 units followed by a zero unit. Only 1- to 3-byte sequences map to UCS-2; any other
// byte (a stray continuation byte, a 4-byte lead, a sequence cut off by the end) is reported and
// replaced by '?' on its own, so each byte of a bad sequence gets its own line. Continuation bytes
// of an accepted sequence are not checked.
CData Utf8ToUcs2(const std::string& strText) {
    static const unsigned char kTerminator[2] = {0, 0};
    const std::size_t len = strText.size();
    std::vector<std::uint16_t> vecUnits;
    try {
        vecUnits.assign(len + 1, 0);
    } catch (const std::bad_alloc&) {
        return CData(kTerminator, sizeof kTerminator);
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(strText.data());
    std::size_t i = 0;
    std::size_t k = 0;
    while (i < len && k < len) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            vecUnits[k] = c;
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && i + 2 <= len) {
            vecUnits[k] = static_cast<std::uint16_t>(((c & 0x1F) << 6) | (p[i + 1] & 0x3F));
            i += 2;
        } else if ((c & 0xF0) == 0xE0 && i + 3 <= len) {
            vecUnits[k] = static_cast<std::uint16_t>((c << 12) | ((p[i + 1] & 0x3F) << 6) |
                                                     (p[i + 2] & 0x3F));
            i += 3;
        } else {
            LogMsg(LOGLEVEL_NOTICE, "** CPHString::UTF8toUCS2 Invalid UTF-8 character %02x", c);
            vecUnits[k] = '?';
            i += 1;
        }
        ++k;
    }
    // A UCS-2 text of 2^31 units or more cannot be described by a 32-bit length.
    if (k > 0x7FFFFFFEu) return CData(kTerminator, sizeof kTerminator);
    return CData(reinterpret_cast<const unsigned char*>(vecUnits.data()),
                 static_cast<unsigned int>(2 * k), kTerminator, sizeof kTerminator);
}

void AppendUtf8(std::string& strOut, std::uint16_t u) {
    if (u <= 0x7F) {
        strOut += static_cast<char>(u);
    } else if (u <= 0x7FF) {
        strOut += static_cast<char>(0xC0 | (u >> 6));
        strOut += static_cast<char>(0x80 | (u & 0x3F));
    } else {
        strOut += static_cast<char>(0xE0 | (u >> 12));
        strOut += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        strOut += static_cast<char>(0x80 | (u & 0x3F));
    }
}

}  // namespace

CData CPHString::PackString(std::string strText, unsigned int ulFlags) {
    if (ulFlags & PH_UCS2_STRINGS) return Utf8ToUcs2(strText);
    static const unsigned char kTerminator[1] = {0};
    if (strText.size() > 0xFFFFFFFEu) return CData(kTerminator, sizeof kTerminator);
    return CData(reinterpret_cast<const unsigned char*>(strText.data()),
                 static_cast<unsigned int>(strText.size()), kTerminator, sizeof kTerminator);
}

std::string CPHString::ExtractString(CData& data, int fWide) {
    const unsigned int ulLength = data.Length();
    const unsigned char* p = data.Buffer();
    if (ulLength == 0 || p == nullptr) return std::string();

    std::string strResult;
    std::uint64_t ullConsumed;
    if (fWide) {
        const unsigned int ulMaxUnits = ulLength / 2;
        unsigned int n = 0;
        while (n < ulMaxUnits) {
            std::uint16_t u;
            std::memcpy(&u, p + 2 * n, sizeof u);
            if (u == 0) break;
            ++n;
        }
        strResult.reserve(3 * std::size_t(n));
        for (unsigned int i = 0; i < n; ++i) {
            std::uint16_t u;
            std::memcpy(&u, p + 2 * i, sizeof u);
            AppendUtf8(strResult, u);
        }
        ullConsumed = 2 * std::uint64_t(n) + 2;
    } else {
        const void* pZero = std::memchr(p, 0, ulLength);
        const std::size_t n =
            pZero != nullptr ? static_cast<const unsigned char*>(pZero) - p : ulLength;
        strResult.assign(reinterpret_cast<const char*>(p), n);
        ullConsumed = std::uint64_t(n) + 1;
    }

    if (ullConsumed < ulLength)
        data = CData(p + ullConsumed, static_cast<unsigned int>(ulLength - ullConsumed));
    else
        data = CData();
    return strResult;
}
