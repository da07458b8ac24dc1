// CMarkup: element index, positions, navigation and in-place editing.

#include "markup/Markup.h"

#include <cstdio>
#include <cstring>

#include "base/Text.h"
#include "markup/MarkupToken.h"

namespace {

bool IsWs(char c) { return CMarkupToken::IsWhitespace(static_cast<unsigned char>(c)); }

using base::LowerAscii;

// Names written by the editing functions must read back as the same name.
bool IsValidTagName(const char* szName) {
    if (!szName || !CMarkupToken::IsNameStart(static_cast<unsigned char>(szName[0]))) return false;
    for (const char* p = szName; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || CMarkupToken::IsNameEnd(c) || c == '<' || c == '"' || c == '\'' || c == '&')
            return false;
    }
    return true;
}

bool IsValidAttribName(const char* szName) {
    if (!szName || !*szName) return false;
    for (const char* p = szName; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || CMarkupToken::IsNameEnd(c) || c == '<' || c == '"' || c == '\'' || c == '&')
            return false;
    }
    return true;
}

struct AttribText {
    std::string strName;
    std::string strValue;
    bool bHasValue;
    bool operator==(const AttribText& other) const {
        return strName == other.strName && strValue == other.strValue &&
               bHasValue == other.bHasValue;
    }
};

// The attributes of a start tag (the tag's whole text) as the attribute reader sees them.
std::vector<AttribText> ListAttribs(const std::string& strTag, bool bEmptyElement) {
    std::vector<AttribText> vAttribs;
    const char* pTag = strTag.data();
    const int nEnd = static_cast<int>(strTag.size()) - (bEmptyElement ? 2 : 1);
    int nCursor = 1 + CMarkupToken::NameLen(pTag, 1, nEnd);
    CMarkupToken::Attrib attr;
    while (CMarkupToken::NextAttrib(pTag, nCursor, nEnd, attr))
        vAttribs.push_back(
            AttribText{std::string(pTag + attr.nNameStart, static_cast<size_t>(attr.nNameLen)),
                       std::string(pTag + attr.nValueStart, static_cast<size_t>(attr.nValueLen)),
                       attr.bHasValue});
    return vAttribs;
}

// Length of a search name: up to its end or one of space, "=", "/", "[", "]".
int SearchNameLen(const char* szName) {
    int n = 0;
    while (szName[n] && szName[n] != ' ' && szName[n] != '=' && szName[n] != '/' &&
           szName[n] != '[' && szName[n] != ']')
        ++n;
    return n;
}

int HashPosName(const char* szName, int nBuckets) {
    unsigned int h = 0;
    for (const char* p = szName; *p; ++p) h = h * 31 + static_cast<unsigned char>(*p);
    return static_cast<int>(h % static_cast<unsigned int>(nBuckets));
}

}  // namespace

void CMarkup::ElemPosTree::Reserve(int nRecords) {
    while (m_nSize < nRecords) {
        const int nBlock = m_nSize >> 16;
        if (nBlock >= static_cast<int>(m_vBlocks.size())) m_vBlocks.emplace_back();
        std::vector<ElemPos>& block = m_vBlocks[static_cast<size_t>(nBlock)];
        const int nWanted = nRecords - (nBlock << 16);
        size_t nNew = block.empty() ? 64 : block.size() * 2;
        while (static_cast<int>(nNew) < nWanted && nNew < 65536) nNew *= 2;
        if (nNew > 65536) nNew = 65536;
        block.resize(nNew);
        m_nSize = (nBlock << 16) + static_cast<int>(nNew);
    }
}

CMarkup::CMarkup() { SetDoc(nullptr); }

CMarkup::CMarkup(const char* szDoc) { SetDoc(szDoc); }

CMarkup::CMarkup(const std::string& strDoc) { SetDoc(strDoc); }

CMarkup::CMarkup(const CMarkup& other) = default;

CMarkup& CMarkup::operator=(const CMarkup& other) = default;

CMarkup::~CMarkup() = default;

bool CMarkup::IsWellFormed() const {
    if (m_aPos.Size() == 0 || (m_aPos[0].nFlags & ElemPos::EP_ILLFORMED)) return false;
    const int iRoot = m_aPos[0].iElemChild;
    return iRoot && !m_aPos[iRoot].iElemNext;
}

void CMarkup::x_SetPos(int iPosParent, int iPos, int iPosChild) {
    m_iPosParent = iPosParent;
    m_iPos = iPos;
    m_iPosChild = iPosChild;
    m_nNodeType = iPos ? MNT_ELEMENT : 0;
    m_nNodeOffset = iPos ? m_aPos[iPos].nStart : 0;
    m_nNodeLength = iPos ? m_aPos[iPos].nLength : 0;
}

void CMarkup::ResetPos() { x_SetPos(0, 0, 0); }

void CMarkup::ResetMainPos() { x_SetPos(m_iPosParent, 0, 0); }

void CMarkup::ResetChildPos() { x_SetPos(m_iPosParent, m_iPos, 0); }

bool CMarkup::IntoElem() {
    if (!m_iPos) return false;
    x_SetPos(m_iPos, m_iPosChild, 0);
    return true;
}

bool CMarkup::OutOfElem() {
    if (!m_iPosParent) return false;
    x_SetPos(m_aPos[m_iPosParent].iElemParent, m_iPosParent, m_iPos);
    return true;
}

