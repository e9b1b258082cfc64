// Reading the forwarding table while routes appear: cases that a real table
// cannot be made to show on demand.
#include "routing/forward_table.h"

#include "toolkit/error_text.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

// A table of `rows` rows that gains one row after each of its next `growths`
// size reports, and that leaves an unrelated last error behind.
DWORD rows = 0;
int growths = 0;
DWORD failure = NO_ERROR;

DWORD WINAPI GrowingTable(PMIB_IPFORWARDTABLE table, PULONG size, BOOL) {
    SetLastError(ERROR_ACCESS_DENIED);
    if (failure != NO_ERROR) return failure;
    const ULONG needed = offsetof(MIB_IPFORWARDTABLE, table) + rows * sizeof(MIB_IPFORWARDROW);
    if (*size < needed) {
        *size = needed;
        if (growths > 0) {
            --growths;
            ++rows;
        }
        return ERROR_INSUFFICIENT_BUFFER;
    }
    table->dwNumEntries = rows;
    return NO_ERROR;
}

TEST(ForwardTable, GrowingTableIsReadAgainAFewTimesAndFailuresNameTheReturnedCode) {
    struct Case {
        int growths;
        DWORD failure;
        bool read;
        DWORD errorCode;  // whose text the failure carries
    };
    const Case cases[] = {
        {0, NO_ERROR, true, 0},
        {1, NO_ERROR, true, 0},
        {3, NO_ERROR, true, 0},
        {1000, NO_ERROR, false, ERROR_INSUFFICIENT_BUFFER},
        {0, ERROR_NOT_SUPPORTED, false, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.growths << " growths, failure " << c.failure);
        rows = 4;
        growths = c.growths;
        failure = c.failure;
        const talir::ForwardTable result = talir::ReadForwardTable(&GrowingTable);
        if (c.read) {
            ASSERT_EQ(result.status, talir::ForwardTable::Status::Ok);
            EXPECT_EQ(result.table->dwNumEntries, rows);
        } else {
            EXPECT_EQ(result.status, talir::ForwardTable::Status::Failed);
            EXPECT_EQ(result.errorText, talir::ErrorText(c.errorCode));
        }
    }
}

}  // namespace
