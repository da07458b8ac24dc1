#include "host/PortDocument.h"

#include <cctype>
#include <cstdint>
#include <set>

namespace {

// Deep enough for any port document; bounds the recursion on hostile input.
constexpr int kMaxDepth = 64;

class CReader {
public:
    CReader(const std::string& strText, std::vector<CPortDocument::PROPERTY>& vecOut)
        : m_s(strText), m_pos(0), m_vecOut(vecOut) {}

    bool Document() {
        if (m_s.compare(0, 3, "\xEF\xBB\xBF") == 0) m_pos = 3;
        if (!Misc(true)) return false;
        if (!At('<')) return Fail("root element expected");
        if (!Element(0)) return false;
        if (!Misc(false)) return false;
        if (m_pos != m_s.size()) return Fail("text after the root element");
        return true;
    }

    std::string Error() const { return m_strError + " at offset " + std::to_string(m_pos); }

private:
    bool Fail(const char* pszWhat) {
        if (m_strError.empty()) m_strError = pszWhat;
        return false;
    }
    bool At(char c) const { return m_pos < m_s.size() && m_s[m_pos] == c; }
    bool AtText(const char* psz) const {
        return m_s.compare(m_pos, std::char_traits<char>::length(psz), psz) == 0;
    }
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    void SkipSpace() {
        while (m_pos < m_s.size() && IsSpace(m_s[m_pos])) ++m_pos;
    }
    static bool IsNameStart(unsigned char c) {
        return std::isalpha(c) || c == '_' || c == ':' || c >= 0x80;
    }
    static bool IsNameChar(unsigned char c) {
        return IsNameStart(c) || std::isdigit(c) || c == '.' || c == '-';
    }

    bool Name(std::string& strName) {
        if (m_pos >= m_s.size() || !IsNameStart(static_cast<unsigned char>(m_s[m_pos])))
            return Fail("name expected");
        const std::size_t start = m_pos;
        while (m_pos < m_s.size() && IsNameChar(static_cast<unsigned char>(m_s[m_pos]))) ++m_pos;
        strName.assign(m_s, start, m_pos - start);
        return true;
    }

    // Comments and processing instructions (the declaration only in the prolog) between markup.
    bool Misc(bool fProlog) {
        for (;;) {
            SkipSpace();
            if (AtText("<!--")) {
                if (!Comment()) return false;
            } else if (fProlog && AtText("<?")) {
                const std::size_t end = m_s.find("?>", m_pos + 2);
                if (end == std::string::npos) return Fail("unterminated declaration");
                m_pos = end + 2;
            } else {
                return true;
            }
        }
    }

    bool Comment() {
        const std::size_t end = m_s.find("-->", m_pos + 4);
        if (end == std::string::npos) return Fail("unterminated comment");
        m_pos = end + 3;
        return true;
    }

