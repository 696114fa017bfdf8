// Generated formats: nothing is ever written outside destSize, a small
// destination holds exactly what the contract says given the full text, and
// on the formats where both contracts agree the output matches glibc's
// snprintf byte for byte.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bounded/bounded.h"
#include "sandbox.h"

namespace {

// One variadic argument; pointers of every kind travel as const void *.
struct Arg {
    enum Kind { Int, LongLong, Double, LongDouble, Ptr } kind;
    long long i = 0;
    long double f = 0;
    const void *p = nullptr;
};

constexpr size_t kMaxArgs = 4;

// Turns the runtime list into a real variadic call.
template <class F, class... A>
int Apply(const F &f, const Arg *args, size_t n, A... a)
{
    if constexpr (sizeof...(A) >= kMaxArgs) {
        return f(a...);
    } else {
        if (n == 0) {
            return f(a...);
        }
        switch (args->kind) {
        case Arg::Int: return Apply(f, args + 1, n - 1, a..., static_cast<int>(args->i));
        case Arg::LongLong: return Apply(f, args + 1, n - 1, a..., args->i);
        case Arg::Double: return Apply(f, args + 1, n - 1, a..., static_cast<double>(args->f));
        case Arg::LongDouble: return Apply(f, args + 1, n - 1, a..., args->f);
        default: return Apply(f, args + 1, n - 1, a..., args->p);
        }
    }
}

struct Case {
    std::string format;
    std::vector<Arg> args;
};

class Generator {
public:
    explicit Generator(uint64_t seed) : rng_(seed) {}

    int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }
    bool Chance(int percent) { return Pick(100) < percent; }
    const char *OneOf(std::initializer_list<const char *> items) { return items.begin()[Pick(static_cast<int>(items.size()))]; }

    void Text(Case *c, bool anyByte)
    {
        int n = Pick(12);
        for (int k = 0; k < n; ++k) {
            char b = anyByte ? static_cast<char>(1 + Pick(255)) : static_cast<char>(' ' + Pick(95));
            c->format += (b == '%') ? "%%" : std::string(1, b);
        }
    }

    void Int(Case *c, long long lo, long long hi)
    {
        Arg a{Arg::Int};
        a.i = lo + Pick(static_cast<int>(hi - lo + 1));
        c->args.push_back(a);
    }

    long long Integer()
    {
        static const long long kEdges[] = {0, 1, -1, 7, 255, 256, 65535, 65536, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN};
        return Chance(40) ? kEdges[Pick(std::size(kEdges))] : static_cast<long long>(rng_()) >> Pick(64);
    }

    // Flags, width and precision, with "*" values appended to the arguments.
    void Modifiers(Case *c, const char *flags, bool precision)
    {
        int nflags = Pick(3);
        for (int k = 0; k < nflags; ++k) {
            c->format += flags[Pick(static_cast<int>(strlen(flags)))];
        }
        int w = Pick(4);
        if (w == 1) {
            c->format += std::to_string(1 + Pick(40));
        } else if (w == 2) {
            c->format += '*';
            Int(c, -40, 40);
        }
        int p = precision ? Pick(5) : 0;
        if (p == 1) {
            c->format += '.';
        } else if (p == 2) {
            c->format += "." + std::to_string(Pick(40));
        } else if (p == 3) {
            c->format += ".*";
            Int(c, -5, 40);
        }
    }

    void Value(Case *c, Arg::Kind kind, const void *ptr)
    {
        Arg a{kind};
        a.i = Integer();
        a.p = ptr;
        static const long double kFloats[] = {0.0L, -0.0L, 1.5L, -2.25e-7L, 1e300L, 3.0e-300L, INFINITY, NAN, 1e4000L};
        a.f = kFloats[Pick(kind == Arg::LongDouble ? 9 : 8)];
        if (kind == Arg::Int) {
            a.i = static_cast<int>(a.i);
        }
        c->args.push_back(a);
    }

private:
    std::mt19937_64 rng_;
};

const char *const kNarrow[] = {"", "a", "osd", "/var/lib/ceph/osd", "0123456789abcdefghij"};
const wchar_t *const kWide[] = {L"", L"w", L"wide text", L"h\u00e9"};

// A conversion whose argument type is known, so the call is well formed.
// glibc: only what both contracts treat alike (no null strings, no
// precision or sign flags on %p, no sizes or types glibc lacks).
void TypedSpec(Generator *g, Case *c, bool glibc)
{
    int kind = g->Pick(glibc ? 6 : 7);
    if (glibc && kind == 5) {
        c->format += "%%";
        return;
    }
    c->format += '%';
    bool pointer = kind == 2;
    g->Modifiers(c, glibc && pointer ? "-#0" : "-+ #0", !(glibc && pointer));
    const char *integer = g->OneOf({"d", "i", "u", "o", "x", "X"});
    switch (kind) {
    case 0:
        c->format += glibc ? g->OneOf({"", "h", "hh"}) : g->OneOf({"", "h", "hh", "N", "w", "I32"});
        c->format += integer;
        g->Value(c, Arg::Int, nullptr);
        break;
    case 1:
        c->format += glibc ? g->OneOf({"l", "ll", "z", "j", "t"})
                           : g->OneOf({"l", "ll", "L", "q", "j", "z", "Z", "t", "I64", "I"});
        c->format += integer;
        g->Value(c, Arg::LongLong, nullptr);
        break;
    case 2:
        c->format += 'p';
        g->Value(c, Arg::Ptr, g->Chance(25) ? nullptr : reinterpret_cast<const void *>(g->Integer()));
        break;
    case 3:
        c->format += glibc ? "c" : g->OneOf({"c", "hc", "hC", "lc", "wc", "C"});
        g->Value(c, Arg::Int, nullptr);
        c->args.back().i = (!glibc && g->Chance(10)) ? 0xe9 : ' ' + g->Pick(95);
        break;
    case 4:
        c->format += glibc ? "s" : g->OneOf({"s", "hs", "hS"});
        g->Value(c, Arg::Ptr, (!glibc && g->Chance(15)) ? nullptr : kNarrow[g->Pick(5)]);
        break;
    case 5:
        c->format += g->OneOf({"ls", "ws", "S", "lS"});
        g->Value(c, Arg::Ptr, g->Chance(15) ? nullptr : kWide[g->Pick(4)]);
        break;
    default:
        bool ld = g->Chance(30);
        c->format += ld ? g->OneOf({"L", "q"}) : "";
        c->format += g->OneOf({"e", "E", "f", "F", "g", "G"});
        g->Value(c, ld ? Arg::LongDouble : Arg::Double, nullptr);
        break;
    }
}

