#pragma once

// CMarkup: an XML document held as one UTF-8 text plus an index of its elements.
// Navigation is cursor style (parent / main / child position); edits patch the text in place,
// so whatever is not touched (declaration, comments, white space, quoting) stays byte for byte.

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The first failure of the last SetDoc, Load or Save, beside the result text, so that callers
// test a value instead of searching the text.
struct MarkupResult {
    enum Status {
        MRS_OK = 0,
        MRS_FILE_ERROR,
        MRS_NO_ROOT_ELEMENT,
        MRS_ROOT_HAS_SIBLING,
        MRS_LONE_END_TAG,
        MRS_UNENDED_START_TAG,
        MRS_TAG_SYNTAX,
        MRS_UNTERMINATED_TAG,
    };
    Status status = MRS_OK;
    long long nOffset = -1;      // parse errors: where in the document text, in bytes
    int nErrno = 0;              // file errors: the system's error number
    std::string strDescription;  // the failure's text as GetError words it
    bool Ok() const { return status == MRS_OK; }
};

class CMarkup {
public:
    // Document flags: the byte-order mark found by Load and written again by Save, and
    // case-insensitive name matching.
    enum MarkupDocFlags {
        MDF_UTF16LEFILE = 0x01,
        MDF_UTF8PREAMBLE = 0x04,
        MDF_IGNORECASE = 0x08,
        MDF_UTF16BEFILE = 0x80,
    };

    // Flags for adding elements, setting attributes and data, and escaping text.
    enum MarkupNodeFlags {
        MNF_WITHCDATA = 0x01,      // SetData: write the value as a CDATA section
        MNF_WITHNOLINES = 0x02,    // add elements without CR LF line breaks
        MNF_WITHREFS = 0x08,       // escaping keeps well-formed references as they are
        MNF_CHILD = 0x4000,        // add as a child of the main element
        MNF_ESCAPEQUOTES = 0x100,  // escaping also turns quotes into references
    };

    // Node kinds of the tokenizer (the main node type is MNT_ELEMENT on an element).
    enum MarkupNodeType {
        MNT_ELEMENT = 1,
        MNT_TEXT = 2,
        MNT_WHITESPACE = 4,
        MNT_CDATA_SECTION = 8,
        MNT_PROCESSING_INSTRUCTION = 16,
        MNT_COMMENT = 32,
        MNT_DOCUMENT_TYPE = 64,
        MNT_LONE_END_TAG = 128,
        MNT_NODE_ERROR = 32768,
    };

    CMarkup();
    explicit CMarkup(const char* szDoc);
    explicit CMarkup(const std::string& strDoc);
    CMarkup(const CMarkup& other);
    CMarkup& operator=(const CMarkup& other);
    ~CMarkup();

    // Document level. SetDoc and Load return whether the document is well-formed.
    bool SetDoc(const char* szDoc);
    bool SetDoc(const std::string& strDoc);
    const std::string& GetDoc() const { return m_strDoc; }
    bool IsWellFormed() const;
    bool Load(const std::string& strPath);
    bool Save(const std::string& strPath);
    std::string GetError() const;
    const std::string& GetResult() const { return m_strResult; }
    const MarkupResult& GetStatus() const { return m_result; }
    int GetDocFlags() const { return m_nDocFlags; }
    void SetDocFlags(int nFlags) { m_nDocFlags = nFlags; }

    // Navigation. Names may be plain tag names or the path forms ("a/b", "/root", "//x",
    // "x[2]", "x[@a]", "x[@a='v']", "x[child]"); null or empty matches any element.
    bool FindElem(const char* szName = nullptr);
    bool FindElem(const std::string& strName) { return FindElem(strName.c_str()); }
    bool FindChildElem(const char* szName = nullptr);
    bool FindChildElem(const std::string& strName) { return FindChildElem(strName.c_str()); }
    bool IntoElem();
    bool OutOfElem();
    void ResetPos();
    void ResetMainPos();
    void ResetChildPos();
    bool SavePos(const char* szPosName = "", int nMap = 0);
    bool SavePos(const std::string& strPosName, int nMap = 0) {
        return SavePos(strPosName.c_str(), nMap);
    }
    bool RestorePos(const char* szPosName = "", int nMap = 0);
    bool RestorePos(const std::string& strPosName, int nMap = 0) {
        return RestorePos(strPosName.c_str(), nMap);
    }
    int GetNodeType() const { return m_nNodeType; }

