#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "mappingtool/core/Quillon.h"
#include "mappingtool/core/Utf.h"
#include "mappingtool/platform/posix/ConsoleMessageBox.h"
#include "mappingtool/platform/posix/FileIniReader.h"
#include "mappingtool/platform/posix/FilePrinterStore.h"

namespace {

// The Windows tool has no help; a shell user expects one, and the manual page is made from it.
const char kHelp[] =
    "Usage: quillon PRINTER INI-FILE\n"
    "  or:  quillon PRINTER\n"
    "Installs a Unicode mapping table into a printer's driver data, or removes it again.\n"
    "\n"
    "With PRINTER and INI-FILE, reads the [Quillon] section of INI-FILE (one mapping per font "
    "group),\n"
    "checks its groups against the printer's KVFontGroupIndex, marks them in KVCodePageTable and\n"
    "stores the mapping table as KVQuillon. With PRINTER alone, removes the marks again.\n"
    "\n"
    "Each printer is a folder under $QUILLON_PRINTERS (default /var/lib/korvo/quillon/printers) "
    "that\n"
    "holds one file per value. Failures are reported on standard error, in English or, under a\n"
    "Japanese locale, in Japanese.\n"
    "\n"
    "  --help     show this text and exit\n"
    "\n"
    "Exit status: when installing, 0 on success and 1 on any failure; when removing, 0 when there\n"
    "was nothing to remove and 1 otherwise (also after a successful removal).\n"
    "\n"
    "Examples:\n"
    "  quillon \"KV Receipt\" mapping.ini\n"
    "  quillon \"KV Receipt\"\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    std::vector<std::u16string> vecArgs;
    for (int i = 1; i < argc; ++i) vecArgs.push_back(quillon::Utf8ToUtf16(std::string(argv[i])));

    quillon::CFilePrinterStore store(quillon::CFilePrinterStore::DefaultRoot());
    quillon::CFileIniReader reader;
    quillon::CConsoleMessageBox messageBox(stderr, quillon::CConsoleMessageBox::LocaleIsJapanese());
    quillon::CQuillon tool(store, reader, messageBox, std::cout);
    return tool.Run(vecArgs);
}
