#pragma once

#include "mappingtool/core/MessageBox.h"

namespace quillon {

// Message boxes with texts from the program's string table resource.
class CWindowsMessageBox : public IMessageBox {
public:
    int LoadText(uint32_t ulId, char16_t* pBuffer, int nSize) override;
    int Show(const std::u16string& strText, const std::u16string& strCaption, uint32_t ulStyle,
             uint32_t* pulLastError) override;
};

}  // namespace quillon
