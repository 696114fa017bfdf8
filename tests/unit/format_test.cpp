// The formatting functions, one row per case. Each row formats into a
// guarded buffer with the row's destSize and shows the text left there.
// The rows pass bad formats on purpose. The first two lines let each
// compiler skip the warning names only the other one knows.
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wunknown-warning-option"
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
#pragma GCC diagnostic ignored "-Wformat-zero-length"
#pragma GCC diagnostic ignored "-Wformat-overflow"
#pragma GCC diagnostic ignored "-Wformat-invalid-specifier"

#include <clocale>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "bounded/bounded.h"
#include "sandbox.h"

namespace {

using Call = std::function<int(char *dest, size_t destSize)>;

struct Row {
    const char *name;
    size_t destSize;
    Call call;
    int rc;
    std::string text;  // the destination as a C string afterwards
};

void RunRows(const Row *rows, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE(row.name);
        char buf[1024];
        memset(buf, 'Z', sizeof(buf));
        EXPECT_EQ(row.call(buf, row.destSize), row.rc);
        EXPECT_EQ(std::string(buf), row.text);
        for (size_t k = row.destSize; k < sizeof(buf); ++k) {
            ASSERT_EQ(buf[k], 'Z') << "write behind destSize at " << k;
        }
    }
}

#define S(fmt, ...) [](char *d, size_t n) { return sprintf_s(d, n, fmt, ##__VA_ARGS__); }
#define SN(count, fmt, ...) [](char *d, size_t n) { return snprintf_s(d, n, count, fmt, ##__VA_ARGS__); }

const std::string kZeros511(511, '0');

const Row kOutcomeRows[] = {
    {"snprintf fits exactly", 10, SN(9, "123456789"), 9, "123456789"},
    {"snprintf cut keeps count", 10, SN(9, "123456789012"), -1, "123456789"},
    {"snprintf cut inside a conversion", 10, SN(5, "ab%dcd", 12345), -1, "ab123"},
    {"snprintf cut inside fill", 10, SN(4, "%8s", "x"), -1, "    "},
    {"snprintf count = size too long", 10, SN(10, "1234567890"), -1, ""},
    {"snprintf count above size too long", 10, SN(50, "1234567890"), -1, ""},
    {"snprintf count above size fits", 10, SN(50, "123456789"), 9, "123456789"},
    {"sprintf one too long", 10, S("1234567890"), -1, ""},
    {"sprintf fits", 10, S("123456789"), 9, "123456789"},
    {"count 0 empty text", 10, SN(0, ""), 0, ""},
    {"count 0 any text", 10, SN(0, "a"), -1, ""},
    {"destSize 1 empty text", 1, S("%s", ""), 0, ""},
    {"destSize 1 any text", 1, S("x"), -1, ""},
    {"count largest", 10, SN(BC_MAX_SIZE - 1, "abc"), 3, "abc"},
    {"count above the limit", 10, SN(BC_MAX_SIZE, "abc"), -1, ""},
    {"null format", 10, [](char *d, size_t n) { return sprintf_s(d, n, nullptr); }, -1, ""},
    {"null format counted", 10, [](char *d, size_t n) { return snprintf_s(d, n, 5, nullptr); }, -1, ""},
    {"invalid after a cut point keeps the cut", 10, SN(3, "abcdef%y"), -1, "abc"},
    {"invalid before the cut point empties", 10, SN(8, "abc%y"), -1, ""},
    {"invalid at the end after full output", 10, SN(3, "abc%"), -1, ""},
};

