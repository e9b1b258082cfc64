#include "boundary/result_string.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(ResultString, CopiesTheBytesAndEmptiesTheSource) {
    std::string text = "success";
    char* result = talir::ToResultString(std::move(text));
    EXPECT_STREQ(result, "success");
    EXPECT_TRUE(text.empty());
    talir::FreeResultString(result);
}

TEST(ResultString, StopsAtTheFirstNul) {
    char* result = talir::ToResultString(std::string("12\0 34", 6));
    EXPECT_EQ(std::memcmp(result, "12", 3), 0);
    talir::FreeResultString(result);
}

TEST(ResultString, EmptyTextIsOneNulByte) {
    char* result = talir::ToResultString(std::string());
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result[0], '\0');
    talir::FreeResultString(result);
}

TEST(ResultString, HighBytesAndLineEndsPassUnchanged) {
    const std::string bytes = "Error: \xE1\xE0\xE9\xF2\r\n";
    char* result = talir::ToResultString(std::string(bytes));
    EXPECT_EQ(std::string(result), bytes);
    talir::FreeResultString(result);
}

TEST(ResultString, FreeingNullOrAConstantDoesNothing) {
    talir::FreeResultString(nullptr);
    talir::FreeResultString(const_cast<char*>(talir::kOutOfMemory));
    talir::FreeResultString(const_cast<char*>(talir::kUnexpectedFailure));
    EXPECT_STREQ(talir::kOutOfMemory, "Error: out of memory.");
}

}  // namespace
