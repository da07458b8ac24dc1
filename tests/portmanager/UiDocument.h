#pragma once
// Reading a UI document back with libxml2: a strict parser that knows nothing of how the
// component built the text, so a value that broke the markup shows up here.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <map>
#include <string>
#include <vector>

namespace ident {

struct UiOption {
    std::string strValue;
    std::map<std::string, std::string> mapLabel;    // language -> label
    std::map<std::string, std::string> mapTooltip;  // language -> tooltip
    std::map<std::string, std::string> mapProperty; // id -> value
};

struct UiDocument {
    bool bWellFormed = false;
    std::string strRoot;
    std::map<std::string, std::string> mapProperty;  // properties directly under the root
    std::vector<UiOption> vecOptions;                 // options of the ConfigurationPath choice
};

inline std::string Attribute(xmlNodePtr pNode, const char* pszName)
{
    xmlChar* p = xmlGetProp(pNode, reinterpret_cast<const xmlChar*>(pszName));
    if (p == nullptr)
        return std::string();
    std::string s(reinterpret_cast<const char*>(p));
    xmlFree(p);
    return s;
}

inline bool Named(xmlNodePtr pNode, const char* pszName)
{
    return pNode->type == XML_ELEMENT_NODE && xmlStrcmp(pNode->name, reinterpret_cast<const xmlChar*>(pszName)) == 0;
}

inline void CollectOptions(xmlNodePtr pParent, UiDocument& doc)
{
    for (xmlNodePtr p = pParent->children; p != nullptr; p = p->next) {
        if (Named(p, "choice") && Attribute(p, "id") == "ConfigurationPath") {
            for (xmlNodePtr o = p->children; o != nullptr; o = o->next) {
                if (!Named(o, "option"))
                    continue;
                UiOption option;
                option.strValue = Attribute(o, "value");
                for (xmlNodePtr c = o->children; c != nullptr; c = c->next) {
                    if (Named(c, "ui")) {
                        option.mapLabel[Attribute(c, "language")] = Attribute(c, "label");
                        option.mapTooltip[Attribute(c, "language")] = Attribute(c, "tooltip");
                    } else if (Named(c, "property")) {
                        option.mapProperty[Attribute(c, "id")] = Attribute(c, "value");
                    }
                }
                doc.vecOptions.push_back(option);
            }
        } else if (p->type == XML_ELEMENT_NODE) {
            CollectOptions(p, doc);
        }
    }
}

inline UiDocument ParseUi(const std::string& strText)
{
    UiDocument doc;
    xmlDocPtr pDoc = xmlReadMemory(strText.data(), static_cast<int>(strText.size()), "ui.xml", "UTF-8",
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (pDoc == nullptr)
        return doc;
    xmlNodePtr pRoot = xmlDocGetRootElement(pDoc);
    if (pRoot != nullptr) {
        doc.bWellFormed = true;
        doc.strRoot = reinterpret_cast<const char*>(pRoot->name);
        for (xmlNodePtr p = pRoot->children; p != nullptr; p = p->next)
            if (Named(p, "property"))
                doc.mapProperty[Attribute(p, "id")] = Attribute(p, "value");
        CollectOptions(pRoot, doc);
    }
    xmlFreeDoc(pDoc);
    return doc;
}

}  // namespace ident
