#pragma once

#include <cstdio>

#include "mappingtool/core/MessageBox.h"

namespace quillon {

// Messages as lines on a stream (standard error): "<caption>: <severity>: <text>", in English or,
// when the locale is Japanese, in Japanese.
class CConsoleMessageBox : public IMessageBox {
public:
    CConsoleMessageBox(std::FILE* pStream, bool bJapanese);

    // True when LC_ALL, LC_MESSAGES or LANG (the first one set) names a Japanese locale.
    static bool LocaleIsJapanese();

    int LoadText(uint32_t ulId, char16_t* pBuffer, int nSize) override;
    int Show(const std::u16string& strText, const std::u16string& strCaption, uint32_t ulStyle,
             uint32_t* pulLastError) override;

private:
    std::FILE* m_pStream;
    bool m_bJapanese;
};

}  // namespace quillon
