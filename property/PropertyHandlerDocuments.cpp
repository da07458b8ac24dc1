// Whole fragments of the configuration: group contents and properties as XML text, applying a
// fragment at the path it names, and merging two documents.

#include <string>

#include "log/Log.h"
#include "markup/Markup.h"
#include "property/PropertyHandler.h"

namespace {
const char kRoot[] = "xmlroot";
const char kGroup[] = "type";
const char kProperty[] = "property";
// Merging recurses once per matched level; deeper documents are not merged further.
const int kMaxMergeDepth = 256;

std::string Wrap(const std::string& strInner) {
    return std::string("<xmlroot>") + strInner + "</xmlroot>";
}

// An element's markup without the white space that follows it: the document adds its own line
// break when the element is inserted.
std::string ElementMarkup(const CMarkup& markup) {
    std::string strSubDoc = markup.GetSubDoc();
    size_t nEnd = strSubDoc.find_last_not_of(" \t\r\n");
    strSubDoc.erase(nEnd == std::string::npos ? 0 : nEnd + 1);
    return strSubDoc;
}

bool EnterRoot(CMarkup& markup) {
    markup.ResetPos();
    return markup.FindElem(kRoot) && markup.IntoElem();
}

bool FindPropertyById(CMarkup& markup, const std::string& strId) {
    while (markup.FindElem(kProperty)) {
        if (markup.GetAttrib("id") == strId) return true;
    }
    return false;
}

void MergeLevels(CMarkup* pDestination, CMarkup* pSource, int nDepth);
}  // namespace

const char* const CPropertyHandler::XMLElementTable[6][2] = {
    {"ui", "language"},  {"property", "id"}, {"choice", "id"},
    {"option", "value"}, {"range", "id"},    {"value", "id"},
};

bool CPropertyHandler::GetProperties(const std::string& strPath, std::string* pstrOut) {
    std::vector<std::string> listSegments = Split(strPath);
    Walk(listSegments, listSegments.size());
    std::string strInner;
    while (m_pMarkup->FindElem(kProperty)) strInner += m_pMarkup->GetSubDoc();
    if (pstrOut != nullptr) *pstrOut = strInner.empty() ? strInner : Wrap(strInner);
    return true;
}

bool CPropertyHandler::GetDocument(const std::string& strPath, std::string* pstrOut) {
    std::vector<std::string> listSegments = Split(strPath);
    if (listSegments.empty()) {
        if (pstrOut != nullptr) *pstrOut = m_pMarkup->GetDoc();
        return true;
    }
    Walk(listSegments, listSegments.size() - 1);
    while (m_pMarkup->FindElem(kGroup)) {
        if (m_pMarkup->GetAttrib("value") == listSegments.back()) {
            if (pstrOut != nullptr) *pstrOut = Wrap(m_pMarkup->GetElemContent());
            return true;
        }
    }
    return false;
}

bool CPropertyHandler::SetDocument(const std::string& strPath, const std::string& strFragment) {
    std::vector<std::string> listSegments = Split(strPath);
    if (listSegments.empty()) {
        // Replacing the whole shared file with text the host cannot read would lose every
        // component's entries: only a well-formed "xmlroot" document is taken.
        CMarkup* pNew = new CMarkup;
        if (!pNew->SetDoc(strFragment) || !EnterRoot(*pNew) || !pNew->SavePos("")) {
            delete pNew;
            LogMsg(LOGLEVEL_NOTICE, "-- CPropertyHandler::SetDocument(%s) <%s>", m_strPath.c_str(),
                   "not a well-formed xmlroot document");
            return false;
        }
        // The file keeps its encoding and byte-order mark; a foreign document it replaces is
        // kept beside it.
        pNew->SetDocFlags(m_pMarkup->GetDocFlags());
        if (!m_bRooted) m_bBackupPending = true;
        delete m_pMarkup;
        m_pMarkup = pNew;
        m_bRooted = true;
        return Save();
    }
    if (!IsWritable()) return false;

    const size_t nParents = listSegments.size() - 1;
    size_t nEntered = Walk(listSegments, nParents);
    if (nEntered < nParents && !CreateGroups(listSegments, nEntered, nParents)) return false;
    m_pMarkup->ResetMainPos();
    bool bFound = false;
    while (!bFound && m_pMarkup->FindElem(kGroup))
        bFound = m_pMarkup->GetAttrib("value") == listSegments.back();
    if (!bFound &&
        (!m_pMarkup->AddElem(kGroup) || !m_pMarkup->SetAttrib("value", listSegments.back())))
        return false;

    CMarkup fragment(strFragment);
    std::string strContent;
    if (fragment.FindElem(kRoot)) strContent = fragment.GetElemContent();
    m_pMarkup->SetElemContent(strContent);
    return Save();
}