bool CMarkup::FindElem(const char* szName) {
    const int iPos = x_FindElem(m_iPosParent, m_iPos, szName);
    if (!iPos) return false;
    x_SetPos(m_aPos[iPos].iElemParent, iPos, 0);
    return true;
}

bool CMarkup::FindChildElem(const char* szName) {
    if (!m_iPos && !FindElem()) return false;
    const int iPos = x_FindElem(m_iPos, m_iPosChild, szName);
    if (!iPos) return false;
    // An absolute path can end at a top-level element, which is nobody's child.
    const int iPosMain = m_aPos[iPos].iElemParent;
    if (!iPosMain) return false;
    x_SetPos(m_aPos[iPosMain].iElemParent, iPosMain, iPos);
    return true;
}

bool CMarkup::x_MatchName(int iPos, const char* szName, int nNameLen) const {
    if (nNameLen == 0 || (nNameLen == 1 && szName[0] == '*')) return true;
    const ElemPos& elem = m_aPos[iPos];
    const char* pTag = m_strDoc.data() + elem.nStart + 1;
    const int nTagLen =
        CMarkupToken::NameLen(m_strDoc.data(), elem.nStart + 1, elem.nStart + elem.nStartTagLen);
    if (nTagLen != nNameLen) return false;
    if (m_nDocFlags & MDF_IGNORECASE) {
        for (int i = 0; i < nNameLen; ++i)
            if (LowerAscii(pTag[i]) != LowerAscii(szName[i])) return false;
        return true;
    }
    return memcmp(pTag, szName, static_cast<size_t>(nNameLen)) == 0;
}

namespace {

// One step of a search path: name, then an optional predicate in brackets.
struct PathStep {
    std::string strName;   // empty or "*" for any element
    int nIndex = 0;        // [n]
    bool bAttrib = false;  // [@a] or [@a=v]
    std::string strAttrib;
    bool bAttribValue = false;
    std::string strValue;
    std::string strChild;  // [child]
};

bool ParsePath(const char* p, std::vector<PathStep>& vSteps) {
    for (;;) {
        PathStep step;
        const int nName = SearchNameLen(p);
        step.strName.assign(p, static_cast<size_t>(nName));
        p += nName;
        if (*p == '[') {
            ++p;
            if (*p >= '0' && *p <= '9') {
                long n = 0;
                while (*p >= '0' && *p <= '9') {
                    n = n * 10 + (*p++ - '0');
                    if (n > 0x7FFFFFFF) return false;
                }
                if (n < 1) return false;
                step.nIndex = static_cast<int>(n);
            } else if (*p == '@') {
                ++p;
                const int nAttrib = SearchNameLen(p);
                if (!nAttrib) return false;
                step.bAttrib = true;
                step.strAttrib.assign(p, static_cast<size_t>(nAttrib));
                p += nAttrib;
                if (*p == '=') {
                    ++p;
                    step.bAttribValue = true;
                    if (*p == '\'' || *p == '"') {
                        const char* pClose = strchr(p + 1, *p);
                        if (!pClose) return false;
                        step.strValue.assign(p + 1, static_cast<size_t>(pClose - p - 1));
                        p = pClose + 1;
                    } else {
                        const char* pClose = strchr(p, ']');
                        if (!pClose) return false;
                        step.strValue.assign(p, static_cast<size_t>(pClose - p));
                        p = pClose;
                    }
                }
            } else {
                const int nChild = SearchNameLen(p);
                if (!nChild) return false;
                step.strChild.assign(p, static_cast<size_t>(nChild));
                p += nChild;
            }
            if (*p != ']') return false;
            ++p;
        }
        if (step.strName.empty() && !step.nIndex && !step.bAttrib && step.strChild.empty())
            return false;
        vSteps.push_back(step);
        if (!*p) return true;
        if (*p != '/') return false;
        ++p;
    }
}

}  // namespace

