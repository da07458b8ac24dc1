#pragma once

// CMarkupToken: splits a range of markup text into nodes, one at a time. Used by the index
// builder, by the attribute editor to re-check a rewritten start tag, and by the encoding sniffer.
// The range is length-delimited; a NUL byte inside it is an ordinary character.

class CMarkupToken {
public:
    enum NodeKind {
        NK_END = 0,    // end of the range
        NK_START_TAG,  // m_bEmptyElement tells an empty-element tag
        NK_END_TAG,
        NK_TEXT,
        NK_WHITESPACE,
        NK_CDATA,
        NK_PI,
        NK_COMMENT,
        NK_DOCTYPE,
        NK_ERROR,  // a syntax error; m_szError names the result element
    };

    CMarkupToken(const char* pDoc, int nStart, int nEnd)
        : m_pDoc(pDoc), m_nPos(nStart), m_nEnd(nEnd) {}

    // Reads the node at the current offset and moves past it.
    NodeKind Next();
    int Pos() const { return m_nPos; }

    static bool IsWhitespace(unsigned char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r';
    }
    static bool IsNameStart(unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == ':' || c == '_' ||
               (c >= '{' && c <= 0x7F) || c >= 0x80;
    }
    // Characters that end a tag or attribute name in the document text.
    static bool IsNameEnd(unsigned char c) {
        return IsWhitespace(c) || c == '/' || c == '>' || c == '=';
    }
    // Length of the name starting at nPos (not beyond nEnd).
    static int NameLen(const char* pDoc, int nPos, int nEnd);

    // One attribute of a start tag as the tokenizer sees it: a name, optionally "=" and a value
    // that is quoted or bare (up to white space or "="). NextAttrib scans [nCursor, nEnd), the
    // start tag without its name and closing delimiter; a value without a name ("=x") is skipped.
    struct Attrib {
        int nNameStart = 0;
        int nNameLen = 0;
        int nValueStart = 0;
        int nValueLen = 0;
        char cQuote = 0;
        bool bHasValue = false;
    };
    static bool NextAttrib(const char* pDoc, int& nCursor, int nEnd, Attrib& attr);

    // Node found by the last Next().
    NodeKind m_nKind = NK_END;
    int m_nNodeStart = 0;
    int m_nNodeLen = 0;
    int m_nNameStart = 0;  // tag name of a start or end tag
    int m_nNameLen = 0;
    bool m_bEmptyElement = false;
    // For NK_ERROR: the result element name, the offset it reports, and for an unterminated
    // node the kind of node ("start_tag", "comment", ...).
    const char* m_szError = nullptr;
    int m_nErrorOffset = 0;
    const char* m_szUnterminated = nullptr;

private:
    NodeKind x_StartTag();
    NodeKind x_Delimited(NodeKind nKind, const char* szClose, int nCloseLen, const char* szType);
    NodeKind x_DocType();
    NodeKind x_Error(const char* szError, int nErrorOffset, int nFrom);
    NodeKind x_Unterminated(const char* szType);
    int x_Find(int nFrom, const char* szText, int nLen) const;

    const char* m_pDoc;
    int m_nPos;
    int m_nEnd;
};
