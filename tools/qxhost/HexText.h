#pragma once
// CHexText: bytes as operators type and read them: hex input for control codes, hex dumps and
// text with control bytes escaped for output.

#include <cstddef>
#include <string>
#include <vector>

class CHexText {
public:
    // Pairs of hex digits, optionally separated by blanks, ':' or ',' between bytes; an optional
    // leading "0x". "01000000", "01 00 00 00" and "0x1b40" are valid; "1", "0g" and "01 0" are not.
    // On failure pstrError says what is wrong and the output is unchanged.
    static bool Parse(const std::string& strText, std::vector<unsigned char>* pvecBytes,
                      std::string* pstrError);

    // "01 00 00 00"; at most ulMax bytes, then " ... (N bytes)".
    static std::string Format(const unsigned char* pData, std::size_t ulLength,
                              std::size_t ulMax = 256);

    // Printable ASCII as it is, backslash as "\\", line feed, carriage return and tab as "\n",
    // "\r",
    // "\t", every other byte as "\xHH". With fBreakLines a line feed also starts a new line.
    static std::string Escape(const unsigned char* pData, std::size_t ulLength,
                              bool fBreakLines = false);
};