int CMarkup::x_FindElem(int iPosParent, int iPos, const char* szPath) const {
    if (!szPath || !*szPath) return iPos ? m_aPos[iPos].iElemNext : m_aPos[iPosParent].iElemChild;

    // Plain names are what callers use almost always: no path parsing for them.
    const int nPlain = SearchNameLen(szPath);
    if (szPath[nPlain] != '/' && szPath[nPlain] != '[') {
        if (!nPlain) return 0;
        for (int i = iPos ? m_aPos[iPos].iElemNext : m_aPos[iPosParent].iElemChild; i;
             i = m_aPos[i].iElemNext)
            if (x_MatchName(i, szPath, nPlain)) return i;
        return 0;
    }

    bool bDescendants = false;
    const char* p = szPath;
    if (p[0] == '/' && p[1] == '/') {
        bDescendants = true;
        p += 2;
    } else if (p[0] == '/') {
        iPosParent = 0;
        iPos = 0;
        ++p;
    }
    std::vector<PathStep> vSteps;
    if (!ParsePath(p, vSteps)) return 0;

    auto matches = [this](int i, const PathStep& step) {
        if (!x_MatchName(i, step.strName.c_str(), static_cast<int>(step.strName.size())))
            return false;
        if (step.bAttrib) {
            int nValueStart = 0, nValueLen = 0;
            if (!x_FindAttrib(i, step.strAttrib.c_str(), -1, nullptr, nullptr, &nValueStart,
                              &nValueLen, nullptr, nullptr))
                return false;
            if (step.bAttribValue &&
                UnescapeText(m_strDoc.data() + nValueStart, nValueLen) != step.strValue)
                return false;
        }
        if (!step.strChild.empty()) {
            bool bFound = false;
            for (int c = m_aPos[i].iElemChild; c && !bFound; c = m_aPos[c].iElemNext)
                bFound =
                    x_MatchName(c, step.strChild.c_str(), static_cast<int>(step.strChild.size()));
            if (!bFound) return false;
        }
        if (step.nIndex) {
            int n = 0;
            for (int s = m_aPos[m_aPos[i].iElemParent].iElemChild; s; s = m_aPos[s].iElemNext) {
                if (x_MatchName(s, step.strName.c_str(), static_cast<int>(step.strName.size())))
                    ++n;
                if (s == i) break;
            }
            if (n != step.nIndex) return false;
        }
        return true;
    };

    // Depth-first over the steps; each element is examined at most once per step.
    struct Frame {
        size_t nStep;
        int iCandidate;
    };
    std::vector<Frame> vStack;
    // Depth-first match of the steps from nStep on, starting with the sibling chain at iCandidate;
    // backtracks to the next sibling of the step above when a chain runs out.
    auto walk = [&](Frame start) {
        vStack.assign(1, start);
        while (!vStack.empty()) {
            Frame& top = vStack.back();
            if (!top.iCandidate) {
                vStack.pop_back();
                if (!vStack.empty())
                    vStack.back().iCandidate = m_aPos[vStack.back().iCandidate].iElemNext;
                continue;
            }
            if (matches(top.iCandidate, vSteps[top.nStep])) {
                if (top.nStep + 1 == vSteps.size()) return top.iCandidate;
                vStack.push_back(Frame{top.nStep + 1, m_aPos[top.iCandidate].iElemChild});
                continue;
            }
            top.iCandidate = m_aPos[top.iCandidate].iElemNext;
        }
        return 0;
    };
    if (bDescendants) {
        // Document order below the parent, after the main position.
        auto nextInOrder = [this, iPosParent](int i) {
            if (m_aPos[i].iElemChild) return m_aPos[i].iElemChild;
            while (i != iPosParent && !m_aPos[i].iElemNext) i = m_aPos[i].iElemParent;
            return i == iPosParent ? 0 : m_aPos[i].iElemNext;
        };
        int i = iPos ? nextInOrder(iPos) : m_aPos[iPosParent].iElemChild;
        for (; i; i = nextInOrder(i)) {
            if (!matches(i, vSteps[0])) continue;
            if (vSteps.size() == 1) return i;
            // The rest of the path below this match; no match there moves on to the next one.
            const int iFound = walk(Frame{1, m_aPos[i].iElemChild});
            if (iFound) return iFound;
        }
        return 0;
    }
    return walk(Frame{0, iPos ? m_aPos[iPos].iElemNext : m_aPos[iPosParent].iElemChild});
}

bool CMarkup::SavePos(const char* szPosName, int nMap) {
    if (!szPosName || nMap < 0) return false;
    SavedPos pos;
    pos.strName = szPosName;
    if (m_iPosChild) {
        pos.iPos = m_iPosChild;
        pos.nSavedPosFlags = SPM_CHILD;
    } else if (m_iPos) {
        pos.iPos = m_iPos;
        pos.nSavedPosFlags = SPM_MAIN;
    } else {
        pos.iPos = m_iPosParent;
        pos.nSavedPosFlags = SPM_PARENT;
    }
    if (static_cast<int>(m_SavedPosMaps.vMaps.size()) <= nMap)
        m_SavedPosMaps.vMaps.resize(static_cast<size_t>(nMap) + 1);
    SavedPosMap& map = m_SavedPosMaps.vMaps[static_cast<size_t>(nMap)];
    if (map.vBuckets.empty()) map.vBuckets.resize(7);
    std::vector<SavedPos>& bucket = map.vBuckets[static_cast<size_t>(
        HashPosName(szPosName, static_cast<int>(map.vBuckets.size())))];
    for (SavedPos& saved : bucket) {
        if (saved.strName == pos.strName) {
            saved = pos;
            return true;
        }
    }
    bucket.push_back(pos);
    return true;
}

bool CMarkup::RestorePos(const char* szPosName, int nMap) {
    if (!szPosName || nMap < 0 || nMap >= static_cast<int>(m_SavedPosMaps.vMaps.size()))
        return false;
    const SavedPosMap& map = m_SavedPosMaps.vMaps[static_cast<size_t>(nMap)];
    if (map.vBuckets.empty()) return false;
    const std::vector<SavedPos>& bucket = map.vBuckets[static_cast<size_t>(
        HashPosName(szPosName, static_cast<int>(map.vBuckets.size())))];
    for (const SavedPos& saved : bucket) {
        if (saved.strName != szPosName) continue;
        const int i = saved.iPos;
        if (saved.nSavedPosFlags == SPM_CHILD) {
            const int iMain = m_aPos[i].iElemParent;
            x_SetPos(m_aPos[iMain].iElemParent, iMain, i);
        } else if (saved.nSavedPosFlags == SPM_MAIN)
            x_SetPos(m_aPos[i].iElemParent, i, 0);
        else
            x_SetPos(i, 0, 0);
        return true;
    }
    return false;
}

