#pragma once
// Bridge to the host's property service. The rest of the component reads and changes the host's
// property tree only through these functions (the port configuration may also call the GetChildren
// and GetNumber entries of g_fProperty directly).
//
// Each function hands its strings to the host as fresh copies and returns true exactly when the host's
// entry returned nonzero; before a successful InitializeServicePropertyCallbacks every one returns
// false without calling anything. No function logs. Any thread may call them.

#include <list>
#include <string>

#include "component/Data.h"
#include "component/PortHandler.h"

// Copy of the host's record: all null until initialised, then replaced as a whole by every successful
// initialisation, never cleared. Entries are stored and read with atomic operations, so a repeated
// initialisation may run while other threads use the bridge.
extern _PORTHANDLERPROPERTY g_fProperty;

// 1 and copies the record when all nine entries are set; else 0 and g_fProperty stays as it was.
// pProperty must not be null.
int InitializeServicePropertyCallbacks(_PORTHANDLERPROPERTY* pProperty);

bool GetChildren(std::string strPath, std::list<std::string, std::allocator<std::string> >& listChildren);
bool GetData(std::string strPath, CData& data);
bool GetNumber(std::string strPath, unsigned int* pulValue);
bool GetString(std::string strPath, std::string* pstrValue);
bool Remove(std::string strPath);
bool SetData(std::string strPath, CData data);
bool SetNumber(std::string strPath, unsigned int ulValue);
bool SetString(std::string strPath, std::string strValue);
bool MakePort(std::string strPortType, std::string strPortDocument);
