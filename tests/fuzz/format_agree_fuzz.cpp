// The formatting engine against glibc's snprintf on formats built from the
// conversions where both contracts coincide: the same text byte for byte,
// and the cut or refusal that the destination size and count call for.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bounded/bounded.h"
#include "fuzz_input.h"

namespace {

constexpr int kSlots = 16;
const char *const kStrings[] = {"", "a", "sdc", "ceph zarvel", "/var/lib/ceph/osd", "0123456789abcdef-0123456789abcdef"};

struct Case {
    std::string format;
    uint64_t args[kSlots] = {};
    int used = 0;
};

void Push(Case *c, uint64_t value)
{
    c->args[c->used++] = value;
}

// A '*' value, or digits, for a width or precision of at most 600.
void Number(FuzzInput *in, Case *c, int kind)
{
    if (kind == 1) {
        c->format += std::to_string(in->Below(601));
    } else if (kind == 2) {
        c->format += '*';
        Push(c, static_cast<uint64_t>(static_cast<int64_t>(in->Below(1201)) - 600));
    }
}

// Appends one conversion; false when the argument slots are used up.
bool Conversion(FuzzInput *in, Case *c)
{
    if (c->used + 3 > kSlots) {
        return false;
    }
    static const char kTypes[] = "diuxXoscp%";
    char type = kTypes[in->Below(sizeof(kTypes) - 1)];
    c->format += '%';
    if (type == '%') {  // "%5%" is refused by the engine, printed by glibc
        c->format += '%';
        return true;
    }
    bool integer = strchr("diuxXo", type) != nullptr;
    // glibc signs a pointer under '+' and ' ' and zero-fills text: leave out.
    const char *flags = integer ? "-+ #0" : "-";
    for (uint32_t n = in->Below(4); n > 0; --n) {
        c->format += flags[in->Below(static_cast<uint32_t>(strlen(flags)))];
    }
    Number(in, c, static_cast<int>(in->Below(3)));
    bool nullString = type == 's' && in->Below(8) == 0;
    // glibc shows a null string only whole, and widens integers beyond the
    // engine's 512 digits; a pointer's precision means nothing to the engine.
    if (type != 'p' && type != 'c' && !nullString && in->Flag()) {
        c->format += '.';
        uint32_t kind = in->Below(3);
        if (kind == 1) {
            c->format += std::to_string(in->Below(integer ? 513 : 601));
        } else if (kind == 2) {
            c->format += '*';
            Push(c, static_cast<uint64_t>(static_cast<int64_t>(in->Below(integer ? 513 + 20 : 621)) - 20));
        }
    }
    if (integer) {
        static const char *const kSizes[] = {"", "hh", "h", "l", "ll", "z", "j"};
        c->format += kSizes[in->Below(7)];
        Push(c, in->Word());
    } else if (type == 's') {
        Push(c, nullString ? 0 : reinterpret_cast<uintptr_t>(kStrings[in->Below(6)]));
    } else if (type == 'p') {
        Push(c, in->Flag() ? 0 : in->Word());
    } else {
        Push(c, in->Byte());
    }
    c->format += type;
    return true;
}

#define ARGS16(a) a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13], a[14], a[15]

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    size_t destSize = 1 + in.Below(4096);
    size_t count = in.Flag() ? destSize - 1 : in.Below(4200);
    bool plain = in.Flag();  // sprintf_s instead of snprintf_s
    Case c;
    while (in.Left() > 0) {
        if (in.Flag()) {
            std::string text = in.Text(1 + in.Below(12), '%');
            c.format += text.c_str();  // stops at a NUL byte
        } else if (!Conversion(&in, &c)) {
            break;
        }
    }
    static char expected[65536];
    int full = snprintf(expected, sizeof(expected), c.format.c_str(), ARGS16(c.args));
    if (full < 0 || full >= static_cast<int>(sizeof(expected))) {
        return 0;
    }
    char *dest = static_cast<char *>(malloc(destSize));  // exact size: ASan sees any overrun
    memset(dest, 0x5a, destSize);
    int got = plain ? sprintf_s(dest, destSize, c.format.c_str(), ARGS16(c.args))
                    : snprintf_s(dest, destSize, count, c.format.c_str(), ARGS16(c.args));
    bool cut = !plain && count < destSize;
    size_t room = cut ? count : destSize - 1;
    bool fits = static_cast<size_t>(full) <= room;
    bool ok = fits ? (got == full && memcmp(dest, expected, static_cast<size_t>(full) + 1) == 0)
                   : (got == -1 && (cut ? memcmp(dest, expected, room) == 0 && dest[room] == '\0' : dest[0] == '\0'));
    if (!ok) {
        fprintf(stderr, "format \"%s\" destSize %zu count %zu plain %d: got %d, glibc %d\n", c.format.c_str(),
                destSize, count, plain, got, full);
        abort();
    }
    free(dest);
    return 0;
}
