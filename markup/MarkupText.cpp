// Text helpers of CMarkup: escaping, references, Base64 and the Unicode character coders.

#include <cstring>

#include "base/Text.h"
#include "markup/Markup.h"
#include "markup/MarkupToken.h"

namespace {

struct PredefEntity {
    const char* szName;
    int nCode;
};

// The five XML names and the HTML 4.01 character entities.
const PredefEntity PredefEntityTable[] = {
    {"quot", 34},     {"amp", 38},      {"apos", 39},      {"lt", 60},        {"gt", 62},
    {"nbsp", 160},    {"iexcl", 161},   {"cent", 162},     {"pound", 163},    {"curren", 164},
    {"yen", 165},     {"brvbar", 166},  {"sect", 167},     {"uml", 168},      {"copy", 169},
    {"ordf", 170},    {"laquo", 171},   {"not", 172},      {"shy", 173},      {"reg", 174},
    {"macr", 175},    {"deg", 176},     {"plusmn", 177},   {"sup2", 178},     {"sup3", 179},
    {"acute", 180},   {"micro", 181},   {"para", 182},     {"middot", 183},   {"cedil", 184},
    {"sup1", 185},    {"ordm", 186},    {"raquo", 187},    {"frac14", 188},   {"frac12", 189},
    {"frac34", 190},  {"iquest", 191},  {"Agrave", 192},   {"Aacute", 193},   {"Acirc", 194},
    {"Atilde", 195},  {"Auml", 196},    {"Aring", 197},    {"AElig", 198},    {"Ccedil", 199},
    {"Egrave", 200},  {"Eacute", 201},  {"Ecirc", 202},    {"Euml", 203},     {"Igrave", 204},
    {"Iacute", 205},  {"Icirc", 206},   {"Iuml", 207},     {"ETH", 208},      {"Ntilde", 209},
    {"Ograve", 210},  {"Oacute", 211},  {"Ocirc", 212},    {"Otilde", 213},   {"Ouml", 214},
    {"times", 215},   {"Oslash", 216},  {"Ugrave", 217},   {"Uacute", 218},   {"Ucirc", 219},
    {"Uuml", 220},    {"Yacute", 221},  {"THORN", 222},    {"szlig", 223},    {"agrave", 224},
    {"aacute", 225},  {"acirc", 226},   {"atilde", 227},   {"auml", 228},     {"aring", 229},
    {"aelig", 230},   {"ccedil", 231},  {"egrave", 232},   {"eacute", 233},   {"ecirc", 234},
    {"euml", 235},    {"igrave", 236},  {"iacute", 237},   {"icirc", 238},    {"iuml", 239},
    {"eth", 240},     {"ntilde", 241},  {"ograve", 242},   {"oacute", 243},   {"ocirc", 244},
    {"otilde", 245},  {"ouml", 246},    {"divide", 247},   {"oslash", 248},   {"ugrave", 249},
    {"uacute", 250},  {"ucirc", 251},   {"uuml", 252},     {"yacute", 253},   {"thorn", 254},
    {"yuml", 255},    {"OElig", 338},   {"oelig", 339},    {"Scaron", 352},   {"scaron", 353},
    {"Yuml", 376},    {"fnof", 402},    {"circ", 710},     {"tilde", 732},    {"Alpha", 913},
    {"Beta", 914},    {"Gamma", 915},   {"Delta", 916},    {"Epsilon", 917},  {"Zeta", 918},
    {"Eta", 919},     {"Theta", 920},   {"Iota", 921},     {"Kappa", 922},    {"Lambda", 923},
    {"Mu", 924},      {"Nu", 925},      {"Xi", 926},       {"Omicron", 927},  {"Pi", 928},
    {"Rho", 929},     {"Sigma", 931},   {"Tau", 932},      {"Upsilon", 933},  {"Phi", 934},
    {"Chi", 935},     {"Psi", 936},     {"Omega", 937},    {"alpha", 945},    {"beta", 946},
    {"gamma", 947},   {"delta", 948},   {"epsilon", 949},  {"zeta", 950},     {"eta", 951},
    {"theta", 952},   {"iota", 953},    {"kappa", 954},    {"lambda", 955},   {"mu", 956},
    {"nu", 957},      {"xi", 958},      {"omicron", 959},  {"pi", 960},       {"rho", 961},
    {"sigmaf", 962},  {"sigma", 963},   {"tau", 964},      {"upsilon", 965},  {"phi", 966},
    {"chi", 967},     {"psi", 968},     {"omega", 969},    {"thetasym", 977}, {"upsih", 978},
    {"piv", 982},     {"ensp", 8194},   {"emsp", 8195},    {"thinsp", 8201},  {"zwnj", 8204},
    {"zwj", 8205},    {"lrm", 8206},    {"rlm", 8207},     {"ndash", 8211},   {"mdash", 8212},
    {"lsquo", 8216},  {"rsquo", 8217},  {"sbquo", 8218},   {"ldquo", 8220},   {"rdquo", 8221},
    {"bdquo", 8222},  {"dagger", 8224}, {"Dagger", 8225},  {"bull", 8226},    {"hellip", 8230},
    {"permil", 8240}, {"prime", 8242},  {"Prime", 8243},   {"lsaquo", 8249},  {"rsaquo", 8250},
    {"oline", 8254},  {"frasl", 8260},  {"euro", 8364},    {"image", 8465},   {"weierp", 8472},
    {"real", 8476},   {"trade", 8482},  {"alefsym", 8501}, {"larr", 8592},    {"uarr", 8593},
    {"rarr", 8594},   {"darr", 8595},   {"harr", 8596},    {"crarr", 8629},   {"lArr", 8656},
    {"uArr", 8657},   {"rArr", 8658},   {"dArr", 8659},    {"hArr", 8660},    {"forall", 8704},
    {"part", 8706},   {"exist", 8707},  {"empty", 8709},   {"nabla", 8711},   {"isin", 8712},
    {"notin", 8713},  {"ni", 8715},     {"prod", 8719},    {"sum", 8721},     {"minus", 8722},
    {"lowast", 8727}, {"radic", 8730},  {"prop", 8733},    {"infin", 8734},   {"ang", 8736},
    {"and", 8743},    {"or", 8744},     {"cap", 8745},     {"cup", 8746},     {"int", 8747},
    {"there4", 8756}, {"sim", 8764},    {"cong", 8773},    {"asymp", 8776},   {"ne", 8800},
    {"equiv", 8801},  {"le", 8804},     {"ge", 8805},      {"sub", 8834},     {"sup", 8835},
    {"nsub", 8836},   {"sube", 8838},   {"supe", 8839},    {"oplus", 8853},   {"otimes", 8855},
    {"perp", 8869},   {"sdot", 8901},   {"lceil", 8968},   {"rceil", 8969},   {"lfloor", 8970},
    {"rfloor", 8971}, {"lang", 9001},   {"rang", 9002},    {"loz", 9674},     {"spades", 9824},
    {"clubs", 9827},  {"hearts", 9829}, {"diams", 9830},
};
static_assert(sizeof(PredefEntityTable) / sizeof(PredefEntityTable[0]) == 253, "entity table");

using base::LowerAscii;

// Names are hashed in lower case, so names differing only in case share a bucket. A lookup
// prefers the entry spelled exactly as written and falls back to a case-blind match, so that
// "&aacute;" and "&Aacute;" keep their own letters while "&AMP;" still means "&".
class EntityTable {
public:
    EntityTable() {
        int n = 0;
        for (const PredefEntity& entity : PredefEntityTable)
            m_aBuckets[Hash(entity.szName, static_cast<int>(strlen(entity.szName)))].push_back(n++);
    }
    int Find(const char* szName, int nLen) const {
        const std::vector<int>& bucket = m_aBuckets[Hash(szName, nLen)];
        for (int i : bucket)
            if (static_cast<int>(strlen(PredefEntityTable[i].szName)) == nLen &&
                strncmp(PredefEntityTable[i].szName, szName, static_cast<size_t>(nLen)) == 0)
                return PredefEntityTable[i].nCode;
        int nFound = 0;
        for (int i : bucket) {
            const char* szEntity = PredefEntityTable[i].szName;
            if (static_cast<int>(strlen(szEntity)) != nLen) continue;
            bool bSame = true;
            bool bLowerEntry = true;
            for (int c = 0; c < nLen && bSame; ++c) {
                bSame = LowerAscii(szEntity[c]) == LowerAscii(szName[c]);
                bLowerEntry = bLowerEntry && LowerAscii(szEntity[c]) == szEntity[c];
            }
            if (!bSame) continue;
            if (bLowerEntry) return PredefEntityTable[i].nCode;
            if (!nFound) nFound = PredefEntityTable[i].nCode;
        }
        return nFound;
    }

private:
    enum { kBuckets = 130 };
    static int Hash(const char* szName, int nLen) {
        unsigned int h = 0;
        for (int i = 0; i < nLen; ++i)
            h = h * 31 + static_cast<unsigned char>(LowerAscii(szName[i]));
        return static_cast<int>(h % kBuckets);
    }
    std::vector<int> m_aBuckets[kBuckets];
};

const EntityTable& GetEntityTable() {
    static const EntityTable table;
    return table;
}

bool IsRefNameChar(unsigned char c) {
    return CMarkupToken::IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Length of a well-formed reference at p ("&", "#" or a name start, name characters, ";"), else 0.
int RefLen(const char* p) {
    const unsigned char c1 = static_cast<unsigned char>(p[1]);
    if (c1 != '#' && !CMarkupToken::IsNameStart(c1)) return 0;
    int n = 2;
    while (p[n] && IsRefNameChar(static_cast<unsigned char>(p[n]))) ++n;
    return p[n] == ';' ? n + 1 : 0;
}

// Character code of a reference name (the text between "&" and ";"), 0 when unknown.
int RefCode(const char* szName, int nLen) {
    if (nLen >= 2 && szName[0] == '#') {
        int nBase = 10;
        int i = 1;
        if (szName[1] == 'x' || szName[1] == 'X') {
            nBase = 16;
            i = 2;
        }
        if (i >= nLen) return 0;
        long nCode = 0;
        for (; i < nLen; ++i) {
            const int nDigit = base::HexDigitValue(szName[i]);
            if (nDigit < 0 || nDigit >= nBase) return 0;
            nCode = nCode * nBase + nDigit;
            if (nCode > 0x10FFFF) return 0;
        }
        return static_cast<int>(nCode);
    }
    return GetEntityTable().Find(szName, nLen);
}

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;
}

}  // namespace

