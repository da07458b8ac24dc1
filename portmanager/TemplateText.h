#pragma once
// CTemplateText: filling the component's XML templates without fixed buffers, and making host
// and device values safe to place inside them.
#include <string>
#include <vector>

class CTemplateText {
public:
    // The value as XML text fit for an attribute value or element content: markup characters
    // become entities, tab, LF and CR become character references (attribute normalisation would
    // turn them into blanks), and what no XML document may carry (other control characters,
    // bytes that are not UTF-8, U+FFFE and U+FFFF) becomes '?', one byte at a time.
    static std::string Escape(const std::string& strValue);

    // The template with its %s and %d placeholders replaced in order by the values, which are
    // inserted as they are; "%%" stands for '%'. Placeholders beyond the values become empty.
    static std::string Fill(const std::string& strTemplate,
                            const std::vector<std::string>& vecValues);
};
