#include "toolkit/error_text.h"

#include "test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

using talir_test::SystemText;

TEST(ErrorText, CodeZeroGivesEmptyText) {
    SetLastError(0);
    EXPECT_EQ(talir::GetLastErrorText(), "");
}

TEST(ErrorText, KnownCodeGivesTheSystemTextWithItsLineEnd) {
    const std::string expected = SystemText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(expected.empty());
    SetLastError(ERROR_ACCESS_DENIED);
    const std::string text = talir::GetLastErrorText();
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST(ErrorText, CodeWithoutTextGivesItsNumber) {
    int checked = 0;
    for (const DWORD code : {15100ul, 15105ul, 0xC0000135ul, 0xFFFFFFFFul}) {
        if (!SystemText(code).empty()) continue;  // this system knows it
        SetLastError(code);
        EXPECT_EQ(talir::GetLastErrorText(), "Windows error " + std::to_string(code) + "\r\n");
        ++checked;
    }
    EXPECT_GT(checked, 0) << "every candidate code has a text here";
}

}  // namespace