std::string CMarkup::EscapeText(const char* szText, int nFlags) {
    std::string strOut;
    if (!szText) return strOut;
    const bool bQuotes = (nFlags & MNF_ESCAPEQUOTES) != 0;
    const bool bKeepRefs = (nFlags & MNF_WITHREFS) != 0;
    for (const char* p = szText; *p; ++p) {
        switch (*p) {
            case '<':
                strOut += "&lt;";
                break;
            case '>':
                strOut += "&gt;";
                break;
            case '&':
                if (bKeepRefs) {
                    const int nRef = RefLen(p);
                    if (nRef) {
                        strOut.append(p, static_cast<size_t>(nRef));
                        p += nRef - 1;
                        break;
                    }
                }
                strOut += "&amp;";
                break;
            case '\'':
                if (bQuotes)
                    strOut += "&apos;";
                else
                    strOut += *p;
                break;
            case '"':
                if (bQuotes)
                    strOut += "&quot;";
                else
                    strOut += *p;
                break;
            default:
                strOut += *p;
                break;
        }
    }
    return strOut;
}

std::string CMarkup::UnescapeText(const char* szText, int nTextLength) {
    std::string strOut;
    if (!szText) return strOut;
    const int nLen = nTextLength < 0 ? static_cast<int>(strlen(szText)) : nTextLength;
    strOut.reserve(static_cast<size_t>(nLen));
    int n = 0;
    while (n < nLen) {
        const char* pAmp =
            static_cast<const char*>(memchr(szText + n, '&', static_cast<size_t>(nLen - n)));
        const int nAmp = pAmp ? static_cast<int>(pAmp - szText) : nLen;
        strOut.append(szText + n, static_cast<size_t>(nAmp - n));
        if (nAmp >= nLen) break;
        // At most 9 characters between "&" and ";"; anything else leaves the "&" literal.
        char szName[10];
        int nName = 0;
        int nCode = 0;
        for (int i = nAmp + 1; i < nLen && i <= nAmp + 10; ++i) {
            const unsigned char c = static_cast<unsigned char>(szText[i]);
            if (c == ';') {
                nCode = nName ? RefCode(szName, nName) : 0;
                if (nCode > 0) {
                    int nUTF8 = 0;
                    char szUTF8[4];
                    EncodeCharUTF8(nCode, szUTF8, nUTF8);
                    strOut.append(szUTF8, static_cast<size_t>(nUTF8));
                    n = i + 1;
                }
                break;
            }
            if (c >= 0x80 || c == 0 || nName == 9) break;
            szName[nName++] = static_cast<char>(c);
        }
        if (nCode <= 0) {
            strOut += '&';
            n = nAmp + 1;
        }
    }
    return strOut;
}