// Sometimes breaks the format with a piece that is invalid whatever stands
// around it (so no argument is read with a type it was not given), or leaves
// a conversion open at the end.
void Spoil(Generator *g, Case *c)
{
    if (g->Chance(85)) {
        return;
    }
    if (g->Chance(20)) {
        c->format += g->OneOf({"%", "%-", "%.", "%l"});
        return;
    }
    std::string bad = g->OneOf({"%y", "%n", "%5%", "%.5*d", "%1$d", "%Iq", "%l5d", "%a"});
    size_t at = static_cast<size_t>(g->Pick(static_cast<int>(c->format.size() + 1)));
    while (at > 0 && c->format[at - 1] == '%') {
        --at;  // behind a lone "%" the piece would turn into text
    }
    c->format.insert(at, bad);
}

Case MakeCase(Generator *g, bool glibc)
{
    Case c;
    while (c.args.size() + 3 <= kMaxArgs && g->Chance(75)) {
        g->Text(&c, !glibc);
        TypedSpec(g, &c, glibc);
    }
    g->Text(&c, !glibc);
    if (!glibc) {
        Spoil(g, &c);
    }
    return c;
}

int Ours(char *dest, size_t destSize, size_t count, const Case &c)
{
    return Apply([&](auto... a) { return snprintf_s(dest, destSize, count, c.format.c_str(), a...); }, c.args.data(),
                 c.args.size());
}

constexpr size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xee;

}  // namespace

TEST(FormatProperty, StaysInsideAndKeepsTheContract)
{
    Generator g(20240611);
    std::vector<char> full(1 << 16);
    for (int n = 0; n < 4000; ++n) {
        Case c = MakeCase(&g, false);
        SCOPED_TRACE("case " + std::to_string(n) + ": " + c.format);
        int fullRc = Ours(full.data(), full.size(), full.size() - 1, c);
        size_t destSize = 1 + static_cast<size_t>(g.Pick(48));
        size_t count = g.Chance(50) ? destSize - 1 : static_cast<size_t>(g.Pick(static_cast<int>(destSize) * 2));
        std::vector<unsigned char> buf(destSize + 2 * kGuard, kGuardByte);
        char *dest = reinterpret_cast<char *>(buf.data() + kGuard);
        int rc = Ours(dest, destSize, count, c);
        for (size_t k = 0; k < kGuard; ++k) {
            ASSERT_EQ(buf[k], kGuardByte) << "write before dest";
            ASSERT_EQ(buf[kGuard + destSize + k], kGuardByte) << "write behind destSize";
        }
        bool cut = count < destSize;
        size_t room = cut ? count : destSize - 1;
        if (fullRc >= 0 && static_cast<size_t>(fullRc) <= room) {
            ASSERT_EQ(rc, fullRc);
            ASSERT_EQ(memcmp(dest, full.data(), static_cast<size_t>(fullRc) + 1), 0);
            continue;
        }
        ASSERT_EQ(rc, -1);
        if (fullRc >= 0 && cut) {
            ASSERT_EQ(memcmp(dest, full.data(), room), 0) << "a cut keeps the head";
            ASSERT_EQ(dest[room], '\0');
        } else if (fullRc >= 0) {
            ASSERT_EQ(dest[0], '\0');
        } else {
            ASSERT_TRUE(dest[0] == '\0' || (cut && dest[room] == '\0'));
        }
    }
}

TEST(FormatProperty, AgreesWithGlibc)
{
    Generator g(77);
    char ours[4096];
    char theirs[4096];
    for (int n = 0; n < 4000; ++n) {
        Case c = MakeCase(&g, true);
        SCOPED_TRACE("case " + std::to_string(n) + ": " + c.format);
        int rcTheirs = Apply([&](auto... a) { return snprintf(theirs, sizeof(theirs), c.format.c_str(), a...); },
                             c.args.data(), c.args.size());
        int rcOurs = Ours(ours, sizeof(ours), sizeof(ours) - 1, c);
        ASSERT_EQ(rcOurs, rcTheirs);
        ASSERT_EQ(std::string(ours, static_cast<size_t>(rcOurs)), std::string(theirs, static_cast<size_t>(rcTheirs)));
        // A cut keeps what glibc's own truncation keeps.
        size_t count = static_cast<size_t>(g.Pick(rcTheirs + 1));
        Apply([&](auto... a) { return snprintf(theirs, count + 1, c.format.c_str(), a...); }, c.args.data(),
              c.args.size());
        int rcCut = Ours(ours, sizeof(ours), count, c);
        ASSERT_EQ(rcCut, static_cast<size_t>(rcTheirs) <= count ? rcTheirs : -1);
        ASSERT_STREQ(ours, theirs);
    }
}
