#include "mappingtool/platform/win32/WindowsMessageBox.h"

#include <windows.h>

#include <string>
#include <vector>

namespace quillon {

int CWindowsMessageBox::LoadText(uint32_t ulId, char16_t* pBuffer, int nSize) {
    if (pBuffer == nullptr || nSize <= 0) return 0;
    std::vector<wchar_t> vecBuffer(static_cast<size_t>(nSize), L'\0');
    const int nResult = LoadStringW(GetModuleHandleW(nullptr), ulId, vecBuffer.data(), nSize);
    for (int i = 0; i < nSize; ++i) pBuffer[i] = static_cast<char16_t>(vecBuffer[i]);
    return nResult;
}

int CWindowsMessageBox::Show(const std::u16string& strText, const std::u16string& strCaption,
                             uint32_t ulStyle, uint32_t* pulLastError) {
    const std::wstring strWideText(strText.begin(), strText.end());
    const std::wstring strWideCaption(strCaption.begin(), strCaption.end());
    SetLastError(0);
    const int nResult = MessageBoxW(nullptr, strWideText.c_str(), strWideCaption.c_str(), ulStyle);
    if (pulLastError != nullptr) *pulLastError = GetLastError();
    return nResult;
}

}  // namespace quillon
