#pragma once
// CPortDocument: reads the small XML port document a component hands to MakePort, e.g.
//     <xmlroot>
//       <property id="PortType" type="string" value="USB"/>
//       <property id="DeviceID" type ="number"  value="3"/>
//     </xmlroot>
// Only what such documents use: an optional declaration, comments, nested elements with attributes
// in single or double quotes (blanks allowed around '='), character data and the five predefined
// entities plus numeric character references. Anything else is malformed.

#include <string>
#include <vector>

class CPortDocument {
public:
    struct PROPERTY {
        std::string strId;
        std::string strType;
        std::string strValue;
    };

    // False for a malformed document; pstrError then says where.
    bool Parse(const std::string& strText, std::string* pstrError = nullptr);

    // Every <property> element in document order, at any depth under the root.
    const std::vector<PROPERTY>& Properties() const { return m_vecProperties; }
    const PROPERTY* Find(const std::string& strId) const;

private:
    std::vector<PROPERTY> m_vecProperties;
};
