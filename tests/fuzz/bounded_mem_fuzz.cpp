// memset_s, memcpy_s, strncpy_s and strtok_s on arbitrary sizes, overlaps and
// contents, held to what a caller can see: nothing outside the destination
// changes; success means the destination holds the source; a cleared result
// means the destination is cleared; any other result leaves it untouched;
// and a call that breaks no rule succeeds. The unit tables pin which code
// each broken rule gives.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "fuzz_input.h"

namespace {

constexpr size_t ARENA = 256;  // the byte behind it is a NUL that nothing may write

struct Memory {
    char bytes[ARENA + 1];
};

// One call: where it writes, what it reads, and what it answered.
struct Call {
    int op;
    size_t off;       // dest offset in the arena
    size_t soff;      // src offset
    bool nullDest;
    bool nullSrc;
    size_t destSize;
    size_t count;
    int value;
};

[[noreturn]] void Fail(const char *what, const Call &c, int code)
{
    fprintf(stderr, "%s: op %d off %zu soff %zu destSize %zu count %zu -> %d\n", what, c.op, c.off, c.soff,
            c.destSize, c.count, code);
    abort();
}

// Ordinary sizes within the arena from off on, and the limits around BC_MAX_SIZE.
size_t Size(FuzzInput *in, size_t off, size_t near)
{
    static const size_t EDGES[] = {0, BC_MAX_SIZE - 1, BC_MAX_SIZE, BC_MAX_SIZE + 1, SIZE_MAX};
    switch (in->Below(8)) {
    case 0: return EDGES[in->Below(5)];
    case 1: return near;
    case 2: return near + 1;
    default: return in->Below(static_cast<uint32_t>(ARENA + 8 - off));
    }
}

bool SizeValid(size_t destSize)
{
    return destSize != 0 && destSize <= BC_MAX_SIZE;
}

// A destination the function may write in full lies inside the arena;
// anything else is a caller's lie about its buffer that no test can host.
bool Hostable(const Call &c)
{
    return c.nullDest || !SizeValid(c.destSize) || c.off + c.destSize <= ARENA;
}

bool Apart(size_t a, size_t b, size_t len)
{
    return a == b || (a > b ? a - b >= len : b - a >= len);
}

// The copy a successful call makes: bytes [0, len) of the source, and for
// strncpy_s a terminator behind them. 0 for memset_s, which copies nothing.
size_t CopiedLen(const Call &c, const Memory &before)
{
    if (c.op == 1) {
        return c.count;
    }
    if (c.op == 2) {
        size_t limit = c.count < c.destSize ? c.count : c.destSize;
        return strnlen(before.bytes + c.soff, limit);
    }
    return 0;
}

// True when the call breaks none of the rules its header states.
bool BreaksNoRule(const Call &c, const Memory &before)
{
    // Filling nothing is sound even into a zero-sized destination.
    if (c.op == 0) {
        return !c.nullDest && c.destSize <= BC_MAX_SIZE && c.count <= c.destSize;
    }
    if (c.nullDest || !SizeValid(c.destSize) || (c.op != 0 && c.nullSrc)) {
        return false;
    }
    if (c.op == 1) {
        return c.count <= c.destSize && Apart(c.off, c.soff, c.count);
    }
    if (c.count > BC_MAX_SIZE) {
        return false;
    }
    size_t len = CopiedLen(c, before);
    return len < c.destSize && Apart(c.off, c.soff, len + 1);
}

bool Cleared(int code)
{
    return code == BC_INVALID_CLEARED || code == BC_RANGE_CLEARED || code == BC_OVERLAP_CLEARED;
}

// Checks what the call left in the arena, given the code it answered.
void CheckEffect(const Call &c, const Memory &before, const Memory &after, int code)
{
    Memory want = before;
    char *d = want.bytes + c.off;
    if (code == BC_OK) {
        if (c.op == 0) {
            memset(d, c.value, c.count);
        } else {
            size_t len = CopiedLen(c, before);
            memmove(d, before.bytes + c.soff, len);
            if (c.op == 2) {
                d[len] = '\0';
            }
        }
    } else if (Cleared(code)) {
        if (c.nullDest || !SizeValid(c.destSize)) {
            Fail("cleared a destination it was told not to use", c, code);
        }
        if (c.op == 0) {
            memset(d, c.value, c.destSize);
        } else if (c.op == 1) {
            memset(d, 0, c.destSize);
        } else {
            d[0] = '\0';
        }
    }
    if (memcmp(want.bytes, after.bytes, sizeof(want.bytes)) != 0) {
        Fail(code == BC_OK ? "success without the copy" : Cleared(code) ? "not cleared as stated" : "touched",
             c, code);
    }
}

int Run(const Call &c, Memory *m)
{
    char *d = c.nullDest ? nullptr : m->bytes + c.off;
    const char *s = c.nullSrc ? nullptr : m->bytes + c.soff;
    if (c.op == 0) {
        return memset_s(d, c.destSize, c.value, c.count);
    }
    return c.op == 1 ? memcpy_s(d, c.destSize, s, c.count) : strncpy_s(d, c.destSize, s, c.count);
}

bool IsDelim(const char *delims, char ch)
{
    return ch != '\0' && strchr(delims, ch) != nullptr;
}

// The tokens are the maximal runs of non-delimiters of the original string,
// in order, and nothing but delimiters ending a token may change.
void Strtok(FuzzInput *in, Memory *m)
{
    char delims[8] = {};
    in->Text(7).copy(delims, 7);
    size_t off = in->Below(ARENA);
    const Memory before = *m;
    char *context = nullptr;
    size_t pos = off;
    char *str = m->bytes + off;
    for (;;) {
        char *token = strtok_s(str, delims, &context);
        str = nullptr;
        while (IsDelim(delims, before.bytes[pos])) {
            ++pos;
        }
        if (before.bytes[pos] == '\0') {
            if (token != nullptr) {
                fprintf(stderr, "strtok_s: token past the end\n");
                abort();
            }
            break;
        }
        size_t end = pos;
        while (before.bytes[end] != '\0' && !IsDelim(delims, before.bytes[end])) {
            ++end;
        }
        if (token != m->bytes + pos || strlen(token) != end - pos) {
            fprintf(stderr, "strtok_s: token at %ld, want the run [%zu, %zu)\n",
                    token == nullptr ? -1L : static_cast<long>(token - m->bytes), pos, end);
            abort();
        }
        pos = before.bytes[end] == '\0' ? end : end + 1;
    }
    for (size_t i = 0; i <= ARENA; ++i) {
        bool endedToken = i > off && m->bytes[i] == '\0' && IsDelim(delims, before.bytes[i]);
        if (m->bytes[i] != before.bytes[i] && !endedToken) {
            fprintf(stderr, "strtok_s: byte %zu changed\n", i);
            abort();
        }
    }
    // Refused arguments give no token.
    if (strtok_s(m->bytes, nullptr, &context) != nullptr || strtok_s(m->bytes, delims, nullptr) != nullptr) {
        fprintf(stderr, "strtok_s: token without delimiters or context\n");
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    Memory m;
    for (char &b : m.bytes) {
        b = static_cast<char>(in.Below(8) == 0 ? 0 : in.Byte());
    }
    m.bytes[ARENA] = '\0';
    Call c = {};
    c.op = static_cast<int>(in.Below(4));
    if (c.op == 3) {
        Strtok(&in, &m);
        return 0;
    }
    c.off = in.Below(ARENA);
    c.soff = in.Below(ARENA + 1);
    c.nullDest = in.Below(16) == 0;
    c.nullSrc = in.Below(16) == 0;
    c.destSize = Size(&in, c.off, ARENA - c.off);
    c.count = Size(&in, c.off, c.destSize);
    c.value = static_cast<int>(in.Word());
    if (!Hostable(c) || (c.op == 1 && !c.nullSrc && c.count <= c.destSize && c.soff + c.count > ARENA)) {
        return 0;
    }
    const Memory before = m;
    int code = Run(c, &m);
    if ((code == BC_OK) != BreaksNoRule(c, before)) {
        Fail(code == BC_OK ? "accepted a call that breaks a rule" : "refused a sound call", c, code);
    }
    CheckEffect(c, before, m, code);
    return 0;
}
