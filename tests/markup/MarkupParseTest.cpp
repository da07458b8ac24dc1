#include "markup/Markup.h"
#include "tests/markup/MarkupTestUtil.h"

#include <gtest/gtest.h>

#include <string>

TEST(MarkupParse, EmptyTextHasNoResultAndIsNotWellFormed)
{
    CMarkup xml("");
    EXPECT_FALSE(xml.IsWellFormed());
    EXPECT_EQ("", xml.GetResult());
    EXPECT_EQ("", xml.GetError());
    EXPECT_FALSE(xml.FindElem());
    EXPECT_FALSE(xml.SetDoc(nullptr));
    EXPECT_EQ("", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupParse, WhiteSpaceAndCommentOnlyHasNoRoot)
{
    CMarkup xml(" \r\n<!-- only a comment -->\r\n");
    EXPECT_FALSE(xml.IsWellFormed());
    EXPECT_EQ("<no_root_element/>", xml.GetResult());
    EXPECT_EQ("no root element", xml.GetError());
}

TEST(MarkupParse, RootWithSiblingIndexesBoth)
{
    CMarkup xml("<a/>\r\n<b><c/></b>");
    EXPECT_FALSE(xml.IsWellFormed());
    EXPECT_EQ("<root_has_sibling/>", xml.GetResult());
    EXPECT_EQ("root element has sibling", xml.GetError());
    ASSERT_TRUE(xml.FindElem("a"));
    ASSERT_TRUE(xml.FindElem("b"));
    EXPECT_TRUE(xml.FindChildElem("c"));
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupParse, WellFormedWithDeclarationCommentsAndText)
{
    CMarkup xml("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!DOCTYPE r>\r\n<!-- c -->\r\n<r>text <![CDATA[<x>]]>"
                "<?pi?><!-- <y/> --></r>\r\n trailing");
    EXPECT_TRUE(xml.IsWellFormed());
    EXPECT_EQ("", xml.GetResult());
    ASSERT_TRUE(xml.FindElem("r"));
    EXPECT_FALSE(xml.FindChildElem());
    EXPECT_EQ("text <x>", xml.GetData());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupParse, UnendedStartTagChildrenMoveUp)
{
    CMarkup xml("<a><b><c/></a>");
    EXPECT_FALSE(xml.IsWellFormed());
    EXPECT_EQ("<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"11\"/>", xml.GetResult());
    EXPECT_EQ("start tag 'b' at offset 3 expecting end tag at offset 11", xml.GetError());
    ASSERT_TRUE(xml.FindElem("a"));
    ASSERT_TRUE(xml.FindChildElem("b"));
    EXPECT_EQ("<b>", xml.GetChildSubDoc());
    ASSERT_TRUE(xml.FindChildElem("c"));
    ASSERT_TRUE(xml.IntoElem());
    EXPECT_FALSE(xml.FindChildElem());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupParse, NestedUnendedElementsReportInnermostFirst)
{
    CMarkup xml("<r><a><b><x/></r>");
    EXPECT_EQ("<unended_start_tag tagname=\"b\" offset=\"6\" offset2=\"14\"/>"
              "<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"14\"/>",
              xml.GetResult());
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    std::string strOrder;
    while (xml.FindElem())
        strOrder += xml.GetTagName();
    EXPECT_EQ("abx", strOrder);
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupParse, UnendedAtEndOfTextUsesTextLength)
{
    CMarkup xml("<r><a>");
    EXPECT_EQ("<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"6\"/>"
              "<unended_start_tag tagname=\"r\" offset=\"0\" offset2=\"6\"/><root_has_sibling/>",
              xml.GetResult());
    EXPECT_EQ("start tag 'a' at offset 3 expecting end tag at offset 6", xml.GetError());
    // Both became top-level elements: the root has a sibling.
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.FindElem("a"));
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupParse, LoneEndTagIsIgnored)
{
    CMarkup xml("<r></x><y/></r>");
    EXPECT_FALSE(xml.IsWellFormed());
    EXPECT_EQ("<lone_end_tag tagname=\"x\" offset=\"3\"/>", xml.GetResult());
    EXPECT_EQ("lone end tag 'x' at offset 3", xml.GetError());
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.FindChildElem("y"));
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupParse, OnlyTheFirstParseErrorIsInTheMessage)
{
    CMarkup xml("<r></x></y></r>");
    EXPECT_EQ("lone end tag 'x' at offset 3", xml.GetError());
}