std::string CMarkup::EncodeBase64(const unsigned char* pBuffer, int nBufferLen) {
    std::string strOut = "\r\n";
    if (!pBuffer || nBufferLen <= 0) return strOut;
    strOut.reserve(static_cast<size_t>(nBufferLen) / 3 * 4 +
                   static_cast<size_t>(nBufferLen) / 48 * 2 + 8);
    int nLine = 0;
    for (int i = 0; i < nBufferLen; i += 3) {
        const int nIn = nBufferLen - i >= 3 ? 3 : nBufferLen - i;
        const unsigned int nBits = (static_cast<unsigned int>(pBuffer[i]) << 16) |
                                   (nIn > 1 ? static_cast<unsigned int>(pBuffer[i + 1]) << 8 : 0U) |
                                   (nIn > 2 ? static_cast<unsigned int>(pBuffer[i + 2]) : 0U);
        strOut += kBase64Alphabet[(nBits >> 18) & 0x3F];
        strOut += kBase64Alphabet[(nBits >> 12) & 0x3F];
        strOut += nIn > 1 ? kBase64Alphabet[(nBits >> 6) & 0x3F] : '=';
        strOut += nIn > 2 ? kBase64Alphabet[nBits & 0x3F] : '=';
        nLine += 4;
        if (nLine == 64 || nIn < 3) {
            strOut += "\r\n";
            nLine = 0;
        }
    }
    return strOut;
}

