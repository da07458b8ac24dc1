#include "mappingtool/platform/posix/ConsoleMessageBox.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mappingtool/core/PrinterDataStore.h"
#include "mappingtool/core/Utf.h"

namespace quillon {
namespace {

struct StringEntry {
    uint32_t ulId;
    const char16_t* pszEnglish;
    const char16_t* pszJapanese;
};

// Same texts as the Windows resource script.
const StringEntry s_stringTable[] = {
    {101, u"Specified command line is not correct.", u"コマンドラインの指定が間違っています。"},
    {102, u"Specified printer name does not exist.", u"指定されたプリンター名が存在しません。"},
    {103, u"INI file does not exist in the specified path.",
     u"指定されたパスにINIファイルが存在しません。"},
    {104, u"INI file format is not correct.", u"INIファイルの形式が間違っています。"},
    {105, u"The font group name(%s) described in the file is not supported by the printer.",
     u"ファイルに記述されている%sがプリンターでサポートされていません。"},
    {106, u"You do not have an administrative right for the printer.",
     u"プリンター管理の権限がありません。"},
    {109, u"Cannot use with this printer.", u"このプリンターでは、使用できません。"},
};

}  // namespace

CConsoleMessageBox::CConsoleMessageBox(std::FILE* pStream, bool bJapanese)
    : m_pStream(pStream), m_bJapanese(bJapanese) {}

bool CConsoleMessageBox::LocaleIsJapanese() {
    for (const char* pszName : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* pszValue = std::getenv(pszName);
        if (pszValue != nullptr && *pszValue != '\0') return std::strncmp(pszValue, "ja", 2) == 0;
    }
    return false;
}

int CConsoleMessageBox::LoadText(uint32_t ulId, char16_t* pBuffer, int nSize) {
    if (pBuffer == nullptr || nSize <= 0) return 0;
    for (const StringEntry& entry : s_stringTable) {
        if (entry.ulId != ulId) continue;
        const std::u16string strText = m_bJapanese ? entry.pszJapanese : entry.pszEnglish;
        const size_t nCopy = std::min(strText.size(), static_cast<size_t>(nSize - 1));
        strText.copy(pBuffer, nCopy);
        pBuffer[nCopy] = u'\0';
        return static_cast<int>(nCopy);
    }
    pBuffer[0] = u'\0';
    return 0;
}

int CConsoleMessageBox::Show(const std::u16string& strText, const std::u16string& strCaption,
                             uint32_t ulStyle, uint32_t* pulLastError) {
    const bool bWarning = ulStyle == kStyleIconWarning;
    const char* pszSeverity =
        m_bJapanese ? (bWarning ? "警告" : "エラー") : (bWarning ? "warning" : "error");
    const std::string strLine =
        Utf16ToUtf8(strCaption) + ": " + pszSeverity + ": " + Utf16ToUtf8(strText) + "\n";
    const bool bOk = std::fputs(strLine.c_str(), m_pStream) >= 0 && std::fflush(m_pStream) == 0;
    if (pulLastError != nullptr) *pulLastError = bOk ? kErrorSuccess : kErrorWriteFault;
    return bOk ? 1 : 0;
}

}  // namespace quillon