    // Reading the main (or child) element.
    std::string GetTagName() const { return x_GetTagName(m_iPos); }
    std::string GetChildTagName() const { return x_GetTagName(m_iPosChild); }
    std::string GetAttrib(const char* szAttrib) const { return x_GetAttrib(m_iPos, szAttrib); }
    std::string GetAttrib(const std::string& strAttrib) const {
        return x_GetAttrib(m_iPos, strAttrib.c_str());
    }
    std::string GetChildAttrib(const char* szAttrib) const {
        return x_GetAttrib(m_iPosChild, szAttrib);
    }
    std::string GetChildAttrib(const std::string& strAttrib) const {
        return x_GetAttrib(m_iPosChild, strAttrib.c_str());
    }
    std::string GetAttribName(int n) const;
    // Offsets (in the document text) of the named attribute's value between its quotes.
    bool GetAttribOffsets(const char* szAttrib, int* pnValueOffset = nullptr,
                          int* pnValueLength = nullptr) const;
    // Unescaped text content; empty when the element has child elements.
    std::string GetData() const { return x_GetData(m_iPos); }
    std::string GetChildData() const { return x_GetData(m_iPosChild); }
    std::string GetSubDoc() const { return x_GetSubDoc(m_iPos); }
    std::string GetChildSubDoc() const { return x_GetSubDoc(m_iPosChild); }
    std::string GetElemContent() const { return x_GetElemContent(m_iPos); }

    // Editing.
    bool SetAttrib(const char* szAttrib, const char* szValue, int nFlags = 0) {
        return x_SetAttrib(m_iPos, szAttrib, szValue, nFlags);
    }
    bool SetAttrib(const std::string& strAttrib, const std::string& strValue, int nFlags = 0) {
        return x_SetAttrib(m_iPos, strAttrib.c_str(), strValue.c_str(), nFlags);
    }
    bool SetAttrib(const char* szAttrib, int nValue, int nFlags = 0) {
        return x_SetAttrib(m_iPos, szAttrib, nValue, nFlags);
    }
    bool SetChildAttrib(const char* szAttrib, const char* szValue, int nFlags = 0) {
        return x_SetAttrib(m_iPosChild, szAttrib, szValue, nFlags);
    }
    bool SetChildAttrib(const char* szAttrib, int nValue, int nFlags = 0) {
        return x_SetAttrib(m_iPosChild, szAttrib, nValue, nFlags);
    }
    bool AddElem(const char* szName, const char* szValue = nullptr, int nFlags = 0) {
        return x_AddElem(szName, szValue, nFlags);
    }
    bool AddElem(const std::string& strName, const std::string& strValue, int nFlags = 0) {
        return x_AddElem(strName.c_str(), strValue.c_str(), nFlags);
    }
    bool AddElem(const char* szName, int nValue, int nFlags = 0) {
        return x_AddElem(szName, nValue, nFlags);
    }
    bool AddChildElem(const char* szName, const char* szValue = nullptr, int nFlags = 0) {
        return x_AddElem(szName, szValue, nFlags | MNF_CHILD);
    }
    bool AddChildElem(const std::string& strName, const std::string& strValue, int nFlags = 0) {
        return x_AddElem(strName.c_str(), strValue.c_str(), nFlags | MNF_CHILD);
    }
    bool AddChildElem(const char* szName, int nValue, int nFlags = 0) {
        return x_AddElem(szName, nValue, nFlags | MNF_CHILD);
    }
    bool AddSubDoc(const char* szSubDoc) { return x_AddSubDoc(szSubDoc, 0); }
    bool AddSubDoc(const std::string& strSubDoc) { return x_AddSubDoc(strSubDoc.c_str(), 0); }
    bool AddChildSubDoc(const char* szSubDoc) { return x_AddSubDoc(szSubDoc, MNF_CHILD); }
    bool AddChildSubDoc(const std::string& strSubDoc) {
        return x_AddSubDoc(strSubDoc.c_str(), MNF_CHILD);
    }
    bool RemoveElem();
    bool RemoveChildElem();
    // Replaces the content of the main element (escaped, or as CDATA with MNF_WITHCDATA);
    // refused when the element has child elements.
    bool SetData(const char* szData, int nFlags = 0);
    bool SetData(const std::string& strData, int nFlags = 0) {
        return SetData(strData.c_str(), nFlags);
    }
    bool SetData(int nValue);
    // Replaces the content of the main element with markup; returns whether it parsed cleanly.
    bool SetElemContent(const char* szContent) { return x_SetElemContent(szContent); }
    bool SetElemContent(const std::string& strContent) {
        return x_SetElemContent(strContent.c_str());
    }

