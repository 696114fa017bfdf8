// memset_s and memcpy_s: each row runs one call on a patterned buffer and
// compares the whole buffer afterwards, so a stray write anywhere shows.
#include <cstdint>
#include <cstring>
#include <vector>

#include "bounded/bounded.h"
#include "sandbox.h"

namespace {

constexpr size_t kBuf = 48;
constexpr int kNull = -1;  // offset meaning "null pointer"

std::vector<uint8_t> Patterned()
{
    std::vector<uint8_t> b(kBuf);
    for (size_t i = 0; i < kBuf; ++i) {
        b[i] = static_cast<uint8_t>(0x80 + i);
    }
    return b;
}

uint8_t *At(std::vector<uint8_t> &b, int off)
{
    return off == kNull ? nullptr : b.data() + off;
}

struct MemsetRow {
    const char *name;
    int dest;  // offset or kNull
    size_t destSize;
    int value;
    size_t count;
    int rc;
    size_t filled;  // bytes at dest expected to hold the fill byte
};

const MemsetRow kMemsetRows[] = {
    {"ordinary", 0, 16, 0, 16, BC_OK, 16},
    {"part of the destination", 4, 16, 0x41, 5, BC_OK, 5},
    {"low byte of value only", 0, 8, 0x1241, 8, BC_OK, 8},
    {"size 0 count 0 is fine", 0, 0, 0x41, 0, BC_OK, 0},
    {"size 0 count 1", 0, 0, 0x41, 1, BC_RANGE, 0},
    {"count 0 any size", 0, 8, 0x41, 0, BC_OK, 0},
    {"count above size fills all", 0, 8, 0x41, 9, BC_RANGE_CLEARED, 8},
    {"null dest, size 8", kNull, 8, 0, 1, BC_INVALID, 0},
    {"null dest, size 0: size judged first", kNull, 0, 0, 1, BC_RANGE, 0},
    {"null dest, count 0", kNull, 8, 0, 0, BC_INVALID, 0},
    {"size above the limit", 0, BC_MAX_SIZE + 1, 0, 1, BC_RANGE, 0},
    {"size above the limit, count 0", 0, BC_MAX_SIZE + 1, 0, 0, BC_RANGE, 0},
    {"largest size, small count", 0, BC_MAX_SIZE, 0x42, 3, BC_OK, 3},
};

struct MemcpyRow {
    const char *name;
    int dest;
    size_t destSize;
    int src;
    size_t count;
    int rc;
    enum { Untouched, Copied, Zeroed } effect;
};

const MemcpyRow kMemcpyRows[] = {
    {"ordinary", 0, 16, 24, 16, BC_OK, MemcpyRow::Copied},
    {"count below size", 0, 16, 24, 5, BC_OK, MemcpyRow::Copied},
    {"one byte", 0, 1, 24, 1, BC_OK, MemcpyRow::Copied},
    {"size 0", 0, 0, 24, 0, BC_RANGE, MemcpyRow::Untouched},
    {"size above the limit", 0, BC_MAX_SIZE + 1, 24, 1, BC_RANGE, MemcpyRow::Untouched},
    {"null dest", kNull, 16, 24, 4, BC_INVALID, MemcpyRow::Untouched},
    {"null dest and size 0", kNull, 0, 24, 4, BC_RANGE, MemcpyRow::Untouched},
    {"null src clears", 0, 16, kNull, 4, BC_INVALID_CLEARED, MemcpyRow::Zeroed},
    {"null src with count 0 clears", 0, 16, kNull, 0, BC_INVALID_CLEARED, MemcpyRow::Zeroed},
    {"count 0 leaves dest", 0, 16, 24, 0, BC_OK, MemcpyRow::Untouched},
    {"count above size clears", 0, 8, 24, 9, BC_RANGE_CLEARED, MemcpyRow::Zeroed},
    {"dest equals src", 8, 16, 8, 8, BC_OK, MemcpyRow::Untouched},
    {"dest 4 above src", 12, 16, 8, 8, BC_OVERLAP_CLEARED, MemcpyRow::Zeroed},
    {"dest 4 below src", 4, 16, 8, 8, BC_OVERLAP_CLEARED, MemcpyRow::Zeroed},
    {"dest 1 above src", 9, 8, 8, 8, BC_OVERLAP_CLEARED, MemcpyRow::Zeroed},
    {"ranges touch above", 16, 8, 8, 8, BC_OK, MemcpyRow::Copied},
    {"ranges touch below", 0, 8, 8, 8, BC_OK, MemcpyRow::Copied},
    {"overlap judged after count", 12, 8, 8, 9, BC_RANGE_CLEARED, MemcpyRow::Zeroed},
};

}  // namespace

TEST(MemsetS, Contract)
{
    for (const MemsetRow &row : kMemsetRows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> buf = Patterned();
        std::vector<uint8_t> want = buf;
        for (size_t i = 0; i < row.filled; ++i) {
            want[row.dest + i] = static_cast<uint8_t>(row.value);
        }
        EXPECT_EQ(memset_s(At(buf, row.dest), row.destSize, row.value, row.count), row.rc);
        EXPECT_EQ(buf, want);
    }
}

TEST(MemcpyS, Contract)
{
    for (const MemcpyRow &row : kMemcpyRows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> buf = Patterned();
        std::vector<uint8_t> want = buf;
        if (row.effect == MemcpyRow::Copied) {
            memmove(want.data() + row.dest, buf.data() + row.src, row.count);
        } else if (row.effect == MemcpyRow::Zeroed) {
            memset(want.data() + row.dest, 0, row.destSize);
        }
        EXPECT_EQ(memcpy_s(At(buf, row.dest), row.destSize, At(buf, row.src), row.count), row.rc);
        EXPECT_EQ(buf, want);
    }
}
