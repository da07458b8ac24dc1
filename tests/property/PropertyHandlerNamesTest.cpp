#include "property/PropertyHandler.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using Segments = std::vector<std::string>;

TEST(PropertyHandlerSplit, DropsLeadingTrailingAndDoubledSlashes)
{
	EXPECT_EQ(CPropertyHandler::Split("/stack//QX/QXUSB/requiredName"),
	          (Segments{"stack", "QX", "QXUSB", "requiredName"}));
	EXPECT_EQ(CPropertyHandler::Split("QX//P1/"), (Segments{"QX", "P1"}));
	EXPECT_EQ(CPropertyHandler::Split("///a///"), (Segments{"a"}));
	EXPECT_EQ(CPropertyHandler::Split("a b/ c"), (Segments{"a b", " c"}));
}

TEST(PropertyHandlerSplit, PathsWithoutSegmentsGiveNothing)
{
	EXPECT_TRUE(CPropertyHandler::Split("").empty());
	EXPECT_TRUE(CPropertyHandler::Split("/").empty());
	EXPECT_TRUE(CPropertyHandler::Split(std::string(100000, '/')).empty());
}

static int IntegerOf(const char* psz, std::string* pstrRest = nullptr)
{
	const char* pszCursor = psz;
	int n = CPropertyHandler::GetInteger(pszCursor);
	if (pstrRest)
		*pstrRest = pszCursor;
	return n;
}

static unsigned RomanOf(const char* psz, std::string* pstrRest = nullptr)
{
	const char* pszCursor = psz;
	unsigned ul = CPropertyHandler::GetRomanNumeral(pszCursor);
	if (pstrRest)
		*pstrRest = pszCursor;
	return ul;
}

TEST(PropertyHandlerGetInteger, ReadsDigitsAndStopsAtTheFirstOther)
{
	std::string strRest;
	EXPECT_EQ(IntegerOf("220IV", &strRest), 220);
	EXPECT_EQ(strRest, "IV");
	EXPECT_EQ(IntegerOf("x1", &strRest), 0);
	EXPECT_EQ(strRest, "x1");
	EXPECT_EQ(IntegerOf("", &strRest), 0);
	EXPECT_EQ(IntegerOf("-5"), 0);
	EXPECT_EQ(IntegerOf("2147483647"), INT_MAX);
}

TEST(PropertyHandlerGetInteger, SaturatesOnLongDigitRuns)
{
	std::string strDigits(100000, '9');
	strDigits += "V";
	std::string strRest;
	EXPECT_EQ(IntegerOf(strDigits.c_str(), &strRest), INT_MAX);
	EXPECT_EQ(strRest, "V");
	EXPECT_EQ(IntegerOf("2147483648"), INT_MAX);
	EXPECT_EQ(IntegerOf("4294967297"), INT_MAX);
}

TEST(PropertyHandlerGetRomanNumeral, ReadsTheExamples)
{
	EXPECT_EQ(RomanOf("IV"), 4u);
	EXPECT_EQ(RomanOf("VI"), 6u);
	EXPECT_EQ(RomanOf("IX"), 9u);
	EXPECT_EQ(RomanOf("II"), 2u);
	EXPECT_EQ(RomanOf("III"), 3u);
	EXPECT_EQ(RomanOf("xiv"), 14u);
	EXPECT_EQ(RomanOf("VX"), 5u);
	EXPECT_EQ(RomanOf("MCMXC"), 1990u);
	EXPECT_EQ(RomanOf("Ii"), 2u);
	EXPECT_EQ(RomanOf("MMMMMM"), 6000u);
}

TEST(PropertyHandlerGetRomanNumeral, StopsBeforeTheFirstInvalidGroup)
{
	std::string strRest;
	EXPECT_EQ(RomanOf("IIV", &strRest), 2u);
	EXPECT_EQ(strRest, "V");
	EXPECT_EQ(RomanOf("IV-B", &strRest), 4u);
	EXPECT_EQ(strRest, "-B");
	EXPECT_EQ(RomanOf("", &strRest), 0u);
	EXPECT_EQ(strRest, "");
	EXPECT_EQ(RomanOf("Z", &strRest), 0u);
	EXPECT_EQ(strRest, "Z");
}

