#include "markup/Markup.h"
#include "tests/markup/MarkupTestUtil.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

const char* const kStore = "<?xml version=\"1.0\"?>\r\n<!-- settings -->\r\n<xmlroot>\r\n"
                           "<type value='components'>\r\n"
                           "  <property id=\"filename\" type=\"string\" value=\"a.so\" />\r\n"
                           "</type>\r\n"
                           "<type value=\"stack\"/>\r\n"
                           "</xmlroot>\r\n";

size_t Find(const std::string& str, const char* szWhat)
{
    const size_t n = str.find(szWhat);
    EXPECT_NE(std::string::npos, n) << szWhat;
    return n;
}

}  // namespace

TEST(MarkupAddElem, ChildOfEmptyElementGetsStartTagChildLineAndEndTag)
{
    CMarkup xml("<r>\r\n<empty a=\"1\"/>\r\n</r>");
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("empty"));
    const std::string strBefore = xml.GetDoc();
    ASSERT_TRUE(xml.AddChildElem("child"));
    EXPECT_EQ("<r>\r\n<empty a=\"1\">\r\n<child/>\r\n</empty>\r\n</r>", xml.GetDoc());
    EXPECT_EQ("child", xml.GetChildTagName());
    EXPECT_TRUE(OutsideUnchanged(strBefore, xml.GetDoc(), Find(strBefore, "<empty"), Find(strBefore, "/>\r\n</r>") + 2));
    EXPECT_TRUE(IndexConsistent(xml));
    // A second child goes after the first, on its own line.
    ASSERT_TRUE(xml.AddChildElem("second", "v"));
    EXPECT_EQ("<r>\r\n<empty a=\"1\">\r\n<child/>\r\n<second>v</second>\r\n</empty>\r\n</r>", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupAddElem, EmptyElementWithSpaceBeforeSlash)
{
    CMarkup xml("<r a='1' />");
    ASSERT_TRUE(xml.FindElem());
    ASSERT_TRUE(xml.AddChildElem("c"));
    EXPECT_EQ("<r a='1' >\r\n<c/>\r\n</r>", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
    ASSERT_TRUE(xml.IntoElem());
    EXPECT_EQ("c", xml.GetTagName());
    ASSERT_TRUE(xml.AddChildElem("d", nullptr, CMarkup::MNF_WITHNOLINES));
    EXPECT_EQ("<r a='1' >\r\n<c><d/></c>\r\n</r>", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupAddElem, ToEmptyDocumentBecomesRootWithLineBreak)
{
    CMarkup xml;
    EXPECT_FALSE(xml.IsWellFormed());
    ASSERT_TRUE(xml.AddElem("xmlroot"));
    EXPECT_EQ("<xmlroot/>\r\n", xml.GetDoc());
    EXPECT_TRUE(xml.IsWellFormed());
    EXPECT_EQ("xmlroot", xml.GetTagName());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupAddElem, AfterMainElementAndItsLineBreak)
{
    CMarkup xml(kStore);
    ASSERT_TRUE(xml.FindElem("xmlroot"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("type"));
    const std::string strBefore = xml.GetDoc();
    const size_t nAt = Find(strBefore, "<type value=\"stack\"");
    ASSERT_TRUE(xml.AddElem("type"));
    ASSERT_TRUE(xml.SetAttrib("value", "new"));
    EXPECT_NE(std::string::npos, xml.GetDoc().find("</type>\r\n<type value=\"new\"/>\r\n<type value=\"stack\"/>"));
    EXPECT_TRUE(OutsideUnchanged(strBefore, xml.GetDoc(), nAt, nAt));
    EXPECT_TRUE(IndexConsistent(xml));
    // The new element is the main position: the next search continues after it.
    ASSERT_TRUE(xml.FindElem("type"));
    EXPECT_EQ("stack", xml.GetAttrib("value"));
}

TEST(MarkupAddElem, WithoutMainElementAppendsAtTheEndOfTheLevel)
{
    CMarkup xml(kStore);
    ASSERT_TRUE(xml.FindElem("xmlroot"));
    ASSERT_TRUE(xml.IntoElem());
    const std::string strBefore = xml.GetDoc();
    const size_t nAt = Find(strBefore, "</xmlroot>");
    ASSERT_TRUE(xml.AddElem("property", "a<b & \"c\""));
    EXPECT_TRUE(OutsideUnchanged(strBefore, xml.GetDoc(), nAt, nAt));
    EXPECT_NE(std::string::npos, xml.GetDoc().find("<property>a&lt;b &amp; \"c\"</property>\r\n</xmlroot>"));
    EXPECT_EQ("a<b & \"c\"", xml.GetData());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupAddElem, RefusesNamesThatDoNotReadBack)
{
    CMarkup xml("<r/>");
    ASSERT_TRUE(xml.FindElem());
    for (const char* szName : {"", "1a", "a b", "a/b", "a>b", "a=b", "-x"})
        EXPECT_FALSE(xml.AddChildElem(szName)) << szName;
    EXPECT_FALSE(xml.AddChildElem(nullptr));
    EXPECT_EQ("<r/>", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupRemoveElem, FirstChildLeavesNoMainThenAddAppendsAtEnd)
{
    CMarkup xml("<r>\r\n<a/>\r\n<b/>\r\n<c/>\r\n</r>\r\n");
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("a"));
    const std::string strBefore = xml.GetDoc();
    ASSERT_TRUE(xml.RemoveElem());
    EXPECT_EQ("<r>\r\n<b/>\r\n<c/>\r\n</r>\r\n", xml.GetDoc());
    EXPECT_TRUE(OutsideUnchanged(strBefore, xml.GetDoc(), Find(strBefore, "<a/>"), Find(strBefore, "<b/>")));
    EXPECT_EQ("", xml.GetTagName());
    EXPECT_TRUE(IndexConsistent(xml));
    ASSERT_TRUE(xml.AddElem("d"));
    EXPECT_EQ("<r>\r\n<b/>\r\n<c/>\r\n<d/>\r\n</r>\r\n", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupRemoveElem, LaterChildLeavesPreviousSiblingAsMain)
{
    CMarkup xml("<r><a><deep><deeper/></deep></a>  <b x='1'>t</b>\n\t<c/></r>");
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("a"));
    ASSERT_TRUE(xml.FindElem("b"));
    ASSERT_TRUE(xml.RemoveElem());
    EXPECT_EQ("<r><a><deep><deeper/></deep></a>  <c/></r>", xml.GetDoc());
    EXPECT_EQ("a", xml.GetTagName());
    ASSERT_TRUE(xml.RemoveElem());
    EXPECT_EQ("<r><c/></r>", xml.GetDoc());
    EXPECT_EQ("", xml.GetTagName());
    EXPECT_TRUE(IndexConsistent(xml));
    // Released records are reused without disturbing the index.
    ASSERT_TRUE(xml.AddElem("n1"));
    ASSERT_TRUE(xml.AddChildElem("n2"));
    ASSERT_TRUE(xml.AddChildElem("n3"));
    EXPECT_EQ("<r><c/><n1>\r\n<n2/>\r\n<n3/>\r\n</n1>\r\n</r>", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
    ASSERT_TRUE(xml.RemoveChildElem());
    EXPECT_EQ("n2", xml.GetChildTagName());
    ASSERT_TRUE(xml.RemoveChildElem());
    EXPECT_EQ("", xml.GetChildTagName());
    EXPECT_FALSE(xml.RemoveChildElem());
    EXPECT_EQ("<r><c/><n1>\r\n</n1>\r\n</r>", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupRemoveElem, WhiteSpaceBeforeTextIsKept)
{
    CMarkup xml("<r><a/> text<b/></r>");
    ASSERT_TRUE(xml.FindChildElem("a"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.RemoveElem());
    EXPECT_EQ("<r> text<b/></r>", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupSetAttrib, ReplacesInPlaceWithDoubleQuotes)
{
    CMarkup xml(kStore);
    ASSERT_TRUE(xml.FindElem("xmlroot"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("type"));
    const std::string strBefore = xml.GetDoc();
    const size_t nValue = Find(strBefore, "'components'");
    ASSERT_TRUE(xml.SetAttrib("value", "it's \"x\" & <y>"));
    EXPECT_TRUE(OutsideUnchanged(strBefore, xml.GetDoc(), nValue, nValue + 12));
    EXPECT_NE(std::string::npos, xml.GetDoc().find("<type value=\"it&apos;s &quot;x&quot; &amp; &lt;y&gt;\">"));
    EXPECT_EQ("it's \"x\" & <y>", xml.GetAttrib("value"));
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupSetAttrib, AppendsNewAttributeAfterTheLast)
{
    CMarkup xml("<r>\r\n<p id=\"1\"   />\r\n<q/>\r\n<s>\r\n</s>\r\n</r>");
    ASSERT_TRUE(xml.FindElem());
    ASSERT_TRUE(xml.FindChildElem("p"));
    ASSERT_TRUE(xml.SetChildAttrib("type", "string"));
    ASSERT_TRUE(xml.SetChildAttrib("n", 42));
    ASSERT_TRUE(xml.FindChildElem("q"));
    ASSERT_TRUE(xml.SetChildAttrib("id", -7));
    ASSERT_TRUE(xml.FindChildElem("s"));
    ASSERT_TRUE(xml.SetChildAttrib("v", ""));
    EXPECT_EQ("<r>\r\n<p id=\"1\" type=\"string\" n=\"42\"   />\r\n<q id=\"-7\"/>\r\n<s v=\"\">\r\n</s>\r\n</r>",
              xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
    ASSERT_TRUE(xml.IntoElem());
    xml.ResetMainPos();
    ASSERT_TRUE(xml.FindElem("p"));
    EXPECT_EQ("id", xml.GetAttribName(0));
    EXPECT_EQ("type", xml.GetAttribName(1));
    EXPECT_EQ("n", xml.GetAttribName(2));
    EXPECT_EQ("", xml.GetAttribName(3));
    EXPECT_EQ("42", xml.GetAttrib("n"));
    EXPECT_EQ("", xml.GetAttrib("missing"));
    int nOffset = 0, nLength = 0;
    ASSERT_TRUE(xml.GetAttribOffsets("type", &nOffset, &nLength));
    EXPECT_EQ("string", xml.GetDoc().substr(static_cast<size_t>(nOffset), static_cast<size_t>(nLength)));
    EXPECT_FALSE(xml.GetAttribOffsets("missing"));
}

TEST(MarkupSetAttrib, BareAndValuelessAttributes)
{
    CMarkup xml("<r a=1 b c = 'x'></r>");
    ASSERT_TRUE(xml.FindElem());
    EXPECT_EQ("1", xml.GetAttrib("a"));
    EXPECT_EQ("", xml.GetAttrib("b"));
    EXPECT_TRUE(xml.GetAttribOffsets("b"));
    EXPECT_EQ("x", xml.GetAttrib("c"));
    ASSERT_TRUE(xml.SetAttrib("a", "2"));
    ASSERT_TRUE(xml.SetAttrib("b", "3"));
    ASSERT_TRUE(xml.SetAttrib("c", "4"));
    EXPECT_EQ("<r a=\"2\" b=\"3\" c = \"4\"></r>", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupSetAttrib, RefusesEditsThatChangeTheKindOfTag)
{
    // "<a b/>" is a start tag (the slash follows a bare word); a quoted value before the slash
    // would make it an empty element and orphan its end tag.
    CMarkup xml("<r><a b/></a></r>");
    ASSERT_TRUE(xml.IsWellFormed());
    ASSERT_TRUE(xml.FindChildElem("a"));
    ASSERT_TRUE(xml.IntoElem());
    EXPECT_FALSE(xml.SetAttrib("b", "1"));
    EXPECT_FALSE(xml.SetAttrib("c", "1"));
    EXPECT_EQ("<r><a b/></a></r>", xml.GetDoc());
    EXPECT_FALSE(xml.SetAttrib("bad name", "1"));
    EXPECT_FALSE(xml.SetAttrib("", "1"));
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupSetAttrib, RefusesEditsThatChangeOtherAttributes)
{
    // After a dangling "b=" the next word is b's value: an appended attribute would vanish into it.
    CMarkup xml("<r b=><c x= 'v'/></r>");
    ASSERT_TRUE(xml.FindElem());
    EXPECT_FALSE(xml.SetAttrib("id", "1"));
    EXPECT_EQ("<r b=><c x= 'v'/></r>", xml.GetDoc());
    ASSERT_TRUE(xml.SetAttrib("b", "2"));
    EXPECT_EQ("2", xml.GetAttrib("b"));
    ASSERT_TRUE(xml.SetAttrib("id", "1"));
    EXPECT_EQ("<r b=\"2\" id=\"1\"><c x= 'v'/></r>", xml.GetDoc());
    ASSERT_TRUE(xml.FindChildElem("c"));
    ASSERT_TRUE(xml.SetChildAttrib("x", "w"));
    EXPECT_EQ("<r b=\"2\" id=\"1\"><c x= \"w\"/></r>", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupSetElemContent, ReplacesContentAndIndexesNewChildren)
{
    CMarkup xml(kStore);
    ASSERT_TRUE(xml.FindElem("xmlroot"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("type"));
    ASSERT_TRUE(xml.FindChildElem("property"));
    ASSERT_TRUE(xml.SavePos("old"));
    const std::string strBefore = xml.GetDoc();
    const size_t nContent = Find(strBefore, "'components'>") + 13;
    const size_t nEnd = Find(strBefore, "</type>");
    ASSERT_TRUE(xml.SetElemContent("<property id=\"x\"/><type value=\"inner\"><property id=\"y\"/></type>"));
    EXPECT_TRUE(OutsideUnchanged(strBefore, xml.GetDoc(), nContent, nEnd));
    EXPECT_EQ("type", xml.GetTagName());
    EXPECT_EQ("", xml.GetChildTagName());
    EXPECT_FALSE(xml.RestorePos("old"));
    EXPECT_TRUE(xml.IsWellFormed());
    EXPECT_TRUE(IndexConsistent(xml));
    ASSERT_TRUE(xml.FindChildElem("type"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindChildElem("property"));
    EXPECT_EQ("y", xml.GetChildAttrib("id"));
    EXPECT_EQ("<property id=\"y\"/>", xml.GetElemContent());
}

TEST(MarkupSetElemContent, EmptyElementGetsStartAndEndTag)
{
    CMarkup xml("<r>\r\n<t value=\"stack\"/>\r\n</r>");
    ASSERT_TRUE(xml.FindChildElem("t"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.SetElemContent("<p/>"));
    EXPECT_EQ("<r>\r\n<t value=\"stack\"><p/></t>\r\n</r>", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
    ASSERT_TRUE(xml.SetElemContent(""));
    EXPECT_EQ("<r>\r\n<t value=\"stack\"></t>\r\n</r>", xml.GetDoc());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupSetElemContent, MalformedContentIsIndexedAndReported)
{
    CMarkup xml("<r><t/></r>");
    ASSERT_TRUE(xml.FindChildElem("t"));
    ASSERT_TRUE(xml.IntoElem());
    EXPECT_FALSE(xml.SetElemContent("<a><b></a></c>"));
    EXPECT_EQ("<r><t><a><b></a></c></t></r>", xml.GetDoc());
    EXPECT_FALSE(xml.IsWellFormed());
    EXPECT_TRUE(IndexConsistent(xml));
    // "b" stays inside "a" as an element without end tag; the lone "</c>" is ignored.
    ASSERT_TRUE(xml.FindChildElem("a"));
    EXPECT_FALSE(xml.FindChildElem());
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindChildElem("b"));
    EXPECT_EQ("<b>", xml.GetChildSubDoc());
}

TEST(MarkupSetData, EscapesOrWritesCdata)
{
    CMarkup xml("<r><v/><w>old</w><x><c/></x></r>");
    ASSERT_TRUE(xml.FindChildElem("v"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.SetData("1 < 2 & 3"));
    EXPECT_EQ("1 < 2 & 3", xml.GetData());
    ASSERT_TRUE(xml.FindElem("w"));
    ASSERT_TRUE(xml.SetData("a]]>b", CMarkup::MNF_WITHCDATA));
    EXPECT_EQ("a]]>b", xml.GetData());
    ASSERT_TRUE(xml.FindElem("x"));
    EXPECT_FALSE(xml.SetData("has children"));
    EXPECT_EQ("", xml.GetData());
    EXPECT_EQ("<r><v>1 &lt; 2 &amp; 3</v><w><![CDATA[a]]]]><![CDATA[>b]]></w><x><c/></x></r>", xml.GetDoc());
    EXPECT_TRUE(xml.IsWellFormed());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupSubDoc, CopiesAnElementWithItsTrailingWhiteSpace)
{
    CMarkup source(kStore);
    ASSERT_TRUE(source.FindElem("xmlroot"));
    ASSERT_TRUE(source.IntoElem());
    ASSERT_TRUE(source.FindElem("type"));
    const std::string strSub = source.GetSubDoc();
    EXPECT_EQ("<type value='components'>\r\n  <property id=\"filename\" type=\"string\" value=\"a.so\" />\r\n"
              "</type>\r\n",
              strSub);

    CMarkup dest("<xmlroot>\r\n<other/>\r\n</xmlroot>");
    ASSERT_TRUE(dest.FindElem());
    ASSERT_TRUE(dest.IntoElem());
    ASSERT_TRUE(dest.FindElem("other"));
    const std::string strBefore = dest.GetDoc();
    ASSERT_TRUE(dest.AddSubDoc(strSub));
    EXPECT_EQ("<xmlroot>\r\n<other/>\r\n" + strSub + "</xmlroot>", dest.GetDoc());
    EXPECT_TRUE(OutsideUnchanged(strBefore, dest.GetDoc(), 21, 21));
    EXPECT_EQ("components", dest.GetAttrib("value"));
    ASSERT_TRUE(dest.FindChildElem("property"));
    EXPECT_EQ("a.so", dest.GetChildAttrib("value"));
    EXPECT_TRUE(dest.IsWellFormed());
    EXPECT_TRUE(IndexConsistent(dest));

    // A sub-document without a line break of its own gets one; into an empty element as child.
    CMarkup empty("<a/>");
    ASSERT_TRUE(empty.FindElem());
    ASSERT_TRUE(empty.AddChildSubDoc("<b><c/></b>"));
    EXPECT_EQ("<a>\r\n<b><c/></b>\r\n</a>", empty.GetDoc());
    EXPECT_EQ("b", empty.GetChildTagName());
    EXPECT_TRUE(IndexConsistent(empty));
    EXPECT_FALSE(empty.AddChildSubDoc("no element here"));
    EXPECT_FALSE(empty.AddChildSubDoc(nullptr));
    EXPECT_EQ("<a>\r\n<b><c/></b>\r\n</a>", empty.GetDoc());
}

TEST(MarkupEdit, SequenceKeepsIndexAndUntouchedText)
{
    CMarkup xml(kStore);
    ASSERT_TRUE(xml.FindElem("xmlroot"));
    ASSERT_TRUE(xml.IntoElem());
    for (int i = 0; i < 20; ++i)
    {
        const std::string strBefore = xml.GetDoc();
        xml.ResetMainPos();
        ASSERT_TRUE(xml.FindElem("type"));
        const size_t nStart = strBefore.find("<type value='components'>");
        ASSERT_TRUE(xml.AddChildElem("property"));
        ASSERT_TRUE(xml.IntoElem());
        ASSERT_TRUE(xml.SetAttrib("id", ("p" + std::to_string(i)).c_str()));
        ASSERT_TRUE(xml.OutOfElem());
        const size_t nEnd = strBefore.find("</type>", nStart);
        EXPECT_TRUE(OutsideUnchanged(strBefore, xml.GetDoc(), nEnd, nEnd));
        ASSERT_TRUE(IndexConsistent(xml));
        if (i % 3 == 2)
        {
            xml.ResetChildPos();
            ASSERT_TRUE(xml.FindChildElem("property"));
            const std::string strBeforeRemove = xml.GetDoc();
            const std::string strSub = xml.GetChildSubDoc();
            const size_t nSub = strBeforeRemove.find(strSub);
            ASSERT_TRUE(xml.RemoveChildElem());
            ASSERT_TRUE(IndexConsistent(xml));
            EXPECT_TRUE(OutsideUnchanged(strBeforeRemove, xml.GetDoc(), nSub, nSub + strSub.size()));
            EXPECT_EQ(strBeforeRemove.size() - strSub.size(), xml.GetDoc().size());
        }
    }
    EXPECT_TRUE(xml.IsWellFormed());
}
