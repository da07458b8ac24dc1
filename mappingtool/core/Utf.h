#pragma once

#include <cstddef>
#include <string>

namespace quillon {

// UTF-8 to UTF-16 as the Windows conversion does it: each malformed sequence becomes one U+FFFD,
// consuming the bytes that were valid so far, and a sequence cut by the end of the input becomes
// one U+FFFD.
std::u16string Utf8ToUtf16(const char* pText, size_t nSize);
inline std::u16string Utf8ToUtf16(const std::string& str) {
    return Utf8ToUtf16(str.data(), str.size());
}

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const std::u16string& str);

}  // namespace quillon