int CMarkup::DecodeBase64(const std::string& strBase64, unsigned char* pBuffer, int nBufferSize) {
    if (nBufferSize <= 0) return static_cast<int>(strBase64.size() / 4 * 3 + 3);
    if (!pBuffer) return 0;
    int nOut = 0;
    unsigned int nBits = 0;
    int nBitCount = 0;
    for (char c : strBase64) {
        if (c == '\r' || c == '\n') continue;
        if (c == '=') {
            // Filling ends the group; leftover bits are not data.
            nBits = 0;
            nBitCount = 0;
            continue;
        }
        nBits = (nBits << 6) | static_cast<unsigned int>(Base64Value(c));
        nBitCount += 6;
        if (nBitCount >= 8) {
            nBitCount -= 8;
            if (nOut >= nBufferSize) return 0;
            pBuffer[nOut++] = static_cast<unsigned char>((nBits >> nBitCount) & 0xFF);
            nBits &= (1U << nBitCount) - 1;
        }
    }
    return nOut;
}

void CMarkup::EncodeCharUTF8(int nUChar, char* pszUTF8, int& nUTF8Len) {
    unsigned char aOut[4];
    int n = 0;
    if (nUChar < 0 || nUChar > 0x1FFFFF)
        aOut[n++] = '?';
    else if (nUChar < 0x80)
        aOut[n++] = static_cast<unsigned char>(nUChar);
    else if (nUChar < 0x800) {
        aOut[n++] = static_cast<unsigned char>(0xC0 | (nUChar >> 6));
        aOut[n++] = static_cast<unsigned char>(0x80 | (nUChar & 0x3F));
    } else if (nUChar < 0x10000) {
        aOut[n++] = static_cast<unsigned char>(0xE0 | (nUChar >> 12));
        aOut[n++] = static_cast<unsigned char>(0x80 | ((nUChar >> 6) & 0x3F));
        aOut[n++] = static_cast<unsigned char>(0x80 | (nUChar & 0x3F));
    } else {
        aOut[n++] = static_cast<unsigned char>(0xF0 | (nUChar >> 18));
        aOut[n++] = static_cast<unsigned char>(0x80 | ((nUChar >> 12) & 0x3F));
        aOut[n++] = static_cast<unsigned char>(0x80 | ((nUChar >> 6) & 0x3F));
        aOut[n++] = static_cast<unsigned char>(0x80 | (nUChar & 0x3F));
    }
    if (pszUTF8) memcpy(pszUTF8, aOut, static_cast<size_t>(n));
    nUTF8Len += n;
}

void CMarkup::EncodeCharUTF16(int nUChar, unsigned short* pwszUTF16, int& nUTF16Len) {
    if (nUChar < 0 || nUChar > 0x10FFFF) nUChar = '?';
    if (nUChar < 0x10000) {
        if (pwszUTF16) pwszUTF16[0] = static_cast<unsigned short>(nUChar);
        nUTF16Len += 1;
        return;
    }
    const int nValue = nUChar - 0x10000;
    if (pwszUTF16) {
        pwszUTF16[0] = static_cast<unsigned short>(0xD800 | (nValue >> 10));
        pwszUTF16[1] = static_cast<unsigned short>(0xDC00 | (nValue & 0x3FF));
    }
    nUTF16Len += 2;
}

