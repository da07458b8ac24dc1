#pragma once

// Text and number helpers shared by every layer. ASCII helpers never depend on the locale; ToUpper
// is the C library's toupper byte by byte, as device names are built.

#include <cstdint>
#include <string>

namespace base {

inline char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
inline char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
std::string UpperAscii(std::string str);

std::string ToUpper(std::string str);

// 0 to 15 for a hexadecimal digit of either case, else -1.
int HexDigitValue(char c);

// "0x" and nDigits upper-case hexadecimal digits (more when the value needs them).
std::string HexText(unsigned int ulValue, int nDigits);

// The text without the given characters at either end.
std::string Trim(const std::string& str, const char* szSpace = " \t\r");

// A whole text as an unsigned number in C notation (decimal, 0x hexadecimal, 0 octal): it must
// start with a digit and the value must not exceed ullMax. *pullValue is set only on success.
bool ParseUnsigned(const std::string& strText, unsigned long long ullMax,
                   unsigned long long* pullValue);

// A host handle as the number log lines show for it (the low 32 bits of its value).
inline int HandleNumber(const void* hHandle) {
    return static_cast<int>(reinterpret_cast<intptr_t>(hHandle));
}

}  // namespace base
