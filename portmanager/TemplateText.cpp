// Template filling and XML escaping.
#include "portmanager/TemplateText.h"

#include <stddef.h>

namespace {

// Length of the well-formed UTF-8 sequence at p (at most ulLeft bytes), or 0 when there is none.
size_t Utf8Length(const unsigned char* p, size_t ulLeft) {
    const unsigned char c = p[0];
    size_t ulNeed;
    unsigned char ucLow = 0x80, ucHigh = 0xBF;  // range of the second byte
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        ulNeed = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        ulNeed = 3;
        if (c == 0xE0)
            ucLow = 0xA0;  // no overlong forms
        else if (c == 0xED)
            ucHigh = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        ulNeed = 4;
        if (c == 0xF0)
            ucLow = 0x90;
        else if (c == 0xF4)
            ucHigh = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (ulLeft < ulNeed || p[1] < ucLow || p[1] > ucHigh) return 0;
    for (size_t i = 2; i < ulNeed; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    // U+FFFE and U+FFFF are not XML characters.
    if (ulNeed == 3 && c == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF)) return 0;
    return ulNeed;
}

}  // namespace

std::string CTemplateText::Escape(const std::string& strValue) {
    std::string strOut;
    strOut.reserve(strValue.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(strValue.data());
    const size_t ulSize = strValue.size();
    size_t i = 0;
    while (i < ulSize) {
        const unsigned char c = p[i];
        switch (c) {
            case '&':
                strOut += "&amp;";
                break;
            case '<':
                strOut += "&lt;";
                break;
            case '>':
                strOut += "&gt;";
                break;
            case '"':
                strOut += "&quot;";
                break;
            case '\'':
                strOut += "&apos;";
                break;
            case '\t':
                strOut += "&#9;";
                break;
            case '\n':
                strOut += "&#10;";
                break;
            case '\r':
                strOut += "&#13;";
                break;
            default:
                if (c < 0x20) {
                    strOut += '?';
                } else {
                    const size_t ulLength = Utf8Length(p + i, ulSize - i);
                    if (ulLength == 0) {
                        strOut += '?';
                    } else {
                        strOut.append(strValue, i, ulLength);
                        i += ulLength;
                        continue;
                    }
                }
                break;
        }
        ++i;
    }
    return strOut;
}

std::string CTemplateText::Fill(const std::string& strTemplate,
                                const std::vector<std::string>& vecValues) {
    const size_t ulSize = strTemplate.size();
    size_t ulTotal = ulSize;
    for (const std::string& strValue : vecValues) ulTotal += strValue.size();
    std::string strOut;
    strOut.reserve(ulTotal);
    size_t ulNext = 0;
    for (size_t i = 0; i < ulSize; ++i) {
        const char c = strTemplate[i];
        if (c != '%' || i + 1 == ulSize) {
            strOut += c;
            continue;
        }
        const char cNext = strTemplate[i + 1];
        if (cNext == 's' || cNext == 'd') {
            if (ulNext < vecValues.size()) strOut += vecValues[ulNext];
            ++ulNext;
            ++i;
        } else if (cNext == '%') {
            strOut += '%';
            ++i;
        } else {
            strOut += c;
        }
    }
    return strOut;
}
