#pragma once
// Whole files as strings, for tests that check what the component or a program wrote.
#include <fstream>
#include <iterator>
#include <string>

namespace testsupport {

// The bytes of the file, or "" when it cannot be read.
inline std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
