#include "markup/MarkupToken.h"

#include <cstring>

int CMarkupToken::NameLen(const char* pDoc, int nPos, int nEnd) {
    int n = nPos;
    while (n < nEnd && !IsNameEnd(static_cast<unsigned char>(pDoc[n]))) ++n;
    return n - nPos;
}

bool CMarkupToken::NextAttrib(const char* pDoc, int& nCursor, int nEnd, Attrib& attr) {
    auto isWs = [pDoc](int n) { return IsWhitespace(static_cast<unsigned char>(pDoc[n])); };
    for (;;) {
        while (nCursor < nEnd && (isWs(nCursor) || pDoc[nCursor] == '/')) ++nCursor;
        if (nCursor >= nEnd) return false;
        attr = Attrib();
        attr.nNameStart = nCursor;
        while (nCursor < nEnd && !isWs(nCursor) && pDoc[nCursor] != '=' && pDoc[nCursor] != '/')
            ++nCursor;
        attr.nNameLen = nCursor - attr.nNameStart;
        int p = nCursor;
        while (p < nEnd && isWs(p)) ++p;
        if (p < nEnd && pDoc[p] == '=') {
            ++p;
            while (p < nEnd && isWs(p)) ++p;
            attr.bHasValue = true;
            if (p < nEnd && (pDoc[p] == '"' || pDoc[p] == '\'')) {
                attr.cQuote = pDoc[p];
                const void* pClose =
                    memchr(pDoc + p + 1, pDoc[p], static_cast<size_t>(nEnd - p - 1));
                const int nClose =
                    pClose ? static_cast<int>(static_cast<const char*>(pClose) - pDoc) : nEnd;
                attr.nValueStart = p + 1;
                attr.nValueLen = nClose - p - 1;
                nCursor = nClose < nEnd ? nClose + 1 : nEnd;
            } else {
                attr.nValueStart = p;
                while (p < nEnd && !isWs(p) && pDoc[p] != '=') ++p;
                attr.nValueLen = p - attr.nValueStart;
                nCursor = p;
            }
        }
        if (attr.nNameLen > 0) return true;
    }
}

int CMarkupToken::x_Find(int nFrom, const char* szText, int nLen) const {
    if (nFrom >= m_nEnd) return -1;
    const void* p = memmem(m_pDoc + nFrom, static_cast<size_t>(m_nEnd - nFrom), szText,
                           static_cast<size_t>(nLen));
    return p ? static_cast<int>(static_cast<const char*>(p) - m_pDoc) : -1;
}

CMarkupToken::NodeKind CMarkupToken::Next() {
    m_nNodeStart = m_nPos;
    m_nNameStart = m_nNameLen = 0;
    m_bEmptyElement = false;
    m_szError = m_szUnterminated = nullptr;
    m_nErrorOffset = 0;
    if (m_nPos >= m_nEnd) {
        m_nNodeLen = 0;
        return m_nKind = NK_END;
    }

    const char* pDoc = m_pDoc;
    const int nPos = m_nPos;
    if (pDoc[nPos] != '<') {
        const void* pLt = memchr(pDoc + nPos, '<', static_cast<size_t>(m_nEnd - nPos));
        const int nStop = pLt ? static_cast<int>(static_cast<const char*>(pLt) - pDoc) : m_nEnd;
        NodeKind nKind = NK_WHITESPACE;
        for (int n = nPos; n < nStop; ++n) {
            if (!IsWhitespace(static_cast<unsigned char>(pDoc[n]))) {
                nKind = NK_TEXT;
                break;
            }
        }
        m_nNodeLen = nStop - nPos;
        m_nPos = nStop;
        return m_nKind = nKind;
    }

    if (nPos + 1 >= m_nEnd) return x_Unterminated("tag");
    const unsigned char c1 = static_cast<unsigned char>(pDoc[nPos + 1]);
    if (c1 == '!') {
        if (nPos + 2 >= m_nEnd) return x_Unterminated("tag");
        const char c2 = pDoc[nPos + 2];
        if (c2 == '-') {
            if (nPos + 3 >= m_nEnd) return x_Unterminated("comment");
            if (pDoc[nPos + 3] != '-') return x_Error("comment_tag_syntax", nPos, nPos + 1);
            m_nPos = nPos + 4;
            return x_Delimited(NK_COMMENT, "-->", 3, "comment");
        }
        if (c2 == '[') {
            if (nPos + 3 >= m_nEnd) return x_Unterminated("cdata_section");
            if (pDoc[nPos + 3] != 'C') return x_Error("cdata_section_syntax", nPos, nPos + 1);
            m_nPos = nPos + 3;
            return x_Delimited(NK_CDATA, "]]>", 3, "cdata_section");
        }
        if (c2 == 'D') return x_DocType();
        return x_Error("exclamation_tag_syntax", nPos, nPos + 1);
    }
    if (c1 == '?') {
        m_nPos = nPos + 2;
        return x_Delimited(NK_PI, "?>", 2, "processing_instruction");
    }
    if (c1 == '/') {
        m_nPos = nPos + 2;
        const NodeKind nKind = x_Delimited(NK_END_TAG, ">", 1, "end_tag");
        if (nKind == NK_END_TAG) {
            m_nNameStart = nPos + 2;
            m_nNameLen = NameLen(pDoc, m_nNameStart, m_nNodeStart + m_nNodeLen - 1);
        }
        return nKind;
    }
    if (IsNameStart(c1)) return x_StartTag();
    return x_Error("first_tag_syntax", nPos, nPos + 1);
}