TEST(PropertyHandlerGetRomanNumeral, ThousandsOfLettersStayDefined)
{
	std::string strRest;
	EXPECT_EQ(RomanOf(std::string(5000, 'I').c_str(), &strRest), 5000u);
	EXPECT_EQ(strRest, "");
	// A run of M large enough to exceed 32 bits saturates rather than wrapping.
	std::string strM(5000000, 'M');
	EXPECT_EQ(RomanOf(strM.c_str(), &strRest), UINT_MAX);
	EXPECT_EQ(strRest, "");
	std::string strMixed;
	for (int i = 0; i < 3000; ++i)
		strMixed += "IVXLCDM";
	// Each repetition scores 1, +5-2, +10-10, +50-20, +100-100, +500-200, +1000-1000 = 334,
	// and the I after an M starts a new group without ending the numeral.
	EXPECT_EQ(RomanOf(strMixed.c_str(), &strRest), 334u * 3000u);
	EXPECT_EQ(strRest, "");
}

TEST(PropertyHandlerIsValidUpdate, LaterGenerationOfTheSameModelMayReplace)
{
	EXPECT_TRUE(CPropertyHandler::IsValidUpdate("QX-T220IV", "QX-T220V"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-T220V", "QX-T220IV"));
	EXPECT_TRUE(CPropertyHandler::IsValidUpdate("QX-T220", "QX-T220V"));
	EXPECT_TRUE(CPropertyHandler::IsValidUpdate("QX-T220V", "QX-T220V"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-T220V", "QX-T220"));
	EXPECT_TRUE(CPropertyHandler::IsValidUpdate("Korvo QX-T220iii (STD)", "QX-T220IV"));
}

TEST(PropertyHandlerIsValidUpdate, DifferentModelsOrFamiliesAreRefused)
{
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-T220", "QX-T230"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-T220", "QX-U220"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-T220", "NF-T220"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("VQ-T220", "VQ-T220"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-t220", "QX-T220"));
}

TEST(PropertyHandlerIsValidUpdate, PrefixIsChosenByPreferenceNotPosition)
{
	// "NF-" comes first in the configured name, but "QX-" is preferred, and the candidate
	// only has "NF-".
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("NF-T1 QX-T1", "NF-T1"));
	EXPECT_TRUE(CPropertyHandler::IsValidUpdate("NF-T1 QX-T1", "QX-T1"));
	EXPECT_TRUE(CPropertyHandler::IsValidUpdate("HW-A5", "x HW-A5II"));
}

TEST(PropertyHandlerIsValidUpdate, SeriesJAcceptsNumbersHundredApart)
{
	EXPECT_TRUE(CPropertyHandler::IsValidUpdate("QX-J7100V", "QX-J7200"));
	EXPECT_TRUE(CPropertyHandler::IsValidUpdate("QX-J7200IV", "QX-J7100I"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-J7100", "QX-J7300"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-K7100", "QX-K7200"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-J7100V", "QX-J7100IV"));
}

TEST(PropertyHandlerIsValidUpdate, HostileNamesGiveDefinedResults)
{
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate(nullptr, "QX-T1"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-T1", nullptr));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("", ""));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-", "QX-"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-", "QX-T1"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-T1", "QX-"));

	std::string strHuge = "QX-T" + std::string(100000, '9');
	EXPECT_TRUE(CPropertyHandler::IsValidUpdate(strHuge.c_str(), strHuge.c_str()));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate(strHuge.c_str(), "QX-T1"));
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate("QX-J1", strHuge.c_str()));

	std::string strRomanLong = "QX-T1" + std::string(10000, 'M');
	EXPECT_FALSE(CPropertyHandler::IsValidUpdate(strRomanLong.c_str(), "QX-T1MMM"));
	EXPECT_TRUE(CPropertyHandler::IsValidUpdate("QX-T1MMM", strRomanLong.c_str()));
}