int CMarkup::DecodeCharUTF8(const char*& pszUTF8, const char* pszUTF8End) {
    const unsigned char c = static_cast<unsigned char>(*pszUTF8++);
    if (!(c & 0x80)) return c;
    // Lenient: the lead byte's bits 5, 4 and 3 announce the continuation bytes, and each
    // continuation byte only needs its top bit.
    int nMore;
    int nValue;
    if (!(c & 0x20)) {
        nMore = 1;
        nValue = c & 0x1F;
    } else if (!(c & 0x10)) {
        nMore = 2;
        nValue = c & 0x0F;
    } else if (!(c & 0x08)) {
        nMore = 3;
        nValue = c & 0x07;
    } else
        return -1;
    const char* p = pszUTF8;
    for (int i = 0; i < nMore; ++i, ++p) {
        if ((pszUTF8End && p >= pszUTF8End) || !(static_cast<unsigned char>(*p) & 0x80)) return -1;
        nValue = (nValue << 6) | (static_cast<unsigned char>(*p) & 0x3F);
    }
    pszUTF8 = p;
    return nValue;
}

int CMarkup::DecodeCharUTF16(const unsigned short*& pwszUTF16, const unsigned short* pwszUTF16End) {
    const int nUnit = *pwszUTF16++;
    if (nUnit < 0xD800 || nUnit > 0xDFFF) return nUnit;
    if ((pwszUTF16End && pwszUTF16 >= pwszUTF16End) || *pwszUTF16 == 0) return -1;
    const int nPartner = *pwszUTF16++;
    return (((nUnit & 0x3FF) << 10) | (nPartner & 0x3FF)) + 0x10000;
}

int CMarkup::UTF8To16(unsigned short* pwszUTF16, const char* pszUTF8, int nUTF8Count) {
    int nUTF16Len = 0;
    const char* p = pszUTF8;
    const char* pEnd = pszUTF8 + nUTF8Count;
    while (p < pEnd) {
        int nUChar = DecodeCharUTF8(p, pEnd);
        if (nUChar < 0) nUChar = '?';
        EncodeCharUTF16(nUChar, pwszUTF16 ? pwszUTF16 + nUTF16Len : nullptr, nUTF16Len);
    }
    return nUTF16Len;
}

int CMarkup::UTF16To8(char* pszUTF8, const unsigned short* pwszUTF16, int nUTF16Count) {
    int nUTF8Len = 0;
    const unsigned short* p = pwszUTF16;
    const unsigned short* pEnd = pwszUTF16 + nUTF16Count;
    while (p < pEnd) {
        int nUChar = DecodeCharUTF16(p, pEnd);
        if (nUChar < 0) nUChar = '?';
        EncodeCharUTF8(nUChar, pszUTF8 ? pszUTF8 + nUTF8Len : nullptr, nUTF8Len);
    }
    return nUTF8Len;
}

bool CMarkup::DetectUTF8(const char* pText, int nTextLen, int* pnNonASCII, bool* pbErrorAtEnd) {
    int nNonASCII = 0;
    bool bOk = true;
    bool bErrorAtEnd = false;
    const char* p = pText;
    const char* pEnd = pText + nTextLen;
    while (p < pEnd && *p) {
        if (static_cast<unsigned char>(*p) & 0x80) {
            const char* pStart = p;
            if (DecodeCharUTF8(p, pEnd) < 0) {
                bOk = false;
                // Cut off: every byte after the lead up to the end of the data was a continuation.
                bErrorAtEnd = true;
                for (const char* q = pStart + 1; q < pEnd && bErrorAtEnd; ++q) {
                    if (!*q) break;
                    if (!(static_cast<unsigned char>(*q) & 0x80)) bErrorAtEnd = false;
                }
                const unsigned char cLead = static_cast<unsigned char>(*pStart);
                if ((cLead & 0x38) == 0x38) bErrorAtEnd = false;
                nNonASCII += static_cast<int>(p - pStart);
                break;
            }
            nNonASCII += static_cast<int>(p - pStart);
        } else
            ++p;
    }
    if (pnNonASCII) *pnNonASCII = nNonASCII;
    if (pbErrorAtEnd) *pbErrorAtEnd = !bOk && bErrorAtEnd;
    return bOk;
}
