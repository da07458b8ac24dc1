// The property store on arbitrary configuration file contents: construct from the file, then a
// few operations decoded from the input, each of which may save.
//
// clang++-14 -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I. \
//   fuzz/property/PropertyHandlerFuzz.cpp property/*.cpp markup/*.cpp log/*.cpp threads/*.cpp \
//   -lpthread -o property_fuzz && ./property_fuzz -max_total_time=60 fuzz/property/corpus

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "contract/Data.h"
#include "property/PropertyHandler.h"

namespace {

std::string g_strDirectory;

void EmptyDirectory()
{
	DIR* pDir = opendir(g_strDirectory.c_str());
	if (pDir == nullptr)
		return;
	std::vector<std::string> listNames;
	while (dirent* pEntry = readdir(pDir))
	{
		std::string strName = pEntry->d_name;
		if (strName != "." && strName != "..")
			listNames.push_back(strName);
	}
	closedir(pDir);
	for (const std::string& strName : listNames)
		unlink((g_strDirectory + "/" + strName).c_str());
}

void RemoveDirectory()
{
	EmptyDirectory();
	rmdir(g_strDirectory.c_str());
}

struct Operation
{
	int nKind;
	std::string strPath;
	std::string strValue;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
	// Log lines go nowhere: no daemon listens there.
	setenv("TALIUN_LOG_SOCKET", "/nonexistent/taliun-fuzz/taliunlogd.socket", 1);
	// Every save is flushed to disk; a memory file system keeps that cheap.
	char szShm[] = "/dev/shm/taliun-property-fuzz-XXXXXX";
	char szTmp[] = "/tmp/taliun-property-fuzz-XXXXXX";
	if (mkdtemp(szShm) != nullptr)
		g_strDirectory = szShm;
	else if (mkdtemp(szTmp) != nullptr)
		g_strDirectory = szTmp;
	else
		abort();
	atexit(RemoveDirectory);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
	FuzzedDataProvider provider(pData, nSize);
	std::vector<Operation> listOperations(provider.ConsumeIntegralInRange<size_t>(0, 6));
	for (Operation& operation : listOperations)
	{
		operation.nKind = provider.ConsumeIntegralInRange<int>(0, 13);
		operation.strPath = provider.ConsumeRandomLengthString(64);
		operation.strValue = provider.ConsumeRandomLengthString(256);
	}
	const std::string strContent = provider.ConsumeRemainingBytesAsString();

	EmptyDirectory();
	const std::string strPath = g_strDirectory + "/taliun.configuration";
	int fd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0)
		abort();
	if (write(fd, strContent.data(), strContent.size()) != static_cast<ssize_t>(strContent.size()))
		abort();
	close(fd);

	CPropertyHandler store(strPath.c_str());
	for (const Operation& operation : listOperations)
	{
		std::string strOut;
		unsigned ulValue = 0;
		CData data;
		std::vector<std::string> listNames;
		switch (operation.nKind)
		{
		case 0: store.Get(operation.strPath, &strOut); break;
		case 1: store.Get(operation.strPath, &ulValue); break;
		case 2: store.Get(operation.strPath, data); break;
		case 3: store.Set(operation.strPath, operation.strValue); break;
		case 4: store.Set(operation.strPath, static_cast<unsigned>(operation.strValue.size() * 2654435761u)); break;
		case 5:
			store.Set(operation.strPath, CData(reinterpret_cast<const unsigned char*>(operation.strValue.data()),
			                                   static_cast<unsigned>(operation.strValue.size())));
			break;
		case 6: store.Delete(operation.strPath); break;
		case 7: store.Enum(operation.strPath, listNames); break;
		case 8: store.GetDocument(operation.strPath, &strOut); break;
		case 9: store.GetProperties(operation.strPath, &strOut); break;
		case 10: store.SetProperties(operation.strValue); break;
		case 11: store.SetDocument(operation.strPath, operation.strValue); break;
		case 12:
		{
			std::string strDestination = strContent;
			CPropertyHandler::Merge(strDestination, operation.strValue);
			CPropertyHandler::DeletePropertyFromConfigXML(&strDestination, operation.strPath);
			CPropertyHandler::GetAttributeFromConfigXML(strContent, operation.strPath, &strOut);
			break;
		}
		default:
			CPropertyHandler::IsValidUpdate(operation.strPath.c_str(), operation.strValue.c_str());
			break;
		}
	}
	store.Save();
	return 0;
}
