// CMarkup: reading and writing documents as files in their own encodings.

#include <iconv.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/Text.h"
#include "markup/Markup.h"

namespace {

struct Bom {
    const char* szBytes;
    int nLen;
    const char* szEncoding;
    int nUnitWidth;
    int nDocFlag;
};

const Bom BomTable[] = {
    {"\xEF\xBB\xBF", 3, "UTF-8", 1, CMarkup::MDF_UTF8PREAMBLE},
    {"\xFF\xFE", 2, "UTF-16LE", 2, CMarkup::MDF_UTF16LEFILE},
    {"\xFE\xFF", 2, "UTF-16BE", 2, CMarkup::MDF_UTF16BEFILE},
};

const int kBomFlags =
    CMarkup::MDF_UTF8PREAMBLE | CMarkup::MDF_UTF16LEFILE | CMarkup::MDF_UTF16BEFILE;

bool HostIsBigEndian() {
    const unsigned short n = 1;
    unsigned char c;
    memcpy(&c, &n, 1);
    return c == 0;
}

bool StartsWith(const std::string& str, const char* szPrefix) {
    return str.compare(0, strlen(szPrefix), szPrefix) == 0;
}

bool IsUTF8Name(const std::string& strUpper) { return strUpper == "UTF-8" || strUpper == "UTF8"; }
bool IsUTF16Name(const std::string& strUpper) {
    return StartsWith(strUpper, "UTF-16") || StartsWith(strUpper, "UTF16");
}
bool IsUTF32Name(const std::string& strUpper) {
    return StartsWith(strUpper, "UTF-32") || StartsWith(strUpper, "UTF32");
}
bool IsLittleEndianName(const std::string& strUpper) {
    return strUpper.size() >= 2 && strUpper.compare(strUpper.size() - 2, 2, "LE") == 0;
}

// The system's text for an error number: at most 100 characters, one line.
std::string ErrorText(int nErrno) {
    std::string strMsg = strerror(nErrno);
    const size_t nLine = strMsg.find_first_of("\r\n");
    if (nLine != std::string::npos) strMsg.erase(nLine);
    if (strMsg.size() > 100) strMsg.erase(100);
    return strMsg;
}

int UnitWidthOfName(const std::string& strUpper) {
    if (IsUTF16Name(strUpper) || StartsWith(strUpper, "UCS-2") || StartsWith(strUpper, "UCS2"))
        return 2;
    if (IsUTF32Name(strUpper) || StartsWith(strUpper, "UCS-4") || StartsWith(strUpper, "UCS4"))
        return 4;
    return 1;
}

bool CanConvert(const std::string& strTo, const std::string& strFrom) {
    iconv_t cd = iconv_open(strTo.c_str(), strFrom.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(cd);
    return true;
}

// Converts through iconv. An invalid input sequence is skipped and "?" written in the target's
// unit width; an incomplete sequence at the end stops. nLost counts irreversible conversions and
// skipped sequences.
bool IconvConvert(const std::string& strTo, const std::string& strFrom, const std::string& strIn,
                  std::string& strOut, long long& nLost) {
    iconv_t cd = iconv_open(strTo.c_str(), strFrom.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    const std::string strToUpper = base::UpperAscii(strTo);
    const bool bFromUTF8 = IsUTF8Name(base::UpperAscii(strFrom));
    const int nWidth = UnitWidthOfName(strToUpper);
    const bool bBigEndian = !IsLittleEndianName(strToUpper) && nWidth > 1;
    strOut.assign(strIn.size() * 2 + 16, '\0');
    char* pIn = const_cast<char*>(strIn.data());
    size_t nInLeft = strIn.size();
    size_t nOutUsed = 0;
    nLost = 0;
    while (nInLeft > 0) {
        char* pOut = &strOut[nOutUsed];
        size_t nOutLeft = strOut.size() - nOutUsed;
        const size_t nRet = iconv(cd, &pIn, &nInLeft, &pOut, &nOutLeft);
        nOutUsed = strOut.size() - nOutLeft;
        if (nRet != static_cast<size_t>(-1)) {
            nLost += static_cast<long long>(nRet);
            continue;
        }
        if (errno == E2BIG) {
            strOut.resize(strOut.size() * 2);
            continue;
        }
        if (errno == EILSEQ) {
            if (strOut.size() - nOutUsed < 4) strOut.resize(strOut.size() * 2);
            for (int i = 0; i < nWidth; ++i) {
                const bool bQuestionByte = bBigEndian ? i == nWidth - 1 : i == 0;
                strOut[nOutUsed++] = bQuestionByte ? '?' : '\0';
            }
            // From UTF-8 the whole character goes, so that one character gives one "?".
            int nSkip = 1;
            if (bFromUTF8)
                while (nSkip < 4 && static_cast<size_t>(nSkip) < nInLeft &&
                       (static_cast<unsigned char>(pIn[nSkip]) & 0xC0) == 0x80)
                    ++nSkip;
            pIn += nSkip;
            nInLeft -= static_cast<size_t>(nSkip);
            ++nLost;
            continue;
        }
        break;  // EINVAL: incomplete sequence at the end
    }
    // Flush any shift state.
    for (;;) {
        char* pOut = &strOut[nOutUsed];
        size_t nOutLeft = strOut.size() - nOutUsed;
        if (iconv(cd, nullptr, nullptr, &pOut, &nOutLeft) != static_cast<size_t>(-1)) {
            nOutUsed = strOut.size() - nOutLeft;
            break;
        }
        if (errno != E2BIG) break;
        strOut.resize(strOut.size() * 2);
    }
    strOut.resize(nOutUsed);
    iconv_close(cd);
    return true;
}

void SwapUnits(std::string& strBytes, int nWidth) {
    for (size_t i = 0; i + static_cast<size_t>(nWidth) <= strBytes.size();
         i += static_cast<size_t>(nWidth)) {
        for (int a = 0, b = nWidth - 1; a < b; ++a, --b)
            std::swap(strBytes[i + static_cast<size_t>(a)], strBytes[i + static_cast<size_t>(b)]);
    }
}

}  // namespace

bool CMarkup::ReadTextFile(const char* szFileName, std::string& strDoc, std::string* pstrResult,
                           int* pnDocFlags, std::string* pstrEncoding, MarkupResult* pResult) {
    std::string strLocalResult;
    std::string& strResult = pstrResult ? *pstrResult : strLocalResult;
    strDoc.clear();
    if (pnDocFlags) *pnDocFlags &= ~kBomFlags;
    if (pstrEncoding) pstrEncoding->clear();
    if (!szFileName) {
        x_AddResult(strResult, pResult, "file_error", "msg", ErrorText(EINVAL), "n", EINVAL);
        return false;
    }
    FILE* fp = fopen(szFileName, "rb");
    if (!fp) {
        const int nErr = errno;
        x_AddResult(strResult, pResult, "file_error", "msg", ErrorText(nErr), "n", nErr);
        return false;
    }
    auto fail = [&](int nErr) {
        x_AddResult(strResult, pResult, "file_error", "msg", ErrorText(nErr), "n", nErr);
        fclose(fp);
        strDoc.clear();
        return false;
    };
    struct stat st;
    if (fstat(fileno(fp), &st) == 0 && S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (fseeko(fp, 0, SEEK_END) != 0) return fail(errno);
    const off_t nFileSize = ftello(fp);
    if (nFileSize < 0) return fail(errno);
    if (nFileSize > static_cast<off_t>(kMaxDocLength)) return fail(EFBIG);
    if (fseeko(fp, 0, SEEK_SET) != 0) return fail(errno);

    char aHead[1025];
    const size_t nHead =
        fread(aHead, 1, nFileSize < 1024 ? static_cast<size_t>(nFileSize) : 1024, fp);
    if (ferror(fp)) return fail(errno ? errno : EIO);
    aHead[nHead] = '\0';

    std::string strEncoding;
    int nUnitWidth = 1;
    int nBomLen = 0;
    for (const Bom& bom : BomTable) {
        if (nHead >= static_cast<size_t>(bom.nLen) &&
            memcmp(aHead, bom.szBytes, static_cast<size_t>(bom.nLen)) == 0) {
            strEncoding = bom.szEncoding;
            nUnitWidth = bom.nUnitWidth;
            nBomLen = bom.nLen;
            if (pnDocFlags) *pnDocFlags |= bom.nDocFlag;
            x_AddResult(strResult, pResult, "bom");
            break;
        }
    }
    if (!nBomLen) {
        strEncoding = GetDeclaredEncoding(aHead);
        if (strEncoding.empty() && nHead > 0 && aHead[0] == '<') strEncoding = "UTF-8";
    }

    std::string strBytes(static_cast<size_t>(nFileSize - nBomLen), '\0');
    if (fseeko(fp, nBomLen, SEEK_SET) != 0) return fail(errno);
    const size_t nRead = strBytes.empty() ? 0 : fread(&strBytes[0], 1, strBytes.size(), fp);
    if (ferror(fp)) return fail(errno ? errno : EIO);
    strBytes.resize(nRead - nRead % static_cast<size_t>(nUnitWidth));
    const int nUnits = static_cast<int>(strBytes.size() / static_cast<size_t>(nUnitWidth));
    if (strEncoding.empty())
        x_AddResult(strResult, pResult, "read", nullptr, std::string(), "length", nUnits);
    else
        x_AddResult(strResult, pResult, "read", "encoding", strEncoding, "length", nUnits);

    // NUL units would end the text for every C-string consumer: drop them.
    size_t nKept = 0;
    int nNulls = 0;
    for (size_t i = 0; i < strBytes.size(); i += static_cast<size_t>(nUnitWidth)) {
        bool bNul = true;
        for (int b = 0; b < nUnitWidth; ++b)
            bNul = bNul && strBytes[i + static_cast<size_t>(b)] == '\0';
        if (bNul) {
            ++nNulls;
            continue;
        }
        for (int b = 0; b < nUnitWidth; ++b)
            strBytes[nKept++] = strBytes[i + static_cast<size_t>(b)];
    }
    strBytes.resize(nKept);
    if (nNulls)
        x_AddResult(strResult, pResult, "nulls_removed", nullptr, std::string(), "count", nNulls);

    if (nUnitWidth == 2) {
        const bool bFileBigEndian = strEncoding == "UTF-16BE";
        if (bFileBigEndian != HostIsBigEndian()) {
            SwapUnits(strBytes, 2);
            x_AddResult(strResult, pResult, "endian_swap");
        }
        std::vector<unsigned short> vUnits(strBytes.size() / 2);
        if (!vUnits.empty()) memcpy(vUnits.data(), strBytes.data(), vUnits.size() * 2);
        const int nCount = static_cast<int>(vUnits.size());
        strDoc.assign(static_cast<size_t>(UTF16To8(nullptr, vUnits.data(), nCount)), '\0');
        if (!strDoc.empty()) UTF16To8(&strDoc[0], vUnits.data(), nCount);
        x_AddResult(strResult, pResult, "converted_to", "encoding", "UTF-8", "length",
                    static_cast<long long>(strDoc.size()));
    } else {
        bool bGuessed = false;
        if (strEncoding.empty()) {
            strEncoding = "UTF-8";
            bGuessed = true;
        }
        const std::string strUpper = base::UpperAscii(strEncoding);
        if (bGuessed) {
            int nNonASCII = 0;
            bool bErrorAtEnd = false;
            const bool bUTF8 = DetectUTF8(strBytes.data(), static_cast<int>(strBytes.size()),
                                          &nNonASCII, &bErrorAtEnd);
            if (bUTF8 || bErrorAtEnd)
                strDoc.swap(strBytes);
            else {
                strEncoding.clear();
                long long nLost = 0;
                if (nNonASCII && IconvConvert("UTF-8", "", strBytes, strDoc, nLost)) {
                    x_AddResult(strResult, pResult, "converted_to", "encoding", "UTF-8", "length",
                                static_cast<long long>(strDoc.size()));
                    if (nLost) x_AddResult(strResult, pResult, "conversion_loss");
                } else
                    strDoc.swap(strBytes);
            }
            x_AddResult(strResult, pResult, "utf8_detection");
        } else if (IsUTF8Name(strUpper) || IsUTF16Name(strUpper) || IsUTF32Name(strUpper) ||
                   !CanConvert("UTF-8", strUpper)) {
            // Already UTF-8, or unconvertible; a declaration of UTF-16 or UTF-32 read as 8-bit
            // text without a byte-order mark cannot be true, so those bytes stay as they are too.
            strDoc.swap(strBytes);
        } else {
            long long nLost = 0;
            IconvConvert("UTF-8", strUpper, strBytes, strDoc, nLost);
            x_AddResult(strResult, pResult, "converted_to", "encoding", "UTF-8", "length",
                        static_cast<long long>(strDoc.size()));
            if (nLost) x_AddResult(strResult, pResult, "conversion_loss");
        }
    }
    if (pstrEncoding) *pstrEncoding = strEncoding;
    if (fclose(fp) != 0)
        x_AddResult(strResult, pResult, "file_error", "msg", ErrorText(errno), "n", errno);
    return true;
}

bool CMarkup::WriteTextFile(const char* szFileName, const std::string& strDoc,
                            std::string* pstrResult, int* pnDocFlags, std::string* pstrEncoding,
                            MarkupResult* pResult) {
    std::string strLocalResult;
    std::string& strResult = pstrResult ? *pstrResult : strLocalResult;
    if (!szFileName) {
        x_AddResult(strResult, pResult, "file_error", "msg", ErrorText(EINVAL), "n", EINVAL);
        return false;
    }
    FILE* fp = fopen(szFileName, "wb");
    if (!fp) {
        const int nErr = errno;
        x_AddResult(strResult, pResult, "file_error", "msg", ErrorText(nErr), "n", nErr);
        return false;
    }
    const int nDocFlags = pnDocFlags ? *pnDocFlags : 0;
    std::string strEncoding;
    std::string strOut;
    for (const Bom& bom : BomTable) {
        if (nDocFlags & bom.nDocFlag) {
            strOut.assign(bom.szBytes, static_cast<size_t>(bom.nLen));
            strEncoding = bom.szEncoding;
            x_AddResult(strResult, pResult, "bom");
            break;
        }
    }
    if (strEncoding.empty()) {
        if (pstrEncoding && !pstrEncoding->empty())
            strEncoding = *pstrEncoding;
        else
            strEncoding = GetDeclaredEncoding(strDoc.c_str());
        if (strEncoding.empty()) strEncoding = "UTF-8";
    }
    const std::string strUpper = base::UpperAscii(strEncoding);
    const size_t nPreamble = strOut.size();
    int nUnitWidth = 1;
    if (IsUTF16Name(strUpper) || IsUTF32Name(strUpper)) {
        nUnitWidth = IsUTF16Name(strUpper) ? 2 : 4;
        const bool bTargetBigEndian = !IsLittleEndianName(strUpper);
        std::string strUnits;
        if (nUnitWidth == 2) {
            const int nCount = UTF8To16(nullptr, strDoc.data(), static_cast<int>(strDoc.size()));
            std::vector<unsigned short> vUnits(static_cast<size_t>(nCount));
            UTF8To16(vUnits.data(), strDoc.data(), static_cast<int>(strDoc.size()));
            strUnits.assign(reinterpret_cast<const char*>(vUnits.data()), vUnits.size() * 2);
        } else {
            std::vector<unsigned int> vUnits;
            const char* p = strDoc.data();
            const char* pEnd = p + strDoc.size();
            while (p < pEnd) {
                const int nUChar = DecodeCharUTF8(p, pEnd);
                vUnits.push_back(nUChar < 0 ? '?' : static_cast<unsigned int>(nUChar));
            }
            strUnits.assign(reinterpret_cast<const char*>(vUnits.data()), vUnits.size() * 4);
        }
        x_AddResult(strResult, pResult, "converted_from", "encoding", "UTF-8", "length",
                    static_cast<long long>(strDoc.size()));
        if (bTargetBigEndian != HostIsBigEndian()) {
            SwapUnits(strUnits, nUnitWidth);
            x_AddResult(strResult, pResult, "endian_swap");
        }
        strOut += strUnits;
    } else if (IsUTF8Name(strUpper) || !CanConvert(strUpper, "UTF-8"))
        strOut += strDoc;
    else {
        std::string strConverted;
        long long nLost = 0;
        IconvConvert(strUpper, "UTF-8", strDoc, strConverted, nLost);
        x_AddResult(strResult, pResult, "converted_from", "encoding", "UTF-8", "length",
                    static_cast<long long>(strDoc.size()));
        if (nLost) x_AddResult(strResult, pResult, "conversion_loss");
        strOut += strConverted;
    }
    bool bOk = true;
    if ((!strOut.empty() && fwrite(strOut.data(), 1, strOut.size(), fp) != strOut.size()) ||
        fflush(fp) != 0) {
        x_AddResult(strResult, pResult, "file_error", "msg", ErrorText(errno), "n", errno);
        bOk = false;
    }
    if (bOk)
        x_AddResult(
            strResult, pResult, "write", "encoding", strEncoding, "length",
            static_cast<long long>((strOut.size() - nPreamble) / static_cast<size_t>(nUnitWidth)));
    // Buffered data reaches the file at close: a failing close means the file is incomplete.
    if (fclose(fp) != 0) {
        x_AddResult(strResult, pResult, "file_error", "msg", ErrorText(errno), "n", errno);
        bOk = false;
    }
    if (pstrEncoding) *pstrEncoding = strEncoding;
    return bOk;
}

bool CMarkup::Load(const std::string& strPath) {
    m_strResult.clear();
    m_result = MarkupResult();
    std::string strDoc;
    const bool bRead =
        ReadTextFile(strPath.c_str(), strDoc, &m_strResult, &m_nDocFlags, nullptr, &m_result);
    m_strDoc.swap(strDoc);
    const bool bWellFormed = x_ParseDoc();
    return bRead && bWellFormed;
}

bool CMarkup::Save(const std::string& strPath) {
    m_strResult.clear();
    m_result = MarkupResult();
    return WriteTextFile(strPath.c_str(), m_strDoc, &m_strResult, &m_nDocFlags, nullptr, &m_result);
}