TEST(MarkupParse, TagSyntaxErrors)
{
    struct Case
    {
        const char* szDoc;
        const char* szResult;
        const char* szError;
    } cases[] = {
        {"<r>< x/></r>", "<first_tag_syntax offset=\"3\"/>", "tag syntax error at offset 3 expecting tag name / ! or ?"},
        {"<r><!x></r>", "<exclamation_tag_syntax offset=\"3\"/>",
         "tag syntax error at offset 3 expecting 'DOCTYPE' [ or -"},
        {"<!DOCTYPE r [<!X>]><r/>", "<doctype_tag_syntax offset=\"13\"/>",
         "tag syntax error at offset 13 expecting markup declaration"},
        {"<r><!-x--></r>", "<comment_tag_syntax offset=\"3\"/>",
         "tag syntax error at offset 3 expecting - to begin comment"},
        {"<r><![X[a]]></r>", "<cdata_section_syntax offset=\"3\"/>", "tag syntax error at offset 3 expecting 'CDATA'"},
    };
    for (const Case& c : cases)
    {
        CMarkup xml(c.szDoc);
        EXPECT_FALSE(xml.IsWellFormed()) << c.szDoc;
        EXPECT_EQ(0u, xml.GetResult().find(c.szResult)) << c.szDoc << "\n" << xml.GetResult();
        EXPECT_EQ(c.szError, xml.GetError()) << c.szDoc;
        EXPECT_TRUE(IndexConsistent(xml)) << c.szDoc;
        EXPECT_TRUE(xml.FindElem("r")) << c.szDoc;
    }
}

TEST(MarkupParse, ErrorNodeEndsBeforeTheNextTag)
{
    CMarkup xml("<r><!x<a/></r>");
    ASSERT_TRUE(xml.FindElem("r"));
    EXPECT_TRUE(xml.FindChildElem("a"));
    EXPECT_EQ("tag syntax error at offset 3 expecting 'DOCTYPE' [ or -", xml.GetError());
}

TEST(MarkupParse, UnterminatedNodesNameTheirKind)
{
    struct Case
    {
        const char* szDoc;
        const char* szType;
        int nOffset;
    } cases[] = {
        {"<r><!-- x", "comment", 3},
        {"<r><![CDATA[x", "cdata_section", 3},
        {"<r><?pi", "processing_instruction", 3},
        {"<r></r", "end_tag", 3},
        {"<r><b a=\"x>", "start_tag", 3},
        {"<!DOCTYPE r [<!ELEMENT r ANY>", "document_type", 0},
        {"<r><", "tag", 3},
        {"<r><!", "tag", 3},
    };
    for (const Case& c : cases)
    {
        CMarkup xml(c.szDoc);
        const std::string strExpected = std::string("<unterminated_tag_syntax type=\"") + c.szType + "\" offset=\"" +
                                        std::to_string(c.nOffset) + "\"/>";
        EXPECT_EQ(0u, xml.GetResult().find(strExpected)) << c.szDoc << "\n" << xml.GetResult();
        EXPECT_EQ("unterminated tag at offset " + std::to_string(c.nOffset), xml.GetError()) << c.szDoc;
        EXPECT_FALSE(xml.IsWellFormed());
        EXPECT_TRUE(IndexConsistent(xml)) << c.szDoc;
    }
}

TEST(MarkupParse, EmptyElementNeedsNameWhiteSpaceOrQuoteBeforeSlash)
{
    for (const char* szEmpty : {"<a/>", "<a />", "<a b='1'/>", "<a b=\"1\"/>", "<a\t/>"})
    {
        CMarkup xml(szEmpty);
        EXPECT_TRUE(xml.IsWellFormed()) << szEmpty;
        EXPECT_EQ("", xml.GetResult()) << szEmpty;
    }
    for (const char* szStart : {"<a b/>", "<a b=c/>"})
    {
        CMarkup xml(szStart);
        EXPECT_FALSE(xml.IsWellFormed()) << szStart;
        EXPECT_EQ(0u, xml.GetResult().find("<unended_start_tag tagname=\"a\"")) << szStart;
        CMarkup closed(std::string(szStart) + "</a>");
        EXPECT_TRUE(closed.IsWellFormed()) << szStart;
    }
}

TEST(MarkupParse, QuotedValuesHideDelimiters)
{
    CMarkup xml("<r a=\"x>y\" b = '/>' c=\"it's\"><c/></r>");
    EXPECT_TRUE(xml.IsWellFormed());
    ASSERT_TRUE(xml.FindElem("r"));
    EXPECT_EQ("x>y", xml.GetAttrib("a"));
    EXPECT_EQ("/>", xml.GetAttrib("b"));
    EXPECT_EQ("it's", xml.GetAttrib("c"));
    EXPECT_TRUE(xml.FindChildElem("c"));
}

