// Single settings: the walks over nested groups, typed Get / Set / Delete, Enum.

#include "property/PropertyHandler.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "contract/Data.h"
#include "log/Log.h"
#include "markup/Markup.h"

namespace {
const char kRoot[] = "xmlroot";
const char kGroup[] = "type";
const char kProperty[] = "property";
// What a binary value can read back at most.
const int kMaxBinary = 4092;
}  // namespace

CPropertyHandler::CPropertyHandler()
    : m_pMarkup(new CMarkup), m_bRooted(false), m_bBackupPending(false) {
    ResetDocument();
}

CPropertyHandler::CPropertyHandler(const char* pszPath)
    : m_strPath(pszPath != nullptr ? pszPath : ""),
      m_pMarkup(new CMarkup),
      m_bRooted(false),
      m_bBackupPending(false) {
    // The path is kept in a string: no length limit of our own, an over-long path fails in the
    // system calls with a logged reason instead of being cut or overflowing a buffer.
    if (m_pMarkup->Load(m_strPath)) {
        m_pMarkup->ResetPos();
        if (m_pMarkup->FindElem(kRoot) && m_pMarkup->IntoElem()) {
            m_pMarkup->ResetMainPos();
            m_pMarkup->ResetChildPos();
            m_bRooted = m_pMarkup->SavePos("");
        }
        if (!m_bRooted) {
            // A well-formed document of another shape: read operations find nothing and
            // nothing is ever written over it.
            m_pMarkup->ResetPos();
            LogMsg(LOGLEVEL_NOTICE, "-- CPropertyHandler::CPropertyHandle(%s) <%s>",
                   m_strPath.c_str(), "root element is not xmlroot");
        }
        return;
    }

    LogMsg(LOGLEVEL_NOTICE, "-- CPropertyHandler::CPropertyHandle(%s) <%s>", m_strPath.c_str(),
           m_pMarkup->GetError().c_str());
    // Whatever stands at the path now (damaged text, a file we could not read) is other
    // components' data too: it is kept beside the file before the first save replaces it.
    struct stat st;
    m_bBackupPending = !m_strPath.empty() && stat(m_strPath.c_str(), &st) == 0 &&
                       S_ISREG(st.st_mode) && st.st_size > 0;
    ResetDocument();
}

CPropertyHandler::~CPropertyHandler() { delete m_pMarkup; }

bool CPropertyHandler::ResetDocument() {
    delete m_pMarkup;
    m_pMarkup = new CMarkup;
    m_bRooted = m_pMarkup->AddElem(kRoot) && m_pMarkup->IntoElem() && m_pMarkup->SavePos("");
    return m_bRooted;
}

bool CPropertyHandler::GoHome() {
    if (m_bRooted) return m_pMarkup->RestorePos("");
    m_pMarkup->ResetPos();
    return true;
}

bool CPropertyHandler::IsWritable() const { return m_bRooted; }

bool CPropertyHandler::EnterSegment(const std::string& strSegment) {
    // A failed FindElem leaves the main position on the last group examined, which is where
    // a missing group is then inserted.
    while (m_pMarkup->FindElem(kGroup)) {
        if (m_pMarkup->GetAttrib("value") == strSegment) return m_pMarkup->IntoElem();
    }
    return false;
}

size_t CPropertyHandler::Walk(const std::vector<std::string>& listSegments, size_t nCount) {
    GoHome();
    for (size_t i = 0; i < nCount; ++i) {
        if (!EnterSegment(listSegments[i])) return i;
    }
    return nCount;
}

bool CPropertyHandler::CreateGroups(const std::vector<std::string>& listSegments, size_t nFrom,
                                    size_t nCount) {
    for (size_t i = nFrom; i < nCount; ++i) {
        if (!m_pMarkup->AddElem(kGroup) || !m_pMarkup->SetAttrib("value", listSegments[i]) ||
            !m_pMarkup->IntoElem())
            return false;
    }
    return true;
}

bool CPropertyHandler::FindProperty(const std::string& strId) {
    while (m_pMarkup->FindElem(kProperty)) {
        if (m_pMarkup->GetAttrib("id") == strId) return true;
    }
    return false;
}

bool CPropertyHandler::Get(const std::string& strPath, const std::string& strType,
                           std::string* pstrValue) {
    std::vector<std::string> listSegments = Split(strPath);
    if (listSegments.empty()) return false;
    size_t nEntered = Walk(listSegments, listSegments.size());
    const std::string& strName =
        nEntered < listSegments.size() ? listSegments[nEntered] : listSegments.back();
    m_pMarkup->ResetMainPos();
    if (!FindProperty(strName)) return false;
    if (m_pMarkup->GetAttrib("type") != strType) return false;
    if (pstrValue != nullptr) *pstrValue = m_pMarkup->GetAttrib("value");
    return true;
}

