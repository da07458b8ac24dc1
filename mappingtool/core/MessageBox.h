#pragma once

#include <cstdint>
#include <string>

namespace quillon {

enum : uint32_t {
    kStyleIconError = 16,
    kStyleIconWarning = 48,
};

// Where the user sees the tool's messages: the string table and the message box.
class IMessageBox {
public:
    virtual ~IMessageBox() = default;

    // Copies the text of string ulId into pBuffer, cut to ulSize - 1 units and zero-terminated.
    // Returns the number of units copied; 0 when there is no such string.
    virtual int LoadText(uint32_t ulId, char16_t* pBuffer, int nSize) = 0;

    // Shows a box without owner window. Clears the last error before the call and hands back its
    // value after it in *pulLastError; returns the call's result.
    virtual int Show(const std::u16string& strText, const std::u16string& strCaption,
                     uint32_t ulStyle, uint32_t* pulLastError) = 0;
};

}  // namespace quillon
