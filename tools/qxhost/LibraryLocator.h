#pragma once
// CLibraryLocator: where qxhost finds libTaliunqxusb.so. In order: the --library option, the
// QXHOST_LIBRARY environment variable, the folder of the qxhost program, the folder above it (the
// build tree), the library folder of the installation relative to the program, and the library
// folder the installation was configured for.

#include <string>
#include <vector>

class CLibraryLocator {
public:
    static constexpr const char* kFileName = "libTaliunqxusb.so";

    // The candidates in order, given the explicit choice (option, then environment; empty: none).
    // An explicit choice is the only candidate.
    static std::vector<std::string> Candidates(const std::string& strExplicit);
    // The first candidate that exists; empty with pstrError listing what was tried.
    static std::string Find(const std::string& strExplicit, std::string* pstrError);
    // The folder of the running program.
    static std::string ProgramFolder();
};
