#pragma once
// CPropertyTree: the substitute host's property tree, in memory, with the behaviour the component
// relies on from a host:
//  - paths are slash-separated names; empty segments are dropped, so "/QX//P1/" names QX/P1;
//  - reads write through the caller's pointer only on success (a failed read leaves the caller's
//    preset value), and a value is read back only as the type it was stored with;
//  - GetChildren appends the direct children in the order they were created;
//  - stored values stay until changed or removed;
//  - every operation may be called from any thread; the tree's own mutex is a leaf lock: it is
//    never held while calling anything outside the tree.
// The tree can be loaded from and saved to a small text file, one node per line:
//     # comment
//     /QX/Printer1/PortType = "USB"          text (escapes \\ \" \n \r \t \xHH)
//     /QX/Printer1/StatusPto = 100           number (decimal or 0x hex, 32 bits)
//     /QX/Printer1/Raw = hex:01ff            bytes
//     /JV                                    a node without a value
// Names cannot contain '/', '=' or line breaks, and cannot start or end with blanks.

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "contract/Data.h"

class CPropertyTree {
public:
    CPropertyTree();
    ~CPropertyTree();
    CPropertyTree(const CPropertyTree&) = delete;
    CPropertyTree& operator=(const CPropertyTree&) = delete;

    bool GetChildren(const std::string& strPath, std::list<std::string>& listChildren) const;
    bool GetData(const std::string& strPath, CData& data) const;
    bool GetNumber(const std::string& strPath, unsigned int* pulValue) const;
    bool GetString(const std::string& strPath, std::string* pstrValue) const;
    // Removes the node and everything under it; false when there is no such node (or the root).
    bool Remove(const std::string& strPath);
    // Setters create missing nodes on the way; the root itself has no value.
    bool SetData(const std::string& strPath, const CData& data);
    bool SetNumber(const std::string& strPath, unsigned int ulValue);
    bool SetString(const std::string& strPath, const std::string& strValue);

    // For the port type "QX": an empty document succeeds without change; otherwise the document's
    // properties (<property id=".." type="string|number" value=".."/> under its root element)
    // become a new child of "/QX/" named "USB<n>" (the first free n from 1). Malformed documents,
    // documents without PortType and other port types are refused. pstrName receives the new port's
    // name.
    bool MakePort(const std::string& strPortType, const std::string& strDocument,
                  std::string* pstrName = nullptr);
    // A host may decline to create ports for new devices: MakePort then refuses every request.
    void DeclineMakePort(bool bDecline) { m_bDeclineMakePort = bDecline; }

    bool Exists(const std::string& strPath) const;
    void Clear();

    // Replaces the whole tree; on an error the tree is unchanged and pstrError names the line.
    bool Parse(const std::string& strText, std::string* pstrError = nullptr);
    std::string Serialize() const;
    bool Load(const std::string& strFile, std::string* pstrError = nullptr);
    bool Save(const std::string& strFile) const;

    static std::vector<std::string> SplitPath(const std::string& strPath);

private:
    struct Node;
    Node* Find(const std::vector<std::string>& vecSegments) const;
    Node* FindOrCreate(const std::vector<std::string>& vecSegments);

    mutable std::mutex m_mutex;
    std::atomic<bool> m_bDeclineMakePort{false};
    std::unique_ptr<Node> m_pRoot;
};