std::string CMarkup::x_GetTagName(int iPos) const {
    if (!iPos) return std::string();
    const ElemPos& elem = m_aPos[iPos];
    const int nLen =
        CMarkupToken::NameLen(m_strDoc.data(), elem.nStart + 1, elem.nStart + elem.nStartTagLen);
    return m_strDoc.substr(static_cast<size_t>(elem.nStart) + 1, static_cast<size_t>(nLen));
}

bool CMarkup::x_FindAttrib(int iPos, const char* szAttrib, int nAttrib, int* pnNameStart,
                           int* pnNameLen, int* pnValueStart, int* pnValueLen, char* pcQuote,
                           int* pnLastEnd) const {
    if (!iPos) return false;
    const ElemPos& elem = m_aPos[iPos];
    const char* pDoc = m_strDoc.data();
    int nCursor = elem.nStart + 1 +
                  CMarkupToken::NameLen(pDoc, elem.nStart + 1, elem.nStart + elem.nStartTagLen);
    const int nTagEnd = elem.nStart + elem.nStartTagLen - (elem.IsEmptyElement() ? 2 : 1);
    const size_t nAttribLen = szAttrib ? strlen(szAttrib) : 0;
    int nLastEnd = nCursor;
    int n = 0;
    CMarkupToken::Attrib attr;
    while (CMarkupToken::NextAttrib(pDoc, nCursor, nTagEnd, attr)) {
        nLastEnd = nCursor;
        const bool bMatch = szAttrib ? (static_cast<size_t>(attr.nNameLen) == nAttribLen &&
                                        memcmp(pDoc + attr.nNameStart, szAttrib, nAttribLen) == 0)
                                     : n == nAttrib;
        ++n;
        if (!bMatch) continue;
        if (pnNameStart) *pnNameStart = attr.nNameStart;
        if (pnNameLen) *pnNameLen = attr.nNameLen;
        if (pnValueStart) *pnValueStart = attr.bHasValue ? attr.nValueStart : -1;
        if (pnValueLen) *pnValueLen = attr.nValueLen;
        if (pcQuote) *pcQuote = attr.cQuote;
        return true;
    }
    if (pnLastEnd) *pnLastEnd = nLastEnd;
    return false;
}

std::string CMarkup::x_GetAttrib(int iPos, const char* szAttrib) const {
    int nValueStart = 0, nValueLen = 0;
    if (!szAttrib ||
        !x_FindAttrib(iPos, szAttrib, -1, nullptr, nullptr, &nValueStart, &nValueLen, nullptr,
                      nullptr) ||
        nValueStart < 0)
        return std::string();
    return UnescapeText(m_strDoc.data() + nValueStart, nValueLen);
}

std::string CMarkup::GetAttribName(int n) const {
    int nNameStart = 0, nNameLen = 0;
    if (n < 0 || !x_FindAttrib(m_iPos, nullptr, n, &nNameStart, &nNameLen, nullptr, nullptr,
                               nullptr, nullptr))
        return std::string();
    return m_strDoc.substr(static_cast<size_t>(nNameStart), static_cast<size_t>(nNameLen));
}

bool CMarkup::GetAttribOffsets(const char* szAttrib, int* pnValueOffset, int* pnValueLength) const {
    if (!szAttrib) return false;
    return x_FindAttrib(m_iPos, szAttrib, -1, nullptr, nullptr, pnValueOffset, pnValueLength,
                        nullptr, nullptr);
}

int CMarkup::x_AfterSubDoc(int iPos) const {
    // The element's text plus the white space after it, when that white space runs up to a tag.
    const int nAfter = m_aPos[iPos].StartAfter();
    const int nDocLen = static_cast<int>(m_strDoc.size());
    int n = nAfter;
    while (n < nDocLen && IsWs(m_strDoc[static_cast<size_t>(n)])) ++n;
    return (n == nDocLen || m_strDoc[static_cast<size_t>(n)] == '<') ? n : nAfter;
}

std::string CMarkup::x_GetSubDoc(int iPos) const {
    if (!iPos) return std::string();
    const int nStart = m_aPos[iPos].nStart;
    return m_strDoc.substr(static_cast<size_t>(nStart),
                           static_cast<size_t>(x_AfterSubDoc(iPos) - nStart));
}

std::string CMarkup::x_GetElemContent(int iPos) const {
    if (!iPos || m_aPos[iPos].IsEmptyElement() || m_aPos[iPos].IsUnended()) return std::string();
    const ElemPos& elem = m_aPos[iPos];
    return m_strDoc.substr(static_cast<size_t>(elem.StartContent()),
                           static_cast<size_t>(elem.ContentLen()));
}

std::string CMarkup::x_GetData(int iPos) const {
    if (!iPos || m_aPos[iPos].iElemChild || m_aPos[iPos].IsEmptyElement() ||
        m_aPos[iPos].IsUnended())
        return std::string();
    const ElemPos& elem = m_aPos[iPos];
    std::string strData;
    CMarkupToken token(m_strDoc.data(), elem.StartContent(),
                       elem.StartContent() + elem.ContentLen());
    for (CMarkupToken::NodeKind nKind = token.Next(); nKind != CMarkupToken::NK_END;
         nKind = token.Next()) {
        const char* pNode = m_strDoc.data() + token.m_nNodeStart;
        if (nKind == CMarkupToken::NK_TEXT || nKind == CMarkupToken::NK_WHITESPACE)
            strData += UnescapeText(pNode, token.m_nNodeLen);
        else if (nKind == CMarkupToken::NK_CDATA) {
            const int nPrefix =
                (token.m_nNodeLen >= 12 && memcmp(pNode, "<![CDATA[", 9) == 0) ? 9 : 3;
            if (token.m_nNodeLen - 3 > nPrefix)
                strData.append(pNode + nPrefix,
                               static_cast<size_t>(token.m_nNodeLen - 3 - nPrefix));
        }
    }
    return strData;
}

