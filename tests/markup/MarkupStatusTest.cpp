#include "markup/Markup.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

namespace
{

struct StatusCase
{
    const char* szName;
    const char* szDoc;        // parsed with SetDoc; null: Load the missing file instead
    MarkupResult::Status status;
    long long nOffset;
    int nErrno;
    std::string strDescription;
};

void PrintTo(const StatusCase& c, std::ostream* pOut) { *pOut << c.szName; }

class MarkupStatus : public ::testing::TestWithParam<StatusCase>
{
};

TEST_P(MarkupStatus, RecordsTheFirstFailure)
{
    const StatusCase& c = GetParam();
    CMarkup xml;
    if (c.szDoc)
        xml.SetDoc(c.szDoc);
    else
        xml.Load("/nonexistent-folder/missing.xml");
    const MarkupResult& result = xml.GetStatus();
    EXPECT_EQ(c.status, result.status);
    EXPECT_EQ(c.nOffset, result.nOffset);
    EXPECT_EQ(c.nErrno, result.nErrno);
    EXPECT_EQ(c.strDescription, result.strDescription);
    EXPECT_EQ(c.status == MarkupResult::MRS_OK, result.Ok());
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, MarkupStatus,
    ::testing::Values(
        StatusCase{"WellFormed", "<r><a/></r>", MarkupResult::MRS_OK, -1, 0, ""},
        StatusCase{"Empty", "", MarkupResult::MRS_OK, -1, 0, ""},
        StatusCase{"NoRoot", "<!-- c -->", MarkupResult::MRS_NO_ROOT_ELEMENT, -1, 0, "no root element"},
        StatusCase{"RootSibling", "<a/><b/>", MarkupResult::MRS_ROOT_HAS_SIBLING, -1, 0,
                   "root element has sibling"},
        StatusCase{"LoneEndTagBeforeLaterErrors", "<r></x></r><s/>", MarkupResult::MRS_LONE_END_TAG, 3, 0,
                   "lone end tag 'x' at offset 3"},
        StatusCase{"UnendedStartTag", "<a><b></a>", MarkupResult::MRS_UNENDED_START_TAG, 3, 0,
                   "start tag 'b' at offset 3 expecting end tag at offset 7"},
        StatusCase{"TagSyntax", "<r><1/></r>", MarkupResult::MRS_TAG_SYNTAX, 3, 0,
                   "tag syntax error at offset 3 expecting tag name / ! or ?"},
        StatusCase{"Unterminated", "<r><!-- x", MarkupResult::MRS_UNTERMINATED_TAG, 3, 0,
                   "unterminated tag at offset 3"},
        StatusCase{"MissingFile", nullptr, MarkupResult::MRS_FILE_ERROR, -1, ENOENT, strerror(ENOENT)}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.szName); });

}  // namespace