bool CPropertyHandler::SetProperties(const std::string& strFragment) {
    CMarkup fragment;
    if (!fragment.SetDoc(strFragment) || !EnterRoot(fragment)) return false;
    if (!IsWritable()) return false;
    std::string strTarget;
    if (FindPropertyById(fragment, "ConfigurationPath")) {
        strTarget = fragment.GetAttrib("value");
        fragment.RemoveElem();
    }

    std::vector<std::string> listSegments = Split(strTarget);
    Walk(listSegments, listSegments.size());
    // Each new property goes where the replaced one was, or after the last property examined;
    // removing and adding keep the level the walk ended on.
    fragment.ResetMainPos();
    while (fragment.FindElem(kProperty)) {
        const std::string strId = fragment.GetAttrib("id");
        const std::string strType = fragment.GetAttrib("type");
        m_pMarkup->ResetMainPos();
        while (m_pMarkup->FindElem(kProperty)) {
            if (m_pMarkup->GetAttrib("id") == strId && m_pMarkup->GetAttrib("type") == strType) {
                m_pMarkup->RemoveElem();
                break;
            }
        }
        m_pMarkup->AddSubDoc(ElementMarkup(fragment));
    }
    return Save();
}

bool CPropertyHandler::Merge(std::string& strDestination, const std::string& strSource) {
    if (strDestination.empty()) {
        strDestination = strSource;
        return true;
    }
    CMarkup destination(strDestination);
    CMarkup source(strSource);
    EnterRoot(destination);
    EnterRoot(source);
    MergeXMLs(&destination, &source);
    strDestination = destination.GetDoc();
    return true;
}

void CPropertyHandler::MergeXMLs(CMarkup* pDestination, CMarkup* pSource) {
    if (pDestination == nullptr || pSource == nullptr) return;
    MergeLevels(pDestination, pSource, 0);
}

namespace {
void MergeLevels(CMarkup* pDestination, CMarkup* pSource, int nDepth) {
    for (const auto& entry : CPropertyHandler::XMLElementTable) {
        pSource->ResetMainPos();
        while (pSource->FindElem(entry[0])) {
            if (CPropertyHandler::Match(entry[0], entry[1], pDestination, pSource)) {
                if (nDepth < kMaxMergeDepth && pDestination->IntoElem()) {
                    if (pSource->IntoElem()) {
                        MergeLevels(pDestination, pSource, nDepth + 1);
                        pSource->OutOfElem();
                    }
                    pDestination->OutOfElem();
                }
            } else {
                // Match left the destination on the last element of this name (or none), so
                // the copy follows the elements of its kind.
                pDestination->AddSubDoc(ElementMarkup(*pSource));
            }
        }
    }
}
}  // namespace

bool CPropertyHandler::Match(const char* pszElement, const char* pszKey, CMarkup* pDestination,
                             CMarkup* pSource) {
    if (pszElement == nullptr || pszKey == nullptr || pDestination == nullptr || pSource == nullptr)
        return false;
    const std::string strKey = pSource->GetAttrib(pszKey);
    pDestination->ResetMainPos();
    bool bFound = false;
    while (!bFound && pDestination->FindElem(pszElement))
        bFound = pDestination->GetAttrib(pszKey) == strKey;
    if (!bFound) return false;

    for (int n = 0;; ++n) {
        const std::string strName = pSource->GetAttribName(n);
        if (strName.empty()) break;
        const std::string strSourceValue = pSource->GetAttrib(strName);
        if (pDestination->GetAttribOffsets(strName.c_str())) {
            const std::string strDestinationValue = pDestination->GetAttrib(strName);
            if (strDestinationValue != strSourceValue)
                LogMsg(LOGLEVEL_NOTICE, "-- CPropertyHandler::Match %s(%s = %s and %s)", pszElement,
                       strName.c_str(), strSourceValue.c_str(), strDestinationValue.c_str());
        } else {
            pDestination->SetAttrib(strName, strSourceValue);
        }
    }
    return true;
}

bool CPropertyHandler::DeletePropertyFromConfigXML(std::string* pstrDocument,
                                                   const std::string& strId) {
    if (pstrDocument == nullptr) return false;
    CMarkup document(*pstrDocument);
    if (!EnterRoot(document) || !FindPropertyById(document, strId) || !document.RemoveElem())
        return false;
    *pstrDocument = document.GetDoc();
    return true;
}

bool CPropertyHandler::GetAttributeFromConfigXML(const std::string& strDocument,
                                                 const std::string& strId, std::string* pstrValue) {
    CMarkup document;
    if (!document.SetDoc(strDocument) || !EnterRoot(document) || !FindPropertyById(document, strId))
        return false;
    if (pstrValue != nullptr) *pstrValue = document.GetAttrib("value");
    return true;
}
