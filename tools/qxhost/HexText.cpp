#include "tools/qxhost/HexText.h"

#include <cctype>
#include <cstdio>

#include "base/Text.h"

bool CHexText::Parse(const std::string& strText, std::vector<unsigned char>* pvecBytes,
                     std::string* pstrError) {
    auto fail = [&](const std::string& strWhy) {
        if (pstrError != nullptr) *pstrError = strWhy;
        return false;
    };
    std::vector<unsigned char> vec;
    std::size_t i = 0;
    if (strText.size() >= 2 && strText[0] == '0' && (strText[1] == 'x' || strText[1] == 'X')) i = 2;
    bool fNeedByte = false;  // after ':' or ','
    for (;;) {
        while (i < strText.size() && (strText[i] == ' ' || strText[i] == '\t')) ++i;
        if (i == strText.size()) {
            if (fNeedByte) return fail("separator at the end");
            break;
        }
        const char c = strText[i];
        if (c == ':' || c == ',') {
            if (vec.empty() || fNeedByte)
                return fail("separator '" + std::string(1, c) + "' at position " +
                            std::to_string(i + 1) + " is not between two bytes");
            fNeedByte = true;
            ++i;
            continue;
        }
        const int nHigh = base::HexDigitValue(c);
        const int nLow = i + 1 < strText.size() ? base::HexDigitValue(strText[i + 1]) : -1;
        if (nHigh < 0)
            return fail("'" + std::string(1, c) + "' at position " + std::to_string(i + 1) +
                        " is not a hex digit");
        if (i + 1 == strText.size() || strText[i + 1] == ' ' || strText[i + 1] == '\t' ||
            strText[i + 1] == ':' || strText[i + 1] == ',')
            return fail("lone hex digit at position " + std::to_string(i + 1) +
                        " (a byte is two digits)");
        if (nLow < 0)
            return fail("'" + std::string(1, strText[i + 1]) + "' at position " +
                        std::to_string(i + 2) + " is not a hex digit");
        vec.push_back(static_cast<unsigned char>(nHigh * 16 + nLow));
        fNeedByte = false;
        i += 2;
    }
    *pvecBytes = std::move(vec);
    return true;
}

std::string CHexText::Format(const unsigned char* pData, std::size_t ulLength, std::size_t ulMax) {
    std::string str;
    const std::size_t ulShown = ulLength < ulMax ? ulLength : ulMax;
    char sz[4];
    for (std::size_t i = 0; i < ulShown; ++i) {
        std::snprintf(sz, sizeof sz, "%02x", pData[i]);
        if (i != 0) str += ' ';
        str += sz;
    }
    if (ulShown < ulLength) str += " ... (" + std::to_string(ulLength) + " bytes)";
    return str;
}

std::string CHexText::Escape(const unsigned char* pData, std::size_t ulLength, bool fBreakLines) {
    std::string str;
    char sz[8];
    for (std::size_t i = 0; i < ulLength; ++i) {
        const unsigned char c = pData[i];
        switch (c) {
            case '\\':
                str += "\\\\";
                break;
            case '\n':
                str += fBreakLines ? "\\n\n" : "\\n";
                break;
            case '\r':
                str += "\\r";
                break;
            case '\t':
                str += "\\t";
                break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    str += static_cast<char>(c);
                } else {
                    std::snprintf(sz, sizeof sz, "\\x%02X", c);
                    str += sz;
                }
        }
    }
    return str;
}
