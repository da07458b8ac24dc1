#include "markup/Markup.h"
#include "tests/markup/MarkupTestUtil.h"

#include <gtest/gtest.h>

namespace
{

const char* const kLevels = "<r>\r\n<a id=\"1\"/>\r\n<b id=\"2\"><x/><y v='q'/></b>\r\n<a id=\"3\"><x/></a>\r\n"
                            "<c/>\r\n</r>\r\n";

}  // namespace

TEST(MarkupFindElem, FailureKeepsTheMainPosition)
{
    CMarkup xml(kLevels);
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("b"));
    EXPECT_FALSE(xml.FindElem("missing"));
    EXPECT_EQ("b", xml.GetTagName());
    // The next search continues after "b", not from the start of the level.
    ASSERT_TRUE(xml.FindElem("a"));
    EXPECT_EQ("3", xml.GetAttrib("id"));
    EXPECT_FALSE(xml.FindElem("b"));
    EXPECT_EQ("3", xml.GetAttrib("id"));
}

TEST(MarkupFindElem, NullAndEmptyNamesMatchAnyElementInOrder)
{
    CMarkup xml(kLevels);
    ASSERT_TRUE(xml.FindElem());
    ASSERT_TRUE(xml.IntoElem());
    std::string strOrder;
    while (xml.FindElem(""))
        strOrder += xml.GetTagName();
    EXPECT_EQ("abac", strOrder);
    xml.ResetMainPos();
    ASSERT_TRUE(xml.FindElem(nullptr));
    EXPECT_EQ("a", xml.GetTagName());
    ASSERT_TRUE(xml.FindElem("*"));
    EXPECT_EQ("b", xml.GetTagName());
}

TEST(MarkupFindElem, NamesAreExactUnlessIgnoreCaseIsSet)
{
    CMarkup xml("<Root><Item/></Root>");
    EXPECT_FALSE(xml.FindElem("root"));
    xml.SetDocFlags(xml.GetDocFlags() | CMarkup::MDF_IGNORECASE);
    ASSERT_TRUE(xml.FindElem("root"));
    EXPECT_TRUE(xml.FindChildElem("ITEM"));
}

TEST(MarkupFindElem, PathForms)
{
    CMarkup xml(kLevels);
    ASSERT_TRUE(xml.FindElem("r/b/y"));
    EXPECT_EQ("y", xml.GetTagName());
    EXPECT_EQ("q", xml.GetAttrib("v"));
    ASSERT_TRUE(xml.OutOfElem());
    EXPECT_EQ("b", xml.GetTagName());
    EXPECT_EQ("y", xml.GetChildTagName());

    // A later step that fails on the first candidate tries the next one.
    xml.ResetPos();
    ASSERT_TRUE(xml.FindElem("/r/a/x"));
    ASSERT_TRUE(xml.OutOfElem());
    EXPECT_EQ("3", xml.GetAttrib("id"));

    xml.ResetPos();
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("a[2]"));
    EXPECT_EQ("3", xml.GetAttrib("id"));
    xml.ResetMainPos();
    ASSERT_TRUE(xml.FindElem("*[@id='2']"));
    EXPECT_EQ("b", xml.GetTagName());
    xml.ResetMainPos();
    ASSERT_TRUE(xml.FindElem("a[@id=\"3\"]"));
    EXPECT_EQ("3", xml.GetAttrib("id"));
    xml.ResetMainPos();
    ASSERT_TRUE(xml.FindElem("a[@id=1]"));
    EXPECT_EQ("1", xml.GetAttrib("id"));
    xml.ResetMainPos();
    ASSERT_TRUE(xml.FindElem("a[x]"));
    EXPECT_EQ("3", xml.GetAttrib("id"));
    xml.ResetMainPos();
    ASSERT_TRUE(xml.FindElem("b[@id]"));
    EXPECT_FALSE(xml.FindElem("c[@id]"));

    // "//" searches every element below the parent, in document order.
    xml.ResetPos();
    ASSERT_TRUE(xml.FindElem("//x"));
    ASSERT_TRUE(xml.OutOfElem());
    EXPECT_EQ("b", xml.GetTagName());
}

