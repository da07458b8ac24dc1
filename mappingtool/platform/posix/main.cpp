#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "mappingtool/core/Quillon.h"
#include "mappingtool/core/Utf.h"
#include "mappingtool/platform/posix/ConsoleMessageBox.h"
#include "mappingtool/platform/posix/FileIniReader.h"
#include "mappingtool/platform/posix/FilePrinterStore.h"

int main(int argc, char** argv) {
    std::vector<std::u16string> vecArgs;
    for (int i = 1; i < argc; ++i) vecArgs.push_back(quillon::Utf8ToUtf16(std::string(argv[i])));

    quillon::CFilePrinterStore store(quillon::CFilePrinterStore::DefaultRoot());
    quillon::CFileIniReader reader;
    quillon::CConsoleMessageBox messageBox(stderr, quillon::CConsoleMessageBox::LocaleIsJapanese());
    quillon::CQuillon tool(store, reader, messageBox, std::cout);
    return tool.Run(vecArgs);
}
