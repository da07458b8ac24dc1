#include "host/PropertyTree.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/Text.h"
#include "host/PortDocument.h"

struct CPropertyTree::Node {
    enum Kind { None, Text, Number, Bytes };

    explicit Node(std::string strNameIn) : strName(std::move(strNameIn)) {}

    Node* Child(const std::string& strChild) const {
        for (const auto& pChild : vecChildren) {
            if (pChild->strName == strChild) return pChild.get();
        }
        return nullptr;
    }

    std::string strName;
    Kind kind = None;
    std::string strText;
    unsigned int ulNumber = 0;
    std::vector<unsigned char> vecBytes;
    std::vector<std::unique_ptr<Node>> vecChildren;  // in creation order
};

namespace {

bool IsStorableName(const std::string& strName) {
    if (strName.empty() || strName.front() == ' ' || strName.back() == ' ' ||
        strName.front() == '\t' || strName.back() == '\t')
        return false;
    return strName.find_first_of("=\r\n") == std::string::npos;
}

bool ParseQuoted(const std::string& s, std::string* pstrOut) {
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') return false;
    std::string strOut;
    for (std::size_t i = 1; i + 1 < s.size(); ++i) {
        char c = s[i];
        if (c == '"') return false;
        if (c != '\\') {
            strOut += c;
            continue;
        }
        if (++i + 1 >= s.size()) return false;
        switch (s[i]) {
            case '\\':
                strOut += '\\';
                break;
            case '"':
                strOut += '"';
                break;
            case 'n':
                strOut += '\n';
                break;
            case 'r':
                strOut += '\r';
                break;
            case 't':
                strOut += '\t';
                break;
            case 'x': {
                if (i + 3 >= s.size()) return false;
                const int hi = base::HexDigitValue(s[i + 1]);
                const int lo = base::HexDigitValue(s[i + 2]);
                if (hi < 0 || lo < 0) return false;
                strOut += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    *pstrOut = strOut;
    return true;
}

std::string Quote(const std::string& s) {
    static const char kHex[] = "0123456789abcdef";
    std::string strOut = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '\\':
                strOut += "\\\\";
                break;
            case '"':
                strOut += "\\\"";
                break;
            case '\n':
                strOut += "\\n";
                break;
            case '\r':
                strOut += "\\r";
                break;
            case '\t':
                strOut += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    strOut += "\\x";
                    strOut += kHex[c >> 4];
                    strOut += kHex[c & 15];
                } else {
                    strOut += static_cast<char>(c);
                }
        }
    }
    return strOut + "\"";
}

}  // namespace

CPropertyTree::CPropertyTree() : m_pRoot(new Node(std::string())) {}
CPropertyTree::~CPropertyTree() = default;

std::vector<std::string> CPropertyTree::SplitPath(const std::string& strPath) {
    std::vector<std::string> vecSegments;
    std::size_t pos = 0;
    while (pos <= strPath.size()) {
        std::size_t end = strPath.find('/', pos);
        if (end == std::string::npos) end = strPath.size();
        if (end > pos) vecSegments.push_back(strPath.substr(pos, end - pos));
        pos = end + 1;
    }
    return vecSegments;
}

CPropertyTree::Node* CPropertyTree::Find(const std::vector<std::string>& vecSegments) const {
    Node* pNode = m_pRoot.get();
    for (const std::string& strSegment : vecSegments) {
        pNode = pNode->Child(strSegment);
        if (pNode == nullptr) return nullptr;
    }
    return pNode;
}

CPropertyTree::Node* CPropertyTree::FindOrCreate(const std::vector<std::string>& vecSegments) {
    Node* pNode = m_pRoot.get();
    for (const std::string& strSegment : vecSegments) {
        Node* pChild = pNode->Child(strSegment);
        if (pChild == nullptr) {
            pNode->vecChildren.emplace_back(new Node(strSegment));
            pChild = pNode->vecChildren.back().get();
        }
        pNode = pChild;
    }
    return pNode;
}

bool CPropertyTree::GetChildren(const std::string& strPath,
                                std::list<std::string>& listChildren) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    const Node* pNode = Find(SplitPath(strPath));
    if (pNode == nullptr) return false;
    for (const auto& pChild : pNode->vecChildren) listChildren.push_back(pChild->strName);
    return true;
}

bool CPropertyTree::GetData(const std::string& strPath, CData& data) const {
    CData result;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const Node* pNode = Find(SplitPath(strPath));
        if (pNode == nullptr || pNode->kind != Node::Bytes) return false;
        result = CData(pNode->vecBytes.data(), static_cast<unsigned int>(pNode->vecBytes.size()));
    }
    data = result;
    return true;
}

bool CPropertyTree::GetNumber(const std::string& strPath, unsigned int* pulValue) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    const Node* pNode = Find(SplitPath(strPath));
    if (pNode == nullptr || pNode->kind != Node::Number || pulValue == nullptr) return false;
    *pulValue = pNode->ulNumber;
    return true;
}

