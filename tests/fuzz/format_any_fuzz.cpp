// The formatting engine on arbitrary formats: it must never crash nor write
// outside destSize, and its result must be the length of what it wrote or -1
// with the destination the contract leaves. Every argument slot points at a
// string that reads as narrow or wide text, so any conversion is safe; "%n"
// does not exist for the engine.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bounded/bounded.h"
#include "fuzz_input.h"

namespace {

// Each argument may be read as an int, a pointer, a double or (two slots) a
// long double; a format with at most kMaxReads '%' and '*' bytes reads at
// most 2 * kMaxReads slots, all of them passed.
constexpr int kMaxReads = 20;

// 4-byte aligned, zero-padded: a valid narrow and wide string at once. The
// pool sits where the low 32 bits of its addresses are small, so that a "*"
// width or precision read from a slot stays small too and the run stays fast.
const char *const kTexts[] = {"sda", "", "(null)x", "write back", "\x7f\x01\x02", "ceph-0", "%s%d", "zz"};
constexpr size_t kEntry = 48;
constexpr size_t kFirst = 0x44;  // "%c" of a slot gives a visible byte
char *g_pool = nullptr;

char *MakePool()
{
    void *want = reinterpret_cast<void *>(0x600000000000UL);
    void *at = mmap(want, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (at == MAP_FAILED) {
        at = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    char *pool = static_cast<char *>(at);
    for (size_t i = 0; i < 8; ++i) {
        strcpy(pool + kFirst + i * kEntry, kTexts[i]);
    }
    return pool + kFirst;
}

#define P(i) static_cast<const void *>(g_pool + ((i) % 8) * kEntry)
#define ARGS8(b) P(b), P(b + 1), P(b + 2), P(b + 3), P(b + 4), P(b + 5), P(b + 6), P(b + 7)
#define ARGS48 ARGS8(0), ARGS8(1), ARGS8(2), ARGS8(3), ARGS8(4), ARGS8(5)

int Format(int mode, char *dest, size_t destSize, size_t count, const char *format)
{
    return mode == 0 ? sprintf_s(dest, destSize, format, ARGS48)
                     : snprintf_s(dest, destSize, count, format, ARGS48);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_pool == nullptr) {
        g_pool = MakePool();
    }
    FuzzInput in(data, size);
    int mode = in.Flag() ? 1 : 0;
    size_t destSize = 1 + in.Below(300);
    size_t count = in.Flag() ? destSize - 1 : in.Below(320);
    std::string format = in.Text(4096);
    format = format.c_str();  // up to the first NUL
    int reads = 0;
    for (char ch : format) {
        reads += (ch == '%' || ch == '*') ? 1 : 0;
    }
    if (reads > kMaxReads) {
        return 0;
    }
    constexpr size_t kGuard = 16;
    char *block = static_cast<char *>(malloc(destSize + kGuard));
    memset(block, 0x5a, destSize + kGuard);
    int got = Format(mode, block, destSize, count, format.c_str());
    bool cut = mode == 1 && count < destSize;
    size_t room = cut ? count : destSize - 1;
    // "%c" may write a NUL byte, so lengths come from the result.
    size_t len = strnlen(block, destSize);
    bool ok = len < destSize;
    for (size_t i = destSize; i < destSize + kGuard; ++i) {
        ok = ok && block[i] == 0x5a;
    }
    if (got >= 0) {
        ok = ok && static_cast<size_t>(got) <= room && block[got] == '\0' && len <= static_cast<size_t>(got);
    } else {
        ok = ok && got == -1 && (len == 0 || (cut && block[count] == '\0'));
    }
    if (!ok) {
        fprintf(stderr, "format \"%s\" destSize %zu count %zu mode %d: result %d, length %zu\n", format.c_str(),
                destSize, count, mode, got, len);
        abort();
    }
    free(block);
    return 0;
}