int CMarkup::x_GetFreePos() {
    int iPos;
    if (m_iPosFree) {
        iPos = m_iPosFree;
        m_iPosFree = m_aPos[iPos].iElemNext;
    } else {
        iPos = m_iPosNext++;
        if (iPos >= m_aPos.Size()) m_aPos.Reserve(iPos + 1);
    }
    m_aPos[iPos] = ElemPos();
    return iPos;
}

int CMarkup::x_LastChild(int iPos) const {
    const int iChild = m_aPos[iPos].iElemChild;
    return iChild ? m_aPos[iChild].iElemPrev : 0;
}

void CMarkup::x_LinkElem(int iPosParent, int iPosPrev, int iPos) {
    ElemPos& elem = m_aPos[iPos];
    elem.iElemParent = iPosParent;
    if (!iPosPrev) {
        const int iOldFirst = m_aPos[iPosParent].iElemChild;
        elem.nFlags |= ElemPos::EP_FIRST;
        elem.iElemNext = iOldFirst;
        if (iOldFirst) {
            elem.iElemPrev = m_aPos[iOldFirst].iElemPrev;
            m_aPos[iOldFirst].iElemPrev = iPos;
            m_aPos[iOldFirst].nFlags &= ~ElemPos::EP_FIRST;
        } else
            elem.iElemPrev = iPos;
        m_aPos[iPosParent].iElemChild = iPos;
        return;
    }
    const int iNext = m_aPos[iPosPrev].iElemNext;
    elem.nFlags &= ~ElemPos::EP_FIRST;
    elem.iElemPrev = iPosPrev;
    elem.iElemNext = iNext;
    m_aPos[iPosPrev].iElemNext = iPos;
    if (iNext)
        m_aPos[iNext].iElemPrev = iPos;
    else
        m_aPos[m_aPos[iPosParent].iElemChild].iElemPrev = iPos;
}

void CMarkup::x_UnlinkElem(int iPos) {
    const ElemPos elem = m_aPos[iPos];
    ElemPos& parent = m_aPos[elem.iElemParent];
    if (parent.iElemChild == iPos) {
        parent.iElemChild = elem.iElemNext;
        if (elem.iElemNext) {
            m_aPos[elem.iElemNext].iElemPrev = elem.iElemPrev;
            m_aPos[elem.iElemNext].nFlags |= ElemPos::EP_FIRST;
        }
    } else {
        m_aPos[elem.iElemPrev].iElemNext = elem.iElemNext;
        if (elem.iElemNext)
            m_aPos[elem.iElemNext].iElemPrev = elem.iElemPrev;
        else
            m_aPos[parent.iElemChild].iElemPrev = elem.iElemPrev;
    }
    m_aPos[iPos].iElemNext = m_aPos[iPos].iElemPrev = 0;
}

void CMarkup::x_ReleaseSubDoc(int iPos) {
    // Pre-order over the subtree; each record's links are read before it joins the free list.
    std::vector<int> vPending(1, iPos);
    while (!vPending.empty()) {
        const int i = vPending.back();
        vPending.pop_back();
        for (int c = m_aPos[i].iElemChild; c; c = m_aPos[c].iElemNext) vPending.push_back(c);
        m_aPos[i] = ElemPos();
        m_aPos[i].nFlags = ElemPos::EP_FREE;
        m_aPos[i].iElemNext = m_iPosFree;
        m_iPosFree = i;
    }
    for (SavedPosMap& map : m_SavedPosMaps.vMaps) {
        for (std::vector<SavedPos>& bucket : map.vBuckets) {
            for (size_t n = 0; n < bucket.size();) {
                if (bucket[n].iPos && (m_aPos[bucket[n].iPos].nFlags & ElemPos::EP_FREE))
                    bucket.erase(bucket.begin() + static_cast<long>(n));
                else
                    ++n;
            }
        }
    }
}

void CMarkup::x_ReleaseChildren(int iPos) {
    int iChild = m_aPos[iPos].iElemChild;
    m_aPos[iPos].iElemChild = 0;
    while (iChild) {
        const int iNext = m_aPos[iChild].iElemNext;
        x_ReleaseSubDoc(iChild);
        iChild = iNext;
    }
}

void CMarkup::x_Adjust(int iPosParent, int iPosFrom, int nShift) {
    // Everything from iPosFrom on (with subtrees) moves; every ancestor grows and the siblings
    // following each ancestor move as well.
    int iFrom = iPosFrom;
    int iParent = iPosParent;
    for (;;) {
        for (int s = iFrom; s; s = m_aPos[s].iElemNext) {
            int i = s;
            for (;;) {
                m_aPos[i].nStart += nShift;
                if (m_aPos[i].iElemChild) {
                    i = m_aPos[i].iElemChild;
                    continue;
                }
                while (i != s && !m_aPos[i].iElemNext) i = m_aPos[i].iElemParent;
                if (i == s) break;
                i = m_aPos[i].iElemNext;
            }
        }
        m_aPos[iParent].nLength += nShift;
        if (!iParent) break;
        iFrom = m_aPos[iParent].iElemNext;
        iParent = m_aPos[iParent].iElemParent;
    }
}

