#pragma once
// Registration of the component in the configuration file the host reads. An installer calls
// these; neither needs the host, the port manager or libusb.

#include "threads/Export.h"

extern "C" {
// Writes the component's entries with the given file name (after removing earlier ones).
// 1 when every entry was written, else 0.
TALIUN_EXPORT int Install(const char* pszFileName);
// Deletes the component's groups. 1 when every group was deleted, else 0.
TALIUN_EXPORT int Remove();
}

// The configuration file: environment TALIUN_CONFIGURATION if set and non-empty, else
// "/etc/korvo/taliun/taliun.configuration".
const char* ConfigurationFilePath();
