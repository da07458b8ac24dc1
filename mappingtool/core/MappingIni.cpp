#include "mappingtool/core/MappingIni.h"

#include <limits>

namespace quillon {

const char16_t kIniSectionName[] = u"Quillon";

namespace {

const std::u16string kHeaderKey = u"FontGroupName";

bool BeginsWith(const std::u16string& str, const std::u16string& strPrefix) {
    return str.compare(0, strPrefix.size(), strPrefix) == 0;
}

bool IsHexDigit(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

unsigned HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return c - u'A' + 10;
}

// Base 16 after an optional "0x"; stops at the first non-digit. A value beyond 32 bits saturates,
// which is what the Windows conversion does.
uint32_t ParseHex(const std::u16string& str) {
    size_t i = 0;
    if (str.size() >= 3 && str[0] == u'0' && (str[1] == u'x' || str[1] == u'X') &&
        IsHexDigit(str[2]))
        i = 2;
    uint64_t ullValue = 0;
    for (; i < str.size() && IsHexDigit(str[i]); ++i) {
        ullValue = ullValue * 16 + HexValue(str[i]);
        if (ullValue > std::numeric_limits<uint32_t>::max())
            return std::numeric_limits<uint32_t>::max();
    }
    return static_cast<uint32_t>(ullValue);
}

// Decimal after leading white space; no digits give 0, a value beyond 32 bits saturates.
uint32_t ParseDecimal(const std::u16string& str) {
    size_t i = 0;
    while (i < str.size() && (str[i] == u' ' || (str[i] >= u'\t' && str[i] <= u'\r'))) ++i;
    uint64_t ullValue = 0;
    for (; i < str.size() && str[i] >= u'0' && str[i] <= u'9'; ++i) {
        ullValue = ullValue * 10 + (str[i] - u'0');
        if (ullValue > std::numeric_limits<uint32_t>::max())
            return std::numeric_limits<uint32_t>::max();
    }
    return static_cast<uint32_t>(ullValue);
}

bool ParseHeader(const std::u16string& strLine, std::u16string& strName) {
    const size_t nEqual = strLine.find(u'=');
    if (nEqual == std::u16string::npos || nEqual == 0) return false;
    const std::u16string strValue = strLine.substr(nEqual + 1);
    // A lone quote is open at one end only; it must not be taken for both.
    if (strValue.size() < 2 || strValue.front() != u'"' || strValue.back() != u'"') return false;
    strName = strValue.substr(1, strValue.size() - 2);
    return true;
}

bool ParseMappingLine(const std::u16string& strLine, MappingRecord& record) {
    const size_t nEqual = strLine.find(u'=');
    if (nEqual == std::u16string::npos || nEqual == 0) return false;
    const size_t nColonInRest = strLine.find(u':', nEqual + 1);
    if (nColonInRest == std::u16string::npos || nColonInRest == nEqual + 1) return false;
    const std::u16string strFrom = strLine.substr(0, nEqual);
    const std::u16string strCount = strLine.substr(nEqual + 1, nColonInRest - nEqual - 1);
    const std::u16string strTo = strLine.substr(strLine.find(u':') + 1);
    if (!BeginsWith(strFrom, u"0x") || !BeginsWith(strTo, u"0x")) return false;
    record = MappingRecord{};
    record.ulMappedFrom = ParseHex(strFrom);
    record.ulCount = ParseDecimal(strCount);
    record.ulMappedTo = ParseHex(strTo);
    return true;
}

}  // namespace

std::vector<std::u16string> SplitSectionBuffer(const char16_t* pBuffer, uint32_t ulCount) {
    std::vector<std::u16string> vecLines;
    uint32_t ulStart = 0;
    for (uint32_t i = 0; i < ulCount; ++i) {
        if (pBuffer[i] == u'\0') {
            vecLines.emplace_back(pBuffer + ulStart, pBuffer + i);
            ulStart = i + 1;
        }
    }
    if (ulStart < ulCount) vecLines.emplace_back(pBuffer + ulStart, pBuffer + ulCount);
    return vecLines;
}

bool ParseMappingSection(const std::vector<std::u16string>& vecLines, MappingTable& table) {
    if (vecLines.empty() || !BeginsWith(vecLines[0], kHeaderKey)) return false;
    size_t nLine = 0;
    while (nLine < vecLines.size()) {
        std::u16string strName;
        if (!ParseHeader(vecLines[nLine], strName)) return false;
        ++nLine;
        MappingGroup group;
        for (; nLine < vecLines.size(); ++nLine) {
            const std::u16string& strLine = vecLines[nLine];
            if (strLine.find(kHeaderKey) != std::u16string::npos) break;
            MappingRecord record;
            if (!ParseMappingLine(strLine, record)) return false;
            group.vecRecords.push_back(record);
        }
        // A later group of the same name replaces the earlier one entirely.
        table[strName] = std::move(group);
        if (nLine < vecLines.size() && !BeginsWith(vecLines[nLine], kHeaderKey)) return false;
    }
    return true;
}

bool LoadUnicodeMappingIni(IIniSectionReader& reader, const std::u16string& strPath,
                           MappingTable& table) {
    std::vector<char16_t> vecBuffer(kIniBufferUnits, u'\0');
    uint32_t ulCount =
        reader.ReadSection(kIniSectionName, strPath, vecBuffer.data(), kIniBufferUnits);
    // A reader must never report more than it could have written.
    if (ulCount > kIniBufferUnits) ulCount = kIniBufferUnits;
    return ParseMappingSection(SplitSectionBuffer(vecBuffer.data(), ulCount), table);
}

}  // namespace quillon