const Row kGrammarRows[] = {
    {"percent", 64, S("%%"), 1, "%"},
    {"text around", 64, S("a%%b%dc", 1), 5, "a%b1c"},
    {"width before percent", 64, S("%5%"), -1, ""},
    {"%n", 64, S("%n", nullptr), -1, ""},
    {"%a", 64, S("%a", 1.0), -1, ""},
    {"%A", 64, S("%A", 1.0), -1, ""},
    {"numbered argument", 64, S("%1$d", 1), -1, ""},
    {"unknown type", 64, S("%y"), -1, ""},
    {"ends in percent", 64, S("abc%"), -1, ""},
    {"ends open with flag and width", 64, S("abc%-5"), -1, ""},
    {"ends after a dot", 64, S("%."), -1, ""},
    {"high byte is text", 64, S("\xc3\xa9%d\xff", 1), 4, "\xc3\xa9" "1\xff"},
    {"high byte inside a conversion", 64, S("%\xc3" "d", 1), -1, ""},
    {"star after width", 64, S("%5*d", 1, 2), -1, ""},
    {"star after precision digits", 64, S("%.5*d", 1, 2), -1, ""},
    {"flag after dot", 64, S("%.-5d", 1), -1, ""},
    {"dot after dot", 64, S("%..5d", 1), -1, ""},
    {"digit after size", 64, S("%l5d", 1L), -1, ""},
    {"flag after size", 64, S("%h-d", 1), -1, ""},
    {"flag after width", 64, S("%5-3d|", 7), 4, "7  |"},
    {"width digits at the limit", 64, S("%214748369d", 1), -1, ""},
    {"width digits one below", 64, SN(4, "%21474836d", 1), -1, "    "},
    {"precision digits beyond", 64, S("%.214748369d", 1), -1, ""},
    {"star width above limit", 64, S("%*d", 214748361, 1), -1, ""},
    {"star width at limit is valid", 64, SN(3, "%*d", 214748360, 1), -1, "   "},
    {"star width most negative", 64, S("%*d", INT32_MIN, 1), -1, ""},
    {"star precision above limit", 64, S("%.*d", 214748361, 1), -1, ""},
    {"star precision negative is absent", 64, S("%.*d|%05.*d", -3, 7, -1, 42), 7, "7|00042"},
    {"star width negative is left", 64, S("%*d|", -4, 7), 5, "7   |"},
    {"digits behind star skipped", 64, S("%*5d|%.*3d", 3, 7, 2, 7), 6, "  7|07"},
    {"size letter N ignored", 64, S("%Nd", 5), 1, "5"},
};

const Row kIntegerRows[] = {
    {"zero pad negative", 64, S("%05d", -42), 5, "-0042"},
    {"left", 64, S("%-5d|", 42), 6, "42   |"},
    {"plus", 64, S("%+d", 5), 2, "+5"},
    {"space", 64, S("% d", 5), 2, " 5"},
    {"plus wins over space", 64, S("%+ d", 5), 2, "+5"},
    {"plus on unsigned ignored", 64, S("%+u % x", 5u, 10u), 3, "5 a"},
    {"left wins over zero", 64, S("%-05d|", 7), 6, "7    |"},
    {"precision turns zero off", 64, S("%08.3d", 7), 8, "     007"},
    {"precision 0 value 0", 64, S("%.0d", 0), 0, ""},
    {"precision 0 value 0 with width", 64, S("[%3.0d]", 0), 5, "[   ]"},
    {"precision 0 with plus", 64, S("%+.0d", 0), 1, "+"},
    {"bare dot is precision 0", 64, S("%.x", 0u), 0, ""},
    {"int min", 64, S("%d", INT32_MIN), 11, "-2147483648"},
    {"long long min", 64, S("%lld", INT64_MIN), 20, "-9223372036854775808"},
    {"hh wraps", 64, S("%hhd", 300), 2, "44"},
    {"hh negative", 64, S("%hhd", 255), 2, "-1"},
    {"hhu", 64, S("%hhu", 511), 3, "255"},
    {"h wraps", 64, S("%hd", 70000), 4, "4464"},
    {"lu max", 64, S("%lu", UINT64_MAX), 20, "18446744073709551615"},
    {"zu max", 64, S("%zu", SIZE_MAX), 20, "18446744073709551615"},
    {"llx", 64, S("%llx", 0xfedcba9876543210ULL), 16, "fedcba9876543210"},
    {"jd tz", 64, S("%jd %td %Zu", INT64_MIN, INT64_MAX, UINT64_MAX), 61,
     "-9223372036854775808 9223372036854775807 18446744073709551615"},
    {"q and L as long long", 64, S("%qd %Lu", -1LL, UINT64_MAX), 23, "-1 18446744073709551615"},
    {"I64", 64, S("%I64d", INT64_MIN), 20, "-9223372036854775808"},
    {"I32", 64, S("%I32d", -5), 2, "-5"},
    {"I then integer type", 64, S("%Ix", 0xfedcba9876543210ULL), 16, "fedcba9876543210"},
    {"I32 takes back I64", 64, S("%I64I32u", 4294967295u), 10, "4294967295"},
    {"I not a size", 64, S("%Iq"), 2, "Iq"},
    {"I drops the conversion", 64, S("ab%-5Iq"), 4, "abIq"},
    {"I at the end", 64, S("x%I"), 2, "xI"},
    {"I re-reads the next byte", 64, S("%I%d", 5), 2, "I5"},
    {"h after l: long wins", 64, S("%lhd", -5000000000LL), 11, "-5000000000"},
    {"hh wins over h", 64, S("%hhhd", 257), 1, "1"},
    {"h wins over z", 64, S("%hzu", 65537), 1, "1"},
    {"w has no effect on integers", 64, S("%wd", -3), 2, "-3"},
    {"octal alt", 64, S("%#o", 8), 3, "010"},
    {"octal alt zero", 64, S("%#o", 0), 1, "0"},
    {"octal alt no digits", 64, S("%#.0o", 0), 1, "0"},
    {"octal alt precision starts with 0", 64, S("%#.3o", 8), 3, "010"},
    {"octal alt zero fill", 64, S("%#05o", 8), 5, "00010"},
    {"hex alt zero", 64, S("%#x", 0), 1, "0"},
    {"hex alt upper", 64, S("%#X", 255), 4, "0XFF"},
    {"hex alt zero fill", 64, S("%#08x", 255), 8, "0x0000ff"},
    {"hex alt width", 64, S("%#8x", 255), 8, "    0xff"},
    {"hex alt precision", 64, S("%#.4x", 255), 6, "0x00ff"},
    {"pointer", 64, S("%p", reinterpret_cast<void *>(0x1234)), 6, "0x1234"},
    {"pointer ignores precision", 64, S("%.8p", reinterpret_cast<void *>(0x1234)), 6, "0x1234"},
    {"pointer zero fill kept under precision", 64, S("%08.2p", reinterpret_cast<void *>(0x1234)), 8, "0x001234"},
    {"pointer ignores sign flags", 64, S("%+ p", reinterpret_cast<void *>(0xab)), 4, "0xab"},
    {"null pointer", 64, S("%p", nullptr), 5, "(nil)"},
    {"null pointer width", 64, S("%8p", nullptr), 8, "   (nil)"},
    {"null pointer no zero fill", 64, S("%08p", nullptr), 8, "   (nil)"},
    {"null pointer left", 64, S("%-8p|", nullptr), 9, "(nil)   |"},
};

