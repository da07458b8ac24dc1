#include <windows.h>
// shellapi.h builds on the declarations of windows.h.
#include <shellapi.h>

#include <iostream>
#include <string>
#include <vector>

#include "mappingtool/core/Quillon.h"
#include "mappingtool/platform/win32/ProfileIniReader.h"
#include "mappingtool/platform/win32/SpoolerPrinterStore.h"
#include "mappingtool/platform/win32/WindowsMessageBox.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    std::vector<std::u16string> vecArgs;
    int nArgs = 0;
    if (LPWSTR* ppszArgs = CommandLineToArgvW(GetCommandLineW(), &nArgs)) {
        for (int i = 1; i < nArgs; ++i) {
            const std::wstring strArg(ppszArgs[i]);
            vecArgs.emplace_back(strArg.begin(), strArg.end());
        }
        LocalFree(ppszArgs);
    }
    quillon::CSpoolerPrinterStore store;
    quillon::CProfileIniReader reader;
    quillon::CWindowsMessageBox messageBox;
    quillon::CQuillon tool(store, reader, messageBox, std::cout);
    return tool.Run(vecArgs);
}
