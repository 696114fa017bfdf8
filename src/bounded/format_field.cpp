// The layout of one converted field: fill, prefix, zero fill, text, fill.
#include "bounded/format_engine.h"

namespace {

// Width less text less prefix, when positive.
size_t FillOf(const FmtSpec *spec, size_t textLen, size_t prefixLen)
{
    size_t used = textLen + prefixLen;
    size_t width = static_cast<size_t>(spec->width);
    return width > used ? width - used : 0;
}

}  // namespace

bool PutFieldHead(FmtOut *out, const FmtSpec *spec, size_t textLen, const char *prefix, size_t prefixLen,
                  bool zeroFill)
{
    size_t fill = FillOf(spec, textLen, prefixLen);
    bool left = (spec->flags & FMT_LEFT) != 0;
    bool zeros = zeroFill && !left && (spec->flags & FMT_ZERO) != 0;
    if (!left && !zeros && !PutRepeat(out, ' ', fill)) {
        return false;
    }
    if (!PutText(out, prefix, prefixLen)) {
        return false;
    }
    return !zeros || PutRepeat(out, '0', fill);
}

bool PutFieldTail(FmtOut *out, const FmtSpec *spec, size_t textLen, size_t prefixLen)
{
    if ((spec->flags & FMT_LEFT) == 0) {
        return true;
    }
    return PutRepeat(out, ' ', FillOf(spec, textLen, prefixLen));
}

bool PutField(FmtOut *out, const FmtSpec *spec, const char *prefix, size_t prefixLen, const char *text,
              size_t textLen, bool zeroFill)
{
    return PutFieldHead(out, spec, textLen, prefix, prefixLen, zeroFill) && PutText(out, text, textLen) &&
           PutFieldTail(out, spec, textLen, prefixLen);
}
