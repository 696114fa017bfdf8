// memset_s / memcpy_s contracts.
#include <cstring>

#include "bounded/bounded.h"
#include "sandbox.h"

TEST(MemsetS, RangeIsJudgedBeforePointer)
{
    EXPECT_EQ(memset_s(nullptr, 8, 0, 1), BC_INVALID);
    EXPECT_EQ(memset_s(nullptr, 0, 0, 1), BC_RANGE);
}
