#include "base/Text.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace base {

std::string UpperAscii(std::string str) {
    for (char& c : str) c = UpperAscii(c);
    return str;
}

std::string ToUpper(std::string str) {
    for (char& c : str) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return str;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string HexText(unsigned int ulValue, int nDigits) {
    char sz[24];
    std::snprintf(sz, sizeof sz, "0x%0*X", nDigits, ulValue);
    return sz;
}

std::string Trim(const std::string& str, const char* szSpace) {
    const std::size_t first = str.find_first_not_of(szSpace);
    if (first == std::string::npos) return std::string();
    const std::size_t last = str.find_last_not_of(szSpace);
    return str.substr(first, last - first + 1);
}

bool ParseUnsigned(const std::string& strText, unsigned long long ullMax,
                   unsigned long long* pullValue) {
    if (strText.empty() || !std::isdigit(static_cast<unsigned char>(strText[0]))) return false;
    errno = 0;
    char* pEnd = nullptr;
    const unsigned long long ull = std::strtoull(strText.c_str(), &pEnd, 0);
    if (errno != 0 || *pEnd != '\0' || ull > ullMax) return false;
    *pullValue = ull;
    return true;
}

}  // namespace base