    // Walks the element index and checks every record against the text and its neighbours.
    // Empty string when consistent, else a description of the first inconsistency.
    std::string CheckIndex() const;

    // Text utilities.
    static std::string EscapeText(const char* szText, int nFlags = 0);
    static std::string EscapeText(const std::string& strText, int nFlags = 0) {
        return EscapeText(strText.c_str(), nFlags);
    }
    static std::string UnescapeText(const char* szText, int nTextLength = -1);
    static std::string UnescapeText(const std::string& strText) {
        return UnescapeText(strText.c_str(), static_cast<int>(strText.size()));
    }
    static std::string EncodeBase64(const unsigned char* pBuffer, int nBufferLen);
    // Returns the byte count decoded, 0 when it would not fit; with nBufferSize 0 the upper bound.
    static int DecodeBase64(const std::string& strBase64, unsigned char* pBuffer, int nBufferSize);

    // Files and encodings.
    // A failure is also recorded in *pResult unless one is recorded there already.
    static bool ReadTextFile(const char* szFileName, std::string& strDoc,
                             std::string* pstrResult = nullptr, int* pnDocFlags = nullptr,
                             std::string* pstrEncoding = nullptr, MarkupResult* pResult = nullptr);
    static bool WriteTextFile(const char* szFileName, const std::string& strDoc,
                              std::string* pstrResult = nullptr, int* pnDocFlags = nullptr,
                              std::string* pstrEncoding = nullptr, MarkupResult* pResult = nullptr);
    static std::string GetDeclaredEncoding(const char* szDoc);
    static std::string GetDeclaredEncoding(const std::string& strDoc) {
        return GetDeclaredEncoding(strDoc.c_str());
    }
    // Whether the bytes (up to nTextLen or a NUL) decode as UTF-8 under the lenient rule.
    static bool DetectUTF8(const char* pText, int nTextLen, int* pnNonASCII = nullptr,
                           bool* pbErrorAtEnd = nullptr);
    // Encoders write at psz (when not null) and add the number of units to nLen.
    static void EncodeCharUTF8(int nUChar, char* pszUTF8, int& nUTF8Len);
    static void EncodeCharUTF16(int nUChar, unsigned short* pwszUTF16, int& nUTF16Len);
    // Decoders advance the pointer; -1 for an invalid sequence. A null end means NUL-terminated.
    static int DecodeCharUTF8(const char*& pszUTF8, const char* pszUTF8End = nullptr);
    static int DecodeCharUTF16(const unsigned short*& pwszUTF16,
                               const unsigned short* pwszUTF16End = nullptr);
    // Whole-text conversion; with a null output only counts. Undecodable characters become '?'.
    static int UTF8To16(unsigned short* pwszUTF16, const char* pszUTF8, int nUTF8Count);
    static int UTF16To8(char* pszUTF8, const unsigned short* pwszUTF16, int nUTF16Count);

    // One record per element. The lengths and the level are full-width fields: a start tag over
    // 4 MB, an end tag over 1 KB or nesting deeper than 65535 would otherwise wrap and corrupt
    // the offsets of every later element.
    struct ElemPos {
        int nStart = 0;
        int nLength = 0;
        int nStartTagLen = 0;
        int nEndTagLen = 0;
        int nLevel = 0;
        int nFlags = 0;
        int iElemParent = 0;
        int iElemChild = 0;
        int iElemNext = 0;
        int iElemPrev = 0;

        enum {
            EP_FIRST = 0x01,      // first child of its parent
            EP_EMPTY = 0x02,      // empty-element tag, no end tag
            EP_ILLFORMED = 0x04,  // on the document record: the parse found errors
            EP_UNENDED = 0x08,    // start tag without an end tag
            EP_FREE = 0x8000,     // record on the free list
        };
        int StartAfter() const { return nStart + nLength; }
        int StartContent() const { return nStart + nStartTagLen; }
        int ContentLen() const { return nLength - nStartTagLen - nEndTagLen; }
        bool IsEmptyElement() const { return (nFlags & EP_EMPTY) != 0; }
        bool IsUnended() const { return (nFlags & EP_UNENDED) != 0; }
    };