TEST(MarkupFindElem, PathSyntaxErrorsFindNothing)
{
    CMarkup xml(kLevels);
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("a"));
    for (const char* szPath : {"a[", "a[@]", "a[0]", "a[@id='1]", "a//x", "a[1]x", "/", "b/"})
    {
        EXPECT_FALSE(xml.FindElem(szPath)) << szPath;
        EXPECT_EQ("1", xml.GetAttrib("id")) << szPath;
    }
}

TEST(MarkupFindChildElem, PathsMustEndBelowTheMainElement)
{
    CMarkup xml(kLevels);
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.FindChildElem("b/y"));
    EXPECT_EQ("b", xml.GetTagName());
    EXPECT_EQ("y", xml.GetChildTagName());
    EXPECT_FALSE(xml.FindChildElem("/r"));
    EXPECT_EQ("y", xml.GetChildTagName());
    EXPECT_FALSE(xml.FindChildElem(" "));
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupFindChildElem, WithoutMainElementFindsOneFirst)
{
    CMarkup xml(kLevels);
    ASSERT_TRUE(xml.FindChildElem("b"));
    EXPECT_EQ("r", xml.GetTagName());
    EXPECT_EQ("b", xml.GetChildTagName());
    EXPECT_EQ("2", xml.GetChildAttrib("id"));
    ASSERT_TRUE(xml.FindChildElem());
    EXPECT_EQ("3", xml.GetChildAttrib("id"));
    EXPECT_FALSE(xml.FindChildElem("b"));
    EXPECT_EQ("3", xml.GetChildAttrib("id"));
    xml.ResetChildPos();
    EXPECT_EQ("", xml.GetChildTagName());
    EXPECT_EQ("r", xml.GetTagName());
    ASSERT_TRUE(xml.FindChildElem("a"));
    EXPECT_EQ("1", xml.GetChildAttrib("id"));
}

TEST(MarkupIntoOutOfElem, MovesOneLevelAndBack)
{
    CMarkup xml(kLevels);
    EXPECT_FALSE(xml.IntoElem());
    EXPECT_FALSE(xml.OutOfElem());
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.FindChildElem("b"));
    ASSERT_TRUE(xml.IntoElem());
    // Entering made the former child the main position.
    EXPECT_EQ("b", xml.GetTagName());
    ASSERT_TRUE(xml.IntoElem());
    EXPECT_EQ("", xml.GetTagName());
    EXPECT_TRUE(xml.FindElem("y"));
    ASSERT_TRUE(xml.OutOfElem());
    EXPECT_EQ("b", xml.GetTagName());
    EXPECT_EQ("y", xml.GetChildTagName());
    ASSERT_TRUE(xml.OutOfElem());
    EXPECT_EQ("r", xml.GetTagName());
    EXPECT_EQ("b", xml.GetChildTagName());
    // The parent is now the document itself, not an element.
    EXPECT_FALSE(xml.OutOfElem());
    EXPECT_EQ("r", xml.GetTagName());
}

TEST(MarkupIntoElem, WithoutMainElementChangesNothing)
{
    CMarkup xml(kLevels);
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    EXPECT_FALSE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("c"));
    EXPECT_TRUE(xml.OutOfElem());
}