const Row kPrecisionAreaRows[] = {
    {"precision 600 acts as 512", 1024, S("%.600d", 1), 512, kZeros511 + "1"},
    {"precision 512 negative", 1024, S("%.512d", -1), 513, "-" + kZeros511 + "1"},
    {"octal alt at full precision", 1024, S("%#.512o", 1), 512, kZeros511 + "1"},
    {"hex alt at full precision", 1024, S("%#.600x", 1), 514, "0x" + kZeros511 + "1"},
    {"wide width", 1024, S("%600d", 1), 600, std::string(599, ' ') + "1"},
};

const Row kTextRows[] = {
    {"string", 64, S("%s/%s/fsid", "/var/lib/ceph/osd", "ceph-0"), 29, "/var/lib/ceph/osd/ceph-0/fsid"},
    {"null string", 64, S("%s", nullptr), 6, "(null)"},
    {"null string precision", 64, S("%.3s", nullptr), 3, "(nu"},
    {"precision cuts", 64, S("%.2s|%.0s|", "abc", "abc"), 4, "ab||"},
    {"width and left", 64, S("[%5s][%-5s]", "ab", "ab"), 14, "[   ab][ab   ]"},
    {"zero flag never fills text", 64, S("[%05s][%05c]", "ab", 'x'), 14, "[   ab][    x]"},
    {"long string in one block", 64, S("<%s>", "abcdefghijklmnopqrstuvwxyz"), 28, "<abcdefghijklmnopqrstuvwxyz>"},
    {"char", 64, S("%c%c%3c", 'a', 'b' + 256, 'c'), 5, "ab  c"},
    {"char precision ignored", 64, S("%.0c", 'q'), 1, "q"},
    {"h forces narrow S", 64, S("%hS|%hC", "nar", 'c'), 5, "nar|c"},
    {"wide string", 64, S("%ls|%S|%ws", L"wi", L"de", L"!"), 7, "wi|de|!"},
    {"wide char", 64, S("%lc%C%wc", L'x', L'y', L'z'), 3, "xyz"},
    {"wide null", 64, S("%ls|%.2S", nullptr, nullptr), 9, "(null)|(n"},
    {"wide width left", 64, S("[%-4ls][%3lc]", L"ab", L'c'), 11, "[ab  ][  c]"},
    {"ll is no wide mark", 64, S("%lls", "narrow"), 6, "narrow"},
};