bool CPropertyTree::GetString(const std::string& strPath, std::string* pstrValue) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    const Node* pNode = Find(SplitPath(strPath));
    if (pNode == nullptr || pNode->kind != Node::Text || pstrValue == nullptr) return false;
    *pstrValue = pNode->strText;
    return true;
}

bool CPropertyTree::Remove(const std::string& strPath) {
    std::vector<std::string> vecSegments = SplitPath(strPath);
    if (vecSegments.empty()) return false;
    const std::string strLast = vecSegments.back();
    vecSegments.pop_back();
    std::unique_ptr<Node> pRemoved;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        Node* pParent = Find(vecSegments);
        if (pParent == nullptr) return false;
        for (auto it = pParent->vecChildren.begin(); it != pParent->vecChildren.end(); ++it) {
            if ((*it)->strName == strLast) {
                pRemoved = std::move(*it);
                pParent->vecChildren.erase(it);
                break;
            }
        }
    }
    return pRemoved != nullptr;
}

bool CPropertyTree::SetData(const std::string& strPath, const CData& data) {
    const std::vector<std::string> vecSegments = SplitPath(strPath);
    if (vecSegments.empty()) return false;
    std::vector<unsigned char> vecBytes(data.Buffer(), data.Buffer() + data.Length());
    std::lock_guard<std::mutex> guard(m_mutex);
    Node* pNode = FindOrCreate(vecSegments);
    pNode->kind = Node::Bytes;
    pNode->vecBytes.swap(vecBytes);
    pNode->strText.clear();
    pNode->ulNumber = 0;
    return true;
}

bool CPropertyTree::SetNumber(const std::string& strPath, unsigned int ulValue) {
    const std::vector<std::string> vecSegments = SplitPath(strPath);
    if (vecSegments.empty()) return false;
    std::lock_guard<std::mutex> guard(m_mutex);
    Node* pNode = FindOrCreate(vecSegments);
    pNode->kind = Node::Number;
    pNode->ulNumber = ulValue;
    pNode->strText.clear();
    pNode->vecBytes.clear();
    return true;
}

bool CPropertyTree::SetString(const std::string& strPath, const std::string& strValue) {
    const std::vector<std::string> vecSegments = SplitPath(strPath);
    if (vecSegments.empty()) return false;
    std::lock_guard<std::mutex> guard(m_mutex);
    Node* pNode = FindOrCreate(vecSegments);
    pNode->kind = Node::Text;
    pNode->strText = strValue;
    pNode->ulNumber = 0;
    pNode->vecBytes.clear();
    return true;
}

bool CPropertyTree::MakePort(const std::string& strPortType, const std::string& strDocument,
                             std::string* pstrName) {
    if (strPortType != "QX" || m_bDeclineMakePort) return false;
    if (strDocument.empty()) return true;
    CPortDocument document;
    if (!document.Parse(strDocument)) return false;
    if (document.Find("PortType") == nullptr) return false;

    // Build the new port completely before it enters the tree, so no reader sees half a port.
    std::unique_ptr<Node> pPort(new Node(std::string()));
    for (const CPortDocument::PROPERTY& property : document.Properties()) {
        if (!IsStorableName(property.strId) || property.strId.find('/') != std::string::npos)
            return false;
        Node* pNode = pPort->Child(property.strId);
        if (pNode == nullptr) {
            pPort->vecChildren.emplace_back(new Node(property.strId));
            pNode = pPort->vecChildren.back().get();
        }
        if (property.strType == "number") {
            // DeviceID is written with %d; accept a sign and keep the low 32 bits as the device
            // does.
            errno = 0;
            char* pEnd = nullptr;
            const long long ll = std::strtoll(property.strValue.c_str(), &pEnd, 10);
            if (property.strValue.empty() || *pEnd != '\0' || errno != 0 || ll < INT32_MIN ||
                ll > UINT32_MAX)
                return false;
            pNode->kind = Node::Number;
            pNode->ulNumber = static_cast<unsigned int>(ll);
        } else {
            pNode->kind = Node::Text;
            pNode->strText = property.strValue;
        }
    }

    std::lock_guard<std::mutex> guard(m_mutex);
    Node* pQX = FindOrCreate({"QX"});
    for (unsigned int n = 1;; ++n) {
        const std::string strName = "USB" + std::to_string(n);
        if (pQX->Child(strName) == nullptr) {
            pPort->strName = strName;
            pQX->vecChildren.push_back(std::move(pPort));
            if (pstrName != nullptr) *pstrName = strName;
            return true;
        }
    }
}

bool CPropertyTree::Exists(const std::string& strPath) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return Find(SplitPath(strPath)) != nullptr;
}