void CMarkup::x_SetLevels(int iPos) {
    const int iParent = m_aPos[iPos].iElemParent;
    m_aPos[iPos].nLevel = iParent ? m_aPos[iParent].nLevel + 1 : 0;
    int i = iPos;
    for (;;) {
        if (m_aPos[i].iElemChild) {
            const int nLevel = m_aPos[i].nLevel + 1;
            i = m_aPos[i].iElemChild;
            m_aPos[i].nLevel = nLevel;
            continue;
        }
        while (i != iPos && !m_aPos[i].iElemNext) i = m_aPos[i].iElemParent;
        if (i == iPos) break;
        const int nLevel = m_aPos[i].nLevel;
        i = m_aPos[i].iElemNext;
        m_aPos[i].nLevel = nLevel;
    }
}

bool CMarkup::x_InsertContent(int iPosParent, int iPosBefore, const std::string& strText,
                              int nFlags, int& nOffset, int& iPosPrev) {
    if (iPosParent && m_aPos[iPosParent].IsUnended()) return false;
    const bool bLines = !(nFlags & MNF_WITHNOLINES);
    std::string strInsert = strText;
    if (bLines && (strText.empty() || strText.back() != '\n')) strInsert += "\r\n";
    int nReplaceStart;
    int nReplaceLen = 0;
    const bool bEmptyParent = iPosParent && m_aPos[iPosParent].IsEmptyElement();
    if (bEmptyParent) {
        // "<p/>" becomes "<p>", a line break, the new content and "</p>".
        const ElemPos& parent = m_aPos[iPosParent];
        nReplaceStart = parent.nStart + parent.nStartTagLen - 2;
        nReplaceLen = 2;
        const std::string strHead = bLines ? ">\r\n" : ">";
        strInsert = strHead + strInsert + "</" + x_GetTagName(iPosParent) + ">";
        nOffset = nReplaceStart + static_cast<int>(strHead.size());
        iPosPrev = 0;
    } else if (iPosBefore) {
        nReplaceStart = x_AfterSubDoc(iPosBefore);
        nOffset = nReplaceStart;
        iPosPrev = iPosBefore;
    } else {
        nReplaceStart = iPosParent
                            ? m_aPos[iPosParent].StartContent() + m_aPos[iPosParent].ContentLen()
                            : static_cast<int>(m_strDoc.size());
        nOffset = nReplaceStart;
        iPosPrev = x_LastChild(iPosParent);
    }
    if (static_cast<long long>(m_strDoc.size()) + static_cast<long long>(strInsert.size()) -
            nReplaceLen >
        kMaxDocLength)
        return false;
    const int nShift = static_cast<int>(strInsert.size()) - nReplaceLen;
    m_strDoc.replace(static_cast<size_t>(nReplaceStart), static_cast<size_t>(nReplaceLen),
                     strInsert);
    x_Adjust(iPosParent, iPosPrev ? m_aPos[iPosPrev].iElemNext : 0, nShift);
    if (bEmptyParent) {
        ElemPos& parent = m_aPos[iPosParent];
        parent.nFlags &= ~ElemPos::EP_EMPTY;
        parent.nStartTagLen -= 1;
        parent.nEndTagLen = 3 + CMarkupToken::NameLen(m_strDoc.data(), parent.nStart + 1,
                                                      parent.nStart + parent.nStartTagLen);
    }
    return true;
}

bool CMarkup::x_AddElem(const char* szName, const char* szValue, int nFlags) {
    if (!IsValidTagName(szName)) return false;
    int iPosParent, iPosBefore;
    if (nFlags & MNF_CHILD) {
        if (!m_iPos) return false;
        iPosParent = m_iPos;
        iPosBefore = m_iPosChild;
    } else {
        iPosParent = m_iPosParent;
        iPosBefore = m_iPos;
    }
    const std::string strName = szName;
    std::string strElem;
    int nStartTagLen, nEndTagLen = 0;
    const bool bEmpty = !szValue || !*szValue;
    if (bEmpty) {
        strElem = "<" + strName + "/>";
        nStartTagLen = static_cast<int>(strElem.size());
    } else {
        strElem = "<" + strName + ">";
        nStartTagLen = static_cast<int>(strElem.size());
        strElem += EscapeText(szValue, nFlags & MNF_WITHREFS);
        strElem += "</" + strName + ">";
        nEndTagLen = static_cast<int>(strName.size()) + 3;
    }
    int nOffset = 0, iPosPrev = 0;
    if (!x_InsertContent(iPosParent, iPosBefore, strElem, nFlags, nOffset, iPosPrev)) return false;
    const int iPos = x_GetFreePos();
    ElemPos& elem = m_aPos[iPos];
    elem.nStart = nOffset;
    elem.nLength = static_cast<int>(strElem.size());
    elem.nStartTagLen = nStartTagLen;
    elem.nEndTagLen = nEndTagLen;
    elem.nFlags = bEmpty ? ElemPos::EP_EMPTY : 0;
    x_LinkElem(iPosParent, iPosPrev, iPos);
    m_aPos[iPos].nLevel = iPosParent ? m_aPos[iPosParent].nLevel + 1 : 0;
    if (nFlags & MNF_CHILD)
        x_SetPos(m_iPosParent, m_iPos, iPos);
    else
        x_SetPos(iPosParent, iPos, 0);
    return true;
}