CMarkupToken::NodeKind CMarkupToken::x_StartTag() {
    const char* pDoc = m_pDoc;
    m_nNameStart = m_nNodeStart + 1;
    m_nNameLen = NameLen(pDoc, m_nNameStart, m_nEnd);
    const int nNameEnd = m_nNameStart + m_nNameLen;
    int p = nNameEnd;
    while (p < m_nEnd) {
        const char c = pDoc[p];
        if (c == '>') {
            if (pDoc[p - 1] == '/') {
                // Only a slash right after the name, white space or a quote makes "/>" close the
                // element: after a bare word the slash belongs to that word.
                const int nSlash = p - 1;
                const char cBefore = pDoc[nSlash - 1];
                m_bEmptyElement = nSlash == nNameEnd ||
                                  IsWhitespace(static_cast<unsigned char>(cBefore)) ||
                                  cBefore == '"' || cBefore == '\'';
            }
            m_nNodeLen = p + 1 - m_nNodeStart;
            m_nPos = p + 1;
            return m_nKind = NK_START_TAG;
        }
        if (c == '=') {
            ++p;
            while (p < m_nEnd && IsWhitespace(static_cast<unsigned char>(pDoc[p]))) ++p;
            if (p < m_nEnd && (pDoc[p] == '"' || pDoc[p] == '\'')) {
                const void* pQuote =
                    memchr(pDoc + p + 1, pDoc[p], static_cast<size_t>(m_nEnd - p - 1));
                if (!pQuote) break;
                p = static_cast<int>(static_cast<const char*>(pQuote) - pDoc) + 1;
            }
            continue;
        }
        ++p;
    }
    return x_Unterminated("start_tag");
}

CMarkupToken::NodeKind CMarkupToken::x_Delimited(NodeKind nKind, const char* szClose, int nCloseLen,
                                                 const char* szType) {
    const int nFound = x_Find(m_nPos, szClose, nCloseLen);
    if (nFound < 0) return x_Unterminated(szType);
    m_nPos = nFound + nCloseLen;
    m_nNodeLen = m_nPos - m_nNodeStart;
    return m_nKind = nKind;
}

CMarkupToken::NodeKind CMarkupToken::x_DocType() {
    const char* pDoc = m_pDoc;
    int p = m_nNodeStart + 3;
    while (p < m_nEnd) {
        const char c = pDoc[p];
        if (c == '>') {
            m_nPos = p + 1;
            m_nNodeLen = m_nPos - m_nNodeStart;
            return m_nKind = NK_DOCTYPE;
        }
        if (c == '<' && p + 1 < m_nEnd && pDoc[p + 1] == '!') {
            if (p + 2 >= m_nEnd) break;
            const char c2 = pDoc[p + 2];
            if (c2 == '-' && p + 3 < m_nEnd && pDoc[p + 3] == '-') {
                const int nClose = x_Find(p + 4, "-->", 3);
                if (nClose < 0) break;
                p = nClose + 3;
                continue;
            }
            if (c2 == 'E' || c2 == 'A' || c2 == 'N') {
                int q = p + 3;
                while (q < m_nEnd && pDoc[q] != '>') {
                    if (pDoc[q] == '"' || pDoc[q] == '\'') {
                        const void* pQuote =
                            memchr(pDoc + q + 1, pDoc[q], static_cast<size_t>(m_nEnd - q - 1));
                        if (!pQuote) {
                            q = m_nEnd;
                            break;
                        }
                        q = static_cast<int>(static_cast<const char*>(pQuote) - pDoc);
                    }
                    ++q;
                }
                if (q >= m_nEnd) break;
                p = q + 1;
                continue;
            }
            return x_Error("doctype_tag_syntax", p, p + 1);
        }
        ++p;
    }
    return x_Unterminated("document_type");
}

CMarkupToken::NodeKind CMarkupToken::x_Error(const char* szError, int nErrorOffset, int nFrom) {
    // The rest of the tag becomes one error node: through the next ">", or up to the next "<".
    int p = nFrom;
    while (p < m_nEnd && m_pDoc[p] != '>' && m_pDoc[p] != '<') ++p;
    if (p < m_nEnd && m_pDoc[p] == '>') ++p;
    m_szError = szError;
    m_nErrorOffset = nErrorOffset;
    m_nPos = p;
    m_nNodeLen = p - m_nNodeStart;
    return m_nKind = NK_ERROR;
}

CMarkupToken::NodeKind CMarkupToken::x_Unterminated(const char* szType) {
    m_szError = "unterminated_tag_syntax";
    m_szUnterminated = szType;
    m_nErrorOffset = m_nNodeStart;
    m_nPos = m_nEnd;
    m_nNodeLen = m_nEnd - m_nNodeStart;
    return m_nKind = NK_ERROR;
}