TEST(MarkupParse, DocumentTypeSkipsDeclarationsAndComments)
{
    CMarkup xml("<!DOCTYPE r [\r\n<!ENTITY e \"a>b\">\r\n<!-- > -->\r\n<!ATTLIST r a CDATA '>'>\r\n"
                "<!NOTATION n SYSTEM \"x\">]>\r\n<r/>");
    EXPECT_TRUE(xml.IsWellFormed()) << xml.GetResult();
    EXPECT_TRUE(xml.FindElem("r"));
}

TEST(MarkupParse, EndTagMatchingFollowsIgnoreCase)
{
    CMarkup exact("<A></a>");
    EXPECT_FALSE(exact.IsWellFormed());
    CMarkup blind;
    blind.SetDocFlags(CMarkup::MDF_IGNORECASE);
    EXPECT_TRUE(blind.SetDoc("<A><b></B></a>"));
    EXPECT_TRUE(IndexConsistent(blind));
}

TEST(MarkupParse, ResultTextStopsGrowingAt1000Characters)
{
    std::string strDoc = "<r>";
    for (int i = 0; i < 200; ++i)
        strDoc += "</x>";
    strDoc += "</r>";
    CMarkup xml(strDoc);
    EXPECT_GE(xml.GetResult().size(), 1000u);
    EXPECT_LT(xml.GetResult().size(), 1100u);
    EXPECT_EQ("lone end tag 'x' at offset 3", xml.GetError());
}

TEST(MarkupParse, NulByteInTextIsAnOrdinaryCharacter)
{
    const std::string strDoc("<r a=\"x\0y\">\0<c/></r>", 20);
    CMarkup xml(strDoc);
    EXPECT_TRUE(xml.IsWellFormed());
    ASSERT_TRUE(xml.FindElem("r"));
    EXPECT_TRUE(xml.FindChildElem("c"));
    EXPECT_TRUE(IndexConsistent(xml));
}

// Record fields are full width: a start tag over 4 MB, an end tag over 1 KB and nesting deeper
// than 65535 levels must not wrap and corrupt later offsets.
TEST(MarkupParseLimits, LongStartTagKeepsLaterOffsets)
{
    const std::string strValue(5 * 1024 * 1024, 'v');
    CMarkup xml("<r a=\"" + strValue + "\"><c id=\"after\"/></r>");
    EXPECT_TRUE(xml.IsWellFormed());
    ASSERT_TRUE(xml.FindElem("r"));
    EXPECT_EQ(strValue.size(), xml.GetAttrib("a").size());
    ASSERT_TRUE(xml.FindChildElem("c"));
    EXPECT_EQ("after", xml.GetChildAttrib("id"));
    ASSERT_TRUE(xml.SetAttrib("b", "1"));
    ASSERT_TRUE(xml.AddChildElem("d"));
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupParseLimits, LongEndTagAndDeepNesting)
{
    const std::string strName(2000, 'n');
    CMarkup longName("<" + strName + "><c/></" + strName + ">");
    EXPECT_TRUE(longName.IsWellFormed());
    ASSERT_TRUE(longName.FindElem(strName));
    ASSERT_TRUE(longName.AddChildElem("d"));
    EXPECT_TRUE(IndexConsistent(longName));

    const int nDepth = 70000;
    std::string strDoc;
    for (int i = 0; i < nDepth; ++i)
        strDoc += "<a>";
    for (int i = 0; i < nDepth; ++i)
        strDoc += "</a>";
    CMarkup deep(strDoc);
    EXPECT_TRUE(deep.IsWellFormed());
    int nLevels = 0;
    while (deep.FindElem("a") && deep.IntoElem())
        ++nLevels;
    EXPECT_EQ(nDepth, nLevels);
    ASSERT_TRUE(deep.AddElem("leaf"));
    EXPECT_TRUE(IndexConsistent(deep));
}

TEST(MarkupParseLimits, ManyUnmatchedEndTagsInDeepNesting)
{
    // Every end tag names no open element: each is a lone end tag, the open ones end unended.
    std::string strDoc;
    for (int i = 0; i < 20000; ++i)
        strDoc += "<a>";
    for (int i = 0; i < 20000; ++i)
        strDoc += "</b>";
    CMarkup xml(strDoc);
    EXPECT_FALSE(xml.IsWellFormed());
    EXPECT_EQ("lone end tag 'b' at offset 60000", xml.GetError());
    int nTop = 0;
    while (xml.FindElem("a"))
        ++nTop;
    EXPECT_EQ(20000, nTop);
    EXPECT_TRUE(IndexConsistent(xml));
}