TEST(MarkupSavePos, RestoresTheDeepestPositionSet)
{
    CMarkup xml(kLevels);
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    EXPECT_TRUE(xml.SavePos(""));  // parent only
    ASSERT_TRUE(xml.FindElem("b"));
    EXPECT_TRUE(xml.SavePos("main"));
    ASSERT_TRUE(xml.FindChildElem("y"));
    EXPECT_TRUE(xml.SavePos("child"));
    EXPECT_FALSE(xml.SavePos(nullptr));

    xml.ResetPos();
    ASSERT_TRUE(xml.RestorePos("child"));
    EXPECT_EQ("b", xml.GetTagName());
    EXPECT_EQ("y", xml.GetChildTagName());
    ASSERT_TRUE(xml.OutOfElem());
    EXPECT_EQ("r", xml.GetTagName());

    ASSERT_TRUE(xml.RestorePos("main"));
    EXPECT_EQ("b", xml.GetTagName());
    EXPECT_EQ("", xml.GetChildTagName());

    ASSERT_TRUE(xml.RestorePos(""));
    EXPECT_EQ("", xml.GetTagName());
    ASSERT_TRUE(xml.FindElem());
    EXPECT_EQ("1", xml.GetAttrib("id"));

    EXPECT_FALSE(xml.RestorePos("nothing"));
    EXPECT_FALSE(xml.RestorePos("main", 1));
    EXPECT_FALSE(xml.RestorePos(nullptr));
}

TEST(MarkupSavePos, SavingAgainReplacesAndMapsAreSeparate)
{
    CMarkup xml(kLevels);
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("a"));
    ASSERT_TRUE(xml.SavePos("p"));
    ASSERT_TRUE(xml.SavePos("p", 3));
    ASSERT_TRUE(xml.FindElem("c"));
    ASSERT_TRUE(xml.SavePos("p"));
    // Many names share the seven buckets of a map.
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(xml.SavePos(("n" + std::to_string(i)).c_str()));
    ASSERT_TRUE(xml.RestorePos("p"));
    EXPECT_EQ("c", xml.GetTagName());
    ASSERT_TRUE(xml.RestorePos("p", 3));
    EXPECT_EQ("1", xml.GetAttrib("id"));
    ASSERT_TRUE(xml.RestorePos("n49"));
    EXPECT_EQ("c", xml.GetTagName());
}

TEST(MarkupSavePos, SurvivesEditsAndDropsRemovedElements)
{
    CMarkup xml(kLevels);
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("c"));
    ASSERT_TRUE(xml.SavePos("c"));
    xml.ResetMainPos();
    ASSERT_TRUE(xml.FindElem("b"));
    ASSERT_TRUE(xml.FindChildElem("y"));
    ASSERT_TRUE(xml.SavePos("inside"));
    // Edits before "c" move its offsets.
    ASSERT_TRUE(xml.SetAttrib("new", "a long value that shifts everything after it"));
    ASSERT_TRUE(xml.AddChildElem("z", "text"));
    ASSERT_TRUE(xml.RestorePos("c"));
    EXPECT_EQ("c", xml.GetTagName());
    EXPECT_EQ("<c/>\r\n", xml.GetSubDoc());

    ASSERT_TRUE(xml.RestorePos("inside"));
    ASSERT_TRUE(xml.RemoveElem());  // removes "b" with "y"
    EXPECT_FALSE(xml.RestorePos("inside"));
    ASSERT_TRUE(xml.RestorePos("c"));
    EXPECT_EQ("c", xml.GetTagName());
    EXPECT_TRUE(IndexConsistent(xml));
}

TEST(MarkupCopy, CopiesTextIndexAndPositions)
{
    CMarkup xml(kLevels);
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.IntoElem());
    ASSERT_TRUE(xml.FindElem("b"));
    ASSERT_TRUE(xml.SavePos("b"));
    CMarkup copy;
    copy = xml;
    ASSERT_TRUE(xml.RemoveElem());
    EXPECT_EQ("b", copy.GetTagName());
    EXPECT_TRUE(copy.FindChildElem("y"));
    copy.ResetPos();
    ASSERT_TRUE(copy.RestorePos("b"));
    EXPECT_EQ("2", copy.GetAttrib("id"));
    EXPECT_TRUE(IndexConsistent(copy));
    EXPECT_TRUE(IndexConsistent(xml));
}
