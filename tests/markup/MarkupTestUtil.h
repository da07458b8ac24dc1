#pragma once

#include "markup/Markup.h"

#include <gtest/gtest.h>

#include <string>

// Asserts that an edit changed nothing of the text outside [nFrom, nTo) of the text before it:
// the bytes before nFrom and after nTo are still there, byte for byte, at the start and the end.
inline ::testing::AssertionResult OutsideUnchanged(const std::string& strBefore, const std::string& strAfter,
                                                   size_t nFrom, size_t nTo)
{
    const size_t nTail = strBefore.size() - nTo;
    if (strAfter.size() < nFrom + nTail)
        return ::testing::AssertionFailure() << "text shrank below the untouched parts";
    if (strAfter.compare(0, nFrom, strBefore, 0, nFrom) != 0)
        return ::testing::AssertionFailure() << "text before offset " << nFrom << " changed:\n"
                                             << strBefore << "\n--- became ---\n"
                                             << strAfter;
    if (strAfter.compare(strAfter.size() - nTail, nTail, strBefore, nTo, nTail) != 0)
        return ::testing::AssertionFailure() << "text after offset " << nTo << " changed:\n"
                                             << strBefore << "\n--- became ---\n"
                                             << strAfter;
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult IndexConsistent(const CMarkup& xml)
{
    const std::string strProblem = xml.CheckIndex();
    if (strProblem.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << strProblem << "\n" << xml.GetDoc();
}
