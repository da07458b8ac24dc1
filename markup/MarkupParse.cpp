// CMarkup: building the element index from the text, with its repairs, and the result text.

#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "base/Text.h"
#include "markup/Markup.h"
#include "markup/MarkupToken.h"

namespace {

using base::LowerAscii;

bool SameName(std::string_view a, std::string_view b, bool bIgnoreCase) {
    if (a.size() != b.size()) return false;
    if (!bIgnoreCase) return a == b;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

struct NameHash {
    bool bIgnoreCase;
    size_t operator()(std::string_view s) const {
        size_t h = 14695981039346656037ULL;
        for (char c : s)
            h = (h ^ static_cast<unsigned char>(bIgnoreCase ? LowerAscii(c) : c)) *
                1099511628211ULL;
        return h;
    }
};

struct NameEqual {
    bool bIgnoreCase;
    bool operator()(std::string_view a, std::string_view b) const {
        return SameName(a, b, bIgnoreCase);
    }
};

bool EqualsNoCase(const char* p, int nLen, const char* szWord) {
    const int nWord = static_cast<int>(strlen(szWord));
    if (nLen != nWord) return false;
    for (int i = 0; i < nLen; ++i)
        if (LowerAscii(p[i]) != LowerAscii(szWord[i])) return false;
    return true;
}

}  // namespace

bool CMarkup::SetDoc(const char* szDoc) {
    m_strResult.clear();
    m_result = MarkupResult();
    if (szDoc)
        m_strDoc = szDoc;
    else
        m_strDoc.clear();
    return x_ParseDoc();
}

bool CMarkup::SetDoc(const std::string& strDoc) {
    m_strResult.clear();
    m_result = MarkupResult();
    m_strDoc = strDoc;
    return x_ParseDoc();
}

namespace {

MarkupResult::Status FailureStatus(const char* szName) {
    static const struct {
        const char* szName;
        MarkupResult::Status status;
    } kFailures[] = {
        {"file_error", MarkupResult::MRS_FILE_ERROR},
        {"no_root_element", MarkupResult::MRS_NO_ROOT_ELEMENT},
        {"root_has_sibling", MarkupResult::MRS_ROOT_HAS_SIBLING},
        {"lone_end_tag", MarkupResult::MRS_LONE_END_TAG},
        {"unended_start_tag", MarkupResult::MRS_UNENDED_START_TAG},
        {"first_tag_syntax", MarkupResult::MRS_TAG_SYNTAX},
        {"exclamation_tag_syntax", MarkupResult::MRS_TAG_SYNTAX},
        {"doctype_tag_syntax", MarkupResult::MRS_TAG_SYNTAX},
        {"comment_tag_syntax", MarkupResult::MRS_TAG_SYNTAX},
        {"cdata_section_syntax", MarkupResult::MRS_TAG_SYNTAX},
        {"unterminated_tag_syntax", MarkupResult::MRS_UNTERMINATED_TAG},
    };
    for (const auto& failure : kFailures)
        if (strcmp(failure.szName, szName) == 0) return failure.status;
    return MarkupResult::MRS_OK;
}

}  // namespace

void CMarkup::x_AddResult(std::string& strResult, MarkupResult* pResult, const char* szName,
                          const char* szTextAttr, const std::string& strText, const char* szNumAttr,
                          long long nNum, const char* szNum2Attr, long long nNum2) {
    // The first failure is kept even when the text has no room left for it.
    if (pResult && pResult->Ok()) {
        const MarkupResult::Status status = FailureStatus(szName);
        if (status != MarkupResult::MRS_OK) {
            auto attr = [&](const char* szAttrib) -> std::string {
                if (szTextAttr && strcmp(szAttrib, szTextAttr) == 0) return strText;
                if (szNumAttr && strcmp(szAttrib, szNumAttr) == 0) return std::to_string(nNum);
                if (szNum2Attr && strcmp(szAttrib, szNum2Attr) == 0) return std::to_string(nNum2);
                return std::string();
            };
            bool bParseError = false;
            pResult->status = status;
            pResult->strDescription = x_ResultText(szName, attr, bParseError);
            if (status == MarkupResult::MRS_FILE_ERROR)
                pResult->nErrno = static_cast<int>(nNum);
            else if (szNumAttr && strcmp(szNumAttr, "offset") == 0)
                pResult->nOffset = nNum;
        }
    }
    if (strResult.size() >= 1000) return;
    strResult += '<';
    strResult += szName;
    if (szTextAttr) {
        strResult += ' ';
        strResult += szTextAttr;
        strResult += "=\"";
        strResult += EscapeText(strText.c_str(), MNF_ESCAPEQUOTES);
        strResult += '"';
    }
    if (szNumAttr) {
        strResult += ' ';
        strResult += szNumAttr;
        strResult += "=\"";
        strResult += std::to_string(nNum);
        strResult += '"';
    }
    if (szNum2Attr) {
        strResult += ' ';
        strResult += szNum2Attr;
        strResult += "=\"";
        strResult += std::to_string(nNum2);
        strResult += '"';
    }
    strResult += "/>";
}

bool CMarkup::x_ParseDoc() {
    x_SetPos(0, 0, 0);
    m_SavedPosMaps.vMaps.clear();
    m_aPos.Clear();
    m_iPosFree = 0;
    m_iPosNext = 1;
    m_aPos.Reserve(1);
    m_aPos[0] = ElemPos();
    if (m_strDoc.size() > static_cast<size_t>(kMaxDocLength)) {
        // Offsets would not fit the records: keep the text, index nothing.
        x_AddResult(m_strResult, &m_result, "file_error", "msg", strerror(EFBIG), "n", EFBIG);
        m_aPos[0].nFlags |= ElemPos::EP_ILLFORMED;
        return false;
    }
    const int nDocLen = static_cast<int>(m_strDoc.size());
    m_aPos.Reserve(nDocLen / 64 + 8);
    m_aPos[0].nLength = nDocLen;
    int iPosFirst = 0;
    if (!x_ParseElem(0, 0, 0, nDocLen, m_strResult, &m_result, iPosFirst))
        m_aPos[0].nFlags |= ElemPos::EP_ILLFORMED;
    const int iRoot = m_aPos[0].iElemChild;
    if (!iRoot) {
        if (nDocLen) x_AddResult(m_strResult, &m_result, "no_root_element");
    } else if (m_aPos[iRoot].iElemNext)
        x_AddResult(m_strResult, &m_result, "root_has_sibling");
    return IsWellFormed();
}

void CMarkup::x_UnendElem(int iPos) {
    // Without an end tag the element is its start tag alone; its children follow it as siblings.
    ElemPos& elem = m_aPos[iPos];
    elem.nFlags |= ElemPos::EP_UNENDED;
    elem.nLength = elem.nStartTagLen;
    elem.nEndTagLen = 0;
    const int iFirst = elem.iElemChild;
    if (!iFirst) return;
    const int iParent = elem.iElemParent;
    const int iLast = m_aPos[iFirst].iElemPrev;
    const int iNext = elem.iElemNext;
    for (int c = iFirst; c; c = m_aPos[c].iElemNext) m_aPos[c].iElemParent = iParent;
    m_aPos[iFirst].nFlags &= ~ElemPos::EP_FIRST;
    elem.iElemChild = 0;
    elem.iElemNext = iFirst;
    m_aPos[iFirst].iElemPrev = iPos;
    m_aPos[iLast].iElemNext = iNext;
    if (iNext)
        m_aPos[iNext].iElemPrev = iLast;
    else
        m_aPos[m_aPos[iParent].iElemChild].iElemPrev = iLast;
}

bool CMarkup::x_ParseElem(int iPosParent, int iPosPrev, int nStart, int nEnd,
                          std::string& strResult, MarkupResult* pResult, int& iPosFirst) {
    const char* pDoc = m_strDoc.data();
    const bool bIgnoreCase = (m_nDocFlags & MDF_IGNORECASE) != 0;
    struct Open {
        int iPos;
        std::string_view name;
    };
    std::vector<Open> vOpen;
    // Open elements per name, built on the first end tag that does not close the innermost
    // element, so that unmatched end tags cost a lookup instead of a walk down the stack.
    std::unordered_map<std::string_view, int, NameHash, NameEqual> mapOpen(
        16, NameHash{bIgnoreCase}, NameEqual{bIgnoreCase});
    bool bMapOpen = false;
    bool bClean = true;
    const int iPosFollowing = iPosPrev ? m_aPos[iPosPrev].iElemNext : m_aPos[iPosParent].iElemChild;
    int iPrev = iPosPrev;
    iPosFirst = 0;

    auto pop = [&]() {
        if (bMapOpen) --mapOpen[vOpen.back().name];
        vOpen.pop_back();
    };
    auto unendAbove = [&](size_t nKeep, int nOffset2) {
        // Results innermost first; the structure is repaired outermost first so that every
        // element moves at most once.
        for (size_t k = vOpen.size(); k-- > nKeep;) {
            const ElemPos& elem = m_aPos[vOpen[k].iPos];
            x_AddResult(strResult, pResult, "unended_start_tag", "tagname",
                        std::string(vOpen[k].name), "offset", elem.nStart, "offset2", nOffset2);
        }
        for (size_t k = nKeep; k < vOpen.size(); ++k) x_UnendElem(vOpen[k].iPos);
        while (vOpen.size() > nKeep) pop();
    };

    CMarkupToken token(pDoc, nStart, nEnd);
    for (;;) {
        const CMarkupToken::NodeKind nKind = token.Next();
        if (nKind == CMarkupToken::NK_END) break;
        if (nKind == CMarkupToken::NK_START_TAG) {
            const int iPos = x_GetFreePos();
            ElemPos& elem = m_aPos[iPos];
            elem.nStart = token.m_nNodeStart;
            elem.nStartTagLen = token.m_nNodeLen;
            elem.nLength = token.m_nNodeLen;
            if (token.m_bEmptyElement) elem.nFlags = ElemPos::EP_EMPTY;
            if (vOpen.empty()) {
                x_LinkElem(iPosParent, iPrev, iPos);
                iPrev = iPos;
                if (!iPosFirst) iPosFirst = iPos;
            } else {
                const int iOpen = vOpen.back().iPos;
                x_LinkElem(iOpen, x_LastChild(iOpen), iPos);
            }
            if (!token.m_bEmptyElement) {
                vOpen.push_back(
                    Open{iPos, std::string_view(pDoc + token.m_nNameStart,
                                                static_cast<size_t>(token.m_nNameLen))});
                if (bMapOpen) ++mapOpen[vOpen.back().name];
            }
        } else if (nKind == CMarkupToken::NK_END_TAG) {
            const std::string_view name(pDoc + token.m_nNameStart,
                                        static_cast<size_t>(token.m_nNameLen));
            size_t nFound = vOpen.size();
            if (!vOpen.empty() && SameName(vOpen.back().name, name, bIgnoreCase))
                nFound = vOpen.size() - 1;
            else if (!vOpen.empty()) {
                if (!bMapOpen) {
                    for (const Open& open : vOpen) ++mapOpen[open.name];
                    bMapOpen = true;
                }
                auto it = mapOpen.find(name);
                if (it != mapOpen.end() && it->second > 0) {
                    nFound = vOpen.size() - 1;
                    while (!SameName(vOpen[nFound].name, name, bIgnoreCase)) --nFound;
                }
            }
            if (nFound == vOpen.size()) {
                x_AddResult(strResult, pResult, "lone_end_tag", "tagname", std::string(name),
                            "offset", token.m_nNodeStart);
                bClean = false;
                continue;
            }
            if (nFound + 1 < vOpen.size()) {
                unendAbove(nFound + 1, token.m_nNodeStart + 1);
                bClean = false;
            }
            ElemPos& elem = m_aPos[vOpen.back().iPos];
            elem.nEndTagLen = token.m_nNodeLen;
            elem.nLength = token.m_nNodeStart + token.m_nNodeLen - elem.nStart;
            pop();
        } else if (nKind == CMarkupToken::NK_ERROR) {
            if (token.m_szUnterminated)
                x_AddResult(strResult, pResult, token.m_szError, "type", token.m_szUnterminated,
                            "offset", token.m_nErrorOffset);
            else
                x_AddResult(strResult, pResult, token.m_szError, nullptr, std::string(), "offset",
                            token.m_nErrorOffset);
            bClean = false;
        }
    }
    if (!vOpen.empty()) {
        unendAbove(0, nEnd);
        bClean = false;
    }
    for (int i = iPosFirst; i && i != iPosFollowing; i = m_aPos[i].iElemNext) x_SetLevels(i);
    return bClean;
}

std::string CMarkup::x_ResultText(const std::string& strName,
                                  const std::function<std::string(const char*)>& attr,
                                  bool& bParseError) {
    bParseError = true;
    if (strName == "no_root_element") return "no root element";
    if (strName == "root_has_sibling") return "root element has sibling";
    if (strName == "lone_end_tag")
        return "lone end tag '" + attr("tagname") + "' at offset " + attr("offset");
    if (strName == "unended_start_tag")
        return "start tag '" + attr("tagname") + "' at offset " + attr("offset") +
               " expecting end tag at offset " + attr("offset2");
    if (strName == "first_tag_syntax")
        return "tag syntax error at offset " + attr("offset") + " expecting tag name / ! or ?";
    if (strName == "exclamation_tag_syntax")
        return "tag syntax error at offset " + attr("offset") + " expecting 'DOCTYPE' [ or -";
    if (strName == "doctype_tag_syntax")
        return "tag syntax error at offset " + attr("offset") + " expecting markup declaration";
    if (strName == "comment_tag_syntax")
        return "tag syntax error at offset " + attr("offset") + " expecting - to begin comment";
    if (strName == "cdata_section_syntax")
        return "tag syntax error at offset " + attr("offset") + " expecting 'CDATA'";
    if (strName == "unterminated_tag_syntax") return "unterminated tag at offset " + attr("offset");
    bParseError = false;
    if (strName == "file_error") return attr("msg");
    if (strName == "bom") return "BOM +";
    if (strName == "read" || strName == "write") {
        const std::string strEncoding = attr("encoding");
        return (strEncoding.empty() ? "" : strEncoding + " ") + "length " + attr("length");
    }
    if (strName == "converted_from") return attr("encoding") + " length " + attr("length") + " to";
    if (strName == "converted_to") return "to " + attr("encoding") + " length " + attr("length");
    if (strName == "nulls_removed") return "removed " + attr("count") + " nulls";
    if (strName == "conversion_loss") return "(chars lost in conversion!)";
    if (strName == "utf8_detection") return "(used UTF-8 detection)";
    if (strName == "endian_swap") return "endian swap";
    if (strName == "truncation_error") return "encoding " + attr("encoding") + " adjustment error";
    return std::string();
}

std::string CMarkup::GetError() const {
    CMarkup results(m_strResult);
    std::string strError;
    bool bParseErrorSeen = false;
    while (results.FindElem()) {
        bool bParseError = false;
        const std::string strText = x_ResultText(
            results.GetTagName(),
            [&results](const char* szAttrib) { return results.GetAttrib(szAttrib); }, bParseError);
        if (bParseError) {
            if (bParseErrorSeen) continue;
            bParseErrorSeen = true;
        }
        if (strText.empty()) continue;
        if (!strError.empty()) strError += ' ';
        strError += strText;
    }
    return strError;
}

std::string CMarkup::GetDeclaredEncoding(const char* szDoc) {
    if (!szDoc) return std::string();
    const int nLen = static_cast<int>(strlen(szDoc));
    CMarkupToken token(szDoc, 0, nLen);
    CMarkupToken::NodeKind nKind = token.Next();
    if (nKind == CMarkupToken::NK_PI) {
        const int nTarget = 2;
        int nTargetEnd = nTarget;
        const int nNodeEnd = token.m_nNodeStart + token.m_nNodeLen - 2;
        while (nTargetEnd < nNodeEnd &&
               !CMarkupToken::IsWhitespace(static_cast<unsigned char>(szDoc[nTargetEnd])) &&
               szDoc[nTargetEnd] != '?')
            ++nTargetEnd;
        if (EqualsNoCase(szDoc + nTarget, nTargetEnd - nTarget, "xml")) {
            int nCursor = nTargetEnd;
            CMarkupToken::Attrib attr;
            while (CMarkupToken::NextAttrib(szDoc, nCursor, nNodeEnd, attr))
                if (EqualsNoCase(szDoc + attr.nNameStart, attr.nNameLen, "encoding") &&
                    attr.bHasValue)
                    return std::string(szDoc + attr.nValueStart,
                                       static_cast<size_t>(attr.nValueLen));
            return std::string();
        }
    }
    while (nKind != CMarkupToken::NK_END && nKind != CMarkupToken::NK_START_TAG)
        nKind = token.Next();
    if (nKind != CMarkupToken::NK_START_TAG ||
        !EqualsNoCase(szDoc + token.m_nNameStart, token.m_nNameLen, "html"))
        return std::string();
    for (nKind = token.Next(); nKind != CMarkupToken::NK_END; nKind = token.Next()) {
        if (nKind == CMarkupToken::NK_END_TAG &&
            EqualsNoCase(szDoc + token.m_nNameStart, token.m_nNameLen, "head"))
            break;
        if (nKind != CMarkupToken::NK_START_TAG ||
            !EqualsNoCase(szDoc + token.m_nNameStart, token.m_nNameLen, "meta"))
            continue;
        const int nTagEnd = token.m_nNodeStart + token.m_nNodeLen - (token.m_bEmptyElement ? 2 : 1);
        int nCursor = token.m_nNameStart + token.m_nNameLen;
        CMarkupToken::Attrib attr;
        bool bContentType = false;
        std::string strContent;
        while (CMarkupToken::NextAttrib(szDoc, nCursor, nTagEnd, attr)) {
            if (!attr.bHasValue) continue;
            if (EqualsNoCase(szDoc + attr.nNameStart, attr.nNameLen, "http-equiv"))
                bContentType =
                    EqualsNoCase(szDoc + attr.nValueStart, attr.nValueLen, "Content-Type");
            else if (EqualsNoCase(szDoc + attr.nNameStart, attr.nNameLen, "content"))
                strContent.assign(szDoc + attr.nValueStart, static_cast<size_t>(attr.nValueLen));
        }
        if (!bContentType) continue;
        std::string strLower = strContent;
        for (char& c : strLower) c = LowerAscii(c);
        size_t n = strLower.find("charset");
        if (n == std::string::npos) return std::string();
        n += 7;
        while (n < strContent.size() &&
               CMarkupToken::IsWhitespace(static_cast<unsigned char>(strContent[n])))
            ++n;
        if (n >= strContent.size() || strContent[n] != '=') return std::string();
        ++n;
        while (n < strContent.size() &&
               CMarkupToken::IsWhitespace(static_cast<unsigned char>(strContent[n])))
            ++n;
        size_t nEndValue = n;
        while (nEndValue < strContent.size() && strContent[nEndValue] != ';' &&
               strContent[nEndValue] != '"' && strContent[nEndValue] != '\'' &&
               !CMarkupToken::IsWhitespace(static_cast<unsigned char>(strContent[nEndValue])))
            ++nEndValue;
        return strContent.substr(n, nEndValue - n);
    }
    return std::string();
}