void CPropertyTree::Clear() {
    std::unique_ptr<Node> pOld(new Node(std::string()));
    std::lock_guard<std::mutex> guard(m_mutex);
    m_pRoot.swap(pOld);
}

bool CPropertyTree::Parse(const std::string& strText, std::string* pstrError) {
    CPropertyTree fresh;
    std::istringstream in(strText);
    std::string strLine;
    unsigned int ulLine = 0;
    auto fail = [&](const char* pszWhat) {
        if (pstrError != nullptr) *pstrError = "line " + std::to_string(ulLine) + ": " + pszWhat;
        return false;
    };
    while (std::getline(in, strLine)) {
        ++ulLine;
        const std::string strTrimmed = base::Trim(strLine);
        if (strTrimmed.empty() || strTrimmed[0] == '#') continue;
        const std::size_t eq = strTrimmed.find('=');
        const std::string strPath = base::Trim(strTrimmed.substr(0, eq));
        if (strPath.empty() || strPath[0] != '/') return fail("path must start with '/'");
        const std::vector<std::string> vecSegments = SplitPath(strPath);
        if (vecSegments.empty()) return fail("the root has no value");
        for (const std::string& strSegment : vecSegments) {
            if (base::Trim(strSegment) != strSegment)
                return fail("names cannot start or end with blanks");
        }
        if (eq == std::string::npos) {
            fresh.FindOrCreate(vecSegments);
            continue;
        }
        const std::string strValue = base::Trim(strTrimmed.substr(eq + 1));
        unsigned long long ullNumber = 0;
        std::string strText;
        if (strValue.compare(0, 4, "hex:") == 0) {
            const std::string strHex = strValue.substr(4);
            if (strHex.size() % 2 != 0) return fail("odd number of hex digits");
            std::vector<unsigned char> vecBytes;
            for (std::size_t i = 0; i < strHex.size(); i += 2) {
                const int hi = base::HexDigitValue(strHex[i]);
                const int lo = base::HexDigitValue(strHex[i + 1]);
                if (hi < 0 || lo < 0) return fail("bad hex digit");
                vecBytes.push_back(static_cast<unsigned char>(hi * 16 + lo));
            }
            Node* pNode = fresh.FindOrCreate(vecSegments);
            pNode->kind = Node::Bytes;
            pNode->vecBytes.swap(vecBytes);
        } else if (!strValue.empty() && strValue[0] == '"') {
            if (!ParseQuoted(strValue, &strText)) return fail("bad quoted text");
            Node* pNode = fresh.FindOrCreate(vecSegments);
            pNode->kind = Node::Text;
            pNode->strText = strText;
        } else if (base::ParseUnsigned(strValue, 0xFFFFFFFFull, &ullNumber)) {
            Node* pNode = fresh.FindOrCreate(vecSegments);
            pNode->kind = Node::Number;
            pNode->ulNumber = static_cast<unsigned int>(ullNumber);
        } else {
            return fail("value must be \"text\", a number or hex:bytes");
        }
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    m_pRoot.swap(fresh.m_pRoot);
    return true;
}

std::string CPropertyTree::Serialize() const {
    std::ostringstream out;
    std::lock_guard<std::mutex> guard(m_mutex);
    struct Walker {
        static void Walk(std::ostringstream& o, const Node& node, const std::string& strPath) {
            for (const auto& pChild : node.vecChildren) {
                const std::string strChildPath = strPath + "/" + pChild->strName;
                static const char kHex[] = "0123456789abcdef";
                switch (pChild->kind) {
                    case Node::Text:
                        o << strChildPath << " = " << Quote(pChild->strText) << "\n";
                        break;
                    case Node::Number:
                        o << strChildPath << " = " << pChild->ulNumber << "\n";
                        break;
                    case Node::Bytes:
                        o << strChildPath << " = hex:";
                        for (unsigned char c : pChild->vecBytes) o << kHex[c >> 4] << kHex[c & 15];
                        o << "\n";
                        break;
                    case Node::None:
                        if (pChild->vecChildren.empty()) o << strChildPath << "\n";
                        break;
                }
                Walk(o, *pChild, strChildPath);
            }
        }
    };
    Walker::Walk(out, *m_pRoot, std::string());
    return out.str();
}

bool CPropertyTree::Load(const std::string& strFile, std::string* pstrError) {
    std::ifstream in(strFile, std::ios::binary);
    if (!in) {
        if (pstrError != nullptr) *pstrError = "cannot open " + strFile;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str(), pstrError);
}

bool CPropertyTree::Save(const std::string& strFile) const {
    const std::string strText = Serialize();
    const std::string strTemp = strFile + ".tmp";
    {
        std::ofstream out(strTemp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << "# Property tree of the substitute port-handler host\n" << strText;
        out.flush();
        if (!out) return false;
    }
    // Replace in one step so a crash never leaves a half-written tree.
    return std::rename(strTemp.c_str(), strFile.c_str()) == 0;
}
