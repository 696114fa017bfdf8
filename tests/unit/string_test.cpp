// strncpy_s and strtok_s. A strncpy_s row shows the first 16 bytes of its
// buffer before and after, "_" standing for a terminator: the source text
// lies at offset 0 and everything else is "Z".
#include <cstring>
#include <string>
#include <vector>

#include "bounded/bounded.h"
#include "sandbox.h"

namespace {

constexpr int kNull = -1;

std::string Show(const char *buf, size_t n)
{
    std::string s(buf, n);
    for (char &c : s) {
        c = (c == '\0') ? '_' : c;
    }
    return s;
}

struct StrncpyRow {
    const char *name;
    const char *text;  // placed at offset 0
    int dest;          // offset or kNull
    size_t destSize;
    int src;  // offset or kNull
    size_t count;
    int rc;
    const char *after;  // first 16 bytes afterwards
};

const StrncpyRow kStrncpyRows[] = {
    {"fits whole", "abc", 8, 4, 0, 10, BC_OK, "abc_ZZZZabc_ZZZZ"},
    {"no room for terminator", "abcd", 8, 4, 0, 10, BC_RANGE_CLEARED, "abcd_ZZZ_ZZZZZZZ"},
    {"count equal to size", "abcd", 8, 4, 0, 4, BC_RANGE_CLEARED, "abcd_ZZZ_ZZZZZZZ"},
    {"cut at count", "abcdef", 8, 4, 0, 3, BC_OK, "abcdef_Zabc_ZZZZ"},
    {"count 0 is an empty copy", "abc", 8, 4, 0, 0, BC_OK, "abc_ZZZZ_ZZZZZZZ"},
    {"null src", "abc", 8, 4, kNull, 3, BC_INVALID_CLEARED, "abc_ZZZZ_ZZZZZZZ"},
    {"null dest", "abc", kNull, 4, 0, 3, BC_INVALID, "abc_ZZZZZZZZZZZZ"},
    {"size 0", "abc", 8, 0, 0, 3, BC_RANGE, "abc_ZZZZZZZZZZZZ"},
    {"size above the limit", "abc", 8, BC_MAX_SIZE + 1, 0, 3, BC_RANGE, "abc_ZZZZZZZZZZZZ"},
    {"count above the limit", "abc", 8, 8, 0, BC_MAX_SIZE + 1, BC_RANGE_CLEARED, "abc_ZZZZ_ZZZZZZZ"},
    {"count at the limit", "abc", 8, 8, 0, BC_MAX_SIZE, BC_OK, "abc_ZZZZabc_ZZZZ"},
    {"terminator position overlaps", "abc", 3, 8, 0, 8, BC_OVERLAP_CLEARED, "abc_ZZZZZZZZZZZZ"},
    {"one byte further copies", "abc", 4, 8, 0, 8, BC_OK, "abc_abc_ZZZZZZZZ"},
    {"dest below src overlaps", "ZZabc", 0, 8, 2, 8, BC_OVERLAP_CLEARED, "_Zabc_ZZZZZZZZZZ"},
    {"in place cuts", "abcdef", 0, 8, 0, 3, BC_OK, "abc_ef_ZZZZZZZZZ"},
    {"empty source", "", 8, 4, 0, 5, BC_OK, "_ZZZZZZZ_ZZZZZZZ"},
};

std::vector<std::string> Tokens(const char *input, const char *delimiters, char **context)
{
    std::vector<char> text(input, input + strlen(input) + 1);
    std::vector<std::string> out;
    for (char *t = strtok_s(text.data(), delimiters, context); t != nullptr;
         t = strtok_s(nullptr, delimiters, context)) {
        out.emplace_back(t);
    }
    EXPECT_EQ(*context, text.data() + strlen(input)) << "position must rest on the terminator";
    EXPECT_EQ(strtok_s(nullptr, delimiters, context), nullptr);
    return out;
}

struct StrtokRow {
    const char *input;
    const char *delimiters;
    std::vector<std::string> tokens;
};

const StrtokRow kStrtokRows[] = {
    {"//a//b/", "/", {"a", "b"}},
    {"dev/mapper/ceph-x", "/", {"dev", "mapper", "ceph-x"}},
    {"a b,c", ", ", {"a", "b", "c"}},
    {"whole/text", "", {"whole/text"}},
    {"///", "/", {}},
    {"", "/", {}},
    {"plain", "/", {"plain"}},
};

}  // namespace

TEST(StrncpyS, Contract)
{
    for (const StrncpyRow &row : kStrncpyRows) {
        SCOPED_TRACE(row.name);
        char buf[24];
        memset(buf, 'Z', sizeof(buf));
        memcpy(buf, row.text, strlen(row.text) + 1);
        char *dest = row.dest == kNull ? nullptr : buf + row.dest;
        const char *src = row.src == kNull ? nullptr : buf + row.src;
        EXPECT_EQ(strncpy_s(dest, row.destSize, src, row.count), row.rc);
        EXPECT_EQ(Show(buf, 16), row.after);
        EXPECT_EQ(Show(buf + 16, 8), "ZZZZZZZZ");
    }
}

TEST(StrncpyS, NeverReadsPastCount)
{
    // An unterminated source ending right at a page is read no further than
    // count characters (ASan would see a longer read).
    std::vector<char> src(5, 'x');
    char dest[16];
    EXPECT_EQ(strncpy_s(dest, sizeof(dest), src.data(), 5), BC_OK);
    EXPECT_STREQ(dest, "xxxxx");
    char small[4];
    EXPECT_EQ(strncpy_s(small, sizeof(small), src.data(), 5), BC_RANGE_CLEARED);
    EXPECT_EQ(small[0], '\0');
}

TEST(StrtokS, SplitsAndRestsOnTheTerminator)
{
    for (const StrtokRow &row : kStrtokRows) {
        SCOPED_TRACE(row.input);
        char *context = nullptr;
        EXPECT_EQ(Tokens(row.input, row.delimiters, &context), row.tokens);
    }
}

TEST(StrtokS, MissingArguments)
{
    char text[] = "a/b";
    char *context = text;
    EXPECT_EQ(strtok_s(text, nullptr, &context), nullptr);
    EXPECT_EQ(strtok_s(text, "/", nullptr), nullptr);
    EXPECT_STREQ(text, "a/b");
    EXPECT_EQ(context, text);
    context = nullptr;
    EXPECT_EQ(strtok_s(nullptr, "/", &context), nullptr);
    EXPECT_EQ(context, nullptr);
}