    static void AppendUtf8(std::string& strOut, std::uint32_t cp) {
        if (cp < 0x80) {
            strOut += static_cast<char>(cp);
        } else if (cp < 0x800) {
            strOut += static_cast<char>(0xC0 | (cp >> 6));
            strOut += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            strOut += static_cast<char>(0xE0 | (cp >> 12));
            strOut += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            strOut += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            strOut += static_cast<char>(0xF0 | (cp >> 18));
            strOut += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            strOut += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            strOut += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // At '&': decodes one reference into strOut.
    bool Reference(std::string& strOut) {
        const std::size_t end = m_s.find(';', m_pos);
        if (end == std::string::npos || end - m_pos > 12) return Fail("bad reference");
        const std::string strRef = m_s.substr(m_pos + 1, end - m_pos - 1);
        m_pos = end + 1;
        if (strRef == "amp")
            strOut += '&';
        else if (strRef == "lt")
            strOut += '<';
        else if (strRef == "gt")
            strOut += '>';
        else if (strRef == "quot")
            strOut += '"';
        else if (strRef == "apos")
            strOut += '\'';
        else if (strRef.size() >= 2 && strRef[0] == '#') {
            const bool fHex = strRef[1] == 'x';
            const std::string strDigits = strRef.substr(fHex ? 2 : 1);
            if (strDigits.empty()) return Fail("bad character reference");
            std::uint32_t cp = 0;
            for (char c : strDigits) {
                int d;
                if (c >= '0' && c <= '9')
                    d = c - '0';
                else if (fHex && c >= 'a' && c <= 'f')
                    d = c - 'a' + 10;
                else if (fHex && c >= 'A' && c <= 'F')
                    d = c - 'A' + 10;
                else
                    return Fail("bad character reference");
                cp = cp * (fHex ? 16 : 10) + static_cast<std::uint32_t>(d);
                if (cp > 0x10FFFF) return Fail("bad character reference");
            }
            if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return Fail("bad character reference");
            AppendUtf8(strOut, cp);
        } else {
            return Fail("unknown entity");
        }
        return true;
    }

    bool AttributeValue(std::string& strValue) {
        if (!At('"') && !At('\'')) return Fail("quoted attribute value expected");
        const char quote = m_s[m_pos++];
        for (;;) {
            if (m_pos >= m_s.size()) return Fail("unterminated attribute value");
            const char c = m_s[m_pos];
            if (c == quote) {
                ++m_pos;
                return true;
            }
            if (c == '<') return Fail("'<' in attribute value");
            if (c == '&') {
                if (!Reference(strValue)) return false;
            } else {
                strValue += c;
                ++m_pos;
            }
        }
    }

    bool Element(int depth) {
        if (depth >= kMaxDepth) return Fail("elements nested too deeply");
        ++m_pos;  // '<'
        std::string strTag;
        if (!Name(strTag)) return false;
        std::set<std::string> setNames;
        CPortDocument::PROPERTY property;
        bool fHasId = false;
        for (;;) {
            const std::size_t before = m_pos;
            SkipSpace();
            if (AtText("/>")) {
                m_pos += 2;
                return Finish(strTag, depth, property, fHasId);
            }
            if (At('>')) {
                ++m_pos;
                break;
            }
            if (m_pos == before) return Fail("blank expected before attribute");
            std::string strName;
            if (!Name(strName)) return false;
            SkipSpace();
            if (!At('=')) return Fail("'=' expected");
            ++m_pos;
            SkipSpace();
            std::string strValue;
            if (!AttributeValue(strValue)) return false;
            if (!setNames.insert(strName).second) return Fail("repeated attribute");
            if (strName == "id") {
                property.strId = strValue;
                fHasId = true;
            } else if (strName == "type") {
                property.strType = strValue;
            } else if (strName == "value") {
                property.strValue = strValue;
            }
        }
        // Content up to the matching end tag.
        for (;;) {
            if (m_pos >= m_s.size()) return Fail("unterminated element");
            if (AtText("</")) {
                m_pos += 2;
                std::string strEnd;
                if (!Name(strEnd)) return false;
                if (strEnd != strTag) return Fail("mismatched end tag");
                SkipSpace();
                if (!At('>')) return Fail("'>' expected");
                ++m_pos;
                return Finish(strTag, depth, property, fHasId);
            }
            if (AtText("<!--")) {
                if (!Comment()) return false;
            } else if (At('<')) {
                if (!Element(depth + 1)) return false;
            } else if (At('&')) {
                std::string strIgnored;
                if (!Reference(strIgnored)) return false;
            } else {
                ++m_pos;
            }
        }
    }

    bool Finish(const std::string& strTag, int depth, const CPortDocument::PROPERTY& property,
                bool fHasId) {
        if (strTag != "property" || depth == 0) return true;
        if (!fHasId || property.strId.empty()) return Fail("property without id");
        m_vecOut.push_back(property);
        return true;
    }

    const std::string& m_s;
    std::size_t m_pos;
    std::vector<CPortDocument::PROPERTY>& m_vecOut;
    std::string m_strError;
};

}  // namespace

bool CPortDocument::Parse(const std::string& strText, std::string* pstrError) {
    std::vector<PROPERTY> vecProperties;
    CReader reader(strText, vecProperties);
    if (!reader.Document()) {
        if (pstrError != nullptr) *pstrError = reader.Error();
        return false;
    }
    m_vecProperties.swap(vecProperties);
    return true;
}

const CPortDocument::PROPERTY* CPortDocument::Find(const std::string& strId) const {
    for (const PROPERTY& property : m_vecProperties) {
        if (property.strId == strId) return &property;
    }
    return nullptr;
}