bool CMarkup::x_AddElem(const char* szName, int nValue, int nFlags) {
    char szValue[16];
    snprintf(szValue, sizeof(szValue), "%d", nValue);
    return x_AddElem(szName, szValue, nFlags);
}

bool CMarkup::x_AddSubDoc(const char* szSubDoc, int nFlags) {
    if (!szSubDoc) return false;
    const std::string strSubDoc = szSubDoc;
    {
        CMarkupToken token(strSubDoc.data(), 0, static_cast<int>(strSubDoc.size()));
        CMarkupToken::NodeKind nKind;
        do nKind = token.Next();
        while (nKind != CMarkupToken::NK_END && nKind != CMarkupToken::NK_START_TAG);
        if (nKind != CMarkupToken::NK_START_TAG) return false;
    }
    int iPosParent, iPosBefore;
    if (nFlags & MNF_CHILD) {
        if (!m_iPos) return false;
        iPosParent = m_iPos;
        iPosBefore = m_iPosChild;
    } else {
        iPosParent = m_iPosParent;
        iPosBefore = m_iPos;
    }
    int nOffset = 0, iPosPrev = 0;
    if (!x_InsertContent(iPosParent, iPosBefore, strSubDoc, nFlags, nOffset, iPosPrev))
        return false;
    std::string strResult;
    int iPosFirst = 0;
    const bool bClean =
        x_ParseElem(iPosParent, iPosPrev, nOffset, nOffset + static_cast<int>(strSubDoc.size()),
                    strResult, nullptr, iPosFirst);
    if (!bClean) m_aPos[0].nFlags |= ElemPos::EP_ILLFORMED;
    if (nFlags & MNF_CHILD)
        x_SetPos(m_iPosParent, m_iPos, iPosFirst);
    else
        x_SetPos(iPosParent, iPosFirst, 0);
    return bClean;
}

bool CMarkup::x_ReplaceContent(int iPos, const std::string& strContent, int& nOffset) {
    ElemPos& elem = m_aPos[iPos];
    int nReplaceStart, nReplaceLen;
    std::string strInsert;
    const bool bEmpty = elem.IsEmptyElement();
    if (bEmpty) {
        nReplaceStart = elem.nStart + elem.nStartTagLen - 2;
        nReplaceLen = 2;
        strInsert = ">" + strContent + "</" + x_GetTagName(iPos) + ">";
        nOffset = nReplaceStart + 1;
    } else {
        nReplaceStart = elem.StartContent();
        nReplaceLen = elem.ContentLen();
        strInsert = strContent;
        nOffset = nReplaceStart;
    }
    if (static_cast<long long>(m_strDoc.size()) + static_cast<long long>(strInsert.size()) -
            nReplaceLen >
        kMaxDocLength)
        return false;
    x_ReleaseChildren(iPos);
    m_strDoc.replace(static_cast<size_t>(nReplaceStart), static_cast<size_t>(nReplaceLen),
                     strInsert);
    x_Adjust(iPos, 0, static_cast<int>(strInsert.size()) - nReplaceLen);
    if (bEmpty) {
        ElemPos& changed = m_aPos[iPos];
        changed.nFlags &= ~ElemPos::EP_EMPTY;
        changed.nStartTagLen -= 1;
        changed.nEndTagLen = 3 + CMarkupToken::NameLen(m_strDoc.data(), changed.nStart + 1,
                                                       changed.nStart + changed.nStartTagLen);
    }
    return true;
}

bool CMarkup::x_SetElemContent(const char* szContent) {
    if (!m_iPos || m_aPos[m_iPos].IsUnended()) return false;
    const std::string strContent = szContent ? szContent : "";
    int nOffset = 0;
    if (!x_ReplaceContent(m_iPos, strContent, nOffset)) return false;
    std::string strResult;
    int iPosFirst = 0;
    const bool bClean =
        x_ParseElem(m_iPos, 0, nOffset, nOffset + static_cast<int>(strContent.size()), strResult,
                    nullptr, iPosFirst);
    if (!bClean) m_aPos[0].nFlags |= ElemPos::EP_ILLFORMED;
    x_SetPos(m_iPosParent, m_iPos, 0);
    return bClean;
}

bool CMarkup::SetData(const char* szData, int nFlags) {
    if (!m_iPos || m_aPos[m_iPos].IsUnended() || m_aPos[m_iPos].iElemChild) return false;
    const std::string strData = szData ? szData : "";
    if (strData.empty() && m_aPos[m_iPos].IsEmptyElement()) return true;
    std::string strContent;
    if (nFlags & MNF_WITHCDATA) {
        // A "]]>" inside the data would end the section early: split it across two sections.
        strContent = "<![CDATA[";
        size_t nFrom = 0;
        for (size_t n = strData.find("]]>"); n != std::string::npos;
             n = strData.find("]]>", nFrom)) {
            strContent.append(strData, nFrom, n + 2 - nFrom);
            strContent += "]]><![CDATA[";
            nFrom = n + 2;
        }
        strContent.append(strData, nFrom, std::string::npos);
        strContent += "]]>";
    } else
        strContent = EscapeText(strData.c_str(), nFlags & MNF_WITHREFS);
    int nOffset = 0;
    if (!x_ReplaceContent(m_iPos, strContent, nOffset)) return false;
    x_SetPos(m_iPosParent, m_iPos, 0);
    return true;
}

