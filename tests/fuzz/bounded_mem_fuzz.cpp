// memset_s, memcpy_s, strncpy_s and strtok_s on arbitrary sizes, overlaps and
// contents, each against a plain model of its rules run on a copy of the same
// memory: the same result and the same bytes everywhere afterwards.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "fuzz_input.h"

namespace {

constexpr size_t kArena = 256;  // the byte behind it is a NUL that nothing may write

struct Memory {
    char bytes[kArena + 1];
    char *At(size_t off) { return bytes + off; }
};

// Ordinary sizes within the arena from off on, and the limits around BC_MAX_SIZE.
size_t Size(FuzzInput *in, size_t off, size_t near)
{
    static const size_t kEdges[] = {0, BC_MAX_SIZE - 1, BC_MAX_SIZE, BC_MAX_SIZE + 1, SIZE_MAX};
    switch (in->Below(8)) {
    case 0: return kEdges[in->Below(5)];
    case 1: return near;
    case 2: return near + 1;
    default: return in->Below(static_cast<uint32_t>(kArena + 8 - off));
    }
}

bool Fits(size_t off, size_t n)
{
    return n <= kArena && off + n <= kArena;
}

// Each model returns the expected code, or -1 when the call would write
// outside the arena (a case the harness cannot host, so it is skipped).
int ModelMemset(char *d, size_t off, size_t destSize, int value, size_t count)
{
    if (d != nullptr && destSize <= BC_MAX_SIZE && count <= destSize) {
        return Fits(off, count) ? (memset(d, value, count), BC_OK) : -1;
    }
    if (destSize == 0 || destSize > BC_MAX_SIZE) {
        return BC_RANGE;
    }
    if (d == nullptr) {
        return BC_INVALID;
    }
    return Fits(off, destSize) ? (memset(d, value, destSize), BC_RANGE_CLEARED) : -1;
}

int ModelMemcpy(char *d, size_t off, size_t destSize, const char *s, size_t soff, size_t count)
{
    if (destSize == 0 || destSize > BC_MAX_SIZE) {
        return BC_RANGE;
    }
    if (d == nullptr) {
        return BC_INVALID;
    }
    int code = s == nullptr ? BC_INVALID_CLEARED
               : count > destSize ? BC_RANGE_CLEARED
               : (d != s && ((d > s && d < s + count) || (s > d && s < d + count))) ? BC_OVERLAP_CLEARED
                                                                                   : BC_OK;
    if (code != BC_OK) {
        return Fits(off, destSize) ? (memset(d, 0, destSize), code) : -1;
    }
    if (count == 0 || d == s) {
        return BC_OK;
    }
    return Fits(off, count) && Fits(soff, count) ? (memcpy(d, s, count), BC_OK) : -1;
}

int ModelStrncpy(char *d, size_t off, size_t destSize, const char *s, size_t count)
{
    if (destSize == 0 || destSize > BC_MAX_SIZE) {
        return BC_RANGE;
    }
    if (d == nullptr) {
        return BC_INVALID;
    }
    int code = s == nullptr ? BC_INVALID_CLEARED : count == 0 ? BC_OK : count > BC_MAX_SIZE ? BC_RANGE_CLEARED : -2;
    if (code != -2) {
        return (d[0] = '\0', code);
    }
    size_t limit = count < destSize ? count : destSize;
    size_t len = strnlen(s, limit);
    if (count >= destSize && len == destSize) {
        return (d[0] = '\0', BC_RANGE_CLEARED);
    }
    if (d != s && ((d > s && d <= s + len) || (d < s && d + len >= s))) {
        return (d[0] = '\0', BC_OVERLAP_CLEARED);
    }
    if (!Fits(off, len + 1)) {
        return -1;
    }
    memcpy(d, s, len);  // no overlap here, or d == s
    d[len] = '\0';
    return BC_OK;
}

char *ModelStrtok(char *str, const char *delims, char **context)
{
    if (context == nullptr || delims == nullptr) {
        return nullptr;
    }
    char *p = str != nullptr ? str : *context;
    if (p == nullptr) {
        return nullptr;
    }
    auto isDelim = [delims](char c) { return c != '\0' && strchr(delims, c) != nullptr; };
    while (isDelim(*p)) {
        ++p;
    }
    if (*p == '\0') {
        *context = p;
        return nullptr;
    }
    char *token = p;
    while (*p != '\0' && !isDelim(*p)) {
        ++p;
    }
    *context = *p != '\0' ? (*p = '\0', p + 1) : p;
    return token;
}

[[noreturn]] void Fail(const char *what, long got, long want)
{
    fprintf(stderr, "%s: got %ld, model %ld\n", what, got, want);
    abort();
}

// Tokens and positions as offsets, so the two copies can be compared.
long Off(const Memory &m, const char *p)
{
    return p == nullptr ? -1 : static_cast<long>(p - m.bytes);
}

void Strtok(FuzzInput *in, Memory *real, Memory *model)
{
    char delims[8] = {};
    in->Text(7).copy(delims, 7);
    size_t off = in->Below(kArena);
    bool noContext = in->Below(16) == 0;
    const char *set = in->Below(16) == 0 ? nullptr : delims;
    char *ctxReal = nullptr;
    char *ctxModel = nullptr;
    bool startNull = in->Below(16) == 0;  // a first call without a string
    char *strReal = startNull ? nullptr : real->At(off);
    char *strModel = startNull ? nullptr : model->At(off);
    for (int call = 0; call < 300; ++call) {
        char *got = strtok_s(strReal, set, noContext ? nullptr : &ctxReal);
        char *want = ModelStrtok(strModel, set, noContext ? nullptr : &ctxModel);
        if (Off(*real, got) != Off(*model, want) || Off(*real, ctxReal) != Off(*model, ctxModel)) {
            Fail("strtok_s token/position", Off(*real, got), Off(*model, want));
        }
        strReal = strModel = nullptr;
        if (got == nullptr && call > 0) {
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    Memory real;
    for (char &b : real.bytes) {
        b = static_cast<char>(in.Below(8) == 0 ? 0 : in.Byte());
    }
    real.bytes[kArena] = '\0';
    Memory model = real;
    int op = in.Below(4);
    size_t doff = in.Below(kArena);
    size_t soff = in.Below(kArena + 1);
    bool nullDest = in.Below(16) == 0;
    bool nullSrc = in.Below(16) == 0;
    size_t destSize = Size(&in, doff, kArena - doff);
    size_t count = Size(&in, doff, destSize);
    char *dReal = nullDest ? nullptr : real.At(doff);
    char *dModel = nullDest ? nullptr : model.At(doff);
    const char *sReal = nullSrc ? nullptr : real.At(soff);
    const char *sModel = nullSrc ? nullptr : model.At(soff);
    int want = 0;
    int got = 0;
    if (op == 0) {
        int value = static_cast<int>(in.Word());
        want = ModelMemset(dModel, doff, destSize, value, count);
        got = want < 0 ? want : memset_s(dReal, destSize, value, count);
    } else if (op == 1) {
        want = ModelMemcpy(dModel, doff, destSize, sModel, soff, count);
        got = want < 0 ? want : memcpy_s(dReal, destSize, sReal, count);
    } else if (op == 2) {
        want = ModelStrncpy(dModel, doff, destSize, sModel, count);
        got = want < 0 ? want : strncpy_s(dReal, destSize, sReal, count);
    } else {
        Strtok(&in, &real, &model);
    }
    if (got != want) {
        Fail("result", got, want);
    }
    if (memcmp(real.bytes, model.bytes, sizeof(real.bytes)) != 0) {
        Fail("memory differs, operation", op, op);
    }
    return 0;
}