bool CPropertyHandler::Get(const std::string& strPath, std::string* pstrValue) {
    return Get(strPath, "string", pstrValue);
}

bool CPropertyHandler::Get(const std::string& strPath, unsigned* pulValue) {
    std::string strValue;
    if (!Get(strPath, "number", &strValue)) return false;
    if (pulValue != nullptr) {
        // Hand-edited files may hold more than 32 bits; saturate rather than wrap.
        unsigned long ulValue = strtoul(strValue.c_str(), nullptr, 10);
        *pulValue = ulValue > UINT_MAX ? UINT_MAX : static_cast<unsigned>(ulValue);
    }
    return true;
}

bool CPropertyHandler::Get(const std::string& strPath, CData& value) {
    std::string strValue;
    if (!Get(strPath, "binary", &strValue)) return false;
    unsigned char aucBuffer[kMaxBinary];
    int nLength = CMarkup::DecodeBase64(strValue, aucBuffer, kMaxBinary);
    if (nLength <= 0)
        value = CData();
    else
        value = CData(aucBuffer, static_cast<unsigned>(nLength));
    return true;
}

bool CPropertyHandler::Set(const std::string& strPath, const std::string& strType,
                           const std::string& strValue) {
    std::vector<std::string> listSegments = Split(strPath);
    if (listSegments.empty() || !IsWritable()) return false;
    const size_t nParents = listSegments.size() - 1;
    size_t nEntered = Walk(listSegments, nParents);
    if (nEntered < nParents && !CreateGroups(listSegments, nEntered, nParents)) return false;

    m_pMarkup->ResetMainPos();
    if (FindProperty(listSegments.back())) {
        if (m_pMarkup->GetAttrib("type") != strType) return false;
        if (!m_pMarkup->SetAttrib("value", strValue)) return false;
        return Save();
    }
    // The failed search left the main position on the level's last property, so the new one
    // follows it (or goes to the end of a level without properties).
    if (!m_pMarkup->AddElem(kProperty) || !m_pMarkup->SetAttrib("id", listSegments.back()) ||
        !m_pMarkup->SetAttrib("type", strType) || !m_pMarkup->SetAttrib("value", strValue))
        return false;
    return Save();
}

bool CPropertyHandler::Set(const std::string& strPath, const char* pszValue) {
    return Set(strPath, "string", std::string(pszValue != nullptr ? pszValue : ""));
}

bool CPropertyHandler::Set(const std::string& strPath, const std::string& strValue) {
    return Set(strPath, "string", strValue);
}

bool CPropertyHandler::Set(const std::string& strPath, unsigned ulValue) {
    return Set(strPath, "number", std::to_string(ulValue));
}

bool CPropertyHandler::Set(const std::string& strPath, CData value) {
    // The encoder takes an int length.
    if (value.Length() > static_cast<unsigned>(INT_MAX / 2)) return false;
    return Set(strPath, "binary",
               CMarkup::EncodeBase64(value.Buffer(), static_cast<int>(value.Length())));
}

bool CPropertyHandler::Delete(const std::string& strPath) {
    std::vector<std::string> listSegments = Split(strPath);
    if (listSegments.empty() || !IsWritable()) return false;
    const size_t nParents = listSegments.size() - 1;
    if (Walk(listSegments, nParents) < nParents) return false;

    m_pMarkup->ResetMainPos();
    bool bFound = FindProperty(listSegments.back());
    if (!bFound) {
        // Groups are searched over the whole level: a group placed before the level's last
        // property (the host's own entries can be anywhere) must be deletable too.
        m_pMarkup->ResetMainPos();
        while (!bFound && m_pMarkup->FindElem(kGroup))
            bFound = m_pMarkup->GetAttrib("value") == listSegments.back();
    }
    if (!bFound || !m_pMarkup->RemoveElem()) return false;
    // An unsaved removal must not be reported as done: the file still holds the entry.
    return Save();
}

bool CPropertyHandler::Enum(const std::string& strPath, std::vector<std::string>& listNames) {
    listNames.clear();
    std::vector<std::string> listSegments = Split(strPath);
    if (Walk(listSegments, listSegments.size()) < listSegments.size()) return true;
    while (m_pMarkup->FindElem(kGroup)) listNames.push_back(m_pMarkup->GetAttrib("value"));
    return true;
}