bool CMarkup::SetData(int nValue) {
    char szValue[16];
    snprintf(szValue, sizeof(szValue), "%d", nValue);
    return SetData(szValue);
}

bool CMarkup::x_SetAttrib(int iPos, const char* szAttrib, const char* szValue, int nFlags) {
    if (!iPos || !IsValidAttribName(szAttrib)) return false;
    const std::string strQuoted =
        "\"" + EscapeText(szValue ? szValue : "", MNF_ESCAPEQUOTES | (nFlags & MNF_WITHREFS)) +
        "\"";
    int nNameStart = 0, nNameLen = 0, nValueStart = 0, nValueLen = 0, nLastEnd = 0;
    char cQuote = 0;
    int nReplaceStart, nReplaceLen;
    std::string strInsert;
    if (x_FindAttrib(iPos, szAttrib, -1, &nNameStart, &nNameLen, &nValueStart, &nValueLen, &cQuote,
                     &nLastEnd)) {
        if (nValueStart < 0) {
            nReplaceStart = nNameStart + nNameLen;
            nReplaceLen = 0;
            strInsert = "=" + strQuoted;
        } else {
            nReplaceStart = cQuote ? nValueStart - 1 : nValueStart;
            nReplaceLen = cQuote ? nValueLen + 2 : nValueLen;
            strInsert = strQuoted;
        }
    } else {
        nReplaceStart = nLastEnd;
        nReplaceLen = 0;
        strInsert = std::string(" ") + szAttrib + "=" + strQuoted;
    }
    const ElemPos& elem = m_aPos[iPos];
    if (static_cast<long long>(m_strDoc.size()) + static_cast<long long>(strInsert.size()) -
            nReplaceLen >
        kMaxDocLength)
        return false;

    // The rewritten tag must still read as the same kind of tag ("<a b/>" is a start tag, and
    // giving "b" a quoted value would turn it into an empty element) and as the same attributes
    // with only this one changed (after a dangling "b=" a new attribute would become b's value).
    const std::string strOldTag =
        m_strDoc.substr(static_cast<size_t>(elem.nStart), static_cast<size_t>(elem.nStartTagLen));
    std::string strTag = strOldTag;
    strTag.replace(static_cast<size_t>(nReplaceStart - elem.nStart),
                   static_cast<size_t>(nReplaceLen), strInsert);
    CMarkupToken token(strTag.data(), 0, static_cast<int>(strTag.size()));
    if (token.Next() != CMarkupToken::NK_START_TAG ||
        token.m_nNodeLen != static_cast<int>(strTag.size()) ||
        token.m_bEmptyElement != elem.IsEmptyElement())
        return false;
    std::vector<AttribText> vExpected = ListAttribs(strOldTag, elem.IsEmptyElement());
    const AttribText newAttrib{szAttrib, strQuoted.substr(1, strQuoted.size() - 2), true};
    bool bReplaced = false;
    for (AttribText& attrib : vExpected) {
        if (attrib.strName == newAttrib.strName) {
            attrib = newAttrib;
            bReplaced = true;
            break;
        }
    }
    if (!bReplaced) vExpected.push_back(newAttrib);
    if (ListAttribs(strTag, elem.IsEmptyElement()) != vExpected) return false;

    const int nShift = static_cast<int>(strInsert.size()) - nReplaceLen;
    m_strDoc.replace(static_cast<size_t>(nReplaceStart), static_cast<size_t>(nReplaceLen),
                     strInsert);
    x_Adjust(iPos, m_aPos[iPos].iElemChild, nShift);
    m_aPos[iPos].nStartTagLen += nShift;
    if (iPos == m_iPos) m_nNodeLength = m_aPos[iPos].nLength;
    return true;
}

bool CMarkup::x_SetAttrib(int iPos, const char* szAttrib, int nValue, int nFlags) {
    char szValue[16];
    snprintf(szValue, sizeof(szValue), "%d", nValue);
    return x_SetAttrib(iPos, szAttrib, szValue, nFlags);
}

bool CMarkup::x_RemoveElem(int iPos) {
    if (!iPos) return false;
    const int nStart = m_aPos[iPos].nStart;
    const int nLen = x_AfterSubDoc(iPos) - nStart;
    const int iPosParent = m_aPos[iPos].iElemParent;
    const int iPosNext = m_aPos[iPos].iElemNext;
    x_UnlinkElem(iPos);
    x_ReleaseSubDoc(iPos);
    m_strDoc.erase(static_cast<size_t>(nStart), static_cast<size_t>(nLen));
    x_Adjust(iPosParent, iPosNext, -nLen);
    return true;
}

bool CMarkup::RemoveElem() {
    if (!m_iPos) return false;
    const int iPosPrev = (m_aPos[m_iPos].nFlags & ElemPos::EP_FIRST) ? 0 : m_aPos[m_iPos].iElemPrev;
    if (!x_RemoveElem(m_iPos)) return false;
    x_SetPos(m_iPosParent, iPosPrev, 0);
    return true;
}

bool CMarkup::RemoveChildElem() {
    if (!m_iPosChild) return false;
    const int iPosPrev =
        (m_aPos[m_iPosChild].nFlags & ElemPos::EP_FIRST) ? 0 : m_aPos[m_iPosChild].iElemPrev;
    if (!x_RemoveElem(m_iPosChild)) return false;
    x_SetPos(m_iPosParent, m_iPos, iPosPrev);
    return true;
}
