#include "boundary/guard.h"
#include "toolkit/result_string.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

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
    // A constant handed to free: Windows corrupts its heap, Wine refuses it
    // and leaves the error behind.
    SetLastError(0);
    talir::FreeResultString(nullptr);
    talir::FreeResultString(const_cast<char*>(talir::kOutOfMemory));
    talir::FreeResultString(const_cast<char*>(talir::kUnexpectedFailure));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_STREQ(talir::kOutOfMemory, "Error: out of memory.");
}

// Nothing thrown inside an export may reach the host; each kind of result
// says why it stopped.
TEST(Guarded, NothingThrownCrossesTheBoundary) {
    struct Case {
        void (*raise)();
        const char* text;
    };
    const Case cases[] = {
        {[] { throw std::bad_alloc(); }, talir::kOutOfMemory},
        {[] { throw std::runtime_error("unexpected"); }, talir::kUnexpectedFailure},
        {[] { throw 7; }, talir::kUnexpectedFailure},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(talir::Guarded([&]() -> const char* { c.raise(); return "success"; }), c.text);
        EXPECT_EQ(talir::Guarded([&]() -> char* { c.raise(); return nullptr; }), c.text);
        EXPECT_EQ(talir::Guarded([&]() -> int32_t { c.raise(); return 0; }), 1);
        talir::Guarded([&] { c.raise(); });
    }
}

}  // namespace
