// CMarkup::CheckIndex: walks the element index and checks it against the text. Used by the
// tests and the fuzz target after every edit.

#include <cstring>

#include "markup/Markup.h"
#include "markup/MarkupToken.h"

namespace {

std::string Problem(const char* szWhat, int iPos) {
    return std::string(szWhat) + " (record " + std::to_string(iPos) + ")";
}

}  // namespace

std::string CMarkup::CheckIndex() const {
    if (m_aPos.Size() == 0) return "no document record";
    const char* pDoc = m_strDoc.data();
    const int nDocLen = static_cast<int>(m_strDoc.size());
    const ElemPos& doc = m_aPos[0];
    if (doc.nStart != 0 || doc.nLength != nDocLen)
        return Problem("document record does not span the text", 0);
    if (m_iPosNext > m_aPos.Size() || m_iPosNext < 1) return "record high-water mark out of range";

    std::vector<char> vSeen(static_cast<size_t>(m_iPosNext), 0);
    vSeen[0] = 1;
    int nReachable = 0;
    // Pre-order walk using an explicit stack of parents.
    std::vector<int> vParents(1, 0);
    std::vector<int> vNext(1, doc.iElemChild);
    while (!vParents.empty()) {
        const int iParent = vParents.back();
        const int iPos = vNext.back();
        if (!iPos) {
            vParents.pop_back();
            vNext.pop_back();
            continue;
        }
        if (iPos < 0 || iPos >= m_iPosNext) return Problem("link out of range", iParent);
        if (vSeen[static_cast<size_t>(iPos)]) return Problem("record reached twice", iPos);
        vSeen[static_cast<size_t>(iPos)] = 1;
        ++nReachable;
        const ElemPos& elem = m_aPos[iPos];
        const ElemPos& parent = m_aPos[iParent];
        if (elem.nFlags & ElemPos::EP_FREE)
            return Problem("free record linked into the tree", iPos);
        if (elem.iElemParent != iParent) return Problem("wrong parent link", iPos);
        const bool bFirst = parent.iElemChild == iPos;
        if (bFirst != ((elem.nFlags & ElemPos::EP_FIRST) != 0))
            return Problem("first-child flag wrong", iPos);
        if (bFirst) {
            const int iLast = elem.iElemPrev;
            if (iLast <= 0 || iLast >= m_iPosNext || m_aPos[iLast].iElemNext != 0 ||
                m_aPos[iLast].iElemParent != iParent)
                return Problem("first child does not lead to the last child", iPos);
        } else if (elem.iElemPrev <= 0 || elem.iElemPrev >= m_iPosNext ||
                   m_aPos[elem.iElemPrev].iElemNext != iPos)
            return Problem("previous-sibling link wrong", iPos);
        if (elem.nLevel != (iParent ? parent.nLevel + 1 : 0)) return Problem("level wrong", iPos);

        // Offsets against the parent and the previous sibling.
        const int nLimitStart = iParent ? parent.StartContent() : 0;
        const int nLimitEnd = iParent ? parent.StartContent() + parent.ContentLen() : nDocLen;
        if (elem.nStart < nLimitStart || elem.nLength <= 0 || elem.StartAfter() > nLimitEnd)
            return Problem("element outside its parent's content", iPos);
        if (!bFirst && m_aPos[elem.iElemPrev].StartAfter() > elem.nStart)
            return Problem("element overlaps its previous sibling", iPos);

        // The text itself.
        if (elem.nStartTagLen < 3 || elem.nStartTagLen > elem.nLength || pDoc[elem.nStart] != '<' ||
            !CMarkupToken::IsNameStart(static_cast<unsigned char>(pDoc[elem.nStart + 1])))
            return Problem("start tag malformed", iPos);
        CMarkupToken token(pDoc, elem.nStart, nDocLen);
        if (token.Next() != CMarkupToken::NK_START_TAG || token.m_nNodeLen != elem.nStartTagLen ||
            token.m_bEmptyElement != elem.IsEmptyElement())
            return Problem("start tag does not read back as recorded", iPos);
        if (elem.IsEmptyElement() || elem.IsUnended()) {
            if (elem.nEndTagLen != 0 || elem.nLength != elem.nStartTagLen)
                return Problem("element without end tag has content", iPos);
            if (elem.iElemChild) return Problem("element without end tag has children", iPos);
        } else {
            const int nEndTag = elem.StartAfter() - elem.nEndTagLen;
            if (elem.nEndTagLen < 3 || nEndTag < elem.StartContent() || pDoc[nEndTag] != '<' ||
                pDoc[nEndTag + 1] != '/' || pDoc[elem.StartAfter() - 1] != '>')
                return Problem("end tag malformed", iPos);
            const int nNameLen =
                CMarkupToken::NameLen(pDoc, elem.nStart + 1, elem.nStart + elem.nStartTagLen);
            const int nEndNameLen = CMarkupToken::NameLen(pDoc, nEndTag + 2, elem.StartAfter() - 1);
            const bool bIgnoreCase = (m_nDocFlags & MDF_IGNORECASE) != 0;
            bool bSame = nNameLen == nEndNameLen;
            for (int i = 0; bSame && i < nNameLen; ++i) {
                char a = pDoc[elem.nStart + 1 + i], b = pDoc[nEndTag + 2 + i];
                if (bIgnoreCase && a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
                if (bIgnoreCase && b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
                bSame = a == b;
            }
            if (!bSame) return Problem("end tag names another element", iPos);
        }

        vNext.back() = elem.iElemNext;
        vParents.push_back(iPos);
        vNext.push_back(elem.iElemChild);
    }

    int nFree = 0;
    for (int i = m_iPosFree; i; i = m_aPos[i].iElemNext) {
        if (i < 0 || i >= m_iPosNext || vSeen[static_cast<size_t>(i)] ||
            !(m_aPos[i].nFlags & ElemPos::EP_FREE))
            return Problem("free list broken", i);
        vSeen[static_cast<size_t>(i)] = 1;
        ++nFree;
    }
    if (nReachable + nFree + 1 != m_iPosNext) return "records lost: neither in the tree nor free";

    auto valid = [&](int i) {
        return i >= 0 && i < m_iPosNext && !(m_aPos[i].nFlags & ElemPos::EP_FREE);
    };
    if (!valid(m_iPosParent) || !valid(m_iPos) || !valid(m_iPosChild))
        return "position points at a released record";
    if (m_iPos && m_aPos[m_iPos].iElemParent != m_iPosParent)
        return "main position is not a child of the parent position";
    if (m_iPosChild && (!m_iPos || m_aPos[m_iPosChild].iElemParent != m_iPos))
        return "child position is not a child of the main position";
    for (const SavedPosMap& map : m_SavedPosMaps.vMaps)
        for (const std::vector<SavedPos>& bucket : map.vBuckets)
            for (const SavedPos& saved : bucket)
                if (!valid(saved.iPos))
                    return "saved position " + saved.strName + " points at a released record";

    // A document the parser and the edits consider clean must index exactly as a fresh parse.
    if (!(doc.nFlags & ElemPos::EP_ILLFORMED)) {
        CMarkup fresh;
        fresh.m_nDocFlags = m_nDocFlags & MDF_IGNORECASE;
        fresh.SetDoc(m_strDoc);
        if (fresh.m_aPos[0].nFlags & ElemPos::EP_ILLFORMED)
            return "edits made a clean document ill-formed: " + fresh.GetError();
        int a = doc.iElemChild, b = fresh.m_aPos[0].iElemChild;
        while (a || b) {
            if (!a || !b) return "element count differs from a fresh parse";
            const ElemPos& ea = m_aPos[a];
            const ElemPos& eb = fresh.m_aPos[b];
            if (ea.nStart != eb.nStart || ea.nLength != eb.nLength ||
                ea.nStartTagLen != eb.nStartTagLen || ea.nEndTagLen != eb.nEndTagLen ||
                ea.nLevel != eb.nLevel ||
                (ea.nFlags & (ElemPos::EP_EMPTY | ElemPos::EP_UNENDED)) !=
                    (eb.nFlags & (ElemPos::EP_EMPTY | ElemPos::EP_UNENDED)))
                return Problem("element differs from a fresh parse", a);
            // Same pre-order step in both trees.
            auto step = [](const ElemPosTree& tree, int i) {
                if (tree[i].iElemChild) return tree[i].iElemChild;
                while (i && !tree[i].iElemNext) i = tree[i].iElemParent;
                return i ? tree[i].iElemNext : 0;
            };
            a = step(m_aPos, a);
            b = step(fresh.m_aPos, b);
        }
    }
    return std::string();
}