const Row kFloatRows[] = {
    {"f", 64, S("%f", 1.5), 8, "1.500000"},
    {"precision and width", 64, S("[%8.3f]", 3.14159), 10, "[   3.142]"},
    {"star width and precision", 64, S("[%*.*f]", -8, 2, 2.5), 10, "[2.50    ]"},
    {"zero flag and sign", 64, S("%+08.2f", 2.5), 8, "+0002.50"},
    {"e E g G F", 64, S("%e %E %g %G %F", 1e10, 1e10, 1e-5, 1e20, 2.0), 46,
     "1.000000e+10 1.000000E+10 1e-05 1E+20 2.000000"},
    {"long double", 64, S("%Lf %qe", 1.25L, 1e100L), 22, "1.250000 1.000000e+100"},
    {"size letters the C library lacks", 64, S("%I64f %wf %Nf", 1.0, 2.0, 3.0), 26,
     "1.000000 2.000000 3.000000"},
    {"largest double", 512, S("%.0f", 1.7976931348623157e308), 309,
     "179769313486231570814527423731704356798070567525844996598917476803157260780028538760589558632766878"
     "171540458953514382464234321326889464182768467546703537516986049910576551282076245490090389328944075"
     "868508455133942304583236903222948165808559332123348274797826204144723168738177180919299881250404026"
     "184124858368"},
    {"heap scratch area", 1024, S("%.600f|", 0.5), 603, "0." + std::string(1, '5') + std::string(599, '0') + "|"},
    {"too long for the room", 10, S("%f", 12345.0), -1, ""},
    {"precision beyond its limit drops the field", 64, S("a%.214748012fb", 1.0), 2, "ab"},
    {"long double precision limit", 64, S("a%.214743389Lfb", 1.0L), 2, "ab"},
};

}  // namespace

TEST(FormatS, Outcomes) { RunRows(kOutcomeRows, std::size(kOutcomeRows)); }
TEST(FormatS, Grammar) { RunRows(kGrammarRows, std::size(kGrammarRows)); }
TEST(FormatS, Integers) { RunRows(kIntegerRows, std::size(kIntegerRows)); }
TEST(FormatS, DigitArea) { RunRows(kPrecisionAreaRows, std::size(kPrecisionAreaRows)); }
TEST(FormatS, Text) { RunRows(kTextRows, std::size(kTextRows)); }
TEST(FormatS, Floating) { RunRows(kFloatRows, std::size(kFloatRows)); }

TEST(FormatS, ArgumentChecks)
{
    char buf[8] = "keep";
    EXPECT_EQ(sprintf_s(nullptr, 8, "x"), -1);
    EXPECT_EQ(snprintf_s(nullptr, 8, 7, "x"), -1);
    EXPECT_EQ(sprintf_s(buf, 0, "x"), -1);
    EXPECT_EQ(snprintf_s(buf, BC_MAX_SIZE + 1, 7, "x"), -1);
    EXPECT_STREQ(buf, "keep") << "size failures leave the destination alone";
    EXPECT_EQ(snprintf_s(buf, 8, BC_MAX_SIZE, "x"), -1);
    EXPECT_STREQ(buf, "");
}

TEST(FormatS, WideNeedsTheLocale)
{
    char buf[32];
    const char *saved = setlocale(LC_CTYPE, nullptr);
    std::string restore = saved != nullptr ? saved : "C";
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%ls|%3lc", L"h\u00e9", L'\u00e9'), 8);
    EXPECT_STREQ(buf, "h\xc3\xa9|  \xc3\xa9") << "width counts wide characters";
    EXPECT_EQ(snprintf_s(buf, sizeof(buf), 3, "%ls", L"\u00e9\u00e9"), -1);
    EXPECT_STREQ(buf, "\xc3\xa9\xc3") << "a cut may fall inside a character";
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "ok%lc", static_cast<wchar_t>(0xd800)), -1);
    EXPECT_STREQ(buf, "");
    setlocale(LC_CTYPE, "C");
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%ls", L"h\u00e9"), -1) << "the C locale has no \u00e9";
    EXPECT_STREQ(buf, "");
    setlocale(LC_CTYPE, restore.c_str());
}

TEST(FormatS, VaListIsNotConsumed)
{
    // The v-forms work on a copy, so a caller may pass the same list on.
    auto twice = [](char *a, char *b, const char *fmt, ...) {
        va_list args;
        va_start(args, fmt);
        int x = vsprintf_s(a, 16, fmt, args);
        int y = vsnprintf_s(b, 16, 15, fmt, args);
        va_end(args);
        return x == y;
    };
    char a[16];
    char b[16];
    EXPECT_TRUE(twice(a, b, "%d-%s", 12, "ab"));
    EXPECT_STREQ(a, "12-ab");
    EXPECT_STREQ(b, "12-ab");
}
