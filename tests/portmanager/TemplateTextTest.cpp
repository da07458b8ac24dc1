// Escaping of values for the XML documents and filling of template placeholders.
#include "portmanager/TemplateText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TemplateTextEscape, MarkupCharactersBecomeEntities)
{
    EXPECT_EQ(CTemplateText::Escape("A&B <x> \"q\" 'a'"), "A&amp;B &lt;x&gt; &quot;q&quot; &apos;a&apos;");
    EXPECT_EQ(CTemplateText::Escape("&amp;"), "&amp;amp;");
    EXPECT_EQ(CTemplateText::Escape(""), "");
    EXPECT_EQ(CTemplateText::Escape("QX-K40V /QX/P1/"), "QX-K40V /QX/P1/");
}

TEST(TemplateTextEscape, LineBreaksAndTabsSurviveAttributeNormalisation)
{
    EXPECT_EQ(CTemplateText::Escape("a\tb\nc\rd"), "a&#9;b&#10;c&#13;d");
}

TEST(TemplateTextEscape, WhatNoDocumentMayCarryBecomesQuestionMarks)
{
    EXPECT_EQ(CTemplateText::Escape(std::string("a\x01\x1F" "b", 4)), "a??b");
    EXPECT_EQ(CTemplateText::Escape(std::string("x\0y", 3)), "x?y");
    // Stray continuation byte, truncated sequence, overlong form, surrogate, beyond U+10FFFF.
    EXPECT_EQ(CTemplateText::Escape("\x80z"), "?z");
    EXPECT_EQ(CTemplateText::Escape("\xE3\x83"), "??");
    EXPECT_EQ(CTemplateText::Escape("\xC0\xAF"), "??");
    EXPECT_EQ(CTemplateText::Escape("\xED\xA0\x80"), "???");
    EXPECT_EQ(CTemplateText::Escape("\xF4\x90\x80\x80"), "????");
    EXPECT_EQ(CTemplateText::Escape("\xEF\xBF\xBF"), "???");
}

TEST(TemplateTextEscape, WellFormedUtf8IsKept)
{
    const std::string s = "\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88 \xC3\xA9 \xF0\x9F\x96\xA8 \x7F";
    EXPECT_EQ(CTemplateText::Escape(s), s);
}

TEST(TemplateTextFill, PlaceholdersTakeValuesInOrder)
{
    EXPECT_EQ(CTemplateText::Fill("<a v=\"%s\" n=\"%d\">%s</a>", {"x", "42", "y"}), "<a v=\"x\" n=\"42\">y</a>");
    EXPECT_EQ(CTemplateText::Fill("100%% %s", {"sure"}), "100% sure");
}

TEST(TemplateTextFill, ValuesAreInsertedAsTheyAreAndNeverReadAsPlaceholders)
{
    EXPECT_EQ(CTemplateText::Fill("[%s][%s]", {"%s%d", "b"}), "[%s%d][b]");
}

TEST(TemplateTextFill, MissingValuesAndStrayPercentSigns)
{
    EXPECT_EQ(CTemplateText::Fill("%s-%s-%d", {"a"}), "a--");
    EXPECT_EQ(CTemplateText::Fill("50% off %x %", {}), "50% off %x %");
}

TEST(TemplateTextFill, LongValuesFitWithoutLimit)
{
    const std::string strLong(100000, 'M');
    const std::string out = CTemplateText::Fill("<%s|%s>", {strLong, strLong});
    EXPECT_EQ(out.size(), 2 * strLong.size() + 3);
}

}  // namespace
