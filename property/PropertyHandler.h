#pragma once
// Typed settings in the XML configuration file shared with the host, addressed by
// slash-separated paths ("/components/QXUSB/filename"). Every change is saved at once.

#include <string>
#include <vector>

class CData;
class CMarkup;

class CPropertyHandler {
public:
    // Not bound to a file: Save writes nothing.
    CPropertyHandler();
    // Binds to the file and loads it; a missing or malformed file starts an empty document
    // (a malformed one is kept as "<path>.bad.N" before the first save replaces it).
    explicit CPropertyHandler(const char* pszPath);
    // Never saves.
    ~CPropertyHandler();

    CPropertyHandler(const CPropertyHandler&) = delete;
    CPropertyHandler& operator=(const CPropertyHandler&) = delete;

    bool Get(const std::string& strPath, const std::string& strType, std::string* pstrValue);
    bool Get(const std::string& strPath, std::string* pstrValue);
    bool Get(const std::string& strPath, unsigned* pulValue);
    bool Get(const std::string& strPath, CData& value);

    bool Set(const std::string& strPath, const std::string& strType, const std::string& strValue);
    bool Set(const std::string& strPath, const char* pszValue);
    bool Set(const std::string& strPath, const std::string& strValue);
    bool Set(const std::string& strPath, unsigned ulValue);
    bool Set(const std::string& strPath, CData value);

    // Removes a property or a whole group.
    bool Delete(const std::string& strPath);
    // Names of the groups directly below the group at strPath; always true.
    bool Enum(const std::string& strPath, std::vector<std::string>& listNames);
    // Replaces the file atomically; true without writing when not bound to a file.
    bool Save();

    // Documents: fragments of the configuration wrapped in an "xmlroot" element.
    bool GetProperties(const std::string& strPath, std::string* pstrOut);
    bool GetDocument(const std::string& strPath, std::string* pstrOut);
    bool SetDocument(const std::string& strPath, const std::string& strFragment);
    bool SetProperties(const std::string& strFragment);
    static bool Merge(std::string& strDestination, const std::string& strSource);
    static void MergeXMLs(CMarkup* pDestination, CMarkup* pSource);
    static bool Match(const char* pszElement, const char* pszKey, CMarkup* pDestination,
                      CMarkup* pSource);
    static bool DeletePropertyFromConfigXML(std::string* pstrDocument, const std::string& strId);
    static bool GetAttributeFromConfigXML(const std::string& strDocument, const std::string& strId,
                                          std::string* pstrValue);

    // Merge table: element name and the attribute that identifies an element of that name.
    static const char* const XMLElementTable[6][2];

    // Segments of a path; runs of "/" separate, empty segments are dropped.
    static std::vector<std::string> Split(const std::string& strPath);
    // Whether a printer of model pszCandidate may take over a port configured for pszConfigured.
    static bool IsValidUpdate(const char* pszConfigured, const char* pszCandidate);
    // Decimal digits at the cursor (saturating at INT_MAX); the cursor moves past them.
    static int GetInteger(const char*& pszCursor);
    // Longest valid Roman numeral at the cursor (saturating); the cursor moves past it.
    static unsigned GetRomanNumeral(const char*& pszCursor);

private:
    bool GoHome();
    bool EnterSegment(const std::string& strSegment);
    // Enters segments [0, nCount); returns how many were entered.
    size_t Walk(const std::vector<std::string>& listSegments, size_t nCount);
    bool CreateGroups(const std::vector<std::string>& listSegments, size_t nFrom, size_t nCount);
    bool FindProperty(const std::string& strId);
    bool IsWritable() const;
    bool ResetDocument();
    bool BackupMalformedFile();

    std::string m_strPath;
    CMarkup* m_pMarkup;
    // The document has an "xmlroot" home position; false for a well-formed foreign document,
    // which is never written.
    bool m_bRooted;
    // The file on disk was not loadable as ours; its content is kept as a backup before the
    // first save replaces it.
    bool m_bBackupPending;
};