    // Records in blocks of 65536; index = block << 16 | offset; record 0 is the document.
    // A block grows in place up to its full size, so small documents stay small.
    class ElemPosTree {
    public:
        void Clear() {
            m_vBlocks.clear();
            m_nSize = 0;
        }
        void Reserve(int nRecords);
        int Size() const { return m_nSize; }
        ElemPos& operator[](int i) { return m_vBlocks[static_cast<unsigned>(i) >> 16][i & 0xFFFF]; }
        const ElemPos& operator[](int i) const {
            return m_vBlocks[static_cast<unsigned>(i) >> 16][i & 0xFFFF];
        }

    private:
        std::vector<std::vector<ElemPos>> m_vBlocks;
        int m_nSize = 0;
    };

    // Documents (and edits) are limited to what a record's int offsets can address.
    static constexpr int kMaxDocLength = 0x7FFFFFF0;

protected:
    enum {
        SPM_PARENT = 1,
        SPM_MAIN = 2,
        SPM_CHILD = 4,
    };
    struct SavedPos {
        std::string strName;
        int iPos = 0;
        int nSavedPosFlags = 0;  // SPM_ value: which of parent, main, child was saved
    };
    // One map per map number, each a small hash table of named positions.
    struct SavedPosMap {
        std::vector<std::vector<SavedPos>> vBuckets;
    };
    struct SavedPosMapArray {
        std::vector<SavedPosMap> vMaps;
    };

    // Element access and editing on an explicit element index.
    std::string x_GetTagName(int iPos) const;
    std::string x_GetAttrib(int iPos, const char* szAttrib) const;
    std::string x_GetData(int iPos) const;
    std::string x_GetSubDoc(int iPos) const;
    std::string x_GetElemContent(int iPos) const;
    bool x_SetAttrib(int iPos, const char* szAttrib, const char* szValue, int nFlags = 0);
    bool x_SetAttrib(int iPos, const char* szAttrib, int nValue, int nFlags = 0);
    bool x_AddElem(const char* szName, const char* szValue, int nFlags);
    bool x_AddElem(const char* szName, int nValue, int nFlags);
    bool x_AddSubDoc(const char* szSubDoc, int nFlags);
    bool x_SetElemContent(const char* szContent);
    bool x_RemoveElem(int iPos);

    // Index building and bookkeeping.
    bool x_ParseDoc();
    bool x_ParseElem(int iPosParent, int iPosPrev, int nStart, int nEnd, std::string& strResult,
                     MarkupResult* pResult, int& iPosFirst);
    int x_GetFreePos();
    void x_ReleaseSubDoc(int iPos);
    void x_ReleaseChildren(int iPos);
    void x_LinkElem(int iPosParent, int iPosPrev, int iPos);
    void x_UnlinkElem(int iPos);
    void x_UnendElem(int iPos);
    int x_LastChild(int iPos) const;
    void x_Adjust(int iPosParent, int iPosFrom, int nShift);
    void x_SetLevels(int iPos);
    void x_SetPos(int iPosParent, int iPos, int iPosChild);
    int x_FindElem(int iPosParent, int iPos, const char* szPath) const;
    bool x_MatchName(int iPos, const char* szName, int nNameLen) const;
    int x_AfterSubDoc(int iPos) const;
    bool x_InsertContent(int iPosParent, int iPosBefore, const std::string& strText, int nFlags,
                         int& nOffset, int& iPosPrev);
    bool x_ReplaceContent(int iPos, const std::string& strContent, int& nOffset);
    bool x_FindAttrib(int iPos, const char* szAttrib, int nAttrib, int* pnNameStart, int* pnNameLen,
                      int* pnValueStart, int* pnValueLen, char* pcQuote, int* pnLastEnd) const;
    static void x_AddResult(std::string& strResult, MarkupResult* pResult, const char* szName,
                            const char* szTextAttr = nullptr,
                            const std::string& strText = std::string(),
                            const char* szNumAttr = nullptr, long long nNum = 0,
                            const char* szNum2Attr = nullptr, long long nNum2 = 0);
    // The GetError text of one result element, its attributes read through attr.
    static std::string x_ResultText(const std::string& strName,
                                    const std::function<std::string(const char*)>& attr,
                                    bool& bParseError);

    std::string m_strDoc;
    std::string m_strResult;
    MarkupResult m_result;
    int m_nDocFlags = 0;
    ElemPosTree m_aPos;
    SavedPosMapArray m_SavedPosMaps;
    int m_iPosParent = 0;
    int m_iPos = 0;
    int m_iPosChild = 0;
    int m_iPosFree = 0;  // head of the list of released records, linked through iElemNext
    int m_iPosNext = 1;  // first record never handed out
    int m_nNodeType = 0;
    int m_nNodeOffset = 0;
    int m_nNodeLength = 0;
};
